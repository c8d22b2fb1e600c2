// Sorting of record index lists.
#pragma once

#include <cstdint>

#include "records/compare.h"

// Sorts n entry pointers of a record index list by a member of the comparator family. The order
// is stable either way. 0 sorted; 1 only for a stable sort that could not get its scratch (the
// entries are then unchanged in order); an unstable sort then sorts in place instead.
int zs_sort_entries(void** items, int32_t n, ZsCmpId id, bool stable);
