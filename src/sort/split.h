// The split sort: a stream cut into loads, each sorted and appended to the temporary file as one
// block described by a UnitDataInfo in blockList (the temporary-file mode and the sort of
// standard input share it).
//
// Contract
// - Operations return 0, or 1 after printing why they failed.
// - zs_run.tmpStream is open for writing and zs_run.blockList exists before the first block.
// - The buffer is the newest back-region block of the pool while a ZsSplit is open: close it
//   before releasing any back-region block taken earlier.
#pragma once

#include <cstdint>
#include <cstdio>

#include "sort/sort.h"

struct ZsSplit {
    FILE* in;            // the stream read
    int64_t left;        // bytes still to read; -1 for "until the end of the data"
    bool atEnd;          // everything has been read
    char* buf;           // the load (room for a newline code beyond cap)
    int32_t cap;         // bytes a load may hold
    int32_t len;         // bytes in buf: the carry of the last block, then what was read after it
    int64_t maxRecords;  // records one block may index, so that its index fits the pool
    int64_t perRecord;   // index bytes per record (the plan's estimate)
    UnitDataInfo* spare; // the next block's record, taken before its index
};

// Plans the loads from a sample of the first bytes and reads that sample into the buffer. bytes is
// what the stream holds from its position, or -1 for "until its end" (standard input).
int zs_split_open(ZsSplit* s, FILE* in, int64_t bytes, bool standardInput);
// Fills the buffer up to its capacity or the end of the data.
int zs_split_fill(ZsSplit* s);
// Indexes, sorts and appends one block (a load of error records only writes none); what it could
// not index stays in the buffer.
int zs_split_block(ZsSplit* s);
// Blocks until the end of the data.
int zs_split_all(ZsSplit* s);
void zs_split_close(ZsSplit* s);

// Creates the run's temporary file (zs_run.tmpStream) in the temporary folder.
int zs_create_temp_file();
// Closes and removes the run's temporary file if it exists. 1 after printing that it could not be
// removed.
int zs_remove_temp_file();
// Makes every block written reach the temporary file. 1 after printing that a write failed.
int zs_finish_temp_writes();
// Opens the output, writes the CSV header and merges the temporary file's blocks into it.
int zs_merge_to_output();

// A new block record (null after printing that none could be had).
UnitDataInfo* zs_new_unit();
// Sorts the items of an index and appends them to the temporary file as the block unit describes.
int zs_write_sorted_block(ZsIndex* idx, UnitDataInfo* unit);

// A file's records (bytes from the stream's position) as sorted blocks of the temporary file, one
// variant per layout; zs_split_sort picks the run's.
template <ZsLayout L>
int zs_splitSortFile(FILE* in, int64_t bytes);
int zs_split_sort(FILE* in, int64_t bytes);
