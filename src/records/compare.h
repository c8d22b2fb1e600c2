// The comparator family (qsort contract over list slots) and the equality tests of -U.
//
// Every member is one row of ZS_CMP_FAMILY; the declarations, the ids, the names, the call
// counters, the verbose report and the choice of a sort's fast path are all generated from it.
//
// Contract
// - Comparators receive the addresses of two slots (list slots, or work-list slots holding a
//   UnitDataInfo) and return exactly -1, 0 or +1. The _stabilize forms never return 0.
// - Equality tests receive the records themselves (list entries, or a UnitDataInfo whose previous
//   output record or current record is meant) and return 0 for equal keys, 1 otherwise.
// - They read the settings, allocate nothing, print nothing and cannot fail; records shorter than
//   the keys never reach them (the index builders set those aside).
#pragma once

#include <cstdint>

#include "base/run.h"
#include "memory/msort.h"
#include "settings/settings.h"

// Numeric value of a field of n bytes: blanks, an optional sign, decimal digits; held at the
// 64-bit limits when it lies beyond them.
int64_t zs_get_number(const char* p, int32_t n);

// Where a member finds its records.
enum ZsWhere : int {
    ZS_AT_ENTRY,  // list entries of one buffer
    ZS_AT_UNIT,   // the current record of a temporary-file block (temporary record format)
    ZS_AT_MERGE,  // the current entry of a presorted input
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

#define ZS_CMP_DECLARE(name, ...) int name(const void* a, const void* b);
ZS_CMP_FAMILY(ZS_CMP_DECLARE)
#undef ZS_CMP_DECLARE

enum class ZsCmpId : int {
#define ZS_CMP_ID(name, ...) name,
    ZS_CMP_FAMILY(ZS_CMP_ID)
#undef ZS_CMP_ID
        count
};
inline constexpr int ZS_CMP_COUNT = (int)ZsCmpId::count;
static_assert(ZS_CMP_COUNT == ZS_CMP_SLOTS, "the run state counts one call counter per member");

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
ZsCmpId zs_cmp_of(ZsLayout layout, ZsWhere where, bool stable);
ZsCmpId zs_eq_of(ZsLayout layout, ZsWhere where);
inline ZsCmp zs_cmp_fn(ZsCmpId id) { return zs_cmp_family[(int)id].fn; }
inline uint32_t zs_cmp_calls(ZsCmpId id) { return zs_run.cmpCalls[(int)id]; }
