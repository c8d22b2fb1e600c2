// Merge of the temporary file: every sorted block gets a cursor with a buffer in the pool, and the
// merge loop takes the first block's record until every block is used up. The blocks' records are
// read in the temporary record format (sort/tmpcodec.h). Blocks too many for one merge within the
// pool are merged in passes first, through the spare temporary file (merge.h).
#include <algorithm>
#include <cstring>
#include <utility>

#include "base/msg.h"
#include "platform/platform.h"
#include "sort/merge.h"
#include "sort/split.h"
#include "sort/tmpcodec.h"

namespace {

// Pool bytes a source takes besides its buffer: its cursor, its work-list entry, its buffer's
// block header.
constexpr int64_t kPerSource = (int64_t)sizeof(ZsCursor) + (int64_t)sizeof(void*) + ZS_POOL_HDR;

const ZsBlock& block_of(const PtrList* list, int64_t i) {
    return *static_cast<const ZsBlock*>(list->items[list->start + i]);
}

// The least buffer a merge gives a block: room for its longest record and an efficient read, and
// never more than the block.
int64_t least_buffer(const ZsBlock& b) { return std::min(b.size, std::max(ZS_MERGE_MIN_READ, b.maxRecLen)); }

int read_error(ZsSortRun& r) {
    ZS_MSG_JP(r, "☆一時ファイルの読み込み中にエラーが発生しました！\n");
    return 1;
}

int write_error(ZsSortRun& r) {
    ZS_MSG_JP(r, "☆一時ファイルの書き込み中にエラーが発生しました！\n");
    return 1;
}

template <ZsLayout L>
int buffer_failed(ZsSortRun& r, ZsSize i, ZsSize size) {
    // The two texts name the size and the buffer in opposite orders.
    if (L == ZS_FIXED && !zs_is_japanese())
        ZS_MSG_JP(r, "☆ Failed to allocate [%ld]KB memory for block buffer %ld!\n", zs_kb(size), (long)i);
    else
        ZS_MSG_JP(r, "☆ブロックバッファ%ldの[%ld]KBメモリの割当は失敗しました!\n", (long)i, zs_kb(size));
    return 1;
}

// The sources of one merge: blocks first .. first + count - 1 of a block list.
struct Group {
    const PtrList* list;
    int64_t first;
    int64_t count;
    const ZsBlock& block(int64_t i) const { return block_of(list, first + i); }
};

// The blocks of a group as the merge loop's source: cursor i walks block i of the group.
template <ZsLayout L>
struct Blocks {
    ZsSortRun& r;
    const ArgsInfo& a;
    FILE* tmp;
    Group g;
    ZsCursor* cursors;
    bool last;  // the merge that writes the output, the one whose steps the verbose lines follow

    const ZsBlock& block(ZsSize i) const { return g.block(i); }

    // Moves what is left of the buffer to its front and reads the block's next bytes behind it, so
    // that at least `need` bytes of the current record are in the buffer. A buffer smaller than the
    // record grows, at most to the block's longest record: the other blocks keep their share. 1
    // after a message.
    int refill(ZsSize i, ZsSize need) {
        ZsCursor* c = &cursors[i];
        const ZsBlock& b = block(i);
        const ZsSize carry = c->bufLen - c->bufPos;
        std::memmove(c->buf, c->buf + c->bufPos, (size_t)carry);
        c->bufPos = 0;
        c->bufLen = carry;
        if (need > c->bufCap) {
            if (need > b.maxRecLen) return read_error(r);  // longer than any record written to the block
            // Doubling keeps a block of ever longer records from growing at every one.
            const int64_t cap = std::max(need, std::min(2 * (int64_t)c->bufCap, b.maxRecLen));
            void* grown = zs_realloc(r.pool, c->buf, cap);
            if (grown == nullptr) return buffer_failed<L>(r, i, cap);
            c->buf = static_cast<char*>(grown);
            c->bufCap = cap;
        }
        ZsSize want = b.size - c->readBytes;
        if (want > c->bufCap - carry) want = c->bufCap - carry;
        const ZsSize got = want > 0 ? zs_plat_read_at(tmp, c->buf + carry, want, b.offset + c->readBytes) : 0;
        if (got != want) return read_error(r);
        c->readBytes += got;
        c->bufLen += got;
        if (c->bufLen < need) return read_error(r);  // the block ends inside the record
        return 0;
    }

