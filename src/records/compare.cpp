// The comparator family. One comparison core, templated over where a record is seen (list entry,
// temporary-file block, presorted input, previous output record) and over what is compared
// (keys or the whole record); the named functions below are thin entry points over it.
#include "records/compare.h"

#include <cstring>

#include "records/records.h"
#include "settings/settings.h"

uint32_t zs_cmp_calls[ZS_CMP_COUNT];

const char* const zs_cmp_names[ZS_CMP_COUNT] = {
    "_cmpList",
    "_cmpList_totalRec",
    "_cmpList_variable",
    "_cmpList_totalRec_variable",
    "_cmpList_csv",
    "_cmpList_totalRec_csv",
    "_cmpList_unit",
    "_cmpList_unit_stabilize",
    "_cmpList_unit_totalRec",
    "_cmpList_unit_totalRec_stabilize",
    "_cmpList_unit_variable",
    "_cmpList_unit_variable_stabilize",
    "_cmpList_unit_totalRec_variable",
    "_cmpList_unit_totalRec_variable_stabilize",
    "_cmpList_unit_csv",
    "_cmpList_unit_csv_stabilize",
    "_cmpList_unit_totalRec_csv",
    "_cmpList_unit_totalRec_csv_stabilize",
    "_cmpList_merge_variable",
    "_cmpList_merge_variable_stabilize",
    "_cmpList_merge_totalRec_variable",
    "_cmpList_merge_totalRec_variable_stabilize",
    "_cmpList_merge_csv",
    "_cmpList_merge_csv_stabilize",
    "_cmpList_merge_totalRec_csv",
    "_cmpList_merge_totalRec_csv_stabilize",
    "_cmpIfEqual",
    "_cmpIfEqual_variable",
    "_cmpIfEqual_csv",
    "_cmpIfEqual_unit_variable",
    "_cmpIfEqual_unit_csv",
    "_cmpIfEqual_merge_variable",
    "_cmpIfEqual_merge_csv",
};

int32_t zs_get_number(const char* p, int32_t n) {
    int32_t i = 0;
    while (i < n && (p[i] == ' ' || (p[i] >= '\t' && p[i] <= '\r'))) i++;
    bool negative = false;
    if (i < n && (p[i] == '-' || p[i] == '+')) negative = p[i++] == '-';
    uint32_t value = 0;  // unsigned so that overflow wraps as two's complement
    for (; i < n && p[i] >= '0' && p[i] <= '9'; i++) value = value * 10u + (uint32_t)(p[i] - '0');
    return (int32_t)(negative ? 0u - value : value);
}

