// Input loading, the in-memory sorts, the record writers and the sort modes.
//
// Contract
// - Every operation takes the run's sort context (sort/run.h) first; it reads the settings and
//   writes what it finds out to the run's totals, never to the settings.
// - Every operation returns 0 on success and 1 after printing why it failed; a caller adds its
//   own phase failure line. A run that returns 0 wrote every record.
// - Buffers handed to the sorts are back-region blocks of the pool; the sorts take ownership.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/msg.h"
#include "memory/pool.h"
#include "records/records.h"
#include "sort/run.h"
#include "sort/writer.h"

// Pool bytes kept back from the blocks of the split sort and from the buffers of its merge.
inline constexpr ZsSize ZS_BASIC_SIZE = 1 << 20;

// ---- Message pairs an operation is handed to say why it failed ----
// The CSV header line could not be read (no arguments).
inline constexpr ZsText ZS_TEXT_HEADER_FAILED{"☆ Error occurred while reading CSV file header!\n",
                                              "☆CSVファイルのヘッダ読み込み中にエラーが発生しました！\n"};
inline constexpr ZsText ZS_TEXT_HEADER_FAILED_JP{nullptr, "☆CSVファイルのヘッダ読み込み中にエラーが発生しました！\n"};
// The output could not be created (the output's name).
inline constexpr ZsText ZS_TEXT_OUT_CREATE{"☆ Cannot create output file [%s]!\n", "☆出力ファイル[%s]は作成できません！\n"};
inline constexpr ZsText ZS_TEXT_OUT_CREATE_CHECK{"☆ Cannot create output file [%s]! Please check permissions.\n",
                                                 "☆出力ファイル[%s]は作成できません！権限不足かをご確認ください。\n"};

// Prints a pair that takes arguments (en == nullptr: the Japanese text in every locale); kept as
// failure text when it is an error line.
template <class... A>
void zs_text_msg(ZsLog& log, const ZsText& t, A... args) {
    if (t.en == nullptr)
        zs_msg_jp(log, t.jp, args...);
    else
        zs_msg(log, t.en, t.jp, args...);
}
// The same, never kept as failure text (verbose lines).
template <class... A>
void zs_text_note(ZsLog& log, const ZsText& t, A... args) {
    if (t.en == nullptr)
        zs_note_jp(log, t.jp, args...);
    else
        zs_note(log, t.en, t.jp, args...);
}

// ---- Loading ----

// Bytes the in-memory buffer needs: every input file's data and a newline code after each, so
// that a file without a final newline code never runs into the next.
ZsSize zs_load_size(ZsSortRun& r);
// Loads every input file back to back into buffer (zs_load_size() bytes); fileEnds (one entry per
// input file) receives the offset where each file's data ends. Sets the totals' file size to the
// bytes loaded. The inputs are regular files (a stream's size is not known ahead).
int zs_load_input(ZsSortRun& r, char* buffer, ZsSize* fileEnds);
// Completes newline-ended or CSV data whose last record lacks the newline code (the buffer must
// have room for one behind len); returns the bytes appended. Fixed-length data is left as it is.
int32_t zs_end_with_sep(ZsSortRun& r, char* data, ZsSize len);
// Reads n bytes of a file of which *left bytes remain (n <= *left), in pieces so that an interrupt
// is seen. False on a short read, an interrupt, or bytes found beyond the file's size once *left
// reaches 0 (the file changed while read); *atEnd is set when the file has been read to its end.
// With several threads, a large read of a regular file is shared out over them (positional reads).
bool zs_read_sized(ZsSortRun& r, FILE* in, char* dst, ZsSize n, ZsSize* left, bool* atEnd);
// Reads up to n bytes of a stream whose size is unknown (standard input, a pipe, a FIFO), piece by
// piece as it delivers them, so that an interrupt (also one that ends a wait) and the progress are
// seen: only the end of the data makes it read fewer. The bytes read, counted as the phase's
// progress, or -1 after a read error or an interrupt (nothing printed).
ZsSize zs_read_stream(ZsSortRun& r, FILE* in, char* dst, ZsSize n);
// The read error of an input file (nothing more when an interrupt was reported); returns 1.
int zs_input_read_failed(ZsSortRun& r, const char* path);
// Opens an input file for unbuffered reads; null after printing why.
FILE* zs_open_input(ZsSortRun& r, const InputFile* file);

