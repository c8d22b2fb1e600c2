// Merge of the temporary file: every sorted block gets a cursor with a buffer in the pool, and the
// merge loop takes the first block's record until every block is used up. The blocks' records are
// read in the temporary record format (sort/tmpcodec.h). Blocks too many for one merge within the
// pool are merged in passes first, through the spare temporary file (merge.h).
#include <algorithm>
#include <cstring>
#include <utility>

#include "base/msg.h"
#include "base/parallel.h"
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

// The sources of one merge: blocks first .. first + count - 1 of a block list, or (views) parts
// of blocks, one key range of a merge on several threads.
struct Group {
    const PtrList* list;
    int64_t first;
    int64_t count;
    const ZsBlock* views = nullptr;
    const ZsBlock& block(int64_t i) const { return views != nullptr ? views[i] : block_of(list, first + i); }
};

// What the key ranges of a merge on several threads share: the progress of the workers, passed on
// by the calling thread.
struct RangeShared {
    ZsSize progress;  // atomic
};
// Failures of a key range, reported by the calling thread once every range has stopped.
constexpr int kRangeRead = 2;
constexpr int kRangeWrite = 3;

// The blocks of a group as the merge loop's source: cursor i walks block i of the group.
template <ZsLayout L>
struct Blocks {
    ZsSortRun& r;
    const ArgsInfo& a;
    FILE* tmp;
    Group g;
    ZsCursor* cursors;
    bool last;  // the merge that writes the output, the one whose steps the verbose lines follow
    // A key range merged beside others: nothing printed nor taken from the pool (its buffers hold
    // its longest record already); failures are left in `failure`, progress gathered in `pending`.
    RangeShared* shared = nullptr;
    ZsSize pending = 0;
    int failure = 0;

    const ZsBlock& block(ZsSize i) const { return g.block(i); }

    int read_failed() {
        if (shared == nullptr) return read_error(r);
        failure = kRangeRead;
        return 1;
    }

