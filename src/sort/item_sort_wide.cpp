// The item sort's body for 64-bit items, which buffers past 4 GiB get (sort/item_sort_body.h).
#include "sort/item_sort_body.h"

void zs_sort_wide_items(ZsSortRun& r, ZsIndex* idx, bool stable) { sort_items<uint64_t>(r, idx, stable); }
