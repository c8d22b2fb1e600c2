// Sort of standard input: its size is unknown, so it is read in loads; data that ends within the
// first load is sorted in memory, anything longer goes block by block through the temporary file
// and is merged as in the temporary-file mode.
#include <cstring>

#include "base/msg.h"
#include "platform/platform.h"
#include "sort/split.h"

namespace {

// With -H the first line of the data is the header: kept for the output and cut from the load.
int take_header(ZsSplit* s) {
    int32_t scanned = s->len < ZS_HEADER_SCAN_LIMIT ? s->len : ZS_HEADER_SCAN_LIMIT;
    int32_t lineLen;
    bool complete;
    if (zs_header_line(s->buf, scanned, s->atEnd && s->len == scanned, false, &lineLen, &complete) != 0) return 1;
    if (zs_keep_header(s->buf, lineLen, complete) != 0) return 1;
    std::memmove(s->buf, s->buf + lineLen, (size_t)(s->len - lineLen));
    s->len -= lineLen;
    return 0;
}

// The whole input is in the first load: sorted and written in memory.
int sort_in_memory(ZsSplit* s) {
    ArgsInfo* a = &zs_args;
    if (a->layout == ZS_FIXED && s->len % a->recLen != 0) {
        ZS_MSG("☆ Invalid input data size [%ld]!\n", "☆入力データのサイズ[%ld]は不正です！\n", (long)s->len);
        return 1;
    }
    s->len += zs_end_with_sep(s->buf, s->len);  // the buffer has room for it
    char* data = s->buf;
    s->buf = nullptr;  // the sort takes the buffer over
    int rc = a->bStabilize == 1 ? zs_memsort_stable(data, s->len) : zs_memsort(data, s->len);
    if (a->layout == ZS_FIXED) a->totalRecNum = s->len / a->recLen;
    return rc;
}

int sort_through_file(ZsSplit* s) {
    ZS_VMSG_JP("-- 一時ファイルでのソートは開始します。 %s\n", zs_timestamp());
    zs_phase_begin();
    if (zs_create_temp_file() != 0 || zs_split_all(s) != 0) return 1;
    zs_split_close(s);
    if (zs_finish_temp_writes() != 0) return 1;
    if (zs_run.bVerbose) {
        zs_run.finish = zs_plat_clock();
        ZS_MSG_JP("分割したブロック数は[%ld]です。\n", (long)zs_run.unit_cnt);
        ZS_MSG_JP("分割ソートにかった時間[%ld]msです。\n", zs_run.finish - zs_run.phaseStart);
        zs_run.phaseStart = zs_plat_clock();
        ZS_MSG_JP("-- 一時ファイルでの分割ソートは完成しました。 %s\n\n", zs_timestamp());
        ZS_MSG_JP("-- 一時ファイルのマージソートは開始します。 %s\n", zs_timestamp());
    }
    if (zs_merge_to_output() != 0) return 1;
    if (zs_run.bVerbose) {
        zs_run.finish = zs_plat_clock();
        ZS_MSG_JP("一時ファイルのマージソートがかかった時間[%ld]ms。\n", zs_run.finish - zs_run.phaseStart);
        ZS_MSG_JP("-- 一時ファイルでのソートは完成しました。 %s\n", zs_timestamp());
    }
    return zs_remove_temp_file();
}

}  // namespace

int zs_stdin() {
    ArgsInfo* a = &zs_args;
    // A run before this one may have read standard input to its end.
    zs_plat_clear(stdin);
    ZsSplit s;
    int rc = zs_split_open(&s, stdin, -1, true);
    if (rc == 0) rc = zs_split_fill(&s);
    if (rc == 0 && s.len == 0) {
        // No data: an empty output, and a success.
        ZS_VMSG_JP("\n-- ソートデータ無しなので、終了する。\n");
        zs_split_close(&s);
        return zs_open_output(false) != 0 ? 1 : zs_close_output(false);
    }
    if (rc == 0 && a->layout == ZS_CSV && a->bHeader) rc = take_header(&s);
    if (rc == 0) rc = s.atEnd ? sort_in_memory(&s) : sort_through_file(&s);
    zs_split_close(&s);
    return rc;
}
