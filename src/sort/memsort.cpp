// In-memory sort: index the loaded buffer, sort the index, write the output, release.
#include "base/msg.h"
#include "sort/item_sort.h"
#include "sort/sort.h"

namespace {

int memsort(ZsSortRun& r, char* data, ZsSize length, const ZsSize* fileEnds, int32_t fileNums, bool stable) {
    const ArgsInfo& a = *r.args;
    zs_phase_begin(r);
    zs_progress_start(r, "sort", length);

    // No data means no records, which is not an error: the output is written empty.
    ZsIndex idx{};
    if (length > 0 &&
        zs_index_build(r, data, length, ZsScan{1, fileEnds, fileNums, 0, ZS_MAX_TAIL, ZS_ITEMS}, &idx) != 0)
        return 1;
    if (r.totals.totalRecNum == 0) r.totals.totalRecNum = idx.count;

    zs_sort_items(r, &idx, stable);
    if (r.bInterrupted) {
        zs_index_release(r, &idx);
        return 1;
    }
    zs_progress_end(r);
    zs_time_phase(r, stable ? "安定ソートがかかった[%8.0f]msです。\n" : "不安定ソートがかかった[%8.0f]msです。\n", true);

    int rc = a.bUnique == 1 ? zs_write_output_unique(r, &idx) : zs_write_output(r, &idx);
    if (rc == 0) zs_time_phase(r, "出力がかかった[%8.0f]msです。\n", true);
    zs_index_release(r, &idx);
    if (rc != 0) return 1;
    qfree(r.pool, data);
    zs_time_phase(r, "メモリ解放がかかった[%8.0f]msです。\n", true);
    return 0;
}

}  // namespace

int zs_memsort(ZsSortRun& r, char* data, ZsSize length, const ZsSize* fileEnds, int32_t fileNums) {
    return memsort(r, data, length, fileEnds, fileNums, false);
}

int zs_memsort_stable(ZsSortRun& r, char* data, ZsSize length, const ZsSize* fileEnds, int32_t fileNums) {
    return memsort(r, data, length, fileEnds, fileNums, true);
}
