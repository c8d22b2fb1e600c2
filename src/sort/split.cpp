// Split sort: data larger than the pool is read in loads; each load is indexed, sorted and
// appended to the temporary file as one sorted block, described by a UnitDataInfo in blockList.
//
// Memory: a load's buffer and the index of its records share the pool. The buffer is sized from
// the records of a first sample, so that buffer, entries, list and sort scratch fit together, and
// a block never indexes more records than that share allows: a load of shorter records than the
// sample's leaves the rest for the next block instead of spilling to the heap.
#include <algorithm>
#include <cstring>

#include "base/msg.h"
#include "sort/item_sort.h"
#include "sort/merge.h"
#include "sort/split.h"

namespace {

constexpr int64_t kBasicSize = 1 << 20;     // pool kept back from the blocks
constexpr int64_t kSampleBytes = 64 << 10;  // read first to learn the record length
constexpr int64_t kPoolSlack = 64 << 10;    // headers of the pool's own blocks

void read_failed() {
    if (zs_run.bInterrupted) return;  // the interrupt has been reported
    ZS_MSG("☆ Error occurred while reading input file during split sort!\n",
           "☆分割ソートでは、入力ファイルの読み込み中にエラーが発生しました！\n");
}

// Reads up to n bytes into dst; the stream's end (or, for a file, its expected size) sets atEnd.
int read_more(ZsSplit* s, char* dst, int64_t n) {
    int64_t got = n;
    if (s->left >= 0) {
        if (got > s->left) got = s->left;
        bool atEnd;
        if (!zs_read_sized(s->in, dst, got, &s->left, &atEnd)) {
            read_failed();
            return 1;
        }
        s->atEnd = atEnd;
    } else {
        got = n > 0 ? zs_plat_read(s->in, dst, n) : 0;
        if (got < 0) {
            read_failed();
            return 1;
        }
        if (got < n) s->atEnd = true;  // only the end of the data reads short
    }
    s->len += (int32_t)got;
    return 0;
}

// Sizes the block buffer and the record limit of a block from the sample's records: the buffer
// takes the share of the pool that its records' index leaves free.
void plan_blocks(ZsSplit* s, const char* sample, int64_t sampleLen) {
    const ArgsInfo& a = zs_args;
    int64_t avail = (int64_t)a.totalMemSize - kBasicSize - kPoolSlack;
    if (avail < (64 << 10)) avail = 64 << 10;
    ZsSample smp = zs_index_sample(sample, sampleLen);
    double perRecord = (double)zs_index_cost(smp.columns);
    int64_t cap = (int64_t)((double)avail * smp.recordBytes / (smp.recordBytes + perRecord));
    if (a.layout == ZS_FIXED) {
        cap -= cap % a.recLen;
        if (cap < a.recLen) cap = a.recLen;  // a block holds at least one record
    }
    if (cap > INT32_MAX - 16) cap = INT32_MAX - 16;
    if (cap < 1) cap = 1;
    int64_t records = (int64_t)((double)(avail - cap) / perRecord);
    s->cap = (int32_t)cap;
    s->maxRecords = records > 1 ? records : 1;
    s->perRecord = (int64_t)perRecord;
}

}  // namespace

int zs_split_open(ZsSplit* s, FILE* in, int64_t bytes, bool standardInput) {
    const ArgsInfo& a = zs_args;
    *s = ZsSplit{in, bytes, bytes == 0, nullptr, 0, 0, 1, 1, nullptr};
    // The sample is read into a front block, so that the buffer can follow it in the back region.
    char* sample = static_cast<char*>(zs_malloc(zs_run.pool, kSampleBytes));
    if (sample == nullptr) {
        ZS_MSG("☆ Failed to allocate [%ld]KB memory for split sort buffer! \n",
               "☆分割ソート用バッファ[%ld]KBメモリの割当は失敗しました！ \n", (long)(kSampleBytes / 1024));
        return 1;
    }
    int rc = s->atEnd ? 0 : read_more(s, sample, kSampleBytes);
    if (rc == 0) {
        plan_blocks(s, sample, s->len);
        if (s->len > s->cap) s->cap = s->len;  // never smaller than what was read
        if (standardInput)
            ZS_VMSG_JP("ブロックのバッファサイズは[%ld]KBです。\n", zs_kb(s->cap));
        else if (a.layout == ZS_FIXED)
            ZS_VMSG_JP("分割ソート用バッファサイズは[%ld]KBです。\n", (long)(s->cap / 1024));
        else
            ZS_VMSG_JP("最初分割ソート用バッファサイズは[%ld]KBです。\n", (long)(s->cap / 1024));
        // Room for a newline code completing the last record.
        s->buf = static_cast<char*>(zs_qmalloc((int64_t)s->cap + a.sepLen));
        if (s->buf == nullptr) {
            ZS_MSG("☆ Failed to allocate [%ld]KB memory for split sort buffer! \n",
                   "☆分割ソート用バッファ[%ld]KBメモリの割当は失敗しました！ \n", (long)(s->cap / 1024));
            rc = 1;
        } else {
            std::memcpy(s->buf, sample, (size_t)s->len);
        }
    }
    zs_free(zs_run.pool, sample);
    return rc;
}

