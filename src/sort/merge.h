// The merge of sorted sources (the blocks of the temporary file, presorted inputs): the cursor
// that walks a source, the work list that keeps the sources ordered by their current records, the
// previous output record of the unique filter, the merge's output and the one merge loop.
//
// Contract
// - Operations return 0, or 1 after printing why they failed (a failed stable sort of the work
//   list prints nothing: the caller's phase line says the merge failed).
// - The work list holds ZsHead pointers: the head of each open source's cursor, kept on its
//   current record. Its comparators and equality tests are the family's members for the place the
//   records are seen (ZS_AT_UNIT, ZS_AT_MERGE), called with the run's records context.
// - A source's number (head.unitNo) is its place in input order and its index among the merge's
//   sources.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/parallel.h"
#include "base/size.h"
#include "platform/platform.h"
#include "records/compare.h"
#include "records/records.h"
#include "sort/sort.h"
#include "sort/writer.h"

// Where a merge stands in one source.
struct ZsCursor {
    ZsHead head;       // the current record (first: a work-list entry is the cursor's address)
    char* buf;         // the bytes of the source at hand (pool front memory)
    ZsSize bufCap;
    ZsSize bufLen;     // bytes held in buf
    ZsSize bufPos;     // offset of the current record in buf (records taken straight from buf)
    ZsSize recBytes;   // bytes the current record takes there
    ZsSize readBytes;  // bytes of the source read into buf so far
    ZsSize recIdx;     // index of the current record (in the block, or in the load's index)
    ZsSize recNum;     // records of the block, or of the load's index
};

// An empty work list with room for capacity entries, from the pool; null when none could be had.
PtrList* zs_work_new(ZsSortRun& r, ZsSize capacity);

// Sorts the live entries of the work list by the plain comparator (stable: equal records stay in
// source order).
int zs_work_sort(ZsSortRun& r, PtrList* work, ZsCmp plain);
// Puts entry 0, whose source has moved on, back in order: it goes behind every entry that must
// come before it (cmp gives exactly 1), in front of the first that need not.
void zs_work_reinsert(ZsSortRun& r, PtrList* work, ZsCmp cmp);

// Orders the work list before a record is taken: the first time a full sort by the plain
// comparator, then only entry 0 put back in place with `place`. Nothing to do for one source.
int zs_work_order(ZsSortRun& r, PtrList* work, ZsSize open, bool* sorted, ZsCmp plain, ZsCmp place);

// A record copied into memory of its own, so that it outlives the buffer it came from: the
// previous output record of the unique filter, or the last record of an input's previous load.
// Its head is what the equality tests and comparators read.
struct ZsPrevRecord {
    ZsHead head;
    char* data;
    CsvColumn* cols;
    ZsSize dataCap;
    ZsSize colsCap;
};
// Takes the copy's memory before the merge takes the rest, so that it stays low in the pool: a
// copy made later would sit above what the merge releases and keep it from being reused.
int zs_prev_reserve(ZsSortRun& r, ZsPrevRecord* prev);
// Copies a record (packedCols: its column table, possibly unaligned). 1 when no memory could be
// had (nothing printed: the caller's message names its buffer).
int zs_prev_set(ZsSortRun& r, ZsPrevRecord* prev, const char* data, int32_t len, const char* packedCols,
                int32_t colNum);
void zs_prev_release(ZsSortRun& r, ZsPrevRecord* prev);

// The output of a merge: records go through a buffered writer over r.outBuf, with -U over a buffer
// of its own from the pool.
struct ZsMergeOut {
    ZsWriter w;
    bool unique;
    char* uniqueBuf;    // back-region block; null without -U
    ZsSize uniqueSize;  // its bytes; 0 without -U
    static constexpr bool kOutput = true;
    void put(const ZsHead& h) { zs_put(&w, h.data, h.len); }
    bool failed() const { return w.failed; }
};
// Sets the output up; fixed-length records get a unique buffer of whole records.
int zs_merge_out_open(ZsSortRun& r, ZsMergeOut* m, FILE* out, bool unique, int32_t recLen);
inline void zs_merge_out_put(ZsMergeOut* m, const char* data, int32_t len) { zs_put(&m->w, data, len); }
// Writes what is pending and returns the unique buffer; 1 after printing a write error.
int zs_merge_out_close(ZsSortRun& r, ZsMergeOut* m);

