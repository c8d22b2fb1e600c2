// In-memory sort: index the loaded buffer, sort the index, write the output, release.
#include "base/msg.h"
#include "sort/item_sort.h"
#include "sort/sort.h"

namespace {

int memsort(char* data, int32_t length, const int32_t* fileEnds, int32_t fileNums, bool stable) {
    ArgsInfo* a = &zs_args;
    zs_phase_begin();

    // No data means no records, which is not an error: the output is written empty.
    ZsIndex idx{};
    if (length > 0 && zs_index_build(data, length, ZsScan{1, fileEnds, fileNums, 0, ZS_MAX_TAIL, 1}, &idx) != 0)
        return 1;
    if (a->totalRecNum == 0) a->totalRecNum = idx.count;

    zs_sort_items(&idx, stable);
    if (zs_run.bInterrupted) {
        zs_index_release(&idx);
        return 1;
    }
    zs_time_phase(stable ? "安定ソートがかかった[%8.0f]msです。\n" : "不安定ソートがかかった[%8.0f]msです。\n", true);

    int rc = a->bUnique == 1 ? zs_write_output_unique(&idx) : zs_write_output(&idx);
    if (rc == 0) zs_time_phase("出力がかかった[%8.0f]msです。\n", true);
    zs_index_release(&idx);
    if (rc != 0) return 1;
    qfree(data);
    zs_time_phase("メモリ解放がかかった[%8.0f]msです。\n", true);
    return 0;
}

}  // namespace

int zs_memsort(char* data, int32_t length, const int32_t* fileEnds, int32_t fileNums) {
    return memsort(data, length, fileEnds, fileNums, false);
}

int zs_memsort_stable(char* data, int32_t length, const int32_t* fileEnds, int32_t fileNums) {
    return memsort(data, length, fileEnds, fileNums, true);
}
