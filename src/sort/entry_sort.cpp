// Sorting of record index lists. Comparisons dominate the cost, and each one reaches records
// at random places in memory: a merge sort makes fewer of them than a quicksort, and knowing
// the entry layout lets it ask for the next records while it compares the current ones.
#include "sort/entry_sort.h"

#include <algorithm>

#include "memory/msort_core.h"
#include "memory/pool.h"
#include "records/compare.h"
#include "records/records.h"

namespace {

// Fixed-length entries are the records themselves.
struct FixedPrefetch {
    static void entry(const void* e) { __builtin_prefetch(e); }
    static void data(const void*) {}
};
struct VarPrefetch {
    static void entry(const void* e) { __builtin_prefetch(e); }
    static void data(const void* e) { __builtin_prefetch(static_cast<const VarEntry*>(e)->data); }
};
struct CsvPrefetch {
    static void entry(const void* e) { __builtin_prefetch(e); }
    static void data(const void* e) {
        auto c = static_cast<const CsvEntry*>(e);
        __builtin_prefetch(c->data);
        __builtin_prefetch(c->cols);
    }
};

template <ZsCmp Cmp, class Prefetch>
int sort_by(void** items, int32_t n, bool stable) {
    using namespace zs_msort_detail;
    auto inOrder = [](void* const* a, void* const* b) { return Cmp(a, b) < 1; };
    void** buf = nullptr;
    if (n > kShortRun) {
        buf = static_cast<void**>(zs_qmalloc(scratch_entries(n) * (int64_t)sizeof(void*)));
        if (buf == nullptr) {
            if (stable) return 1;
            std::sort(items, items + n, [](void* x, void* y) { return Cmp(&x, &y) < 0; });
            return 0;
        }
    }
    sort_range(items, 0, n - 1, buf, inOrder, Prefetch{});
    if (buf != nullptr) qfree(buf);
    return 0;
}

struct Instantiation {
    ZsCmp cmp;
    int (*sort)(void**, int32_t, bool);
};

constexpr Instantiation instantiations[] = {
    {_cmpList, sort_by<_cmpList, FixedPrefetch>},
    {_cmpList_totalRec, sort_by<_cmpList_totalRec, FixedPrefetch>},
    {_cmpList_variable, sort_by<_cmpList_variable, VarPrefetch>},
    {_cmpList_totalRec_variable, sort_by<_cmpList_totalRec_variable, VarPrefetch>},
    {_cmpList_csv, sort_by<_cmpList_csv, CsvPrefetch>},
    {_cmpList_totalRec_csv, sort_by<_cmpList_totalRec_csv, CsvPrefetch>},
};

}  // namespace

int zs_sort_entries(void** items, int32_t n, ZsCmp cmp, bool stable) {
    if (n < 2) return 0;
    for (const Instantiation& i : instantiations)
        if (i.cmp == cmp) return i.sort(items, n, stable);
    return zs_list_msort(items, 0, n - 1, sizeof(void*), cmp);
}
