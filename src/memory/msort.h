#pragma once

#include <cstddef>
#include <cstdint>

#include "memory/pool.h"

// A qsort-style comparator given the addresses of two elements and the environment the caller
// handed to the sort (the comparator family takes the run's records context there).
using ZsCmp = int (*)(const void*, const void*, void* env);

// Stable merge sort of items[lo..hi] (inclusive) with a qsort-style comparator given the
// addresses of two elements. Scratch comes from the pool's back region. Returns 0 when sorted,
// 1 when no merge buffer could be had (the range then holds the same entries).
int zs_list_msort(MemoryPool* p, void** items, ZsSize lo, ZsSize hi, size_t elemSize, ZsCmp cmp, void* env);
