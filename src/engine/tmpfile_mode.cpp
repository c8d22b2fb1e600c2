// Sorting through a temporary file, for input files that do not fit the pool: every file goes
// through the split sort into sorted blocks of one temporary file, and the blocks are merged into
// the output. The mode owns the temporary file from its creation to its removal.
#include "base/msg.h"
#include "engine/driver.h"
#include "platform/platform.h"
#include "sort/merge.h"
#include "sort/split.h"

namespace {

// The split sort of one input file; its CSV header line is read here, the first file's kept.
int split_file(const InputFile* file, bool first) {
    const ArgsInfo* a = &zs_args;
    FILE* in = zs_open_input(file);
    if (in == nullptr) return 1;
    int rc = 0;
    int64_t bytes = file->size;
    if (a->layout == ZS_CSV && a->bHeader) {
        ZsHeaderChunk h;
        rc = zs_read_header(in, file, first, true, &h);
        if (rc == 0) {
            qfree(h.chunk);
            bytes -= h.lineLen;
            // The split sort starts with the first record after the header.
            if (zs_plat_seek(in, h.lineLen) != 0) {
                ZS_MSG("☆ Error occurred while reading input file during split sort!\n",
                       "☆分割ソートでは、入力ファイルの読み込み中にエラーが発生しました！\n");
                rc = 1;
            }
        }
    }
    if (rc == 0 && zs_split_sort(in, bytes) != 0) {
        ZS_MSG("☆ Error occurred during input file split sort!\n", "☆入力ファイルの分割ソート中にエラーが発生しました！\n");
        rc = 1;
    }
    fclose(in);
    return rc;
}

}  // namespace

int zs_tmpfile_mode() {
    ArgsInfo* a = &zs_args;
    ZS_VMSG("\n--- Split sort with temporary files started.--- %s\n", "\n--- 一時ファイルでの分割ソートは開始します。--- %s\n",
            zs_timestamp());
    zs_phase_begin();
    if (zs_create_temp_file() != 0) return 1;
    for (int32_t f = 0; f < a->inFileNums; f++)
        if (split_file(&a->arrInFile[f], f == 0) != 0) return 1;
    if (zs_finish_temp_writes() != 0) return 1;
    if (zs_run.bVerbose) {
        zs_run.finish = zs_plat_clock();
        ZS_MSG("Number of split blocks: [%ld].\n", "分割したブロック数は[%ld]です。\n", (long)zs_run.unit_cnt);
        ZS_MSG("Split sort took [%8.0f]ms.\n", "分割ソートがかかった[%8.0f]msです。\n", zs_ms(zs_run.phaseStart, zs_run.finish));
        ZS_MSG("--- Split sort with temporary files completed.--- %s\n", "--- 一時ファイルでの分割ソートは完成しました。--- %s\n",
               zs_timestamp());
        ZS_MSG("\n--- Temporary file merge sort started.--- %s\n", "\n--- 一時ファイルのマージソートは開始します。--- %s\n",
               zs_timestamp());
        zs_run.phaseStart = zs_plat_clock();
    }
    if (zs_merge_to_output() != 0) return 1;
    if (zs_remove_temp_file() != 0) return 1;
    if (zs_run.bVerbose) {
        zs_run.finish = zs_plat_clock();
        ZS_MSG("Merge sort took [%8.0f]ms.\n", "マージソートがかかった[%8.0f]msです。\n", zs_ms(zs_run.phaseStart, zs_run.finish));
        ZS_MSG("--- Temporary file merge sort completed.--- %s\n", "--- 一時ファイルのマージソートは完成しました。--- %s\n",
               zs_timestamp());
    }
    return 0;
}