namespace {

// ---- Records as the core sees them ----

struct FixedRec {
    const char* data;
};

struct VarRec {
    const char* data;
    int32_t len;
};

// CSV record whose column table is an aligned CsvColumn array (list entries, previous records).
struct CsvRec {
    const char* data;
    int32_t len;
    const CsvColumn* cols;
    int32_t colNum;
    CsvColumn col(int32_t i) const { return cols[i]; }
};

// CSV record read from a temporary-file block: the table is packed between unaligned bytes.
struct PackedCsvRec {
    const char* data;
    int32_t len;
    const char* cols;
    int32_t colNum;
    CsvColumn col(int32_t i) const {
        CsvColumn c;
        std::memcpy(&c, cols + (size_t)i * sizeof(CsvColumn), sizeof c);
        return c;
    }
};

template <class R>
constexpr bool isCsv = false;
template <>
constexpr bool isCsv<CsvRec> = true;
template <>
constexpr bool isCsv<PackedCsvRec> = true;

int32_t read_i32(const char* p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

const UnitDataInfo* unit_at(const void* slot) { return *static_cast<const UnitDataInfo* const*>(slot); }

template <class Entry>
const Entry* merge_entry(const UnitDataInfo* u) {
    const PtrList* l = u->recList;
    return static_cast<const Entry*>(l->items[l->start + u->recIdx]);
}

CsvRec csv_of(const CsvEntry* e) { return {e->data, e->len, e->cols, e->colNum}; }
VarRec var_of(const VarEntry* e) { return {e->data, e->len}; }

// ---- Views: how an argument leads to its record ----
// Slot views receive the address of a list slot; record views receive the record itself.

struct FixedEntrySlot {
    static FixedRec get(const void* slot) { return {*static_cast<const char* const*>(slot)}; }
};
struct VarEntrySlot {
    static VarRec get(const void* slot) { return var_of(*static_cast<const VarEntry* const*>(slot)); }
};
struct CsvEntrySlot {
    static CsvRec get(const void* slot) { return csv_of(*static_cast<const CsvEntry* const*>(slot)); }
};
struct FixedUnitSlot {
    static FixedRec get(const void* slot) {
        const UnitDataInfo* u = unit_at(slot);
        return {u->buf + u->bufPos};
    }
};
// Temporary record format: variable = length, bytes; CSV = length, column count, table, bytes.
VarRec var_block_record(const UnitDataInfo* u) {
    const char* r = u->buf + u->bufPos;
    return {r + 4, read_i32(r)};
}
PackedCsvRec csv_block_record(const UnitDataInfo* u) {
    const char* r = u->buf + u->bufPos;
    int32_t n = read_i32(r + 4);
    return {r + 8 + (size_t)n * sizeof(CsvColumn), read_i32(r), r + 8, n};
}
struct VarUnitSlot {
    static VarRec get(const void* slot) { return var_block_record(unit_at(slot)); }
};
struct CsvUnitSlot {
    static PackedCsvRec get(const void* slot) { return csv_block_record(unit_at(slot)); }
};
struct VarMergeSlot {
    static VarRec get(const void* slot) { return var_of(merge_entry<VarEntry>(unit_at(slot))); }
};
struct CsvMergeSlot {
    static CsvRec get(const void* slot) { return csv_of(merge_entry<CsvEntry>(unit_at(slot))); }
};

struct FixedRecArg {
    static FixedRec get(const void* rec) { return {static_cast<const char*>(rec)}; }
};
struct VarEntryArg {
    static VarRec get(const void* e) { return var_of(static_cast<const VarEntry*>(e)); }
};
struct CsvEntryArg {
    static CsvRec get(const void* e) { return csv_of(static_cast<const CsvEntry*>(e)); }
};
struct VarLastArg {
    static VarRec get(const void* u) {
        auto x = static_cast<const UnitDataInfo*>(u);
        return {x->lastData, x->lastLen};
    }
};
struct CsvLastArg {
    static CsvRec get(const void* u) {
        auto x = static_cast<const UnitDataInfo*>(u);
        return {x->lastData, x->lastLen, x->lastCols, x->lastColNum};
    }
};
struct VarUnitArg {
    static VarRec get(const void* u) { return var_block_record(static_cast<const UnitDataInfo*>(u)); }
};
struct CsvUnitArg {
    static PackedCsvRec get(const void* u) { return csv_block_record(static_cast<const UnitDataInfo*>(u)); }
};
struct VarMergeArg {
    static VarRec get(const void* u) { return var_of(merge_entry<VarEntry>(static_cast<const UnitDataInfo*>(u))); }
};
struct CsvMergeArg {
    static CsvRec get(const void* u) { return csv_of(merge_entry<CsvEntry>(static_cast<const UnitDataInfo*>(u))); }
};

// ---- The core ----

struct Field {
    const char* p;
    int32_t len;
};

// Field of key i: a byte range of fixed and variable records, the key's column slot of CSV.
template <class R>
Field key_field(const R& r, int32_t i, const SortKey& k) {
    if constexpr (isCsv<R>) {
        CsvColumn c = r.col(i);
        return {r.data + c.off, c.len};
    } else {
        return {r.data + k.pos, k.len};
    }
}

int sign(int c) { return (c > 0) - (c < 0); }

// memcmp's sign; the first eight bytes are compared inline, where most records differ.
inline int compare_bytes(const char* a, const char* b, size_t n) {
    if (n >= 8) {
        uint64_t x, y;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        if (x != y) {
            x = __builtin_bswap64(x);
            y = __builtin_bswap64(y);
            return x < y ? -1 : 1;
        }
    }
    return sign(std::memcmp(a, b, n));
}

// Applies a key's direction to c (-1, 0, +1); a key with an unknown direction never decides.
int directed(int c, int32_t seq) { return seq == ZS_ASC ? c : seq == ZS_DESC ? -c : 0; }

int numeric_cmp(Field a, Field b) {
    int32_t x = zs_get_number(a.p, a.len), y = zs_get_number(b.p, b.len);
    return (x > y) - (x < y);
}

template <class RA, class RB>
int keys_cmp(const RA& a, const RB& b) {
    const ArgsInfo& s = zs_args;
    for (int32_t i = 0; i < s.keyNums; i++) {
        const SortKey& k = s.arrSortKey[i];
        Field fa = key_field(a, i, k), fb = key_field(b, i, k);
        if constexpr (isCsv<RA>) {
            if (s.bNullLastOut) {
                // Empty columns go last whatever the direction.
                if (fa.len == 0 || fb.len == 0) {
                    if (fa.len == 0 && fb.len == 0) continue;
                    return fa.len == 0 ? 1 : -1;
                }
            }
        }
        int c;
        if (k.type == ZS_KEY_NUMERIC) {
            c = numeric_cmp(fa, fb);
        } else {
            c = compare_bytes(fa.p, fb.p, (size_t)(fa.len < fb.len ? fa.len : fb.len));
            if constexpr (isCsv<RA>) {
                if (c == 0 && fa.len != fb.len) return (k.seq == ZS_ASC) == (fa.len < fb.len) ? -1 : 1;
            }
        }
        c = directed(c, k.seq);
        if (c != 0) return c;
    }
    return 0;
}

// Whole-record order; d is 1 (ascending) or 2 (descending).
int by_dir(int c, int32_t d) { return d == 1 ? c : -c; }

int whole_cmp(const FixedRec& a, const FixedRec& b) {
    return by_dir(compare_bytes(a.data, b.data, (size_t)zs_args.recLen), zs_args.bRecSort);
}

// Byte compare, then the shorter first (ascending) or the longer first (descending).
int bytes_then_length(const char* a, int32_t la, const char* b, int32_t lb, int32_t d) {
    int c = compare_bytes(a, b, (size_t)(la < lb ? la : lb));
    if (c == 0) c = (la > lb) - (la < lb);
    return by_dir(c, d);
}

int whole_cmp(const VarRec& a, const VarRec& b) {
    return bytes_then_length(a.data, a.len, b.data, b.len, zs_args.bRecSort);
}

template <class RA, class RB>
    requires isCsv<RA> && isCsv<RB>
int whole_cmp(const RA& a, const RB& b) {
    const int32_t d = zs_args.bRecSort;
    const bool nullLast = zs_args.bNullLastOut != 0;
    int32_t common = a.colNum < b.colNum ? a.colNum : b.colNum;
    for (int32_t i = 0; i < common; i++) {
        CsvColumn ca = a.col(i), cb = b.col(i);
        if (nullLast && (ca.len == 0 || cb.len == 0)) {
            if (ca.len == 0 && cb.len == 0) continue;
            return ca.len == 0 ? 1 : -1;
        }
        int c = bytes_then_length(a.data + ca.off, ca.len, b.data + cb.off, cb.len, d);
        if (c != 0) return c;
    }
    return by_dir((a.colNum > b.colNum) - (a.colNum < b.colNum), d);
}

// Equality (0 same, 1 different) by keys.
template <class RA, class RB>
int keys_differ(const RA& a, const RB& b) {
    const ArgsInfo& s = zs_args;
    for (int32_t i = 0; i < s.keyNums; i++) {
        const SortKey& k = s.arrSortKey[i];
        Field fa = key_field(a, i, k), fb = key_field(b, i, k);
        if (k.type == ZS_KEY_NUMERIC) {
            if (zs_get_number(fa.p, fa.len) != zs_get_number(fb.p, fb.len)) return 1;
        } else if (fa.len != fb.len || std::memcmp(fa.p, fb.p, (size_t)fa.len) != 0) {
            return 1;
        }
    }
    return 0;
}

int whole_differs(const FixedRec& a, const FixedRec& b) {
    return std::memcmp(a.data, b.data, (size_t)zs_args.recLen) != 0;
}

int whole_differs(const VarRec& a, const VarRec& b) {
    return a.len != b.len || std::memcmp(a.data, b.data, (size_t)a.len) != 0;
}

template <class RA, class RB>
    requires isCsv<RA> && isCsv<RB>
int whole_differs(const RA& a, const RB& b) {
    if (a.colNum != b.colNum) return 1;
    for (int32_t i = 0; i < a.colNum; i++) {
        CsvColumn ca = a.col(i), cb = b.col(i);
        if (ca.len != cb.len || std::memcmp(a.data + ca.off, b.data + cb.off, (size_t)ca.len) != 0) return 1;
    }
    return 0;
}

inline void count_call(ZsCmpId id) {
    if (bVerbose) zs_cmp_calls[id]++;
}

enum Form { KEYED, WHOLE };

template <ZsCmpId Id, class View, Form F, bool Stable = false>
int compare_slots(const void* a, const void* b) {
    count_call(Id);
    auto ra = View::get(a);
    auto rb = View::get(b);
    int c = F == WHOLE ? whole_cmp(ra, rb) : keys_cmp(ra, rb);
    if constexpr (Stable) {
        // Equal records leave a merge in block (input) order; never 0.
        if (c == 0) c = unit_at(a)->unitNo < unit_at(b)->unitNo ? -1 : 1;
    }
    return c;
}

template <ZsCmpId Id, class ViewA, class ViewB>
int differ(const void* a, const void* b) {
    count_call(Id);
    auto ra = ViewA::get(a);
    auto rb = ViewB::get(b);
    return zs_args.bRecSort != 0 ? whole_differs(ra, rb) : keys_differ(ra, rb);
}

}  // namespace

int _cmpList(const void* a, const void* b) { return compare_slots<ZS_CMP_LIST, FixedEntrySlot, KEYED>(a, b); }
int _cmpList_totalRec(const void* a, const void* b) {
    return compare_slots<ZS_CMP_LIST_TOTALREC, FixedEntrySlot, WHOLE>(a, b);
}
int _cmpList_variable(const void* a, const void* b) {
    return compare_slots<ZS_CMP_LIST_VARIABLE, VarEntrySlot, KEYED>(a, b);
}
int _cmpList_totalRec_variable(const void* a, const void* b) {
    return compare_slots<ZS_CMP_LIST_TOTALREC_VARIABLE, VarEntrySlot, WHOLE>(a, b);
}
int _cmpList_csv(const void* a, const void* b) { return compare_slots<ZS_CMP_LIST_CSV, CsvEntrySlot, KEYED>(a, b); }
int _cmpList_totalRec_csv(const void* a, const void* b) {
    return compare_slots<ZS_CMP_LIST_TOTALREC_CSV, CsvEntrySlot, WHOLE>(a, b);
}

int _cmpList_unit(const void* a, const void* b) { return compare_slots<ZS_CMP_UNIT, FixedUnitSlot, KEYED>(a, b); }
int _cmpList_unit_stabilize(const void* a, const void* b) {
    return compare_slots<ZS_CMP_UNIT_STABILIZE, FixedUnitSlot, KEYED, true>(a, b);
}
int _cmpList_unit_totalRec(const void* a, const void* b) {
    return compare_slots<ZS_CMP_UNIT_TOTALREC, FixedUnitSlot, WHOLE>(a, b);
}
int _cmpList_unit_totalRec_stabilize(const void* a, const void* b) {
    return compare_slots<ZS_CMP_UNIT_TOTALREC_STABILIZE, FixedUnitSlot, WHOLE, true>(a, b);
}
int _cmpList_unit_variable(const void* a, const void* b) {
    return compare_slots<ZS_CMP_UNIT_VARIABLE, VarUnitSlot, KEYED>(a, b);
}
int _cmpList_unit_variable_stabilize(const void* a, const void* b) {
    return compare_slots<ZS_CMP_UNIT_VARIABLE_STABILIZE, VarUnitSlot, KEYED, true>(a, b);
}
int _cmpList_unit_totalRec_variable(const void* a, const void* b) {
    return compare_slots<ZS_CMP_UNIT_TOTALREC_VARIABLE, VarUnitSlot, WHOLE>(a, b);
}
int _cmpList_unit_totalRec_variable_stabilize(const void* a, const void* b) {
    return compare_slots<ZS_CMP_UNIT_TOTALREC_VARIABLE_STABILIZE, VarUnitSlot, WHOLE, true>(a, b);
}
int _cmpList_unit_csv(const void* a, const void* b) { return compare_slots<ZS_CMP_UNIT_CSV, CsvUnitSlot, KEYED>(a, b); }
int _cmpList_unit_csv_stabilize(const void* a, const void* b) {
    return compare_slots<ZS_CMP_UNIT_CSV_STABILIZE, CsvUnitSlot, KEYED, true>(a, b);
}
int _cmpList_unit_totalRec_csv(const void* a, const void* b) {
    return compare_slots<ZS_CMP_UNIT_TOTALREC_CSV, CsvUnitSlot, WHOLE>(a, b);
}
int _cmpList_unit_totalRec_csv_stabilize(const void* a, const void* b) {
    return compare_slots<ZS_CMP_UNIT_TOTALREC_CSV_STABILIZE, CsvUnitSlot, WHOLE, true>(a, b);
}

int _cmpList_merge_variable(const void* a, const void* b) {
    return compare_slots<ZS_CMP_MERGE_VARIABLE, VarMergeSlot, KEYED>(a, b);
}
int _cmpList_merge_variable_stabilize(const void* a, const void* b) {
    return compare_slots<ZS_CMP_MERGE_VARIABLE_STABILIZE, VarMergeSlot, KEYED, true>(a, b);
}
int _cmpList_merge_totalRec_variable(const void* a, const void* b) {
    return compare_slots<ZS_CMP_MERGE_TOTALREC_VARIABLE, VarMergeSlot, WHOLE>(a, b);
}
int _cmpList_merge_totalRec_variable_stabilize(const void* a, const void* b) {
    return compare_slots<ZS_CMP_MERGE_TOTALREC_VARIABLE_STABILIZE, VarMergeSlot, WHOLE, true>(a, b);
}
int _cmpList_merge_csv(const void* a, const void* b) {
    return compare_slots<ZS_CMP_MERGE_CSV, CsvMergeSlot, KEYED>(a, b);
}
int _cmpList_merge_csv_stabilize(const void* a, const void* b) {
    return compare_slots<ZS_CMP_MERGE_CSV_STABILIZE, CsvMergeSlot, KEYED, true>(a, b);
}
int _cmpList_merge_totalRec_csv(const void* a, const void* b) {
    return compare_slots<ZS_CMP_MERGE_TOTALREC_CSV, CsvMergeSlot, WHOLE>(a, b);
}
int _cmpList_merge_totalRec_csv_stabilize(const void* a, const void* b) {
    return compare_slots<ZS_CMP_MERGE_TOTALREC_CSV_STABILIZE, CsvMergeSlot, WHOLE, true>(a, b);
}

int _cmpIfEqual(const void* a, const void* b) { return differ<ZS_EQ, FixedRecArg, FixedRecArg>(a, b); }
int _cmpIfEqual_variable(const void* a, const void* b) {
    return differ<ZS_EQ_VARIABLE, VarEntryArg, VarEntryArg>(a, b);
}
int _cmpIfEqual_csv(const void* a, const void* b) { return differ<ZS_EQ_CSV, CsvEntryArg, CsvEntryArg>(a, b); }
int _cmpIfEqual_unit_variable(const void* a, const void* b) {
    return differ<ZS_EQ_UNIT_VARIABLE, VarLastArg, VarUnitArg>(a, b);
}
int _cmpIfEqual_unit_csv(const void* a, const void* b) { return differ<ZS_EQ_UNIT_CSV, CsvLastArg, CsvUnitArg>(a, b); }
int _cmpIfEqual_merge_variable(const void* a, const void* b) {
    return differ<ZS_EQ_MERGE_VARIABLE, VarLastArg, VarMergeArg>(a, b);
}
int _cmpIfEqual_merge_csv(const void* a, const void* b) {
    return differ<ZS_EQ_MERGE_CSV, CsvLastArg, CsvMergeArg>(a, b);
}
