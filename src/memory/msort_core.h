// The merge sort behind zs_list_msort, as a template so that a caller can give it a comparator
// that the compiler sees (the unstable in-memory sort does).
#pragma once

#include <cstdint>
#include <cstring>

namespace zs_msort_detail {

inline constexpr int64_t kShortRun = 12;

// Memory hints for the entries about to be compared: entry() for the entry itself, data() for
// what the entry points to (called a few steps later, once the entry is likely in cache).
struct NoPrefetch {
    static void entry(const void*) {}
    static void data(const void*) {}
};

// How far ahead of the merge the entries and their data are requested.
inline constexpr int64_t kEntryAhead = 6;
inline constexpr int64_t kDataAhead = 3;

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
template <class InOrder, class Prefetch>
void merge(void** a, int64_t lo, int64_t mid, int64_t hi, void** buf, InOrder inOrder, Prefetch pf) {
    if (inOrder(&a[mid], &a[mid + 1])) return;  // already in order
    int64_t nl = mid - lo + 1;
    std::memcpy(buf, &a[lo], (size_t)nl * sizeof *a);
    int64_t i = 0, j = mid + 1, k = lo;
    while (i < nl && j <= hi) {
        // Records lie at random places: ask for the next ones while comparing these.
        if (i + kEntryAhead < nl) pf.entry(buf[i + kEntryAhead]);
        if (j + kEntryAhead <= hi) pf.entry(a[j + kEntryAhead]);
        if (i + kDataAhead < nl) pf.data(buf[i + kDataAhead]);
        if (j + kDataAhead <= hi) pf.data(a[j + kDataAhead]);
        if (inOrder(&buf[i], &a[j]))
            a[k++] = buf[i++];
        else
            a[k++] = a[j++];
    }
    // The rest of the right run is already in place.
    std::memcpy(&a[k], &buf[i], (size_t)(nl - i) * sizeof *a);
}

template <class InOrder, class Prefetch = NoPrefetch>
void sort_range(void** a, int64_t lo, int64_t hi, void** buf, InOrder inOrder, Prefetch pf = {}) {
    if (hi - lo < kShortRun) {
        for (int64_t x = lo; x <= hi; x++) pf.entry(a[x]);
        for (int64_t x = lo; x <= hi; x++) pf.data(a[x]);
        insertion_sort(a, lo, hi, inOrder);
        return;
    }
    int64_t mid = lo + (hi - lo) / 2;
    sort_range(a, lo, mid, buf, inOrder, pf);
    sort_range(a, mid + 1, hi, buf, inOrder, pf);
    merge(a, lo, mid, hi, buf, inOrder, pf);
}

// Scratch entries a sort of n entries needs: a merge copies out only its left run.
inline int64_t scratch_entries(int64_t n) { return (n - 1) / 2 + 1; }

}  // namespace zs_msort_detail