    // Passes the gathered progress on: a worker to the shared count, the calling thread to the run
    // with what the workers left there.
    void report() { zs_range_report(r, &shared->progress, &pending); }

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
            // Longer than any record written to the block; or a range's buffer, which never grows.
            if (need > b.maxRecLen || shared != nullptr) return read_failed();
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
        if (got != want) return read_failed();
        c->readBytes += got;
        c->bufLen += got;
        if (c->bufLen < need) return read_failed();  // the block ends inside the record
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
        if (total < 0) return read_failed();
        if (c->bufLen - c->bufPos < total && refill(i, total) != 0) return 1;
        c->recBytes = total;
        c->head = zs_tmp_head<L>(a, c->buf + c->bufPos, i);
        return 0;
    }

    int advance(ZsSize i, bool* done) {
        ZsCursor* c = &cursors[i];
        c->bufPos += c->recBytes;
        // The merge's progress: bytes of the temporary file.
        if (shared == nullptr) {
            zs_progress_add(r, c->recBytes);
        } else if ((pending += c->recBytes) >= ZS_RANGE_PROGRESS_STEP) {
            report();
        }
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
        zs_block_add(run, zs_tmp_put<L>(&w, a, h.data, h.len, h.cols, h.colNum), h.len);
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
        zs_block_reset(run, to.offset);
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

namespace {

// Makes the record at `at` of block b whole in the reader's buffer and puts h on it (unitNo as
// given); its bytes in the temporary record format, or -1 when the block does not hold it.
template <ZsLayout L>
int64_t read_record(ZsSortRun& r, ZsCutReader* rd, const ZsBlock& b, ZsSize at, ZsSize unitNo, ZsHead* h) {
    const ArgsInfo& a = *r.args;
    const ZsSize remain = b.size - at;
    const int32_t prefix = zs_tmp_prefix<L>(a);
    if (at < 0 || remain < prefix) return -1;
    const ZsSize pos = b.offset + at;
    auto load = [&]() {
        const ZsSize want = std::min(rd->cap, remain);
        rd->from = pos;
        rd->len = zs_plat_read_at(r.tmp.stream, rd->buf, want, pos) == want ? want : 0;
        return rd->len == want;
    };
    if ((pos < rd->from || pos + prefix > rd->from + rd->len) && !load()) return -1;
    int64_t total = zs_tmp_size<L>(a, rd->buf + (pos - rd->from), remain);
    if (total < 0 || total > b.maxRecLen || total > rd->cap) return -1;
    if (pos + total > rd->from + rd->len) {
        if (!load()) return -1;
        total = zs_tmp_size<L>(a, rd->buf, remain);
        if (total < 0 || total > rd->len) return -1;
    }
    *h = zs_tmp_head<L>(a, rd->buf + (pos - rd->from), unitNo);
    return total;
}

}  // namespace

template <ZsLayout L>
int zs_block_cut(ZsSortRun& r, ZsCutReader* rd, const ZsBlock& b, const ZsHead& splitter, ZsCut* cut) {
    ZS_ASSERT(b.samples != nullptr && b.sampleNum > 0 && b.samples[0].idx == 0);
    ZS_ASSERT(rd->cap >= b.maxRecLen);
    const ZsCmp plain = zs_cmp_fn(zs_cmp_of(*r.args, L, ZS_AT_UNIT, false));
    void* env = zs_cmp_env(r);
    // The samples below the splitter are a prefix of them: the block is sorted.
    int32_t lo = 0, hi = b.sampleNum;
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        ZsHead h;
        if (read_record<L>(r, rd, b, b.samples[mid].at, 0, &h) < 0) return 1;
        if (zs_cmp_heads(plain, env, h, splitter) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == 0) {
        *cut = ZsCut{0, 0, 0, -1};
        return 0;
    }
    ZsCut c{b.samples[lo - 1].at, b.samples[lo - 1].idx, b.samples[lo - 1].outAt, -1};
    while (c.idx < b.recNum) {
        ZsHead h;
        const int64_t bytes = read_record<L>(r, rd, b, c.at, 0, &h);
        if (bytes < 0) return 1;
        if (zs_cmp_heads(plain, env, h, splitter) >= 0) break;
        c.predAt = c.at;
        c.at += bytes;
        c.idx++;
        c.outAt += h.len;
    }
    if (c.idx == b.recNum && (c.at != b.size || c.outAt != b.outBytes)) return 1;
    *cut = c;
    return 0;
}

template int zs_block_cut<ZS_FIXED>(ZsSortRun&, ZsCutReader*, const ZsBlock&, const ZsHead&, ZsCut*);
template int zs_block_cut<ZS_VARIABLE>(ZsSortRun&, ZsCutReader*, const ZsBlock&, const ZsHead&, ZsCut*);
template int zs_block_cut<ZS_CSV>(ZsSortRun&, ZsCutReader*, const ZsBlock&, const ZsHead&, ZsCut*);

namespace {

// One key range of the last merge: its parts of the blocks (the empty ones left out, the others
// in input order, so that their numbers keep it), cursors, work list and output.
struct Range {
    ZsBlock* views;
    ZsSize* preds;  // for each part, where the record before it starts in the file; -1 for none
    int64_t count;
    ZsCursor* cursors;
    PtrList* work;
    ZsRangeOut out;
    ZsSize begin;  // where its output starts
    ZsSize end;    // and ends (with -U: at most)
    ZsMergeCounts counts;
    ZsSize pending;
    bool ownBuf;
    ZsPrevRecord prev;  // -U: room for the longest record of the blocks, so that it never grows
};

// Samples read at most to choose the splitters, and the bytes their records may take.
constexpr int64_t kSplitSamples = 4096;
constexpr ZsSize kSplitBytes = 1 << 20;
constexpr ZsSize kReaderMin = 64 << 10;
constexpr int kSerial = -1;

// Chooses up to ranges - 1 splitters from the blocks' samples, spread by the bytes they stand for,
// and cuts every block at each: cuts[j * blocks + b] is block b's cut at splitter j (row 0 the
// blocks' starts, the last row their ends). The number of ranges, fewer when splitters coincide;
// 0 to leave the merge to one thread; -1 after a read error (nothing printed).
template <ZsLayout L>
int32_t find_ranges(ZsSortRun& r, int32_t ranges, ZsCut* cuts) {
    const ArgsInfo& a = *r.args;
    const int64_t nb = r.tmp.count;
    const ZsCmp plain = zs_cmp_fn(zs_cmp_of(a, L, ZS_AT_UNIT, false));
    void* env = zs_cmp_env(r);
    int64_t total = 0;
    for (int64_t b = 0; b < nb; b++) total += block_of(r.tmp.blocks, b).sampleNum;
    const int64_t step = (total + kSplitSamples - 1) / kSplitSamples;
    ZsPoolBlocks mem{r};
    ZsCutReader rd{nullptr, std::max(kReaderMin, r.tmp.maxRecLen), 0, 0};
    rd.buf = static_cast<char*>(mem.take(rd.cap));
    char* arena = static_cast<char*>(mem.take(kSplitBytes));
    ZsSplitSample* recs = static_cast<ZsSplitSample*>(mem.take(kSplitSamples * (ZsSize)sizeof(ZsSplitSample)));
    void** order = static_cast<void**>(mem.take(kSplitSamples * (ZsSize)sizeof(void*)));
    ZsHead* splitters = static_cast<ZsHead*>(mem.take(ranges * (ZsSize)sizeof(ZsHead)));
    if (splitters == nullptr) {
        mem.release();
        return 0;
    }
    int32_t found = 0;
    int64_t n = 0;
    ZsSize used = 0, weights = 0;
    for (int64_t b = 0; b < nb && found >= 0; b++) {
        const ZsBlock& blk = block_of(r.tmp.blocks, b);
        for (int32_t i = 0; i < blk.sampleNum; i += (int32_t)step) {
            ZsHead h;
            const int64_t bytes = read_record<L>(r, &rd, blk, blk.samples[i].at, (ZsSize)b, &h);
            if (bytes < 0) {
                found = -1;
                break;
            }
            if (used + bytes > kSplitBytes || n == kSplitSamples) break;  // the rest goes unsampled
            const char* rec = rd.buf + (blk.offset + blk.samples[i].at - rd.from);
            std::memcpy(arena + used, rec, (size_t)bytes);
            const int32_t next = i + (int32_t)step;
            const ZsSize to = next < blk.sampleNum ? blk.samples[next].at : blk.size;
            recs[n] = ZsSplitSample{zs_tmp_head<L>(a, arena + used, (ZsSize)b), to - blk.samples[i].at, blk.samples[i].at};
            order[n] = &recs[n];
            weights += recs[n].weight;
            used += bytes;
            n++;
        }
    }
    if (found == 0 && n >= 2 && zs_list_msort(r.pool, order, 0, n - 1, sizeof(void*), plain, env) == 0) {
        found = zs_pick_splitters(order, n, weights, ranges, plain, env, splitters);
    }
    // Cuts at each splitter; the reader's records are read again one by one.
    for (int64_t b = 0; b < nb; b++) {
        const ZsBlock& blk = block_of(r.tmp.blocks, b);
        cuts[b] = ZsCut{0, 0, 0, -1};
        cuts[(found + 1) * nb + b] = ZsCut{blk.size, blk.recNum, blk.outBytes, -1};
        for (int32_t j = 0; j < found; j++) {
            if (zs_block_cut<L>(r, &rd, blk, splitters[j], &cuts[(j + 1) * nb + b]) != 0) {
                found = -1;
                break;
            }
            ZS_ASSERT(cuts[(j + 1) * nb + b].idx >= cuts[j * nb + b].idx);
        }
        if (found < 0) break;
    }
    mem.release();
    return found < 0 ? -1 : found + 1;
}

// Sorts a range's work list as the merge of every block would find it when it comes to the
// range's first record (zs_order_range_ties), the records before the range's parts read again. 0
// when done; kSerial when that order is not certain.
template <ZsLayout L>
int order_range(ZsSortRun& r, Range& g, bool first, ZsCutReader* rd) {
    const ArgsInfo& a = *r.args;
    const ZsCmp plain = zs_cmp_fn(zs_cmp_of(a, L, ZS_AT_UNIT, false));
    if (zs_work_sort(r, g.work, plain) != 0) return kSerial;
    // The stable order (also -U's) is the sources' order whatever came before.
    if (first || a.bStabilize == 1 || a.bUnique == 1) return 0;
    void* env = zs_cmp_env(r);
    auto part = [&](void* p) { return static_cast<const ZsHead*>(p)->unitNo; };
    auto later = [&](void* x, void* y, int* c) {
        const ZsBlock& vx = g.views[part(x)];
        const ZsBlock& vy = g.views[part(y)];
        const ZsSize px = g.preds[part(x)], py = g.preds[part(y)];
        ZsHead hx, hy;
        if (read_record<L>(r, &rd[0], ZsBlock{px, vx.offset - px, 1, vx.maxRecLen}, 0, 0, &hx) < 0 ||
            read_record<L>(r, &rd[1], ZsBlock{py, vy.offset - py, 1, vy.maxRecLen}, 0, 0, &hy) < 0)
            return false;
        *c = zs_cmp_heads(plain, env, hx, hy);
        return true;
    };
    const bool certain = zs_order_range_ties(
        g.work->items + g.work->start, g.work->count, plain, env, [&](void* x) { return g.preds[part(x)] >= 0; }, later);
    return certain ? 0 : kSerial;
}

// The last merge on the run's threads, in key ranges written at their places of a regular output
// file (with -U where its records would go without it, the outputs then moved together). 0 when
// the output is written; 1 after a failure (printed); kSerial, nothing written and the pool as it
// was, when the merge is one thread's: one thread, an output that is not a file of the run's,
// little data, blocks without samples, ties the ranges could order otherwise, or not memory enough.
// `held`: pool bytes the one-thread merge's output holds already (-U's buffer and record copy).
template <ZsLayout L>
int merge_ranges(ZsSortRun& r, int64_t held) {
    const ArgsInfo& a = *r.args;
    const int64_t nb = r.tmp.count;
    const bool unique = a.bUnique == 1;
    if (!zs_par_worth(r, r.tmp.offset, ZS_RANGES_MIN) || nb < 2) return kSerial;
    // Records so long that the readers of the range finding would crowd the merge's buffers.
    if (r.tmp.maxRecLen > (ZsSize)r.totals.totalMemSize / 16) return kSerial;
    if (r.outStream.temp == nullptr || r.outStream.borrowed || r.outStream.stream == nullptr) return kSerial;
    for (int64_t b = 0; b < nb; b++)
        if (block_of(r.tmp.blocks, b).samples == nullptr || block_of(r.tmp.blocks, b).sampleNum == 0) return kSerial;
    const int64_t base = zs_plat_tell(r.outStream.stream);
    if (base < 0) return kSerial;
    const int32_t asked = std::min<int32_t>(r.threads, ZS_MAX_THREADS);

    ZsPoolBlocks mem{r};
    ZsCut* cuts = static_cast<ZsCut*>(mem.take((asked + 1) * nb * (ZsSize)sizeof(ZsCut)));
    if (cuts == nullptr) return kSerial;
    const int32_t ranges = find_ranges<L>(r, asked, cuts);
    if (ranges < 0) {
        mem.release();
        return read_error(r);
    }
    Range* rs = ranges >= 2 ? static_cast<Range*>(mem.take(ranges * (ZsSize)sizeof(Range))) : nullptr;
    ZsBlock* views = rs != nullptr ? static_cast<ZsBlock*>(mem.take(ranges * nb * (ZsSize)sizeof(ZsBlock))) : nullptr;
    ZsSize* preds = views != nullptr ? static_cast<ZsSize*>(mem.take(ranges * nb * (ZsSize)sizeof(ZsSize))) : nullptr;
    // Two readers of single records, for ties at the ranges' starts.
    const bool ties = a.bStabilize != 1 && !unique;
    ZsCutReader rd[2];
    for (ZsCutReader& x : rd) {
        x = ZsCutReader{nullptr, std::max(kReaderMin, r.tmp.maxRecLen), 0, 0};
        if (ties && preds != nullptr) x.buf = static_cast<char*>(mem.take(x.cap));
    }
    if (preds == nullptr || (ties && rd[1].buf == nullptr)) {
        mem.release();
        return kSerial;
    }
    // The parts of the blocks in each range, and the buffers they get: the pool's share of the
    // one-thread merge divided between all of them, each holding at least its longest record so
    // that none grows on a worker.
    int64_t parts = 0;
    ZsSize outAt = base;
    for (int32_t k = 0; k < ranges; k++) {
        Range& g = rs[k];
        g = Range{views + k * nb, preds + k * nb, 0, nullptr, nullptr, ZsRangeOut{}, outAt, 0, ZsMergeCounts{0, 0},
                  0, false, ZsPrevRecord{}};
        ZsSize bytes = 0;
        for (int64_t b = 0; b < nb; b++) {
            const ZsBlock& blk = block_of(r.tmp.blocks, b);
            const ZsCut& c0 = cuts[k * nb + b];
            const ZsCut& c1 = cuts[(k + 1) * nb + b];
            if (c1.idx == c0.idx) continue;
            g.preds[g.count] = c0.predAt >= 0 ? blk.offset + c0.predAt : -1;
            g.views[g.count++] = ZsBlock{blk.offset + c0.at, c1.at - c0.at, c1.idx - c0.idx, blk.maxRecLen,
                                         c1.outAt - c0.outAt, nullptr, 0, 0, 0};
            bytes += c1.outAt - c0.outAt;
        }
        g.out = ZsRangeOut{r.outStream.stream, nullptr, 0, 0, outAt, false};
        outAt += bytes;
        g.end = outAt;
        parts += g.count;
    }
    // -U: every range's record copy holds the longest record, bytes and column table (a CSV
    // record's table takes 8 of its bytes in the file per column).
    const ZsSize prevBytes = r.tmp.maxRecLen, prevCols = L == ZS_CSV ? r.tmp.maxRecLen / 8 + 1 : 0;
    const int64_t copies = unique ? ranges * (prevBytes + prevCols * (int64_t)sizeof(CsvColumn) + 2 * ZS_POOL_HDR) : 0;
    const int64_t avail = (int64_t)r.totals.totalMemSize - ZS_BASIC_SIZE - (ranges - 1) * (ZS_RANGE_OUT_BUF + ZS_POOL_HDR) -
                          parts * kPerSource - ranges * 2 * ZS_POOL_HDR - (ties ? 2 * (rd[0].cap + ZS_POOL_HDR) : 0) -
                          copies - held;
    const int64_t share = parts > 0 ? std::max<int64_t>(avail, 0) / parts / 4 * 3 : 0;
    int64_t taken = 0;
    for (int32_t k = 0; k < ranges; k++)
        for (int64_t i = 0; i < rs[k].count; i++) {
            const ZsBlock& v = rs[k].views[i];
            taken += std::min(v.size, std::max(share, v.maxRecLen));
        }
    int rc = taken <= avail ? 0 : kSerial;
    for (int32_t k = 0; k < ranges && rc == 0; k++) {
        Range& g = rs[k];
        if (k == 0) {
            g.out.buf = r.outBuf;
            g.out.cap = sizeof r.outBuf;
        } else {
            g.out.buf = static_cast<char*>(zs_malloc(r.pool, ZS_RANGE_OUT_BUF));
            g.out.cap = ZS_RANGE_OUT_BUF;
            g.ownBuf = true;
            if (g.out.buf == nullptr) rc = kSerial;
        }
        if (rc != 0 || g.count == 0) continue;
        if (unique) {
            g.prev.data = static_cast<char*>(zs_malloc(r.pool, std::max<ZsSize>(prevBytes, 1)));
            g.prev.cols = prevCols > 0 ? static_cast<CsvColumn*>(zs_malloc(r.pool, prevCols * (ZsSize)sizeof(CsvColumn)))
                                       : nullptr;
            g.prev.dataCap = prevBytes;
            g.prev.colsCap = prevCols;
            if (g.prev.data == nullptr || (prevCols > 0 && g.prev.cols == nullptr)) {
                rc = kSerial;
                continue;
            }
        }
        g.cursors = static_cast<ZsCursor*>(zs_malloc(r.pool, g.count * (ZsSize)sizeof(ZsCursor)));
        if (g.cursors == nullptr) {
            rc = kSerial;
            continue;
        }
        for (int64_t i = 0; i < g.count; i++) g.cursors[i] = ZsCursor{};
        for (int64_t i = 0; i < g.count && rc == 0; i++) {
            const ZsBlock& v = g.views[i];
            const ZsSize len = std::min(v.size, std::max(share, v.maxRecLen));
            ZsCursor* c = &g.cursors[i];
            c->buf = static_cast<char*>(zs_malloc(r.pool, len));
            if (c->buf == nullptr) rc = kSerial;
            c->bufCap = c->bufLen = len;
        }
        if (rc != 0) continue;
        Blocks<L> src{r, a, r.tmp.stream, Group{nullptr, 0, g.count, g.views}, g.cursors, false};
        for (int64_t i = 0; i < g.count && rc == 0; i++) {
            ZsCursor* c = &g.cursors[i];
            if (zs_plat_read_at(r.tmp.stream, c->buf, c->bufLen, g.views[i].offset) != c->bufLen) rc = read_error(r);
            c->readBytes = c->bufLen;
            c->recNum = g.views[i].recNum;
            if (rc == 0 && src.ensure_record(i) != 0) rc = 1;
        }
        if (rc != 0) continue;
        g.work = zs_work_new(r, g.count);
        if (g.work == nullptr) {
            rc = kSerial;
            continue;
        }
        for (int64_t i = 0; i < g.count; i++) zs_list_append(r.pool, g.work, &g.cursors[i].head, ZS_LIST_POOL);
        rc = order_range<L>(r, g, k == 0, rd);
    }

    RangeShared shared{0};
    if (rc == 0) {
        ZS_VMSG_JP(r, "マージはキー範囲%ld個に分けて行います。\n", (long)ranges);
        rc = zs_parallel(r, ranges, [&](int64_t k) -> int {
            Range& g = rs[k];
            int code = 0;
            if (g.count > 0) {
                Blocks<L> src{r, a, r.tmp.stream, Group{nullptr, 0, g.count, g.views}, g.cursors, false, &shared};
                code = zs_merge_loop<L>(r, src, g.work, g.count, ZS_AT_UNIT, &g.out, unique ? &g.prev : nullptr,
                                        &g.counts, true);
                g.pending = src.pending;
                if (src.failure != 0) code = src.failure;
            }
            g.out.flush();
            if (code == 0 && g.out.bad) code = kRangeWrite;
            return code;
        });
        zs_progress_add(r, __atomic_exchange_n(&shared.progress, 0, __ATOMIC_RELAXED));
        for (int32_t k = 0; k < ranges; k++) {
            zs_progress_add(r, rs[k].pending);
            r.totals.outRecNum += rs[k].counts.out;
            r.totals.dupRecNum += rs[k].counts.dup;
        }
        if (rc == kRangeRead) {
            read_error(r);
        } else if (rc == kRangeWrite) {
            zs_write_failed(r, a.outFile.path);
        } else if (rc == 0 && unique) {
            if (zs_ranges_close_gaps(
                    r.outStream.stream, r.outBuf, (ZsSize)sizeof r.outBuf, ranges, [&](int32_t k) { return rs[k].begin; },
                    [&](int32_t k) { return rs[k].out.at; }) != 0)
                rc = zs_write_failed(r, a.outFile.path);
        } else if (rc == 0) {
            for (int32_t k = 0; k < ranges; k++) ZS_ASSERT(rs[k].out.at == rs[k].end);
        }
        if (rc != 0) rc = 1;
    }
    for (int32_t k = ranges - 1; k >= 0; k--) {
        Range& g = rs[k];
        zs_list_destroy(r.pool, g.work);
        if (g.cursors != nullptr)
            for (int64_t i = g.count - 1; i >= 0; i--) zs_free(r.pool, g.cursors[i].buf);
        zs_free(r.pool, g.cursors);
        zs_free(r.pool, g.prev.cols);
        zs_free(r.pool, g.prev.data);
        if (g.ownBuf) zs_free(r.pool, g.out.buf);
    }
    mem.release();
    return rc;
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
    // On several threads where that is sound, else as one merge.
    const int64_t held = mo.uniqueSize + (prev.data != nullptr ? prev.dataCap + prev.colsCap * (int64_t)sizeof(CsvColumn) +
                                                                  2 * ZS_POOL_HDR
                                                            : 0);
    int rc = merge_ranges<L>(r, held);
    const bool serial = rc == kSerial;
    if (serial)
        rc = merge_group<L>(r, Group{r.tmp.blocks, 0, r.tmp.count}, mo.uniqueSize, true, &mo, &prev, &cursors, &work);
    // A failed write is reported by the close; after any other failure the rest goes with the pool.
    if (rc == 0 || mo.failed()) {
        int closed = zs_merge_out_close(r, &mo);
        if (rc == 0) rc = closed;
    }
    if (rc != 0) return 1;

    long t0 = zs_plat_clock();
    PtrList* blocks = r.tmp.blocks;
    if (serial) release_group(r, r.tmp.count, cursors, work);
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