    // Makes the current record of block i whole in its buffer and puts the head on it. 1 after a
    // message.
    int ensure_record(ZsSize i) {
        ZsCursor* c = &cursors[i];
        const int32_t prefix = zs_tmp_prefix<L>(a);
        if (c->bufLen - c->bufPos < prefix && refill(i, prefix) != 0) return 1;
        const ZsSize remain = (c->bufLen - c->bufPos) + (block(i).size - c->readBytes);
        const ZsSize total = zs_tmp_size<L>(a, c->buf + c->bufPos, remain);
        if (total < 0) return read_error(r);
        if (c->bufLen - c->bufPos < total && refill(i, total) != 0) return 1;
        c->recBytes = total;
        c->head = zs_tmp_head<L>(a, c->buf + c->bufPos, i);
        return 0;
    }

    int advance(ZsSize i, bool* done) {
        ZsCursor* c = &cursors[i];
        c->bufPos += c->recBytes;
        zs_progress_add(r, c->recBytes);  // the merge's progress: bytes of the temporary file
        *done = ++c->recIdx >= c->recNum;
        return *done ? 0 : ensure_record(i);
    }

    void finished(ZsSize i, ZsSize open) {
        if (!last || !r.bVerbose) return;
        if constexpr (L == ZS_FIXED)
            ZS_MSG_JP(r, "総ブロック数:%ld  完成ブロック番号：%ld - %s\n", (long)open, (long)i + 1, zs_timestamp(r));
        else
            ZS_MSG_JP(r, "総ブロック数:%ld  完成ブロック番号：%ld\n", (long)open, (long)i + 1);
    }

