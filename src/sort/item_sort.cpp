// The item sort's entry, and its body for 32-bit items (sort/item_sort_body.h).
#include "sort/item_sort_body.h"

void zs_sort_items(ZsSortRun& r, ZsIndex* idx, bool stable) {
    if (idx->count < 2) return;
    // The offsets' width, chosen once per sort as the layout is.
    if (idx->wide)
        zs_sort_wide_items(r, idx, stable);
    else
        sort_items<uint32_t>(r, idx, stable);
}
