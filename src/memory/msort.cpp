// Stable merge sort of a pointer array.
//
// One scratch buffer from the pool's back region serves every merge: a merge copies only its left
// run out, so half the range (rounded up) is enough, and the buffer is a single back block that
// is popped before returning. Short runs are sorted by binary insertion, which needs no scratch.
#include "memory/msort.h"

#include "memory/msort_core.h"
#include "memory/pool.h"

int zs_list_msort(void** items, int32_t lo, int32_t hi, size_t elemSize, ZsCmp cmp) {
    (void)elemSize;  // entries are always pointers
    using namespace zs_msort_detail;
    auto inOrder = [cmp](void* const* a, void* const* b) { return cmp(a, b) < 1; };
    if (hi <= lo) return 0;
    int64_t n = (int64_t)hi - lo + 1;
    if (n <= kShortRun) {
        insertion_sort(items, lo, hi, inOrder);
        return 0;
    }
    void** buf = (void**)zs_qmalloc(scratch_entries(n) * (int64_t)sizeof(void*));
    if (buf == nullptr) return 1;
    sort_range(items, lo, hi, buf, inOrder);
    qfree(buf);
    return 0;
}