// The output of a key range of a merge on several threads: its records written at their own place
// in a regular output file, known ahead from the lengths of the records before them.
struct ZsRangeOut {
    FILE* file;
    char* buf;
    ZsSize cap;
    ZsSize used;
    ZsSize at;  // where the buffer's bytes go
    bool bad;
    static constexpr bool kOutput = true;
    void flush() {
        if (used > 0 && !bad && zs_plat_write_at(file, buf, used, at) != 0) bad = true;
        at += used;
        used = 0;
    }
    void put(const ZsHead& h) {
        if (used + h.len > cap) {
            flush();
            if (h.len > cap) {
                if (!bad && zs_plat_write_at(file, h.data, h.len, at) != 0) bad = true;
                at += h.len;
                return;
            }
        }
        std::memcpy(buf + used, h.data, (size_t)h.len);
        used += h.len;
    }
    bool failed() const { return bad; }
};

// With -U the key ranges of a merge write where their records would go without it: range k's
// output starts at begin(k) and ends at end(k). Each one's output moves down behind the one before
// (in order: a move may write over a later range's place, never over bytes still to move) through
// buf (cap bytes), and the file ends behind the last. 0, or -1 when the output could not be read
// (the run's output file is open for reading too) or written.
template <class Begin, class End>
int zs_ranges_close_gaps(FILE* f, char* buf, ZsSize cap, int32_t ranges, Begin begin, End end) {
    ZsSize to = end(0);
    for (int32_t k = 1; k < ranges; k++) {
        const ZsSize from = begin(k), len = end(k) - from;
        ZS_ASSERT(to <= from && len >= 0);
        for (ZsSize done = 0; to != from && done < len;) {
            const ZsSize m = std::min(cap, len - done);
            if (zs_plat_read_at(f, buf, m, from + done) != m || zs_plat_write_at(f, buf, m, to + done) != 0) return -1;
            done += m;
        }
        to += len;
    }
    return zs_plat_truncate(f, to);
}

// The one merge loop. Source is what differs between the merges, Out where the records go (a
// ZsMergeOut, or a run of a merge pass): void put(const ZsHead&), bool failed() and
// static constexpr bool kOutput (the records reach the run's output).
// Source:
//   int advance(ZsSize unitNo, bool* done)   moves the source's cursor to its next record and its
//                                            head onto it; *done when the source is used up
//   void finished(ZsSize unitNo, ZsSize open)  a used-up source leaves (open: sources still open
//                                               with it)
//   int keepFailed(int32_t len)              says that the unique filter's copy of a record of len
//                                            bytes could not be made; returns 1
// work holds the heads of the `open` sources with records. With -U every record whose keys equal
// those of the record written before it is skipped; prev holds that record. A skipped record is
// dropped for good and counted in the run's totals; a written one only when Out is the output
// (Out::kOutput), as a pass's runs are merged again. The sources count the progress. 0 when every
// source is used up; 1 after a failure (a failed output write is left to the caller's close).
// A merge of one key range of several on the run's threads counts into counts instead of the
// run's totals, and gets its work list sorted already (presorted): sorting takes pool memory,
// which a worker thread must not touch.
struct ZsMergeCounts {
    ZsSize out;
    ZsSize dup;
};
template <ZsLayout L, class Source, class Out>
int zs_merge_loop(ZsSortRun& r, Source& src, PtrList* work, ZsSize open, ZsWhere where, Out* out,
                  ZsPrevRecord* prev, ZsMergeCounts* counts = nullptr, bool presorted = false) {
    const ArgsInfo& a = *r.args;
    void* env = zs_cmp_env(r);
    const bool unique = a.bUnique == 1;
    const ZsCmp plain = zs_cmp_fn(zs_cmp_of(a, L, where, false));
    // With -U the record kept of equal ones must not depend on where blocks or loads end: the
    // first in input order, as in memory. Sources are numbered in input order, so the stable form
    // gives it.
    const ZsCmp place = zs_cmp_fn(zs_cmp_of(a, L, where, a.bStabilize == 1 || unique));
    const ZsCmp equal = zs_cmp_fn(zs_eq_of(L, where));
    ZsSize& outNum = counts != nullptr ? counts->out : r.totals.outRecNum;
    ZsSize& dupNum = counts != nullptr ? counts->dup : r.totals.dupRecNum;
    bool sorted = presorted, first = true;
    for (uint64_t taken = 1; open > 0; taken++) {
        if (zs_work_order(r, work, open, &sorted, plain, place) != 0) return 1;
        const ZsHead* h = static_cast<const ZsHead*>(work->items[work->start]);
        bool write = !unique || first;
        if (!write) {
            // Fixed-length records compare as themselves; the others through their heads.
            if constexpr (L == ZS_FIXED)
                write = equal(prev->head.data, h->data, env) != 0;
            else
                write = equal(&prev->head, h, env) != 0;
        }
        if (!write) dupNum++;
        if (write) {
            if constexpr (Out::kOutput) outNum++;
            out->put(*h);
            if (unique) {
                if (zs_prev_set(r, prev, h->data, h->len, h->cols, h->colNum) != 0) return src.keepFailed(h->len);
                first = false;
            }
        }
        const ZsSize unitNo = h->unitNo;
        bool done;
        if (src.advance(unitNo, &done) != 0) return 1;
        if (done) {
            src.finished(unitNo, open);
            open--;
            zs_list_remove_at(work, 0);
        }
        if ((taken & 0xFFFF) == 0 && zs_interrupted(r)) return 1;
        if (out->failed()) return 1;
    }
    return 0;
}

