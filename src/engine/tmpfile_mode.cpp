// Sorting through a temporary file, for input files that do not fit the pool or whose size is not
// known (pipes and FIFOs, read to their end): every file goes through the split sort into sorted
// blocks of one temporary file, and the blocks are merged into the output. The temporary file is
// the run's: its cleanup closes it (zs_temp_close).
#include "base/msg.h"
#include "engine/driver.h"
#include "platform/platform.h"
#include "sort/split.h"

namespace {

// The verbose lines of the sort through the temporary file, as this mode prints them.
constexpr ZsTempTexts kTempTexts{
    {"\n--- Split sort with temporary files started.--- %s\n", "\n--- 一時ファイルでの分割ソートは開始します。--- %s\n"},
    {"Number of split blocks: [%ld].\n", "分割したブロック数は[%ld]です。\n"},
    {"Split sort took [%8.0f]ms.\n", "分割ソートがかかった[%8.0f]msです。\n"},
    {nullptr, nullptr},
    {"--- Split sort with temporary files completed.--- %s\n", "--- 一時ファイルでの分割ソートは完成しました。--- %s\n"},
    {"\n--- Temporary file merge sort started.--- %s\n", "\n--- 一時ファイルのマージソートは開始します。--- %s\n"},
    {"Merge sort took [%8.0f]ms.\n", "マージソートがかかった[%8.0f]msです。\n"},
    {nullptr, nullptr},
    {"--- Temporary file merge sort completed.--- %s\n", "--- 一時ファイルのマージソートは完成しました。--- %s\n"},
};

// The split sort of one input file, after its CSV header line (the first file's kept).
int split_file(ZsSortRun& r, const InputFile* file) {
    const ArgsInfo& a = *r.args;
    FILE* in = zs_open_input(r, file);
    if (in == nullptr) return 1;
    int rc = 0;
    // A stream is read to its end; its header line is taken from its first load (it cannot be
    // read twice).
    ZsSize bytes = file->bStream ? -1 : file->size;
    if (a.layout == ZS_CSV && a.bHeader && !file->bStream) {
        int32_t lineLen = 0;
        rc = zs_header_file(r, in, file, ZS_TEXT_HEADER_FAILED_JP, &lineLen);
        if (rc == 0) {
            bytes -= lineLen;
            // The split sort starts with the first record after the header.
            if (zs_plat_seek(in, lineLen) != 0) {
                ZS_MSG(r, "☆ Error occurred while reading input file during split sort!\n",
                       "☆分割ソートでは、入力ファイルの読み込み中にエラーが発生しました！\n");
                rc = 1;
            }
        }
    }
    if (rc == 0 && zs_split_sort(r, in, bytes) != 0) {
        ZS_MSG(r, "☆ Error occurred during input file split sort!\n", "☆入力ファイルの分割ソート中にエラーが発生しました！\n");
        rc = 1;
    }
    fclose(in);
    return rc;
}

int split_files(ZsSortRun& r, void*) {
    const ArgsInfo& a = *r.args;
    for (int32_t f = 0; f < a.inFileNums; f++)
        if (split_file(r, &a.arrInFile[f]) != 0) return 1;
    return 0;
}

}  // namespace

int zs_tmpfile_mode(ZsSortRun& r) { return zs_temp_sort(r, kTempTexts, split_files, nullptr); }
