// Stable merge sort of a pointer array.
//
// One scratch buffer from the pool's back region serves every merge: a merge copies only its left
// run out, so half the range (rounded up) is enough, and the buffer is a single back block that
// is popped before returning. Short runs are sorted by binary insertion, which needs no scratch.
#include "memory/msort.h"

#include <cstring>

#include "memory/pool.h"

namespace {

inline constexpr int64_t kShortRun = 12;

// inOrder(&x, &y): x may stay ahead of y (the comparator's result is below 1).
template <class InOrder>
void insertion_sort(void** a, int64_t lo, int64_t hi, InOrder inOrder) {
    for (int64_t i = lo + 1; i <= hi; i++) {
        void* x = a[i];
        if (inOrder(&a[i - 1], &x)) continue;
        // x goes in front of the first element that must follow it, behind all its equals.
        int64_t l = lo, h = i - 1;
        while (l < h) {
            int64_t m = l + (h - l) / 2;
            if (inOrder(&a[m], &x))
                l = m + 1;
            else
                h = m;
        }
        std::memmove(&a[l + 1], &a[l], (size_t)(i - l) * sizeof *a);
        a[l] = x;
    }
}

// Merges the sorted runs a[lo..mid] and a[mid+1..hi]; buf holds at least mid - lo + 1 entries.
template <class InOrder>
void merge(void** a, int64_t lo, int64_t mid, int64_t hi, void** buf, InOrder inOrder) {
    if (inOrder(&a[mid], &a[mid + 1])) return;  // already in order
    int64_t nl = mid - lo + 1;
    std::memcpy(buf, &a[lo], (size_t)nl * sizeof *a);
    int64_t i = 0, j = mid + 1, k = lo;
    while (i < nl && j <= hi) {
        if (inOrder(&buf[i], &a[j]))
            a[k++] = buf[i++];
        else
            a[k++] = a[j++];
    }
    // The rest of the right run is already in place.
    std::memcpy(&a[k], &buf[i], (size_t)(nl - i) * sizeof *a);
}

template <class InOrder>
void sort_range(void** a, int64_t lo, int64_t hi, void** buf, InOrder inOrder) {
    if (hi - lo < kShortRun) {
        insertion_sort(a, lo, hi, inOrder);
        return;
    }
    int64_t mid = lo + (hi - lo) / 2;
    sort_range(a, lo, mid, buf, inOrder);
    sort_range(a, mid + 1, hi, buf, inOrder);
    merge(a, lo, mid, hi, buf, inOrder);
}

// Scratch entries a sort of n entries needs: a merge copies out only its left run.
inline int64_t scratch_entries(int64_t n) { return (n - 1) / 2 + 1; }

}  // namespace

int zs_list_msort(MemoryPool* p, void** items, ZsSize lo, ZsSize hi, size_t elemSize, ZsCmp cmp, void* env) {
    (void)elemSize;  // entries are always pointers
    auto inOrder = [cmp, env](void* const* a, void* const* b) { return cmp(a, b, env) < 1; };
    if (hi <= lo) return 0;
    int64_t n = (int64_t)hi - lo + 1;
    if (n <= kShortRun) {
        insertion_sort(items, lo, hi, inOrder);
        return 0;
    }
    void** buf = (void**)zs_qmalloc(p, scratch_entries(n) * (int64_t)sizeof(void*));
    if (buf == nullptr) return 1;
    sort_range(items, lo, hi, buf, inOrder);
    qfree(p, buf);
    return 0;
}