// The merge of the temporary file's blocks (r.tmp) into the output (r.outStream), one variant
// per layout; zs_merge_tmp picks the run's.
//
// The merge holds a read buffer for every block within the pool. When the blocks are too many for
// each to get one of at least its longest record and ZS_MERGE_MIN_READ bytes, they are merged in
// passes: groups of consecutive blocks, as many as fit, become runs of the spare temporary file,
// which then takes the place of r.tmp, until one merge can take every block. Runs keep the
// temporary record format and the order of equal records (ties in input order; -U keeps the first
// in input order), so the last merge writes what a single one would.
//
// On a run of several threads the last merge goes in key ranges (see ZsCut below) when the output
// is a regular file the run writes (each range writes at its own place, known from the lengths of
// the records before it; with -U, whose output bytes are known only once written, the place its
// records would take without -U, the outputs then moved together by zs_ranges_close_gaps) and the
// blocks have samples; standard output, and ties at a range's start whose order the ranges cannot
// know keep it on one thread. Either way the output, its statistics and its failure messages are one
// thread's; the verbose lines of the single merge's blocks are not printed for ranges.
inline constexpr int64_t ZS_MERGE_MIN_READ = 64 << 10;
template <ZsLayout L>
int zs_mergeTmpFile(ZsSortRun& r);
int zs_merge_tmp(ZsSortRun& r);

// The end (an index into blocks) of the group of blocks from `first` on that one merge takes
// within a budget of pool bytes (see zs_merge_budget): as many as get at least what a source
// needs, and never fewer than two while there are two.
int64_t zs_merge_group_end(const PtrList* blocks, int64_t first, int64_t budget);
// The pool bytes a merge may give its block buffers and sources, beside an output buffer of
// outBufSize bytes.
int64_t zs_merge_budget(const ZsSortRun& r, int64_t outBufSize);

