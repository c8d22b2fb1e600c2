// Split sort: data larger than the pool is read in loads; each load is indexed, sorted and
// appended to the temporary file as one sorted block, described by a ZsBlock in r.tmp.blocks. And
// the sort through the temporary file that the temporary-file mode and the sort of standard input
// share: create it, write the blocks, merge them into the output.
//
// Memory: a load's buffer and the index of its records share the pool. The buffer is sized from
// the records of a first sample, so that buffer, entries, list and sort scratch fit together, and
// a block never indexes more records than that share allows: a load of shorter records than the
// sample's leaves the rest for the next block instead of spilling to the heap.
#include "sort/split.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/msg.h"
#include "base/parallel.h"
#include "platform/platform.h"
#include "sort/item_sort.h"
#include "sort/merge.h"

// The bytes after a load, read on a thread of their own while the load's block is sorted. The
// blocks must stay those of one thread (an unstable sort orders ties by them) and -W bounds the
// pool, so the read-ahead is a bounded buffer of its own beside the pool, not a second load.
struct ZsAhead {
    ZsBackground bg;
    ZsSortRun* r;
    ZsSplit* s;
    char* buf;
    ZsSize cap;    // bytes one read-ahead reads at most
    ZsSize len;    // bytes it read
    ZsSize taken;  // of them, moved into loads
    bool end;      // it read to the end of the data: no read follows
    int cancel;    // set by the caller to end it early (atomic)
};

namespace {

constexpr int64_t kPoolSlack = 64 << 10;  // headers of the pool's own blocks

void read_failed(ZsSortRun& r) {
    if (r.bInterrupted) return;  // the interrupt has been reported
    ZS_MSG(r, "☆ Error occurred while reading input file during split sort!\n",
           "☆分割ソートでは、入力ファイルの読み込み中にエラーが発生しました！\n");
}

// Reads up to n bytes into dst; the stream's end (or, for a file, its expected size) sets atEnd.
int read_more(ZsSortRun& r, ZsSplit* s, char* dst, int64_t n) {
    int64_t got = n;
    if (s->left >= 0) {
        if (got > s->left) got = s->left;
        bool atEnd;
        if (!zs_read_sized(r, s->in, dst, got, &s->left, &atEnd)) {
            read_failed(r);
            return 1;
        }
        s->atEnd = atEnd;
    } else {
        got = n > 0 ? zs_read_stream(r, s->in, dst, n) : 0;
        if (got < 0) {
            read_failed(r);
            return 1;
        }
        if (got < n) s->atEnd = true;  // only the end of the data reads short
    }
    s->len += got;
    return 0;
}

constexpr int64_t kAheadPiece = 1 << 20;   // a read-ahead's stop checks fall between its pieces
constexpr int kAheadWaitMs = 50;          // and between its waits for a pipe

// The read-ahead's thread: up to a->cap bytes of the stream (never past a sized input's bytes; a
// file read to its end must end there, as zs_read_sized checks). 1 after a read error or a
// changed file, 2 when stopped; it prints nothing.
int read_ahead(void* p) {
    ZsAhead& a = *static_cast<ZsAhead*>(p);
    ZsSplit& s = *a.s;
    const bool sized = s.left >= 0;
    const ZsSize want = sized ? std::min(a.cap, s.left) : a.cap;
    while (a.len < want) {
        if (__atomic_load_n(&a.cancel, __ATOMIC_ACQUIRE) != 0 || zs_interrupted(*a.r)) return 2;
        const ZsSize piece = std::min(want - a.len, kAheadPiece);
        if (sized) {
            if (zs_plat_read(s.in, a.buf + a.len, piece) != piece) return 1;
            a.len += piece;
            continue;
        }
        // A pipe may keep it waiting: it waits in steps, so that a stop is seen.
        if (zs_plat_wait_readable(s.in, kAheadWaitMs) == 0) continue;
        const ZsSize got = zs_plat_read_some(s.in, a.buf + a.len, piece);
        if (got == -2) continue;
        if (got < 0) return 1;
        if (got == 0) {
            a.end = true;
            return 0;
        }
        a.len += got;
    }
    if (sized) {
        s.left -= a.len;
        if (s.left == 0) {
            char probe;
            if (zs_plat_read(s.in, &probe, 1) != 0) return 1;  // the file changed
            a.end = true;
        }
    }
    return 0;
}

}  // namespace

