// Merge of the temporary file: every sorted block gets a buffer in the pool, a work list keeps the
// blocks ordered by their current records, and the first block's record is written until every
// block is used up.
#include <cstring>

#include "base/msg.h"
#include "platform/platform.h"
#include "sort/merge.h"

namespace {

constexpr int64_t kBasicSize = 1 << 20;  // pool kept back from the block buffers

int32_t read_i32(const char* p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The temporary record format of each layout: the bytes before the record's data, and the whole
// record's length read from them (-1 when they cannot belong to a record).
template <ZsLayout L>
struct TmpRec;
template <>
struct TmpRec<ZS_FIXED> {
    static int32_t head() { return zs_args.recLen; }
    static int64_t total(const char*) { return zs_args.recLen; }
    static const char* data(const char* r) { return r; }
    static int32_t len(const char*) { return zs_args.recLen; }
    static int32_t colNum(const char*) { return 0; }
};
template <>
struct TmpRec<ZS_VARIABLE> {
    static int32_t head() { return 4; }
    static int64_t total(const char* r) { return read_i32(r) < 0 ? -1 : 4 + (int64_t)read_i32(r); }
    static const char* data(const char* r) { return r + 4; }
    static int32_t len(const char* r) { return read_i32(r); }
    static int32_t colNum(const char*) { return 0; }
};
template <>
struct TmpRec<ZS_CSV> {
    static int32_t head() { return 8; }
    static int64_t total(const char* r) {
        int32_t len = read_i32(r), n = read_i32(r + 4);
        return len < 0 || n < 0 ? -1 : 8 + 8 * (int64_t)n + len;
    }
    static const char* data(const char* r) { return r + 8 + 8 * (int64_t)read_i32(r + 4); }
    static int32_t len(const char* r) { return read_i32(r); }
    static int32_t colNum(const char* r) { return read_i32(r + 4); }
};

int read_error() {
    ZS_MSG_JP("☆一時ファイルの読み込み中にエラーが発生しました！\n");
    return 1;
}

int buffer_failed(int32_t i, int64_t size, bool fixed) {
    // The two texts name the size and the buffer in opposite orders.
    if (fixed && !zs_is_japanese())
        ZS_MSG_JP("☆ Failed to allocate [%ld]KB memory for block buffer %ld!\n", zs_kb(size), (long)i);
    else
        ZS_MSG_JP("☆ブロックバッファ%ldの[%ld]KBメモリの割当は失敗しました!\n", (long)i, zs_kb(size));
    return 1;
}

// Moves what is left of the buffer to its front and reads the block's next bytes behind it, so
// that at least `need` bytes of the current record are in the buffer; a buffer smaller than the
// record grows. 1 after a message.
int refill(FILE* tmp, UnitDataInfo* u, int64_t need, bool fixed) {
    int32_t carry = u->bufLen - u->bufPos;
    std::memmove(u->buf, u->buf + u->bufPos, (size_t)carry);
    u->bufPos = 0;
    u->bufLen = carry;
    if (need > u->bufCap) {
        void* grown = zs_realloc(u->buf, need);
        if (grown == nullptr) return buffer_failed(u->unitNo, need, fixed);
        u->buf = static_cast<char*>(grown);
        u->bufCap = (int32_t)need;
    }
    int64_t want = u->size - u->readBytes;
    if (want > u->bufCap - carry) want = u->bufCap - carry;
    int64_t got = want > 0 ? zs_plat_read_at(tmp, u->buf + carry, want, u->offset + u->readBytes) : 0;
    if (got != want) return read_error();
    u->readBytes += got;
    u->bufLen += (int32_t)got;
    if (u->bufLen < need) return read_error();  // the block ends inside the record
    return 0;
}

// Makes the current record of a block whole in its buffer. 1 after a message.
template <ZsLayout L>
int ensure_record(FILE* tmp, UnitDataInfo* u) {
    using R = TmpRec<L>;
    if (u->bufLen - u->bufPos < R::head() && refill(tmp, u, R::head(), L == ZS_FIXED) != 0) return 1;
    int64_t total = R::total(u->buf + u->bufPos);
    int64_t left = (int64_t)(u->bufLen - u->bufPos) + (u->size - u->readBytes);
    // A length that cannot fit what is left of the block is damage, never something to read.
    if (total < R::head() || total > left || total > INT32_MAX) return read_error();
    if (u->bufLen - u->bufPos < total && refill(tmp, u, total, L == ZS_FIXED) != 0) return 1;
    return 0;
}

// Size of every block buffer: three quarters of an equal share of the pool, and never less than
// four of the longest records.
template <ZsLayout L>
int32_t block_buffer_size(int32_t outBufSize) {
    const ArgsInfo& a = zs_args;
    const int32_t units = zs_run.unit_cnt;
    if (units == 0) return 0;
    int64_t avail = (int64_t)a.totalMemSize - outBufSize - kBasicSize;
    int64_t share = avail / units;
    int64_t size;
    if constexpr (L == ZS_FIXED) {
        share -= share % a.recLen;
        size = share / 4 * 3;
        size -= size % a.recLen;
    } else {
        size = share / 4 * 3;
    }
    int64_t longest = L == ZS_FIXED ? a.recLen : zs_run.maxTmpRecLen;
    if (size < longest) {
        ZS_VMSG_JP("☆各ブロックのバッファサイズ[%ld]は最大レコード長[%ld]より小さいです。\n", (long)size, (long)longest);
        size = 4 * longest;
        ZS_VMSG_JP("☆各ブロックのバッファサイズを[%ld]Byteにします。\n", (long)size);
    }
    if (size > INT32_MAX / 2) size = INT32_MAX / 2;
    ZS_VMSG_JP("各ブロックのバッファサイズは[%ld]KB, [%ld]Byteです。\n", (long)(size / 1024), (long)size);
    return (int32_t)size;
}

template <ZsLayout L>
int merge_blocks(FILE* tmp, ZsMergeOut* out, ZsPrevRecord* prev, PtrList** workOut) {
    using R = TmpRec<L>;
    const ArgsInfo& a = zs_args;
    const bool fixed = L == ZS_FIXED;
    const int32_t units = zs_run.unit_cnt;
    PtrList* blocks = zs_run.blockList;

    zs_run.blockBufSize = block_buffer_size<L>(a.outFile.outBufSize);
    for (int32_t i = 0; i < units; i++) {
        UnitDataInfo* u = static_cast<UnitDataInfo*>(blocks->items[blocks->start + i]);
        int64_t len = u->size < zs_run.blockBufSize ? u->size : zs_run.blockBufSize;
        u->buf = static_cast<char*>(zs_malloc(zs_run.pool, len));
        if (u->buf == nullptr) return buffer_failed(i, len, fixed);
        u->bufCap = u->bufLen = (int32_t)len;
        if (!fixed) ZS_VMSG_JP("ブロックバッファ%ldの[%ld]KB, [%ld]Byteの初期化は完了しました。\n", (long)i, (long)(len / 1024), (long)len);
    }
    for (int32_t i = 0; i < units; i++) {
        UnitDataInfo* u = static_cast<UnitDataInfo*>(blocks->items[blocks->start + i]);
        if (zs_plat_read_at(tmp, u->buf, u->bufLen, u->offset) != u->bufLen) return read_error();
        u->unitNo = i;
        u->recIdx = 0;
        u->bufPos = 0;
        u->readBytes = u->bufLen;
        if (u->recNum < 1 || ensure_record<L>(tmp, u) != 0) return read_error();
    }
    ZS_VMSG_JP("一時ファイル⇒ブロックバッファにデータを埋め込みました。\n");

    PtrList* work = *workOut = zs_work_list(blocks);
    if (work == nullptr) {
        ZS_MSG("☆ Failed to allocate [%ld] bytes for block information management! \n",
               "☆ブロック情報管理用[%ld]メモリの割当は失敗しました！ \n", (long)sizeof(PtrList));
        return 1;
    }
    const ZsCmp plain = zs_cmp_fn(zs_cmp_of(L, ZS_AT_UNIT, false));
    // With -U the record kept of equal ones must not depend on where blocks end: the first in
    // input order, as in memory. Blocks are numbered in input order, so the stable form gives it.
    const ZsCmp place = zs_cmp_fn(zs_cmp_of(L, ZS_AT_UNIT, a.bStabilize == 1 || a.bUnique == 1));
    const ZsCmp equal = zs_cmp_fn(zs_eq_of(L, ZS_AT_UNIT));
    bool sorted = false, first = true;
    int32_t open = units;
    for (uint32_t taken = 1; open > 0; taken++) {
        if (zs_work_order(work, open, &sorted, plain, place) != 0) return 1;
        UnitDataInfo* u = static_cast<UnitDataInfo*>(work->items[work->start]);
        const char* rec = u->buf + u->bufPos;
        if (a.bUnique != 1) {
            zs_merge_out_put(out, R::data(rec), R::len(rec));
        } else {
            // Fixed-length records compare as themselves; the others through the previous record.
            bool differs = first || (fixed ? equal(prev->last.lastData, rec) : equal(&prev->last, u)) != 0;
            if (differs) {
                zs_merge_out_put(out, R::data(rec), R::len(rec));
                if (zs_prev_set(prev, R::data(rec), R::len(rec), rec + 8, R::colNum(rec)) != 0) {
                    ZS_MSG_JP("☆出力バッファ[%ld]KBメモリの割当は失敗しました！ \n", zs_kb(R::len(rec)));
                    return 1;
                }
                first = false;
            }
        }
        u->bufPos += (int32_t)R::total(rec);
        if (++u->recIdx < u->recNum) {
            if (ensure_record<L>(tmp, u) != 0) return 1;
        } else {
            if (zs_run.bVerbose) {
                if (fixed)
                    ZS_MSG_JP("総ブロック数:%ld  完成ブロック番号：%ld - %s\n", (long)open, (long)u->unitNo + 1, zs_timestamp());
                else
                    ZS_MSG_JP("総ブロック数:%ld  完成ブロック番号：%ld\n", (long)open, (long)u->unitNo + 1);
            }
            open--;
            zs_list_remove_at(work, 0);
        }
        if ((taken & 0xFFFF) == 0 && zs_interrupted()) return 1;
        if (out->failed()) return zs_merge_out_close(out);
    }
    return 0;
}

}  // namespace

template <ZsLayout L>
int zs_mergeTmpFile(FILE* tmp, FILE* out) {
    ZS_ASSERT(zs_args.layout == L);
    const ArgsInfo& a = zs_args;
    const bool fixed = L == ZS_FIXED;
    ZsMergeOut mo;
    if (zs_merge_out_open(&mo, out, a.bUnique == 1, fixed ? a.recLen : 0) != 0) return 1;
    const long outKb = zs_kb(a.outFile.outBufSize);
    if (a.bUnique == 1) {
        ZS_VMSG_JP("出力バッファサイズは[%ld]KBです。\n", outKb);
        ZS_VMSG_JP("ブロックバッファ数は[%ld]です。\n", (long)zs_run.unit_cnt);
    }
    if (!fixed) {
        ZS_VMSG_JP("totalMemSizeのサイズは[%ld]KB, [%ld]Byteです。\n", (long)(a.totalMemSize / 1024), (long)a.totalMemSize);
        ZS_VMSG_JP("BASIC_SIZEのサイズは[%ld]KB, [%ld]Byteです。\n", (long)(kBasicSize / 1024), (long)kBasicSize);
        ZS_VMSG_JP("出力バッファサイズは[%ld]KBです。\n", outKb);
        ZS_VMSG_JP("ブロックバッファ数は[%ld]です。\n", (long)zs_run.unit_cnt);
    }

    ZsPrevRecord prev{};
    if (a.bUnique == 1 && zs_prev_reserve(&prev) != 0) {
        ZS_MSG_JP("☆出力バッファ[%ld]KBメモリの割当は失敗しました！ \n", 4L);
        return 1;
    }
    PtrList* work = nullptr;
    int rc = merge_blocks<L>(tmp, &mo, &prev, &work);
    if (rc == 0) rc = zs_merge_out_close(&mo);
    if (rc != 0) return 1;  // the rest goes with the pool

    long t0 = zs_plat_clock();
    PtrList* blocks = zs_run.blockList;
    for (int32_t i = 0; i < zs_run.unit_cnt; i++) {
        zs_unit_free(static_cast<UnitDataInfo*>(blocks->items[blocks->start + i]));
        blocks->items[blocks->start + i] = nullptr;
    }
    zs_list_destroy(work);
    zs_prev_release(&prev);
    ZS_MSG_JP("メモリ解放がかかった[%8.0f]msです。\n", zs_ms(t0, zs_plat_clock()));
    return 0;
}

template int zs_mergeTmpFile<ZS_FIXED>(FILE*, FILE*);
template int zs_mergeTmpFile<ZS_VARIABLE>(FILE*, FILE*);
template int zs_mergeTmpFile<ZS_CSV>(FILE*, FILE*);

int zs_merge_tmp(FILE* tmp, FILE* out) {
    return zs_with_layout(zs_args.layout, [&](auto tag) { return zs_mergeTmpFile<tag.value>(tmp, out); });
}
