// Sort of standard input: its size is unknown, so it is read in loads; data that ends within the
// first load is sorted in memory, anything longer goes block by block through the temporary file
// and is merged as in the temporary-file mode.
#include "base/msg.h"
#include "platform/platform.h"
#include "sort/split.h"

namespace {

// The verbose lines of the sort through the temporary file, as this mode prints them.
constexpr ZsTempTexts kTempTexts{
    {nullptr, "-- 一時ファイルでのソートは開始します。 %s\n"},
    {nullptr, "分割したブロック数は[%ld]です。\n"},
    {nullptr, nullptr},
    {nullptr, "分割ソートにかった時間[%ld]msです。\n"},
    {nullptr, "-- 一時ファイルでの分割ソートは完成しました。 %s\n\n"},
    {nullptr, "-- 一時ファイルのマージソートは開始します。 %s\n"},
    {nullptr, nullptr},
    {nullptr, "一時ファイルのマージソートがかかった時間[%ld]ms。\n"},
    {nullptr, "-- 一時ファイルでのソートは完成しました。 %s\n"},
};

// The whole input is in the first load: sorted and written in memory.
int sort_in_memory(ZsSortRun& r, ZsSplit* s) {
    const ArgsInfo& a = *r.args;
    if (a.layout == ZS_FIXED && s->len % a.recLen != 0) {
        ZS_MSG(r, "☆ Invalid input data size [%ld]!\n", "☆入力データのサイズ[%ld]は不正です！\n", (long)s->len);
        return 1;
    }
    s->len += zs_end_with_sep(r, s->buf, s->len);  // the buffer has room for it
    char* data = s->buf;
    s->buf = nullptr;  // the sort takes the buffer over
    int rc = a.bStabilize == 1 ? zs_memsort_stable(r, data, s->len) : zs_memsort(r, data, s->len);
    if (a.layout == ZS_FIXED) r.totals.totalRecNum = s->len / a.recLen;
    return rc;
}

// The rest of the input, block by block, into the temporary file.
int split_rest(ZsSortRun& r, void* env) {
    ZsSplit* s = static_cast<ZsSplit*>(env);
    zs_progress_add(r, s->len);  // the first load is sorted in this phase too
    if (zs_split_all(r, s) != 0) return 1;
    zs_split_close(r, s);
    return 0;
}

}  // namespace

int zs_stdin(ZsSortRun& r) {
    const ArgsInfo& a = *r.args;
    // A run before this one may have read standard input to its end.
    zs_plat_clear(zs_std_in(r));
    ZsSplit s;
    zs_progress_start(r, "read", 0);
    int rc = zs_split_open(r, &s, zs_std_in(r), -1);
    if (rc == 0) {
        ZS_VMSG_JP(r, "ブロックのバッファサイズは[%ld]KBです。\n", zs_kb(s.cap));
        rc = zs_split_buffer(r, &s);
    }
    if (rc == 0) rc = zs_split_fill(r, &s);
    if (rc == 0) zs_progress_end(r);
    if (rc == 0 && s.len == 0) {
        // No data: an empty output, and a success.
        ZS_VMSG_JP(r, "\n-- ソートデータ無しなので、終了する。\n");
        zs_split_close(r, &s);
        return zs_open_output(r, ZS_TEXT_OUT_CREATE) != 0 ? 1 : zs_close_output(r, false);
    }
    // With -H the first line of the data is the header: kept for the output and cut from the load.
    if (rc == 0 && a.layout == ZS_CSV && a.bHeader) rc = zs_split_take_header(r, &s, ZS_TEXT_HEADER_FAILED);
    if (rc == 0) rc = s.atEnd ? sort_in_memory(r, &s) : zs_temp_sort(r, kTempTexts, split_rest, &s);
    zs_split_close(r, &s);
    return rc;
}