// ---- The sample of the input ----
// What the first bytes of the input say about its records: their average length and the pool
// bytes the index of one record takes. The pool's size and the split sort's loads are planned
// from it.
inline constexpr ZsSize ZS_SAMPLE_BYTES = 64 << 10;
struct ZsInputSample {
    double recordBytes;  // average record length, newline code included
    ZsSize perRecord;   // index bytes per record while its block is sorted
};
// The sample of data[0..n) (n <= ZS_SAMPLE_BYTES; no data gives one record of recLen or 1 byte),
// for records indexed in a buffer of up to bufferBytes (which decides the items' width).
ZsInputSample zs_sample_input(ZsSortRun& r, const char* data, ZsSize n, ZsSize bufferBytes);
// The sample of the first ZS_SAMPLE_BYTES of the first input file that holds any data, read
// before the pool exists (heap memory, released). A file that cannot be read, and a stream (read
// once, by the sort), give no data.
ZsInputSample zs_sample_files(ZsSortRun& r, ZsSize bufferBytes);

// ---- The CSV header line (-H) ----
// The first input's header line is the run's (r.totals.header), written ahead of the records;
// every other input's is passed over.
inline constexpr int32_t ZS_HEADER_SCAN_LIMIT = 1048576;
// Finds the header line at the front of data[0..have): the bytes up to and including the first
// newline code within the first ZS_HEADER_SCAN_LIMIT bytes; allData says the bytes at hand are all
// the data, which is then all header when it is one line without a newline code. The first header
// taken in a run is kept as the run's, completed with the newline code when it lacks one. 0 with
// *lineLen, the bytes the line takes in the data; 1 after `failed` (no newline code and more data
// follows) or a failed allocation.
int zs_header_take(ZsSortRun& r, const char* data, ZsSize have, bool allData, const ZsText& failed,
                   int32_t* lineLen);
// zs_header_take on the first bytes of a regular input file read from its stream (which is left
// behind them: the caller places it; a pipe's header is taken from its first load instead). 1 after
// `failed`, a read error or a failed allocation.
int zs_header_file(ZsSortRun& r, FILE* in, const InputFile* file, const ZsText& failed, int32_t* lineLen);
// Puts the run's header line, when there is one, ahead of the records.
void zs_put_header(ZsSortRun& r, ZsWriter* w);

// ---- In-memory sorts ----
// Index, sort and write a buffer of whole records; they take ownership of the buffer. fileEnds
// (may be null) lists where the data of each input file ends: no record runs past one.
int zs_memsort(ZsSortRun& r, char* data, ZsSize length, const ZsSize* fileEnds = nullptr, int32_t fileNums = 0);
int zs_memsort_stable(ZsSortRun& r, char* data, ZsSize length, const ZsSize* fileEnds = nullptr,
                      int32_t fileNums = 0);

// ---- Output ----
// The run's output (r.outStream): standard output, or the -O file written through a new file that
// takes its place only when the run commits. cannotCreate takes the output's name. Close reports a
// failed write (failed: one the caller saw).
int zs_open_output(ZsSortRun& r, const ZsText& cannotCreate);
int zs_close_output(ZsSortRun& r, bool failed);
// Reserves the disk space of the output, its header line and `recordBytes` of records (exactly
// what will be written), when it is a new file of the run's: its writes then need not allocate it
// page by page.
void zs_output_reserve(ZsSortRun& r, ZsSize recordBytes);

// Output writers: the sorted items of an index to the output file or standard output. A null or
// empty index writes no records; the CSV header line is written whenever there is one.
int zs_write_output(ZsSortRun& r, const ZsIndex* idx);
int zs_write_output_unique(ZsSortRun& r, const ZsIndex* idx);
// Block writers: a sorted index (its items, or a list of entries) to a stream in the temporary
// record format (sort/tmpcodec.h), through r.tmpBuf; block (may be null) receives the block's size,
// record count and longest record, r.tmp.maxRecLen the longest record written. 1 after printing
// that a write failed.
int zs_write_block(ZsSortRun& r, const ZsIndex* idx, FILE* stream, ZsBlock* block);
int zs_write_block_unique(ZsSortRun& r, const ZsIndex* idx, FILE* stream, ZsBlock* block);
int zs_write_block(ZsSortRun& r, const PtrList* list, FILE* stream, ZsBlock* block);
int zs_write_block_unique(ZsSortRun& r, const PtrList* list, FILE* stream, ZsBlock* block);

// ---- Modes ----
// Merge of presorted input files (-M).
int zs_mergeFiles(ZsSortRun& r);
// Sort of standard input (no input files).
int zs_stdin(ZsSortRun& r);