int zs_split_fill(ZsSplit* s) {
    if (s->atEnd || s->len >= s->cap) return 0;
    if (zs_interrupted()) return 1;
    return read_more(s, s->buf + s->len, (int64_t)s->cap - s->len);
}

int zs_split_block(ZsSplit* s) {
    ArgsInfo* a = &zs_args;
    if (s->len == 0) return 0;
    if (s->atEnd) {
        // The last record of the data gets its newline code (the buffer has room for it).
        int32_t added = zs_end_with_sep(s->buf, s->len);
        s->len += added;
        a->totalFileSize += added;
    }
    if (s->spare == nullptr && (s->spare = zs_new_unit()) == nullptr) return 1;
    // The plan's room for the index is an estimate; the pool's largest free block decides, so that
    // the index does not spill to the heap (what it cannot index stays for the next block).
    int64_t limit = s->maxRecords;
    const int64_t free = zs_pool_largest_free(zs_run.pool);
    if (free >= 0) limit = std::clamp<int64_t>((free - kPoolSlack) / s->perRecord, 1, limit);
    ZsIndex idx{};
    if (zs_index_build(s->buf, s->len, ZsScan{s->atEnd ? 1 : 0, nullptr, 0, limit, 0, 1}, &idx) != 0) return 1;
    int32_t count = idx.count;
    int rc = 0;
    if (idx.indexedBytes == 0) {
        // A full load without one whole record would be read again without end: the record is
        // longer than a load.
        if (a->layout == ZS_FIXED)
            ZS_MSG("☆ Invalid input data size [%ld]!\n", "☆入力データのサイズ[%ld]は不正です！\n", (long)s->len);
        else if (a->layout == ZS_CSV)
            ZS_MSG_JP("☆不正なレコード長を検知しました！ \n");
        else
            ZS_MSG("☆ Invalid record length detected! \n", "☆不正なレコード長を検知しました！ \n");
        rc = 1;
    } else if (count > 0) {
        // Fixed-length files were counted by the argument check; standard input is counted here.
        if (a->layout != ZS_FIXED || a->inFileNums == 0) a->totalRecNum += count;
        rc = zs_write_sorted_block(&idx, s->spare);
        if (rc == 0) s->spare = nullptr;  // now in blockList
    }
    int32_t carry = s->len - idx.indexedBytes;
    zs_index_release(&idx);
    if (rc != 0) return 1;
    // The record cut off at the end of the load starts the next one.
    std::memmove(s->buf, s->buf + (s->len - carry), (size_t)carry);
    s->len = carry;
    return 0;
}

void zs_split_close(ZsSplit* s) {
    if (s->buf != nullptr) qfree(s->buf);
    s->buf = nullptr;
    zs_free(zs_run.pool, s->spare);
    s->spare = nullptr;
}

// A block record, taken before the block's index so that it sits below it: the index is then
// released as one region, and the next block's index takes the same memory again.
UnitDataInfo* zs_new_unit() {
    UnitDataInfo* unit = static_cast<UnitDataInfo*>(zs_malloc(zs_run.pool, sizeof(UnitDataInfo)));
    if (unit == nullptr) {
        ZS_MSG("☆ Failed to allocate [%ld] bytes for block information management! \n",
               "☆ブロック情報管理用[%ld]メモリの割当は失敗しました！ \n", (long)sizeof(UnitDataInfo));
        return nullptr;
    }
    *unit = UnitDataInfo{};
    return unit;
}

int zs_write_sorted_block(ZsIndex* idx, UnitDataInfo* unit) {
    ArgsInfo* a = &zs_args;
    zs_sort_items(idx, a->bStabilize == 1);
    if (zs_run.bInterrupted) return 1;
    unit->offset = zs_run.tmpOffset;
    int rc = a->bUnique == 1 ? zs_write_block_unique(idx, zs_run.tmpStream, unit)
                             : zs_write_block(idx, zs_run.tmpStream, unit);
    if (rc != 0) return 1;
    // Listed only once written: the caller releases a unit whose block failed.
    if (zs_list_append(zs_run.blockList, unit, ZS_LIST_POOL) != 0) {
        ZS_MSG("☆ Failed to extend block information management memory [unit_cnt units]! \n",
               "☆ブロック情報管理用メモリ[unit_cnt個]の拡張は失敗しました！ \n");
        return 1;
    }
    zs_run.unit_cnt++;
    zs_run.tmpOffset += unit->size;
    ZS_VMSG_JP("ブロック%ld を処理しました！ \n", (long)zs_run.unit_cnt);
    return 0;
}

