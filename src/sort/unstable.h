#pragma once

#include <cstdint>

#include "memory/msort.h"

// Unstable sort of n entry pointers with a comparator of the family (qsort contract: the
// comparator receives the addresses of two elements).
void zs_sort_unstable(void** items, int32_t n, ZsCmp cmp);