// No buffer or no thread to be had reads as one thread does.
void zs_split_read_ahead(ZsSortRun& r, ZsSplit* s) {
    if (r.threads <= 1 || s->atEnd) return;
    ZsAhead* a = s->ahead;
    if (a == nullptr) {
        const ZsSize cap = std::min(s->cap, s->aheadMost);
        a = static_cast<ZsAhead*>(std::malloc(sizeof(ZsAhead)));
        char* buf = a != nullptr ? static_cast<char*>(std::malloc((size_t)cap)) : nullptr;
        if (buf == nullptr) {
            std::free(a);
            return;
        }
        *a = ZsAhead{{}, &r, s, buf, cap, 0, 0, false, 0};
        s->ahead = a;
    }
    if (a->end || a->taken < a->len) return;
    a->len = a->taken = 0;
    zs_background_start(&a->bg, read_ahead, a);
}

namespace {

// Waits for a read-ahead that runs. 1 after printing why it failed.
int ahead_join(ZsSortRun& r, ZsSplit* s) {
    ZsAhead* a = s->ahead;
    if (a == nullptr || !a->bg.running) return 0;
    const int rc = zs_background_join(r, &a->bg);
    zs_progress_add(r, a->len);
    if (rc == 0) return 0;
    read_failed(r);
    return 1;
}

// Sizes the block buffer and the record limit of a block from the sample's records: the buffer
// takes the share of the pool that its records' index leaves free.
void plan_blocks(ZsSortRun& r, ZsSplit* s, const char* sample, ZsSize sampleLen) {
    const ArgsInfo& a = *r.args;
    ZsSize avail = r.totals.totalMemSize - ZS_BASIC_SIZE - kPoolSlack;
    if (avail < (64 << 10)) avail = 64 << 10;
    // Priced at 32-bit items, or at 64-bit ones when the load that gives would pass 4 GiB.
    ZsInputSample smp = zs_sample_input(r, sample, sampleLen, 0);
    auto share = [&] { return (ZsSize)((double)avail * smp.recordBytes / (smp.recordBytes + (double)smp.perRecord)); };
    ZsSize cap = share();
    if (zs_items_wide(cap)) {
        smp = zs_sample_input(r, sample, sampleLen, cap);
        cap = share();
    }
    const double perRecord = (double)smp.perRecord;
    if (a.layout == ZS_FIXED) {
        cap -= cap % a.recLen;
        if (cap < a.recLen) cap = a.recLen;  // a block holds at least one record
    }
    if (cap < 1) cap = 1;
    const ZsSize records = (ZsSize)((double)(avail - cap) / perRecord);
    s->cap = cap;
    s->maxRecords = records > 1 ? records : 1;
    s->perRecord = smp.perRecord;
}

void buffer_failed(ZsSortRun& r, int64_t bytes) {
    ZS_MSG(r, "☆ Failed to allocate [%ld]KB memory for split sort buffer! \n",
           "☆分割ソート用バッファ[%ld]KBメモリの割当は失敗しました！ \n", (long)(bytes / 1024));
}

// The verbose line that ends a phase: the milliseconds as the mode's text takes them.
void took_line(ZsSortRun& r, const ZsText& asDouble, const ZsText& asLong) {
    if (asDouble.jp != nullptr) zs_text_note(r, asDouble, zs_ms(r.phaseStart, r.finish));
    if (asLong.jp != nullptr) zs_text_note(r, asLong, r.finish - r.phaseStart);
}

// Copies n bytes, in pieces on the run's threads when that is worth it: the read-ahead's bytes
// are moved into the load while no other work runs. Not 0 when an interrupt stopped it.
int copy_bytes(ZsSortRun& r, char* dst, const char* src, ZsSize n) {
    constexpr ZsSize kPiece = 2 << 20;
    if (!zs_par_worth(r, n, 2 * kPiece)) {
        std::memcpy(dst, src, (size_t)n);
        return 0;
    }
    return zs_parallel_pieces(r, n, kPiece, [&](ZsSize from, ZsSize len) {
        std::memcpy(dst + from, src + from, (size_t)len);
        return 0;
    });
}

}  // namespace