    int keepFailed(int32_t len) {
        ZS_MSG_JP(r, "☆出力バッファ[%ld]KBメモリの割当は失敗しました！ \n", zs_kb(len));
        return 1;
    }
};

// A run of a merge pass: the merged records in the temporary record format, appended to the spare
// file as one block.
template <ZsLayout L>
struct RunOut {
    ZsWriter w;
    const ArgsInfo& a;
    ZsBlock* run;
    static constexpr bool kOutput = false;
    void put(const ZsHead& h) {
        const ZsSize bytes = zs_tmp_put<L>(&w, a, h.data, h.len, h.cols, h.colNum);
        run->size += bytes;
        run->recNum++;
        run->maxRecLen = std::max(run->maxRecLen, bytes);
    }
    bool failed() const { return w.failed; }
};

// Bytes the buffers of a group take at most when each starts at `size` bytes (never more than its
// block) and a block whose longest record is longer grows to it.
ZsSize buffers_taken(const Group& g, ZsSize size) {
    ZsSize sum = 0;
    for (ZsSize i = 0; i < g.count; i++) {
        const ZsBlock& b = g.block(i);
        sum += std::min(b.size, std::max(size, b.maxRecLen));
    }
    return sum;
}

// The largest start size at which the buffers of a group take no more than `room` bytes, however
// many of them grow.
ZsSize fitting_size(const Group& g, ZsSize room) {
    ZsSize lo = 0, hi = 0;
    for (ZsSize i = 0; i < g.count; i++) hi = std::max(hi, g.block(i).size);
    while (lo < hi) {
        const ZsSize mid = lo + (hi - lo + 1) / 2;
        if (buffers_taken(g, mid) <= room)
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

// Size every block buffer starts at: three quarters of an equal share of the pool. Where a block's
// longest record is longer, only that block grows to it, when it gets there; the others start
// smaller so that all of them together still take no more than the shares (or, when the pool is
// too small even for that, than the least a source needs).
template <ZsLayout L>
ZsSize block_buffer_size(ZsSortRun& r, const Group& g, ZsSize outBufSize, bool verbose) {
    const ArgsInfo& a = *r.args;
    const ZsSize units = g.count;
    if (units == 0) return 0;
    ZsSize avail = r.totals.totalMemSize - outBufSize - ZS_BASIC_SIZE;
    ZsSize share = avail / units;
    ZsSize size;
    if constexpr (L == ZS_FIXED) {
        share -= share % a.recLen;
        size = share / 4 * 3;
        size -= size % a.recLen;
    } else {
        size = share / 4 * 3;
    }
    ZsSize longest = 0;
    ZsSize least = 0;
    for (ZsSize i = 0; i < units; i++) {
        longest = std::max(longest, g.block(i).maxRecLen);
        least += least_buffer(g.block(i));
    }
    if (L == ZS_FIXED) longest = a.recLen;
    if (size < longest) {
        if (verbose)
            ZS_VMSG_JP(r, "☆各ブロックのバッファサイズ[%ld]は最大レコード長[%ld]より小さいです。\n", (long)size,
                       (long)longest);
        size = fitting_size(g, std::max(units * size, least));
        if (L == ZS_FIXED && size >= a.recLen) size -= size % a.recLen;
        if (verbose) ZS_VMSG_JP(r, "☆各ブロックのバッファサイズを[%ld]Byteにします。\n", (long)size);
    }
    if (verbose)
        ZS_VMSG_JP(r, "各ブロックのバッファサイズは[%ld]KB, [%ld]Byteです。\n", (long)(size / 1024), (long)size);
    return size;
}

// Loads the first bytes of every block of the group and merges them into out. *cursorsOut and
// *workOut receive what release_group releases after a success (after a failure the pool takes
// them). last: the merge that writes the output, which prints its steps.
template <ZsLayout L, class Out>
int merge_group(ZsSortRun& r, const Group& g, int64_t outBufSize, bool last, Out* out, ZsPrevRecord* prev,
                ZsCursor** cursorsOut, PtrList** workOut) {
    const ArgsInfo& a = *r.args;
    const ZsSize units = g.count;
    const ZsSize bufSize = block_buffer_size<L>(r, g, outBufSize, last);

    ZsCursor* cursors = *cursorsOut =
        units > 0 ? static_cast<ZsCursor*>(zs_malloc(r.pool, units * (ZsSize)sizeof(ZsCursor))) : nullptr;
    if (units > 0 && cursors == nullptr) {
        ZS_MSG(r, "☆ Failed to allocate [%ld] bytes for block information management! \n",
               "☆ブロック情報管理用[%ld]メモリの割当は失敗しました！ \n", (long)units * (long)sizeof(ZsCursor));
        return 1;
    }
    for (ZsSize i = 0; i < units; i++) cursors[i] = ZsCursor{};
    Blocks<L> src{r, a, r.tmp.stream, g, cursors, last};
    for (ZsSize i = 0; i < units; i++) {
        const ZsBlock& b = src.block(i);
        ZsSize len = b.size < bufSize ? b.size : bufSize;
        cursors[i].buf = static_cast<char*>(zs_malloc(r.pool, len));
        if (cursors[i].buf == nullptr) return buffer_failed<L>(r, i, len);
        cursors[i].bufCap = cursors[i].bufLen = len;
        if (last && L != ZS_FIXED)
            ZS_VMSG_JP(r, "ブロックバッファ%ldの[%ld]KB, [%ld]Byteの初期化は完了しました。\n", (long)i, (long)(len / 1024),
                       (long)len);
    }
    for (ZsSize i = 0; i < units; i++) {
        ZsCursor* c = &cursors[i];
        const ZsBlock& b = src.block(i);
        if (zs_plat_read_at(src.tmp, c->buf, c->bufLen, b.offset) != c->bufLen) return read_error(r);
        c->readBytes = c->bufLen;
        c->recNum = b.recNum;
        if (c->recNum < 1 || src.ensure_record(i) != 0) return read_error(r);
    }
    if (last) ZS_VMSG_JP(r, "一時ファイル⇒ブロックバッファにデータを埋め込みました。\n");

    PtrList* work = *workOut = zs_work_new(r, units);
    if (work == nullptr) {
        ZS_MSG(r, "☆ Failed to allocate [%ld] bytes for block information management! \n",
               "☆ブロック情報管理用[%ld]メモリの割当は失敗しました！ \n", (long)sizeof(PtrList));
        return 1;
    }
    for (ZsSize i = 0; i < units; i++) zs_list_append(r.pool, work, &cursors[i].head, ZS_LIST_POOL);
    return zs_merge_loop<L>(r, src, work, units, ZS_AT_UNIT, out, prev);
}

void release_group(ZsSortRun& r, int64_t units, ZsCursor* cursors, PtrList* work) {
    for (int64_t i = 0; i < units; i++) zs_free(r.pool, cursors[i].buf);
    zs_free(r.pool, cursors);
    zs_list_destroy(r.pool, work);
}

// One pass: every group of the blocks of r.tmp becomes a run of the spare file, and the two files
// trade places. The unique filter keeps, of equal records, the first in input order in every group;
// the runs keep the groups' input order, so a later pass keeps the same one as a single merge
// would. 1 after a message.
template <ZsLayout L>
int merge_pass(ZsSortRun& r, int64_t outBufSize, int64_t budget, ZsPrevRecord* prev) {
    ZsTempFile& to = r.spare;
    ZS_ASSERT(to.count == 0 && to.blocks->count == 0);
    // The spare file's runs of an earlier pass have all been read: it is written from its start.
    if (zs_plat_seek(to.stream, 0) != 0) return write_error(r);
    to.offset = 0;
    to.maxRecLen = 0;
    const PtrList* blocks = r.tmp.blocks;
    for (int64_t first = 0, end = 0; first < blocks->count; first = end) {
        if (zs_interrupted(r)) return 1;
        end = zs_merge_group_end(blocks, first, budget);
        ZsBlock* run = zs_new_block(r);
        if (run == nullptr) return 1;
        *run = ZsBlock{to.offset, 0, 0, 0};
        RunOut<L> out{zs_writer(to.stream, r.tmpBuf, sizeof r.tmpBuf), *r.args, run};
        ZsCursor* cursors = nullptr;
        PtrList* work = nullptr;
        int rc = merge_group<L>(r, Group{blocks, first, end - first}, outBufSize, false, &out, prev, &cursors, &work);
        zs_writer_flush(&out.w);
        if (out.failed()) rc = write_error(r);
        if (rc == 0 && zs_list_append(r.pool, to.blocks, run, ZS_LIST_POOL) != 0) {
            ZS_MSG(r, "☆ Failed to extend block information management memory [unit_cnt units]! \n",
                   "☆ブロック情報管理用メモリ[unit_cnt個]の拡張は失敗しました！ \n");
            rc = 1;
        }
        if (rc != 0) return 1;  // the pool takes the rest
        release_group(r, end - first, cursors, work);
        to.count++;
        to.offset += run->size;
        to.maxRecLen = std::max<ZsSize>(to.maxRecLen, run->maxRecLen);
    }
    // Every block read is in a run now.
    PtrList* done = r.tmp.blocks;
    for (ZsSize i = 0; i < done->count; i++) zs_free(r.pool, done->items[done->start + i]);
    done->start = done->count = 0;
    r.tmp.count = 0;
    r.tmp.offset = 0;
    r.tmp.maxRecLen = 0;
    std::swap(r.tmp, r.spare);
    return 0;
}

// Passes until one merge can take every block of r.tmp. 1 after a message.
template <ZsLayout L>
int merge_passes(ZsSortRun& r, int64_t outBufSize, int64_t budget, ZsPrevRecord* prev) {
    while (zs_merge_group_end(r.tmp.blocks, 0, budget) < r.tmp.blocks->count) {
        if (r.spare.stream == nullptr && zs_temp_create_spare(r) != 0) return 1;
        const long before = (long)r.tmp.count;
        if (merge_pass<L>(r, outBufSize, budget, prev) != 0) return 1;
        // Every pass reads the whole temporary file: the merge's progress starts again on the one
        // the pass made.
        if (r.phase != nullptr) {
            zs_progress_end(r);
            zs_progress_start(r, "merge", r.tmp.offset);
        }
        r.mergePasses++;
        ZS_VMSG_JP(r, "マージパス%ld：%ld個のブロックを%ld個にまとめました。\n", (long)r.mergePasses, before,
                   (long)r.tmp.count);
    }
    return 0;
}

}  // namespace

int64_t zs_merge_budget(const ZsSortRun& r, int64_t outBufSize) {
    return ((int64_t)r.totals.totalMemSize - outBufSize - ZS_BASIC_SIZE) / 4 * 3;
}

int64_t zs_merge_group_end(const PtrList* blocks, int64_t first, int64_t budget) {
    ZS_ASSERT(first >= 0 && first <= blocks->count);
    int64_t taken = 0, i = first;
    for (; i < blocks->count; i++) {
        taken += least_buffer(block_of(blocks, i)) + kPerSource;
        // A merge of one block would get nowhere.
        if (taken > budget && i - first >= 2) break;
    }
    return i;
}

template <ZsLayout L>
int zs_mergeTmpFile(ZsSortRun& r) {
    ZS_ASSERT(r.args->layout == L);
    const ArgsInfo& a = *r.args;
    const bool fixed = L == ZS_FIXED;
    ZsMergeOut mo;
    if (zs_merge_out_open(r, &mo, r.outStream.stream, a.bUnique == 1, fixed ? a.recLen : 0) != 0) return 1;
    ZsPrevRecord prev{};
    const int64_t budget = zs_merge_budget(r, mo.uniqueSize);
    if (zs_merge_group_end(r.tmp.blocks, 0, budget) < r.tmp.blocks->count) {
        // The passes filter -U as the last merge does, with the same record copy.
        if (a.bUnique == 1 && zs_prev_reserve(r, &prev) != 0) {
            ZS_MSG_JP(r, "☆出力バッファ[%ld]KBメモリの割当は失敗しました！ \n", 4L);
            return 1;
        }
        if (merge_passes<L>(r, mo.uniqueSize, budget, &prev) != 0) return 1;
    }
    const long outKb = zs_kb(mo.uniqueSize);
    if (a.bUnique == 1) {
        ZS_VMSG_JP(r, "出力バッファサイズは[%ld]KBです。\n", outKb);
        ZS_VMSG_JP(r, "ブロックバッファ数は[%ld]です。\n", (long)r.tmp.count);
    }
    if (!fixed) {
        const long total = r.totals.totalMemSize;
        ZS_VMSG_JP(r, "totalMemSizeのサイズは[%ld]KB, [%ld]Byteです。\n", total / 1024, total);
        ZS_VMSG_JP(r, "BASIC_SIZEのサイズは[%ld]KB, [%ld]Byteです。\n", (long)(ZS_BASIC_SIZE / 1024), (long)ZS_BASIC_SIZE);
        ZS_VMSG_JP(r, "出力バッファサイズは[%ld]KBです。\n", outKb);
        ZS_VMSG_JP(r, "ブロックバッファ数は[%ld]です。\n", (long)r.tmp.count);
    }

    if (a.bUnique == 1 && prev.data == nullptr && zs_prev_reserve(r, &prev) != 0) {
        ZS_MSG_JP(r, "☆出力バッファ[%ld]KBメモリの割当は失敗しました！ \n", 4L);
        return 1;
    }
    ZsCursor* cursors = nullptr;
    PtrList* work = nullptr;
    int rc = merge_group<L>(r, Group{r.tmp.blocks, 0, r.tmp.count}, mo.uniqueSize, true, &mo, &prev, &cursors, &work);
    // A failed write is reported by the close; after any other failure the rest goes with the pool.
    if (rc == 0 || mo.failed()) {
        int closed = zs_merge_out_close(r, &mo);
        if (rc == 0) rc = closed;
    }
    if (rc != 0) return 1;

    long t0 = zs_plat_clock();
    PtrList* blocks = r.tmp.blocks;
    release_group(r, r.tmp.count, cursors, work);
    for (ZsSize i = 0; i < r.tmp.count; i++) {
        zs_free(r.pool, blocks->items[blocks->start + i]);
        blocks->items[blocks->start + i] = nullptr;
    }
    zs_prev_release(r, &prev);
    ZS_MSG_JP(r, "メモリ解放がかかった[%8.0f]msです。\n", zs_ms(t0, zs_plat_clock()));
    return 0;
}

template int zs_mergeTmpFile<ZS_FIXED>(ZsSortRun&);
template int zs_mergeTmpFile<ZS_VARIABLE>(ZsSortRun&);
template int zs_mergeTmpFile<ZS_CSV>(ZsSortRun&);

int zs_merge_tmp(ZsSortRun& r) {
    return zs_with_layout(r.args->layout, [&](auto tag) { return zs_mergeTmpFile<tag.value>(r); });
}