int zs_split_all(ZsSplit* s) {
    for (;;) {
        if (zs_split_fill(s) != 0) return 1;
        if (s->len == 0) return 0;
        if (zs_split_block(s) != 0) return 1;
        if (s->atEnd && s->len == 0) return 0;
    }
}

int zs_create_temp_file() {
    const ArgsInfo* a = &zs_args;
    if (a->tmpFile.dir == nullptr || a->tmpFile.path == nullptr) {  // the argument check sets both
        ZS_MSG("☆ Temporary file path is invalid, sorting aborted!\n", "☆一時ファイルのパスが不正の為、ソート中止しました！\n");
        return 1;
    }
    if (zs_plat_access(a->tmpFile.dir, 0) != 0 || zs_plat_access(a->tmpFile.dir, 6) != 0) {
        ZS_MSG("☆ Temporary folder [%s] does not exist or insufficient permissions!\n",
               "☆一時フォルダ[%s]は存在しません、又は権限不足です！\n", a->tmpFile.dir);
        return 1;
    }
    zs_run.tmpStream = zs_plat_create_temp(a->tmpFile.path);
    if (zs_run.tmpStream == nullptr) {
        ZS_MSG("☆ Failed to create temporary file [%s]!\n", "☆一時ファイル[%s]は作成できませんでした！\n", a->tmpFile.path);
        return 1;
    }
    zs_run.bTmpCreated = 1;
    // The block writers buffer whole chunks themselves.
    if (setvbuf(zs_run.tmpStream, nullptr, _IONBF, 0) != 0) {
        ZS_MSG("☆ Failed to set temporary file buffer!\n", "☆臨時ファイルのバッファの設定はできません！\n");
        return 1;
    }
    return 0;
}

int zs_finish_temp_writes() {
    if (fflush(zs_run.tmpStream) == 0) return 0;
    ZS_MSG("☆ Error occurred while writing to output file during split sort!\n",
           "☆分割ソートでは、出力ファイルの書き込み中にエラーが発生しました！\n");
    return 1;
}

int zs_merge_to_output() {
    ArgsInfo* a = &zs_args;
    if (zs_open_output(false) != 0) return 1;
    FILE* out = zs_run.outStream.stream;
    bool failed = false;
    if (a->layout == ZS_CSV && a->bHeader && a->headerLen > 0)
        failed = fwrite(a->header, 1, (size_t)a->headerLen, out) != (size_t)a->headerLen;
    // Newline-ended records need a merge only when a block was written.
    if (!failed && (a->layout == ZS_FIXED || zs_run.unit_cnt > 0) && zs_merge_tmp(zs_run.tmpStream, out) != 0) {
        ZS_MSG("☆ Error occurred during temporary file merge sort!\n", "☆一時ファイルのマージソート中にエラーが発生しました！\n");
        return 1;
    }
    return zs_close_output(failed);
}

int zs_remove_temp_file() {
    if (zs_run.tmpStream != nullptr) fclose(zs_run.tmpStream);
    zs_run.tmpStream = nullptr;
    if (!zs_run.bTmpCreated) return 0;
    zs_run.bTmpCreated = 0;
    if (zs_plat_unlink(zs_args.tmpFile.path) == 0) return 0;
    ZS_MSG_JP("%s", "\n");
    ZS_MSG("☆ Failed to delete temporary file [%s]!\n", "☆一時ファイル[%s]は削除できませんでした！\n", zs_args.tmpFile.path);
    return 1;
}

template <ZsLayout L>
int zs_splitSortFile(FILE* in, int64_t bytes) {
    ZS_ASSERT(zs_args.layout == L);
    ZsSplit s;
    int rc = zs_split_open(&s, in, bytes, false);
    if (rc == 0) rc = zs_split_all(&s);
    zs_split_close(&s);
    return rc;
}

template int zs_splitSortFile<ZS_FIXED>(FILE*, int64_t);
template int zs_splitSortFile<ZS_VARIABLE>(FILE*, int64_t);
template int zs_splitSortFile<ZS_CSV>(FILE*, int64_t);

int zs_split_sort(FILE* in, int64_t bytes) {
    return zs_with_layout(zs_args.layout, [&](auto tag) { return zs_splitSortFile<tag.value>(in, bytes); });
}
