// The comparator family. One comparison core, templated over where a record is seen (a list entry,
// or the head of a merge source: a temporary-file block, a presorted input, the previous output
// record) and over what is compared (keys or the whole record); every named member is generated
// from the family table.
#include "records/compare.h"

#include <cstring>

#include "base/msg.h"
#include "records/records.h"
#include "records/run.h"

int64_t zs_get_number(const char* p, int32_t n) {
    int32_t i = 0;
    while (i < n && (p[i] == ' ' || (p[i] >= '\t' && p[i] <= '\r'))) i++;
    bool negative = false;
    if (i < n && (p[i] == '-' || p[i] == '+')) negative = p[i++] == '-';
    // Accumulated in 64 bits and held at the limits: a value out of range never wraps into a
    // small one of the other sign.
    const uint64_t limit = negative ? (uint64_t)INT64_MAX + 1 : (uint64_t)INT64_MAX;
    uint64_t value = 0;
    for (; i < n && p[i] >= '0' && p[i] <= '9'; i++) {
        uint64_t d = (uint64_t)(p[i] - '0');
        value = value > (limit - d) / 10 ? limit : value * 10 + d;
    }
    return negative ? (int64_t)(0 - value) : (int64_t)value;
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

// CSV record whose column table is an aligned CsvColumn array (list entries).
struct CsvRec {
    const char* data;
    int32_t len;
    const CsvColumn* cols;
    int32_t colNum;
    CsvColumn col(int32_t i) const { return cols[i]; }
};

// CSV record seen through a merge source's head: its table may lie between unaligned bytes.
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

// ---- Views: how an argument leads to its record ----
// Record views receive the record itself (a list entry, a fixed-length record, or the head of a
// merge source); slot views receive the address of a slot holding what the record view takes.

struct FixedRecArg {
    static FixedRec get(const void* rec) { return {static_cast<const char*>(rec)}; }
};
struct VarEntryArg {
    static VarRec get(const void* e) {
        auto x = static_cast<const VarEntry*>(e);
        return {x->data, x->len};
    }
};
struct CsvEntryArg {
    static CsvRec get(const void* e) {
        auto x = static_cast<const CsvEntry*>(e);
        return {x->data, x->len, x->cols, x->colNum};
    }
};
struct FixedHeadArg {
    static FixedRec get(const void* h) { return {static_cast<const ZsHead*>(h)->data}; }
};
struct VarHeadArg {
    static VarRec get(const void* h) {
        auto x = static_cast<const ZsHead*>(h);
        return {x->data, x->len};
    }
};
struct CsvHeadArg {
    static PackedCsvRec get(const void* h) {
        auto x = static_cast<const ZsHead*>(h);
        return {x->data, x->len, x->cols, x->colNum};
    }
};

template <class Arg>
struct SlotOf {
    static auto get(const void* slot) { return Arg::get(*static_cast<const void* const*>(slot)); }
};

const ZsHead* head_at(const void* slot) { return *static_cast<const ZsHead* const*>(slot); }

// View of a member's arguments, by layout and place: Slot for comparator arguments (slot
// addresses), Arg for equality-test arguments (the records themselves: in a merge the previous
// output record first, then the current one, both heads). A block of the temporary file and a
// presorted input are seen alike, through the head their merge keeps.
template <ZsLayout L, ZsWhere W>
struct Views;
template <>
struct Views<ZS_FIXED, ZS_AT_ENTRY> {
    using Slot = SlotOf<FixedRecArg>;
    using Arg = FixedRecArg;  // the fixed equality test takes records as themselves everywhere
};
template <>
struct Views<ZS_FIXED, ZS_AT_UNIT> {
    using Slot = SlotOf<FixedHeadArg>;
};
template <>
struct Views<ZS_VARIABLE, ZS_AT_ENTRY> {
    using Slot = SlotOf<VarEntryArg>;
    using Arg = VarEntryArg;
};
template <ZsWhere W>
struct Views<ZS_VARIABLE, W> {
    using Slot = SlotOf<VarHeadArg>;
    using Arg = VarHeadArg;
};
template <>
struct Views<ZS_CSV, ZS_AT_ENTRY> {
    using Slot = SlotOf<CsvEntryArg>;
    using Arg = CsvEntryArg;
};
template <ZsWhere W>
struct Views<ZS_CSV, W> {
    using Slot = SlotOf<CsvHeadArg>;
    using Arg = CsvHeadArg;
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
    int64_t x = zs_get_number(a.p, a.len), y = zs_get_number(b.p, b.len);
    return (x > y) - (x < y);
}

template <class RA, class RB>
int keys_cmp(const ArgsInfo& s, const RA& a, const RB& b) {
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

int whole_cmp(const ArgsInfo& s, const FixedRec& a, const FixedRec& b) {
    return by_dir(compare_bytes(a.data, b.data, (size_t)s.recLen), s.bRecSort);
}

// Byte compare, then the shorter first (ascending) or the longer first (descending).
int bytes_then_length(const char* a, int32_t la, const char* b, int32_t lb, int32_t d) {
    int c = compare_bytes(a, b, (size_t)(la < lb ? la : lb));
    if (c == 0) c = (la > lb) - (la < lb);
    return by_dir(c, d);
}

int whole_cmp(const ArgsInfo& s, const VarRec& a, const VarRec& b) {
    return bytes_then_length(a.data, a.len, b.data, b.len, s.bRecSort);
}

template <class RA, class RB>
    requires isCsv<RA> && isCsv<RB>
int whole_cmp(const ArgsInfo& s, const RA& a, const RB& b) {
    const int32_t d = s.bRecSort;
    const bool nullLast = s.bNullLastOut != 0;
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
int keys_differ(const ArgsInfo& s, const RA& a, const RB& b) {
    for (int32_t i = 0; i < s.keyNums; i++) {
        const SortKey& k = s.arrSortKey[i];
        Field fa = key_field(a, i, k), fb = key_field(b, i, k);
        if constexpr (isCsv<RA>) {
            // -N sets an empty key column apart from every other, a numeric 0 included: records
            // the sort keeps apart are never duplicates.
            if (s.bNullLastOut && (fa.len == 0) != (fb.len == 0)) return 1;
        }
        if (k.type == ZS_KEY_NUMERIC) {
            if (zs_get_number(fa.p, fa.len) != zs_get_number(fb.p, fb.len)) return 1;
        } else if (fa.len != fb.len || std::memcmp(fa.p, fb.p, (size_t)fa.len) != 0) {
            return 1;
        }
    }
    return 0;
}

int whole_differs(const ArgsInfo& s, const FixedRec& a, const FixedRec& b) {
    return std::memcmp(a.data, b.data, (size_t)s.recLen) != 0;
}

int whole_differs(const ArgsInfo&, const VarRec& a, const VarRec& b) {
    return a.len != b.len || std::memcmp(a.data, b.data, (size_t)a.len) != 0;
}

template <class RA, class RB>
    requires isCsv<RA> && isCsv<RB>
int whole_differs(const ArgsInfo&, const RA& a, const RB& b) {
    if (a.colNum != b.colNum) return 1;
    for (int32_t i = 0; i < a.colNum; i++) {
        CsvColumn ca = a.col(i), cb = b.col(i);
        if (ca.len != cb.len || std::memcmp(a.data + ca.off, b.data + cb.off, (size_t)ca.len) != 0) return 1;
    }
    return 0;
}

template <ZsCmpId Id, ZsLayout L, ZsWhere W, ZsForm F, bool Stable>
int member(const void* a, const void* b, void* run) {
    ZsRecRun& r = *static_cast<ZsRecRun*>(run);
    // Counted from every thread of the run that compares.
    if (r.bVerbose) __atomic_fetch_add(&r.cmpCalls[(int)Id], 1, __ATOMIC_RELAXED);
    const ArgsInfo& s = *r.args;
    if constexpr (F == ZS_EQUAL) {
        using View = typename Views<L, W>::Arg;
        auto ra = View::get(a);
        auto rb = View::get(b);
        return s.bRecSort != 0 ? whole_differs(s, ra, rb) : keys_differ(s, ra, rb);
    } else {
        using View = typename Views<L, W>::Slot;
        auto ra = View::get(a);
        auto rb = View::get(b);
        int c = F == ZS_WHOLE ? whole_cmp(s, ra, rb) : keys_cmp(s, ra, rb);
        if constexpr (Stable) {
            // Equal records leave a merge in source (input) order; never 0.
            if (c == 0) c = head_at(a)->unitNo < head_at(b)->unitNo ? -1 : 1;
        }
        return c;
    }
}

}  // namespace

namespace zs {
#define ZS_CMP_DEFINE(name, L, W, F, S, SEC) \
    int name(const void* a, const void* b, void* run) { return member<ZsCmpId::name, L, W, F, S>(a, b, run); }
ZS_CMP_FAMILY(ZS_CMP_DEFINE)
#undef ZS_CMP_DEFINE
}  // namespace zs

const ZsCmpInfo zs_cmp_family[ZS_CMP_COUNT] = {
#define ZS_CMP_ROW(name, L, W, F, S, SEC) {#name, L, W, F, S, SEC, zs::name},
    ZS_CMP_FAMILY(ZS_CMP_ROW)
#undef ZS_CMP_ROW
};

ZsCmpId zs_cmp_of(const ArgsInfo& args, ZsLayout layout, ZsWhere where, bool stable) {
    ZsForm form = args.bRecSort != 0 ? ZS_WHOLE : ZS_KEYED;
    for (int i = 0; i < ZS_CMP_COUNT; i++) {
        const ZsCmpInfo& m = zs_cmp_family[i];
        if (m.layout == layout && m.where == where && m.form == form && m.stable == stable) return (ZsCmpId)i;
    }
    ZS_ASSERT(!"no comparator of this kind");
    return ZsCmpId::_cmpList;
}

ZsCmpId zs_eq_of(ZsLayout layout, ZsWhere where) {
    // Fixed-length records are compared as themselves wherever they are seen.
    if (layout == ZS_FIXED) return ZsCmpId::_cmpIfEqual;
    for (int i = 0; i < ZS_CMP_COUNT; i++) {
        const ZsCmpInfo& m = zs_cmp_family[i];
        if (m.layout == layout && m.where == where && m.form == ZS_EQUAL) return (ZsCmpId)i;
    }
    ZS_ASSERT(!"no equality test of this kind");
    return ZsCmpId::_cmpIfEqual;
}