int zs_split_open(ZsSortRun& r, ZsSplit* s, FILE* in, ZsSize bytes) {
    *s = ZsSplit{in, bytes, bytes >= 0, bytes == 0, nullptr, nullptr, 0, 0, 1, 1, nullptr, nullptr, ZS_AHEAD_MOST};
    // The sample is read into a front block, so that the buffer can follow it in the back region.
    s->sample = static_cast<char*>(zs_malloc(r.pool, ZS_SAMPLE_BYTES));
    if (s->sample == nullptr) {
        buffer_failed(r, ZS_SAMPLE_BYTES);
        return 1;
    }
    if (!s->atEnd && read_more(r, s, s->sample, ZS_SAMPLE_BYTES) != 0) return 1;
    plan_blocks(r, s, s->sample, s->len);
    if (s->len > s->cap) s->cap = s->len;  // never smaller than what was read
    return 0;
}

int zs_split_buffer(ZsSortRun& r, ZsSplit* s) {
    // Room for a newline code completing the last record.
    s->buf = static_cast<char*>(zs_qmalloc(r.pool, (int64_t)s->cap + r.args->sepLen));
    int rc = 0;
    if (s->buf == nullptr) {
        buffer_failed(r, s->cap);
        rc = 1;
    } else {
        std::memcpy(s->buf, s->sample, (size_t)s->len);
    }
    zs_free(r.pool, s->sample);
    s->sample = nullptr;
    return rc;
}

int zs_split_fill(ZsSortRun& r, ZsSplit* s) {
    if (ahead_join(r, s) != 0) return 1;
    if (s->atEnd || s->len >= s->cap) return 0;
    if (zs_interrupted(r)) return 1;
    const ZsSize n = s->cap - s->len;
    ZsAhead* a = s->ahead;
    if (a == nullptr) return read_more(r, s, s->buf + s->len, n);
    const ZsSize take = std::min(a->len - a->taken, n);
    if (copy_bytes(r, s->buf + s->len, a->buf + a->taken, take) != 0) return 1;
    a->taken += take;
    s->len += take;
    if (a->taken < a->len) return 0;  // the load is full; the rest is the next one's
    if (a->end) {
        // The end as one read would have seen it: a file's last byte is in the load, or a stream
        // gave less than the load asked (exactly the load leaves the end to the next one).
        if (s->left >= 0 || take < n) s->atEnd = true;
        return 0;
    }
    return take < n ? read_more(r, s, s->buf + s->len, n - take) : 0;
}

int zs_split_take_header(ZsSortRun& r, ZsSplit* s, const ZsText& failed) {
    int32_t lineLen = 0;
    if (zs_header_take(r, s->buf, s->len, s->atEnd, failed, &lineLen) != 0) return 1;
    std::memmove(s->buf, s->buf + lineLen, (size_t)(s->len - lineLen));
    s->len -= lineLen;
    return 0;
}

int zs_split_block(ZsSortRun& r, ZsSplit* s) {
    const ArgsInfo& a = *r.args;
    if (s->len == 0) return 0;
    if (s->atEnd) {
        // The last record of the data gets its newline code (the buffer has room for it).
        const int32_t added = zs_end_with_sep(r, s->buf, s->len);
        s->len += added;
        r.totals.totalFileSize += added;
    }
    if (s->spare == nullptr && (s->spare = zs_new_block(r)) == nullptr) return 1;
    // The plan's room for the index is an estimate; the pool's largest free block decides, so that
    // the index does not spill to the heap (what it cannot index stays for the next block).
    int64_t limit = s->maxRecords;
    const int64_t free = zs_pool_largest_free(r.pool);
    if (free >= 0) limit = std::clamp<int64_t>((free - kPoolSlack) / s->perRecord, 1, limit);
    ZsIndex idx{};
    if (zs_index_build(r, s->buf, s->len, ZsScan{s->atEnd ? 1 : 0, nullptr, 0, limit, 0, ZS_ITEMS}, &idx) != 0)
        return 1;
    const ZsSize count = idx.count;
    int rc = 0;
    if (idx.indexedBytes == 0) {
        // A full load without one whole record would be read again without end: the record is
        // longer than a load.
        if (a.layout == ZS_FIXED)
            ZS_MSG(r, "☆ Invalid input data size [%ld]!\n", "☆入力データのサイズ[%ld]は不正です！\n", (long)s->len);
        else if (a.layout == ZS_CSV)
            ZS_MSG_JP(r, "☆不正なレコード長を検知しました！ \n");
        else
            ZS_MSG(r, "☆ Invalid record length detected! \n", "☆不正なレコード長を検知しました！ \n");
        rc = 1;
    } else if (count > 0) {
        // Fixed-length files were counted by the argument check; streams are counted here.
        if (a.layout != ZS_FIXED || !s->sized) r.totals.totalRecNum += count;
        rc = zs_write_sorted_block(r, &idx, s->spare);
        if (rc == 0) s->spare = nullptr;  // now in the block list
    }
    const ZsSize carry = s->len - idx.indexedBytes;
    zs_index_release(r, &idx);
    if (rc != 0) return 1;
    // The record cut off at the end of the load starts the next one.
    std::memmove(s->buf, s->buf + (s->len - carry), (size_t)carry);
    s->len = carry;
    return 0;
}