// ---- What the merges in key ranges share ----
// Input bytes below which one thread merges: the ranges would save less than setting them up costs.
inline constexpr ZsSize ZS_RANGES_MIN = 8 << 20;
// The output buffer of every range but the first (which takes the run's).
inline constexpr ZsSize ZS_RANGE_OUT_BUF = 256 << 10;
// Progress bytes a range gathers before it passes them on.
inline constexpr ZsSize ZS_RANGE_PROGRESS_STEP = 1 << 20;
// Passes a range's gathered progress (*pending) on: a worker to the count the ranges share
// (*shared, atomic), the calling thread to the run with what the workers left there.
inline void zs_range_report(ZsSortRun& r, ZsSize* shared, ZsSize* pending) {
    if (zs_on_worker())
        __atomic_fetch_add(shared, *pending, __ATOMIC_RELAXED);
    else
        zs_progress_add(r, *pending + __atomic_exchange_n(shared, 0, __ATOMIC_RELAXED));
    *pending = 0;
}
// Orders the sources of a key range whose first records are equal (the runs of equal ones in
// e[0..n), sorted by the plain comparator) as one merge of the whole sources has them when it
// comes to the range: without the stable order it puts a source that moves on to a record in
// front of the equal ones, so the source that came to its record last is first, and those that
// start in the range (there from the start, in source order) are last. A source came to its record
// when the record before it was written: the later of two unequal records. hasPred(x): whether
// source x has a record before the range; cmpPreds(x, y, &c): compares those two records, false
// when one cannot be read. False when the order is not certain (two such records equal, or one
// unread): only the ranges before know it.
template <class HasPred, class CmpPreds>
bool zs_order_range_ties(void** e, ZsSize n, ZsCmp plain, void* env, HasPred hasPred, CmpPreds cmpPreds) {
    for (ZsSize i = 0; i < n;) {
        ZsSize j = i + 1;
        while (j < n && plain(&e[j - 1], &e[j], env) == 0) j++;
        // Those with a record before them first, each group in the order it has; then by the
        // records before them, the later first.
        ZsSize m = i;
        for (ZsSize t = i; t < j; t++)
            if (hasPred(e[t])) std::rotate(e + m, e + t, e + t + 1), m++;
        for (ZsSize t = i + 1; t < m; t++) {
            for (ZsSize k = t; k > i; k--) {
                int c;
                if (!cmpPreds(e[k - 1], e[k], &c) || c == 0) return false;
                if (c > 0) break;
                std::swap(e[k - 1], e[k]);
            }
        }
        i = j;
    }
    return true;
}
// -1, 0 or 1 as record x orders before, with or after y by the plain comparator (on heads).
inline int zs_cmp_heads(ZsCmp plain, void* env, const ZsHead& x, const ZsHead& y) {
    const ZsHead* px = &x;
    const ZsHead* py = &y;
    return plain(&px, &py, env);
}
// Pool blocks taken for the ranges, released in the reverse order in one place.
struct ZsPoolBlocks {
    ZsSortRun& r;
    void* items[16] = {};
    int n = 0;
    void* take(ZsSize bytes) {
        ZS_ASSERT(n < 16);
        void* p = zs_malloc(r.pool, bytes);
        if (p != nullptr) items[n++] = p;
        return p;
    }
    void release() {
        while (n > 0) zs_free(r.pool, items[--n]);
    }
};
// A record read for the choice of splitters, the bytes of its source it stands for, and where it
// starts there.
struct ZsSplitSample {
    ZsHead head;  // first: the sort's entries point at it
    ZsSize weight;
    ZsSize at;
};
// Up to ranges - 1 splitters from n samples sorted by the plain comparator (order: their
// addresses) that stand for `weights` bytes: splitter j is the first sample whose predecessors
// stand for j / ranges of the bytes, each one above the one before. Returns how many.
int32_t zs_pick_splitters(void* const* order, int64_t n, ZsSize weights, int32_t ranges, ZsCmp plain, void* env,
                          ZsHead* splitters);

// The merge of presorted input files (-M) on the run's threads: every input is cut at the same
// splitter records, chosen from records read at even places of the inputs; the records of all
// inputs between two cuts form a key range, merged on a thread of its own into its own part of the
// output. Taken for records of regular files into a regular output file of the run's (CSV: a
// newline code without the quote), starts[i] where input i's records start (behind its header
// line); equal records at a range's start are ordered as in the temporary file's ranges. With -U
// records equal to a splitter all fall in one range, so the ranges drop the same records as one
// thread; each writes where its records would go without -U, and the outputs are moved together
// once all are written. The ranges check the inputs' order as one thread does, across the cuts too.
// ZS_MERGE_SERIAL, with nothing printed and the output and the pool as they were, when one thread
// is to merge: also when a range meets anything one thread would report (records out of order, an
// error record, a record longer than its buffer, a read error), so that the messages are one
// thread's, or ties whose order the ranges cannot know. 0 once the output is written; 1 after a
// printed failure.
inline constexpr int ZS_MERGE_SERIAL = -2;
int zs_merge_files_ranges(ZsSortRun& r, FILE* const* files, const ZsSize* starts);

// ---- Key ranges: the last merge on several threads ----
// The records of every block are cut at the same T - 1 splitter records, taken from the blocks'
// samples (sort/run.h ZsSample): the records of all blocks between two cuts form a key range,
// merged on a thread of its own into its own part of the output. A block's cut at a splitter is its
// first record not below the splitter by the plain comparator, so records equal to a splitter all
// fall in one range and ties are ordered there as one merge orders them.
struct ZsCut {
    ZsSize at;     // where the record starts in the block (the block's size: none)
    ZsSize idx;    // its index (the block's record count: none)
    ZsSize outAt;  // output bytes of the block's records before it
    ZsSize predAt; // where the record before it starts in the block; -1 for none
};
// Reads single records of the temporary file for the cuts: buf holds cap bytes, at least the
// longest record (r.tmp.maxRecLen), of the file from `from` on (len of them read).
struct ZsCutReader {
    char* buf;
    ZsSize cap;
    ZsSize from;
    ZsSize len;
};
// Block b's cut at the splitter: a binary search over its samples, then a scan from the last
// sample below the splitter. 1 (nothing printed) when the block cannot be read as written.
template <ZsLayout L>
int zs_block_cut(ZsSortRun& r, ZsCutReader* rd, const ZsBlock& b, const ZsHead& splitter, ZsCut* cut);
