// Sorting of index items (sort/records.h ZsItem) by their records' order.
//
// Contract
// - The order is the comparator family's for the run's layout; with `stable` (or -U of keyed
//   records) records that compare equal keep their input order. Nothing is allocated.
// - An interrupt seen during a long sort leaves the items in some order: the caller checks
//   zs_run.bInterrupted before it writes them.
#pragma once

#include "records/records.h"

void zs_sort_items(ZsIndex* idx, bool stable);
