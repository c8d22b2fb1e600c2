// Sorting of index items (records/records.h ZsItem) by their records' order.
//
// Contract
// - The order is the comparator family's for the run's layout; with `stable` (or -U of keyed
//   records) records that compare equal keep their input order. Nothing is allocated.
// - The layout, the key form and the width of the items' offsets (ZsIndex.wide) are chosen once
//   per sort; the items are sorted by a body compiled for them.
// - With r.threads > 1 a large index is sorted on the run's threads (base/parallel.h), unless the
//   call is itself on a worker thread; the items end in exactly the order one thread gives them,
//   whatever the thread count and timing, ties of unstable sorts included.
// - An interrupt seen during a long sort leaves the items in some order: the caller checks
//   r.bInterrupted before it writes them.
#pragma once

#include "records/records.h"
#include "sort/run.h"

void zs_sort_items(ZsSortRun& r, ZsIndex* idx, bool stable);
