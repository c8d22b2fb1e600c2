// Sorting of record index lists. Comparisons dominate the cost, and each one reaches records
// at random places in memory: a merge sort makes fewer of them than a quicksort, and knowing
// the entry layout lets it ask for the next records while it compares the current ones.
#include "sort/entry_sort.h"

#include <algorithm>

#include "memory/msort.h"
#include "memory/msort_core.h"
#include "memory/pool.h"
#include "records/records.h"

namespace {

template <ZsLayout L>
struct PrefetchOf {
    static void entry(const void* e) { __builtin_prefetch(e); }
    static void data(const void* e) {
        if constexpr (L != ZS_FIXED) __builtin_prefetch(ZsEntryOf<L>::data(e));
        if constexpr (L == ZS_CSV) __builtin_prefetch(static_cast<const CsvEntry*>(e)->cols);
    }
};

using SortFn = int (*)(void**, int32_t, bool);

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

// The fast path of a member: list-entry comparators get a sort compiled around them.
template <ZsCmp Cmp, ZsLayout L, ZsWhere W, ZsForm F>
constexpr SortFn fast_path() {
    if constexpr (W == ZS_AT_ENTRY && F != ZS_EQUAL)
        return sort_by<Cmp, PrefetchOf<L>>;
    else
        return nullptr;
}

constexpr SortFn fastPaths[ZS_CMP_COUNT] = {
#define ZS_FAST_PATH(name, L, W, F, S, SEC) fast_path<name, L, W, F>(),
    ZS_CMP_FAMILY(ZS_FAST_PATH)
#undef ZS_FAST_PATH
};

}  // namespace

int zs_sort_entries(void** items, int32_t n, ZsCmpId id, bool stable) {
    if (n < 2) return 0;
    if (SortFn fast = fastPaths[(int)id]) return fast(items, n, stable);
    return zs_list_msort(items, 0, n - 1, sizeof(void*), zs_cmp_fn(id));
}