void zs_split_close(ZsSortRun& r, ZsSplit* s) {
    if (ZsAhead* a = s->ahead; a != nullptr) {
        __atomic_store_n(&a->cancel, 1, __ATOMIC_RELEASE);
        zs_background_join(r, &a->bg);
        std::free(a->buf);
        std::free(a);
        s->ahead = nullptr;
    }
    if (s->buf != nullptr) qfree(r.pool, s->buf);
    s->buf = nullptr;
    zs_free(r.pool, s->sample);
    s->sample = nullptr;
    zs_free(r.pool, s->spare);
    s->spare = nullptr;
}

// A block record, taken before the block's index so that it sits below it: the index is then
// released as one region, and the next block's index takes the same memory again.
// Its samples share its memory, so that they come and go with it. The records of all blocks stay
// in the pool until the merge ends: blocks get samples only while those take no more than a
// small part of the pool (past that, the merge takes one thread).
ZsBlock* zs_new_block(ZsSortRun& r) {
    constexpr ZsSize kSampled = (ZsSize)sizeof(ZsBlock) + ZS_BLOCK_SAMPLES * (ZsSize)sizeof(ZsBlockSample);
    static_assert(sizeof(ZsBlock) % alignof(ZsBlockSample) == 0);
    const bool sampled = (r.tmp.count + r.spare.count + 1) * kSampled <= r.totals.totalMemSize / 32;
    const ZsSize bytes = sampled ? kSampled : (ZsSize)sizeof(ZsBlock);
    ZsBlock* block = static_cast<ZsBlock*>(zs_malloc(r.pool, bytes));
    if (block == nullptr) {
        ZS_MSG(r, "☆ Failed to allocate [%ld] bytes for block information management! \n",
               "☆ブロック情報管理用[%ld]メモリの割当は失敗しました！ \n", (long)bytes);
        return nullptr;
    }
    *block = ZsBlock{};
    if (sampled) block->samples = reinterpret_cast<ZsBlockSample*>(block + 1);
    zs_block_reset(block, 0);
    return block;
}

int zs_write_sorted_block(ZsSortRun& r, ZsIndex* idx, ZsBlock* block) {
    const ArgsInfo& a = *r.args;
    zs_sort_items(r, idx, a.bStabilize == 1);
    if (r.bInterrupted) return 1;
    block->offset = r.tmp.offset;
    int rc = a.bUnique == 1 ? zs_write_block_unique(r, idx, r.tmp.stream, block)
                            : zs_write_block(r, idx, r.tmp.stream, block);
    if (rc != 0) return 1;
    // Listed only once written: the caller releases a block whose writing failed.
    if (zs_list_append(r.pool, r.tmp.blocks, block, ZS_LIST_POOL) != 0) {
        ZS_MSG(r, "☆ Failed to extend block information management memory [unit_cnt units]! \n",
               "☆ブロック情報管理用メモリ[unit_cnt個]の拡張は失敗しました！ \n");
        return 1;
    }
    r.tmp.count++;
    r.tmp.offset += block->size;
    ZS_VMSG_JP(r, "ブロック%ld を処理しました！ \n", (long)r.tmp.count);
    return 0;
}

