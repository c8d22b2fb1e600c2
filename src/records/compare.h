// The comparator family (qsort contract over list slots) and the equality tests of -U.
//
// Every member is one row of ZS_CMP_FAMILY; the declarations, the ids, the names, the call
// counters, the verbose report and the choice of a sort's fast path are all generated from it.
//
// Contract
// - Every member takes, beside its two arguments, the run's records context (ZsRecRun*, records/run.h)
//   as the environment of the sort that calls it: the settings it reads and the counter it counts.
// - Comparators receive the addresses of two slots (list slots, or work-list slots holding a
//   ZsHead: the current record of a merge source) and return exactly -1, 0 or +1. The _stabilize
//   forms never return 0.
// - Equality tests receive the records themselves (list entries; in a merge the previous output
//   record and the current record, both ZsHead) and return 0 for equal keys, 1 otherwise.
// - They allocate nothing, print nothing and cannot fail; records shorter than the keys never
//   reach them (the index builders set those aside).
// - The members keep their historical names, inside the namespace zs.
#pragma once

#include <cstdint>

#include "memory/msort.h"
#include "settings/settings.h"

// Numeric value of a field of n bytes: blanks, an optional sign, decimal digits; held at the
// 64-bit limits when it lies beyond them.
int64_t zs_get_number(const char* p, int32_t n);

// Where a member finds its records.
enum ZsWhere : int {
    ZS_AT_ENTRY,  // list entries of one buffer
    ZS_AT_UNIT,   // the current record of a temporary-file block (a ZsHead)
    ZS_AT_MERGE,  // the current record of a presorted input (a ZsHead)
};
// What a member computes.
enum ZsForm : int {
    ZS_KEYED,  // order by the sort keys
    ZS_WHOLE,  // order by the whole record (-A / -R, or no keys)
    ZS_EQUAL,  // equality test of the unique filter
};
// Section of the verbose report that lists a member besides the unique-output section, which
// lists every equality test.
enum ZsSection : int { ZS_SEC_FIXED, ZS_SEC_VARIABLE, ZS_SEC_CSV, ZS_SEC_MERGE, ZS_SEC_NONE };

