#pragma once

#include <cstdint>

#include "memory/msort.h"

// Sorts n entry pointers of a record index list with a comparator of the family (qsort contract:
// the comparator receives the addresses of two elements). The order is stable either way; a
// stable sort returns 1 when it cannot get its scratch, an unstable one then sorts in place.
int zs_sort_entries(void** items, int32_t n, ZsCmp cmp, bool stable);