int zs_split_all(ZsSortRun& r, ZsSplit* s) {
    for (;;) {
        if (zs_split_fill(r, s) != 0) return 1;
        if (s->len == 0) return 0;
        zs_split_read_ahead(r, s);
        if (zs_split_block(r, s) != 0) return 1;
        if (s->atEnd && s->len == 0) return 0;
    }
}

template <ZsLayout L>
int zs_splitSortFile(ZsSortRun& r, FILE* in, ZsSize bytes) {
    ZS_ASSERT(r.args->layout == L);
    ZsSplit s;
    int rc = zs_split_open(r, &s, in, bytes);
    if (rc == 0) {
        if constexpr (L == ZS_FIXED)
            ZS_VMSG_JP(r, "分割ソート用バッファサイズは[%ld]KBです。\n", (long)(s.cap / 1024));
        else
            ZS_VMSG_JP(r, "最初分割ソート用バッファサイズは[%ld]KBです。\n", (long)(s.cap / 1024));
        rc = zs_split_buffer(r, &s);
    }
    // A stream's header line is the front of its first load.
    if (rc == 0 && L == ZS_CSV && r.args->bHeader && !s.sized) {
        rc = zs_split_fill(r, &s);
        if (rc == 0) rc = zs_split_take_header(r, &s, ZS_TEXT_HEADER_FAILED_JP);
    }
    if (rc == 0) rc = zs_split_all(r, &s);
    zs_split_close(r, &s);
    return rc;
}

template int zs_splitSortFile<ZS_FIXED>(ZsSortRun&, FILE*, ZsSize);
template int zs_splitSortFile<ZS_VARIABLE>(ZsSortRun&, FILE*, ZsSize);
template int zs_splitSortFile<ZS_CSV>(ZsSortRun&, FILE*, ZsSize);

int zs_split_sort(ZsSortRun& r, FILE* in, ZsSize bytes) {
    return zs_with_layout(r.args->layout, [&](auto tag) { return zs_splitSortFile<tag.value>(r, in, bytes); });
}

// ---- The temporary file ----

namespace {

// A new block list in the pool. 1 after a message.
int new_block_list(ZsSortRun& r, PtrList** list) {
    *list = static_cast<PtrList*>(zs_malloc(r.pool, sizeof(PtrList)));
    if (*list == nullptr) {
        ZS_MSG(r, "☆ Failed to allocate [%ld]KB memory!\n", "☆[%ld]KBメモリの割当は失敗しました！\n", zs_kb(sizeof(PtrList)));
        return 1;
    }
    **list = PtrList{};
    return 0;
}

// Creates a temporary file of the run's in the temporary folder, its name removed at once.
int open_temp(ZsSortRun& r, FILE** stream) {
    char name[ZS_PATH_MAX];
    name[0] = '\0';
    const int created = zs_plat_create_temp(r.args->tmpFile.path, name, sizeof name, stream);
    if (created == -2) {
        ZS_MSG_JP(r, "%s", "\n");
        ZS_MSG(r, "☆ Failed to delete temporary file [%s]!\n", "☆一時ファイル[%s]は削除できませんでした！\n", name);
        return 1;
    }
    if (created != 0) {
        ZS_MSG(r, "☆ Failed to create temporary file [%s]!\n", "☆一時ファイル[%s]は作成できませんでした！\n", name);
        return 1;
    }
    // The block writers buffer whole chunks themselves.
    if (setvbuf(*stream, nullptr, _IONBF, 0) != 0) {
        ZS_MSG(r, "☆ Failed to set temporary file buffer!\n", "☆臨時ファイルのバッファの設定はできません！\n");
        return 1;
    }
    return 0;
}

}  // namespace

int zs_temp_create(ZsSortRun& r) {
    const ArgsInfo& a = *r.args;
    if (a.tmpFile.dir == nullptr || a.tmpFile.path == nullptr) {  // the argument check sets both
        ZS_MSG(r, "☆ Temporary file path is invalid, sorting aborted!\n", "☆一時ファイルのパスが不正の為、ソート中止しました！\n");
        return 1;
    }
    if (zs_plat_access(a.tmpFile.dir, 0) != 0 || zs_plat_access(a.tmpFile.dir, 6) != 0) {
        ZS_MSG(r, "☆ Temporary folder [%s] does not exist or insufficient permissions!\n",
               "☆一時フォルダ[%s]は存在しません、又は権限不足です！\n", a.tmpFile.dir);
        return 1;
    }
    if (r.tmp.blocks == nullptr && new_block_list(r, &r.tmp.blocks) != 0) return 1;
    return open_temp(r, &r.tmp.stream);
}