// name, layout, where, form, stable tie-break, report section. The row order is the report's.
#define ZS_CMP_FAMILY(X)                                                                         \
    X(_cmpList, ZS_FIXED, ZS_AT_ENTRY, ZS_KEYED, false, ZS_SEC_FIXED)                            \
    X(_cmpList_totalRec, ZS_FIXED, ZS_AT_ENTRY, ZS_WHOLE, false, ZS_SEC_FIXED)                   \
    X(_cmpList_variable, ZS_VARIABLE, ZS_AT_ENTRY, ZS_KEYED, false, ZS_SEC_VARIABLE)             \
    X(_cmpList_totalRec_variable, ZS_VARIABLE, ZS_AT_ENTRY, ZS_WHOLE, false, ZS_SEC_VARIABLE)    \
    X(_cmpList_csv, ZS_CSV, ZS_AT_ENTRY, ZS_KEYED, false, ZS_SEC_CSV)                            \
    X(_cmpList_totalRec_csv, ZS_CSV, ZS_AT_ENTRY, ZS_WHOLE, false, ZS_SEC_CSV)                   \
    X(_cmpList_unit, ZS_FIXED, ZS_AT_UNIT, ZS_KEYED, false, ZS_SEC_FIXED)                        \
    X(_cmpList_unit_stabilize, ZS_FIXED, ZS_AT_UNIT, ZS_KEYED, true, ZS_SEC_FIXED)               \
    X(_cmpList_unit_totalRec, ZS_FIXED, ZS_AT_UNIT, ZS_WHOLE, false, ZS_SEC_FIXED)               \
    X(_cmpList_unit_totalRec_stabilize, ZS_FIXED, ZS_AT_UNIT, ZS_WHOLE, true, ZS_SEC_FIXED)      \
    X(_cmpList_unit_variable, ZS_VARIABLE, ZS_AT_UNIT, ZS_KEYED, false, ZS_SEC_VARIABLE)         \
    X(_cmpList_unit_variable_stabilize, ZS_VARIABLE, ZS_AT_UNIT, ZS_KEYED, true, ZS_SEC_VARIABLE) \
    X(_cmpList_unit_totalRec_variable, ZS_VARIABLE, ZS_AT_UNIT, ZS_WHOLE, false, ZS_SEC_VARIABLE) \
    X(_cmpList_unit_totalRec_variable_stabilize, ZS_VARIABLE, ZS_AT_UNIT, ZS_WHOLE, true,        \
      ZS_SEC_VARIABLE)                                                                           \
    X(_cmpList_unit_csv, ZS_CSV, ZS_AT_UNIT, ZS_KEYED, false, ZS_SEC_CSV)                        \
    X(_cmpList_unit_csv_stabilize, ZS_CSV, ZS_AT_UNIT, ZS_KEYED, true, ZS_SEC_CSV)               \
    X(_cmpList_unit_totalRec_csv, ZS_CSV, ZS_AT_UNIT, ZS_WHOLE, false, ZS_SEC_CSV)               \
    X(_cmpList_unit_totalRec_csv_stabilize, ZS_CSV, ZS_AT_UNIT, ZS_WHOLE, true, ZS_SEC_CSV)      \
    X(_cmpList_merge_variable, ZS_VARIABLE, ZS_AT_MERGE, ZS_KEYED, false, ZS_SEC_MERGE)          \
    X(_cmpList_merge_variable_stabilize, ZS_VARIABLE, ZS_AT_MERGE, ZS_KEYED, true, ZS_SEC_MERGE) \
    X(_cmpList_merge_totalRec_variable, ZS_VARIABLE, ZS_AT_MERGE, ZS_WHOLE, false, ZS_SEC_MERGE) \
    X(_cmpList_merge_totalRec_variable_stabilize, ZS_VARIABLE, ZS_AT_MERGE, ZS_WHOLE, true,      \
      ZS_SEC_MERGE)                                                                              \
    X(_cmpList_merge_csv, ZS_CSV, ZS_AT_MERGE, ZS_KEYED, false, ZS_SEC_MERGE)                    \
    X(_cmpList_merge_csv_stabilize, ZS_CSV, ZS_AT_MERGE, ZS_KEYED, true, ZS_SEC_MERGE)           \
    X(_cmpList_merge_totalRec_csv, ZS_CSV, ZS_AT_MERGE, ZS_WHOLE, false, ZS_SEC_MERGE)           \
    X(_cmpList_merge_totalRec_csv_stabilize, ZS_CSV, ZS_AT_MERGE, ZS_WHOLE, true, ZS_SEC_MERGE)  \
    X(_cmpIfEqual, ZS_FIXED, ZS_AT_ENTRY, ZS_EQUAL, false, ZS_SEC_FIXED)                         \
    X(_cmpIfEqual_variable, ZS_VARIABLE, ZS_AT_ENTRY, ZS_EQUAL, false, ZS_SEC_VARIABLE)          \
    X(_cmpIfEqual_csv, ZS_CSV, ZS_AT_ENTRY, ZS_EQUAL, false, ZS_SEC_NONE)                        \
    X(_cmpIfEqual_unit_variable, ZS_VARIABLE, ZS_AT_UNIT, ZS_EQUAL, false, ZS_SEC_VARIABLE)      \
    X(_cmpIfEqual_unit_csv, ZS_CSV, ZS_AT_UNIT, ZS_EQUAL, false, ZS_SEC_NONE)                    \
    X(_cmpIfEqual_merge_variable, ZS_VARIABLE, ZS_AT_MERGE, ZS_EQUAL, false, ZS_SEC_NONE)        \
    X(_cmpIfEqual_merge_csv, ZS_CSV, ZS_AT_MERGE, ZS_EQUAL, false, ZS_SEC_NONE)

namespace zs {
#define ZS_CMP_DECLARE(name, ...) int name(const void* a, const void* b, void* run);
ZS_CMP_FAMILY(ZS_CMP_DECLARE)
#undef ZS_CMP_DECLARE
}  // namespace zs

enum class ZsCmpId : int {
#define ZS_CMP_ID(name, ...) name,
    ZS_CMP_FAMILY(ZS_CMP_ID)
#undef ZS_CMP_ID
        count
};
inline constexpr int ZS_CMP_COUNT = (int)ZsCmpId::count;

struct ZsCmpInfo {
    const char* name;
    ZsLayout layout;
    ZsWhere where;
    ZsForm form;
    bool stable;
    ZsSection section;
    ZsCmp fn;
};
// The family, in row order (index = ZsCmpId).
extern const ZsCmpInfo zs_cmp_family[ZS_CMP_COUNT];

// The member of the run's kind: the comparator for records seen `where` (the _totalRec form when
// the run sorts whole records, the _stabilize form when asked), or the equality test.
ZsCmpId zs_cmp_of(const ArgsInfo& args, ZsLayout layout, ZsWhere where, bool stable);
ZsCmpId zs_eq_of(ZsLayout layout, ZsWhere where);
inline ZsCmp zs_cmp_fn(ZsCmpId id) { return zs_cmp_family[(int)id].fn; }
