// In-memory sort: index the loaded buffer, sort the index, write the output, release.
#include "engine/msg.h"
#include "platform/platform.h"
#include "records/compare.h"
#include "sort/sort.h"
#include "sort/entry_sort.h"

namespace {

// Prints a timing line for the phase since phaseStart and starts the next phase.
void phase_timing(const char* text) {
    if (!bVerbose) return;
    finish = zs_plat_clock();
    zs_msg_jp(text, (double)(finish - phaseStart) / 1000.0 * 1000.0);
    phaseStart = zs_plat_clock();
}

ZsCmp list_comparator() {
    const ArgsInfo& a = zs_args;
    bool whole = a.bRecSort != 0;
    if (a.bFixVar == 1) return whole ? _cmpList_totalRec : _cmpList;
    if (zs_is_csv(&a)) return whole ? _cmpList_totalRec_csv : _cmpList_csv;
    return whole ? _cmpList_totalRec_variable : _cmpList_variable;
}

int memsort(char* data, int32_t length, bool stable) {
    ArgsInfo* a = &zs_args;
    if (bVerbose) phaseStart = zs_plat_clock();

    // No data means no records, which is not an error: the output is written empty.
    PtrList* list = nullptr;
    if (length > 0) {
        list = a->bFixVar == 1 ? _zs_get_indexList(data, length)
               : zs_is_csv(a)  ? _zs_get_indexList_csv(data, length, 1)
                               : _zs_get_indexList_variable(data, length, 1);
        if (list == nullptr) return 1;
    }
    if (a->totalRecNum == 0) a->totalRecNum = list != nullptr ? list->count : 0;

    ZsCmp cmp = list_comparator();
    if (list != nullptr && list->count > 0) {
        if (zs_sort_entries(list->items + list->start, list->count, cmp, stable) != 0) {
            ZS_MSG("☆ In-memory stable sort failed!\n", "☆メモリ上での安定ソートは失敗しました!\n");
            return 1;
        }
    }
    phase_timing(stable ? "安定ソートがかかった[%8.0f]msです。\n" : "不安定ソートがかかった[%8.0f]msです。\n");

    if ((a->bUnique == 1 ? zs_write_output_unique(list) : zs_write_output(list)) != 0) return 1;
    phase_timing("出力がかかった[%8.0f]msです。\n");

    if (columnStore != nullptr) zs_free(pool, columnStore);
    columnStore = nullptr;
    if (entryStore != nullptr) zs_free(pool, entryStore);
    entryStore = nullptr;
    zs_list_destroy(list);
    qfree(data);
    phase_timing("メモリ解放がかかった[%8.0f]msです。\n");
    return 0;
}

}  // namespace

int zs_memsort(char* data, int32_t length) { return memsort(data, length, false); }

int zs_memsort_stable(char* data, int32_t length) { return memsort(data, length, true); }
