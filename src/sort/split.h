// The split sort and the sort through the temporary file: a stream cut into loads, each sorted
// and appended to the run's temporary file as one block (a ZsBlock in r.tmp.blocks), and the
// blocks merged into the output. The temporary-file mode and the sort of standard input share it.
//
// Contract
// - Operations return 0, or 1 after printing why they failed.
// - The temporary file is created by zs_temp_create (inside zs_temp_sort), the spare one by
//   zs_temp_create_spare (inside a merge in passes); both are closed only by zs_temp_close, which
//   the run's cleanup calls whatever happened; no mode closes or removes them.
// - The load buffer is the newest back-region block of the pool while a ZsSplit is open: close it
//   before releasing any back-region block taken earlier.
#pragma once

#include <cstdint>
#include <cstdio>

#include "sort/sort.h"

struct ZsAhead;  // the read-ahead (split.cpp)

struct ZsSplit {
    FILE* in;           // the stream read (by the read-ahead's thread while one runs)
    ZsSize left;        // bytes still to read; -1 for "until the end of the data"
    bool sized;         // the bytes were known ahead (left started at 0 or more)
    bool atEnd;         // everything has been read
    char* sample;       // the first bytes, read to plan the loads (front block until the load has them)
    char* buf;          // the load (room for a newline code beyond cap)
    ZsSize cap;         // bytes a load may hold
    ZsSize len;         // bytes read: the carry of the last block, then what was read after it
    ZsSize maxRecords;  // records one block may index, so that its index fits the pool
    ZsSize perRecord;   // index bytes per record (the plan's estimate)
    ZsBlock* spare;     // the next block's record, taken before its index
    ZsAhead* ahead;     // null until the first read-ahead
    ZsSize aheadMost;   // bytes a read-ahead reads at most (ZS_AHEAD_MOST; less in tests)
};

// Reads a first sample of the stream and plans the loads from it (s->cap, s->maxRecords). bytes is
// what the stream holds from its position, or -1 for "until its end" (standard input, a pipe or a
// FIFO: read until a read comes back short, never twice).
int zs_split_open(ZsSortRun& r, ZsSplit* s, FILE* in, ZsSize bytes);
// Takes the load buffer of the planned size, the sample at its front (the caller shows the plan
// in between).
int zs_split_buffer(ZsSortRun& r, ZsSplit* s);
// Fills the buffer up to its capacity or the end of the data: first with what the read-ahead
// read, once it ended. A load holds the same bytes, and sees the end of the data at the same
// load, as without a read-ahead, so the blocks (and the order of an unstable sort's ties) are
// those of one thread.
int zs_split_fill(ZsSortRun& r, ZsSplit* s);
// With -H, cuts the header line from the front of the first load (filled): the data of a stream
// is read once, so its header is taken where its records are. 1 after `failed` or a failed
// allocation.
int zs_split_take_header(ZsSortRun& r, ZsSplit* s, const ZsText& failed);
// Indexes, sorts and appends one block (a load of error records only writes none); what it could
// not index stays in the buffer.
int zs_split_block(ZsSortRun& r, ZsSplit* s);
// With several threads, starts reading the bytes after the load (up to ZS_AHEAD_MOST, into a
// buffer outside the pool) on a thread of its own, while the load's block is indexed, sorted and
// written; the next zs_split_fill waits for it. Nothing starts on one thread, at the end of the
// data, or while bytes of the last read-ahead still wait for a load.
void zs_split_read_ahead(ZsSortRun& r, ZsSplit* s);
inline constexpr ZsSize ZS_AHEAD_MOST = 16 << 20;
// Blocks until the end of the data, each read ahead while the one before is sorted.
int zs_split_all(ZsSortRun& r, ZsSplit* s);
// Ends a read-ahead that runs and releases the buffers.
void zs_split_close(ZsSortRun& r, ZsSplit* s);

// A file's records (bytes from the stream's position) as sorted blocks of the temporary file, one
// variant per layout; zs_split_sort picks the run's.
// bytes -1: a stream, read to its end; with -H its header line is taken from its first load.
template <ZsLayout L>
int zs_splitSortFile(ZsSortRun& r, FILE* in, ZsSize bytes);
int zs_split_sort(ZsSortRun& r, FILE* in, ZsSize bytes);

// A new block record (null after printing that none could be had).
ZsBlock* zs_new_block(ZsSortRun& r);
// Sorts the items of an index and appends them to the temporary file as the block described by
// block, which is listed in r.tmp.blocks once written.
int zs_write_sorted_block(ZsSortRun& r, ZsIndex* idx, ZsBlock* block);

// ---- The temporary file ----
// Creates the run's temporary file (r.tmp.stream; its name removed at once) in the temporary
// folder, and the run's block list. 1 after printing why not.
int zs_temp_create(ZsSortRun& r);
// Creates the spare temporary file a merge in passes writes its runs to (r.spare), as the first,
// with a block list of its own. 1 after printing why not.
int zs_temp_create_spare(ZsSortRun& r);
// Closes the temporary files that are open and forgets their blocks (pool memory, released with
// the pool). The run's cleanup calls it, before the pool goes; harmless when nothing was created.
void zs_temp_close(ZsSortRun& r);
// Makes every block written reach the temporary file. 1 after printing that a write failed.
int zs_finish_temp_writes(ZsSortRun& r);
// Opens the output, writes the CSV header and merges the temporary file's blocks into it.
int zs_merge_to_output(ZsSortRun& r);

// The verbose lines of a sort through the temporary file (pairs with en == nullptr are Japanese
// in every locale). The milliseconds of a phase go to the text that takes them as a double
// (%8.0f) or the one that takes them as a long (%ld); an empty text (jp == nullptr) is not
// printed.
struct ZsTempTexts {
    ZsText started;         // timestamp
    ZsText blocks;          // blocks written (long)
    ZsText splitTook;       // milliseconds of the split sort (double)
    ZsText splitTookWhole;  // the same as a long
    ZsText splitDone;       // timestamp
    ZsText mergeStarted;    // timestamp
    ZsText mergeTook;       // milliseconds of the merge (double)
    ZsText mergeTookWhole;  // the same as a long
    ZsText mergeDone;       // timestamp
};
// The mode's part of the sort: writes every block (the temporary file is open).
using ZsSplitStep = int (*)(ZsSortRun& r, void* env);
// The sort through the temporary file: creates it, lets split write the sorted blocks, makes them
// reach the file and merges them into the output, printing the mode's verbose lines.
int zs_temp_sort(ZsSortRun& r, const ZsTempTexts& texts, ZsSplitStep split, void* env);
