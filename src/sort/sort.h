// Input loading, the in-memory sorts, the record writers and the sort modes.
//
// Contract
// - Every operation returns 0 on success and 1 after printing why it failed; a caller adds its
//   own phase failure line. A run that returns 0 wrote every record.
// - Buffers handed to the sorts are back-region blocks of the pool; the sorts take ownership.
#pragma once

#include <cstdint>
#include <cstdio>

#include "memory/pool.h"
#include "records/records.h"

// Bytes the in-memory buffer needs: every input file's data and a newline code after each, so
// that a file without a final newline code never runs into the next.
int64_t zs_load_size();
// Loads every input file back to back into buffer (zs_load_size() bytes); fileEnds (one entry per
// input file) receives the offset where each file's data ends.
int zs_load_input(char* buffer, int32_t* fileEnds);
// Completes newline-ended or CSV data whose last record lacks the newline code (the buffer must
// have room for one behind len); returns the bytes appended. Fixed-length data is left as it is.
int32_t zs_end_with_sep(char* data, int64_t len);
// Reads n bytes of a file of which *left bytes remain (n <= *left), in pieces so that an interrupt
// is seen. False on a short read, an interrupt, or bytes found beyond the file's size once *left
// reaches 0 (the file changed while read); *atEnd is set when the file has been read to its end.
bool zs_read_sized(FILE* in, char* dst, int64_t n, int64_t* left, bool* atEnd);
// The read error of an input file (nothing more when an interrupt was reported); returns 1.
int zs_input_read_failed(const char* path);
// Opens an input file for unbuffered reads; null after printing why.
FILE* zs_open_input(const InputFile* file);

// The first 1 MiB of a CSV file read to find its header line (the bytes up to and including the
// first newline code; a file that is one line without one is all header). The first file's
// header is kept in zs_args.header, completed with the newline code when it lacks one.
struct ZsHeaderChunk {
    char* chunk;       // back-region block: release with qfree
    int32_t chunkLen;  // bytes read
    int32_t lineLen;   // bytes of the header line in the file
};
// The header line at the front of data, found within its first `scanned` bytes (at most
// ZS_HEADER_SCAN_LIMIT); allData: those bytes are all the data. 0 with its length and *complete
// set when it is the whole data without a newline code; 1 after the header message (Japanese only
// when japaneseOnly) when no newline code is found and more data follows.
inline constexpr int32_t ZS_HEADER_SCAN_LIMIT = 1048576;
int zs_header_line(const char* data, int32_t scanned, bool allData, bool japaneseOnly, int32_t* lineLen,
                   bool* complete);
// 1 after printing why (a CSV header message in Japanese only when japaneseOnly).
int zs_read_header(FILE* in, const InputFile* file, bool first, bool japaneseOnly, ZsHeaderChunk* h);
// Keeps line (lineLen bytes) as the run's header, completed with the newline code when asked.
// 1 after a failure message.
int zs_keep_header(const char* line, int32_t lineLen, bool complete);

// Index, sort and write a buffer of whole records; they take ownership of the buffer. fileEnds
// (may be null) lists where the data of each input file ends: no record runs past one.
int zs_memsort(char* data, int32_t length, const int32_t* fileEnds = nullptr, int32_t fileNums = 0);
int zs_memsort_stable(char* data, int32_t length, const int32_t* fileEnds = nullptr, int32_t fileNums = 0);

// The run's output: standard output, or the -O file written through a new file that takes its
// place only when the run succeeds (zs_run.outStream). The open message is the plain writer's or
// the shorter one of the other writers. Close reports a failed write (failed: one the caller saw).
int zs_open_output(bool plainWriter);
int zs_close_output(bool failed);

// Output writers: the sorted items of an index to the output file or standard output. A null or
// empty index writes no records; the CSV header line is written whenever there is one.
int zs_write_output(const ZsIndex* idx);
int zs_write_output_unique(const ZsIndex* idx);
// Block writers: a sorted index (its items, or a list of entries) to the temporary file in the
// temporary record format; unit (may be null) receives the block's size and record count. 1 after
// printing that a write failed.
int zs_write_block(const ZsIndex* idx, FILE* stream, UnitDataInfo* unit);
int zs_write_block_unique(const ZsIndex* idx, FILE* stream, UnitDataInfo* unit);
int zs_write_block(const PtrList* list, FILE* stream, UnitDataInfo* unit);
int zs_write_block_unique(const PtrList* list, FILE* stream, UnitDataInfo* unit);

// Merge of presorted input files (-M).
int zs_mergeFiles();
// Sort of standard input (no input files).
int zs_stdin();