int zs_temp_create_spare(ZsSortRun& r) {
    ZS_ASSERT(r.spare.stream == nullptr);
    if (r.spare.blocks == nullptr && new_block_list(r, &r.spare.blocks) != 0) return 1;
    return open_temp(r, &r.spare.stream);
}

void zs_temp_close(ZsSortRun& r) {
    for (ZsTempFile* t : {&r.tmp, &r.spare}) {
        if (t->stream != nullptr) fclose(t->stream);
        // The block records and the list are pool memory: they go with the pool.
        *t = ZsTempFile{};
    }
}

int zs_finish_temp_writes(ZsSortRun& r) {
    if (fflush(r.tmp.stream) == 0) return 0;
    ZS_MSG(r, "☆ Error occurred while writing to output file during split sort!\n",
           "☆分割ソートでは、出力ファイルの書き込み中にエラーが発生しました！\n");
    return 1;
}

int zs_merge_to_output(ZsSortRun& r) {
    const ArgsInfo& a = *r.args;
    if (zs_open_output(r, ZS_TEXT_OUT_CREATE) != 0) return 1;
    if (a.bUnique != 1) {
        ZsSize bytes = 0;
        const PtrList* blocks = r.tmp.blocks;
        for (ZsSize b = 0; b < blocks->count; b++)
            bytes += static_cast<const ZsBlock*>(blocks->items[blocks->start + b])->outBytes;
        zs_output_reserve(r, bytes);
    }
    // The header goes out on its own: a failed write of it ends the run before any merge.
    ZsWriter w = zs_writer(r.outStream.stream, r.outBuf, sizeof r.outBuf);
    zs_put_header(r, &w);
    zs_writer_flush(&w);
    // Newline-ended records need a merge only when a block was written.
    if (!w.failed && (a.layout == ZS_FIXED || r.tmp.count > 0) && zs_merge_tmp(r) != 0) {
        ZS_MSG(r, "☆ Error occurred during temporary file merge sort!\n", "☆一時ファイルのマージソート中にエラーが発生しました！\n");
        return 1;
    }
    return zs_close_output(r, w.failed);
}

int zs_temp_sort(ZsSortRun& r, const ZsTempTexts& t, ZsSplitStep split, void* env) {
    if (r.bVerbose) zs_text_note(r, t.started, zs_timestamp(r));
    zs_phase_begin(r);
    // Reading the input into sorted blocks; standard input, a pipe or a FIFO has no known size.
    zs_progress_start(r, "sort", r.args->inFileNums > 0 && !r.totals.bStreams ? r.totals.totalFileSize : 0);
    if (zs_temp_create(r) != 0) return 1;
    // Files sorted without -U take at least their own size in the temporary file: reserved at once.
    if (r.args->inFileNums > 0 && !r.totals.bStreams && r.args->bUnique != 1)
        zs_plat_reserve(r.tmp.stream, r.totals.totalFileSize);
    if (split(r, env) != 0 || zs_finish_temp_writes(r) != 0) return 1;
    zs_progress_end(r);
    if (r.bVerbose) {
        r.finish = zs_plat_clock();
        zs_text_note(r, t.blocks, (long)r.tmp.count);
        took_line(r, t.splitTook, t.splitTookWhole);
        zs_text_note(r, t.splitDone, zs_timestamp(r));
        zs_text_note(r, t.mergeStarted, zs_timestamp(r));
        r.phaseStart = zs_plat_clock();
    }
    zs_progress_start(r, "merge", r.tmp.offset);
    if (zs_merge_to_output(r) != 0) return 1;
    zs_progress_end(r);
    if (r.bVerbose) {
        r.finish = zs_plat_clock();
        took_line(r, t.mergeTook, t.mergeTookWhole);
        zs_text_note(r, t.mergeDone, zs_timestamp(r));
    }
    return 0;
}
