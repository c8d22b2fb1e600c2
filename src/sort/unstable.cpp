#include "sort/unstable.h"

#include <algorithm>
#include <iterator>

#include "records/compare.h"

namespace {

// One instantiation per comparator, so that the sort calls it directly.
template <ZsCmp Cmp>
void sort_by(void** items, int32_t n) {
    std::sort(items, items + n, [](void* x, void* y) { return Cmp(&x, &y) < 0; });
}

struct Instantiation {
    ZsCmp cmp;
    void (*sort)(void**, int32_t);
};

constexpr Instantiation instantiations[] = {
    {_cmpList, sort_by<_cmpList>},
    {_cmpList_totalRec, sort_by<_cmpList_totalRec>},
    {_cmpList_variable, sort_by<_cmpList_variable>},
    {_cmpList_totalRec_variable, sort_by<_cmpList_totalRec_variable>},
    {_cmpList_csv, sort_by<_cmpList_csv>},
    {_cmpList_totalRec_csv, sort_by<_cmpList_totalRec_csv>},
};

}  // namespace

void zs_sort_unstable(void** items, int32_t n, ZsCmp cmp) {
    if (n < 2) return;
    for (const Instantiation& i : instantiations) {
        if (i.cmp == cmp) {
            i.sort(items, n);
            return;
        }
    }
    std::sort(items, items + n, [cmp](void* x, void* y) { return cmp(&x, &y) < 0; });
}
