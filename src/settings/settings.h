// The run's settings record: what the option loader read, completed by the argument check.
//
// Contract
// - Operations of this layer return 0 on success and 1 after printing why they failed, through
//   the run's log they are given.
// - The loader fills the record, the check completes it (layout, newline code, delimiter, sizes,
//   paths, keys); from then on it is read-only (the run holds it as const ArgsInfo*). What the
//   run finds out or decides later (counts, sizes, the pool, the header line) is a ZsTotals the
//   run owns. zs_args_free releases what the record owns and zeroes it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/log.h"
#include "base/size.h"

// The record layout, decided once by the argument check. Every operation that depends on it
// switches on it in one place.
enum ZsLayout : int32_t {
    ZS_LAYOUT_UNSET = 0,
    ZS_FIXED,     // -L: records of recLen bytes, no separators
    ZS_VARIABLE,  // records ended by the newline code
    ZS_CSV,       // -C: newline-ended records split into columns
};

// One file of the run: input, output, error or temporary file. Streams and buffers that use it
// belong to the run, not here.
struct InputFile {
    char* path;        // as given on the command line (temporary file: the name's pattern)
    char* dir;         // path up to and including its last separator; null without one
    char* fileName;    // the part after the last separator (temporary file: points into path)
    ZsSize size;       // bytes, from the argument check (0 for a stream)
    int32_t bStream;   // a pipe or FIFO: its size is unknown, it is read once, to its end
};

// One -K key.
struct SortKey {
    char* cmt;     // the argument as given; the checker cuts the suffix letters off in place
    int32_t pos;   // fixed/variable: byte position from 0; CSV: column number from 1
    int32_t len;   // fixed/variable: key length; CSV: 0
    int32_t type;  // 1 bytes, 2 numeric, 3 recorded 't' (compares as bytes)
    int32_t seq;   // 1 ascending, 2 descending
};

inline constexpr int32_t ZS_KEY_BYTES = 1;
inline constexpr int32_t ZS_KEY_NUMERIC = 2;
inline constexpr int32_t ZS_KEY_TEXT = 3;
inline constexpr int32_t ZS_ASC = 1;
inline constexpr int32_t ZS_DESC = 2;

struct ArgsInfo {
    int32_t bMerge;
    int32_t bCsv;
    int32_t bFixVar;  // 1 fixed-length, 2 newline-ended (variable or CSV), 0 before checking
    int32_t bStabilize;
    int32_t bUnique;
    int32_t recLen;
    int32_t maxCsvNum;
    ZsSize totalMemSize;  // -W in bytes; 0 without it

    InputFile tmpFile;
    InputFile outFile;
    InputFile errFile;
    InputFile* arrInFile;
    int32_t inFileNums;
    int32_t bRecSort;  // 0 keys, 1 whole record ascending, 2 whole record descending
    SortKey* arrSortKey;
    int32_t keyNums;
    int32_t keyMaxPos;
    const char* sep;        // newline code; refers to an argument text or a constant
    int32_t sepLen;
    const char* delimiter;  // CSV delimiter; refers to an argument text or a constant
    int32_t delimLen;
    int32_t bHeader;
    char quote;
    int32_t bNullLastOut;
    // Not shown by the dump: SortKey entries that -K created (keyNums drops to 0 with -A/-R,
    // the entries are still released).
    int32_t keyAlloc;
    ZsLayout layout;  // set by the argument check; bFixVar and bCsv say the same for the dump
};

// What a run finds out and decides once its settings are checked: the sizes and counts of its
// data, the pool it sorts in, the header line it writes. Owned by the run; the settings dump
// prints these values beside the settings.
struct ZsTotals {
    int32_t bMemory;        // sorted in memory (the check's first guess, then the driver's choice)
    int32_t bStreams;       // some input file is a pipe or FIFO: the input's size is not known
    ZsSize totalMemSize;    // the pool's bytes: -W until the driver sizes the pool
    int32_t maxRecLen;      // longest record indexed (a record's length: below ZS_RECORD_MAX)
    ZsSize totalFileSize;   // input bytes (and the newline codes completing last records); streams
                            // count as nothing
    ZsSize totalRecNum;     // records: fixed-length files counted by the check, the rest sorted
    char* header;           // first input's header line (pool memory), not zero-terminated
    int32_t headerLen;      // a line of the first ZS_HEADER_SCAN_LIMIT bytes

    // What became of the records, counted where they are written or finally dropped: written to
    // the output, too short for the keys (error records: written to -E or dropped), dropped by -U.
    ZsSize outRecNum;
    ZsSize errRecNum;
    ZsSize dupRecNum;
};

// Prints the whole record and the run's totals to the diagnostic stream (verbose diagnostics).
void zs_args_dump(ZsLog& log, const ArgsInfo* args, const ZsTotals* totals);
void zs_file_dump(ZsLog& log, const char* label, const InputFile* file);
// Releases everything the record owns and zeroes it.
void zs_args_free(ArgsInfo* args);

// Option scanner state (getopt style), one per loading.
struct ZsOptState {
    int optind;     // index of the argument being scanned
    int optpos;     // position of the next option letter inside it
    char* optarg;   // value of the last option returned; null for a flag
};

// Sets the scanner to its initial state: next index 1, position 1, no value.
void zs_getopt_reset(ZsOptState* s);
// Returns the next option letter as typed, -1 when the options end, or '?' after an illegal
// option or a missing option value (its line has been printed). May trim values in place.
int zs_getopt(ZsOptState* s, ZsLog& log, int argc, char** argv);

// Loads the options and input file names (-Verbose turns the log's verbose flag on). 0 loaded;
// *done is set instead when the run ends here with success (-V with an empty value printed the
// version). 1 after an option error (its line printed) or when memory runs out.
int zs_args_load(ZsLog& log, ArgsInfo* args, int argc, char** argv, bool* done);
// Completes and checks the loaded settings and sets the totals the check finds (input sizes, the
// record count of fixed-length files, the first guess at in-memory sorting). An input of any size
// passes; an input that is a pipe or FIFO is marked a stream (InputFile.bStream, ZsTotals.bStreams):
// it is never opened here, and the run reads it once, to its end. 0 ready; 1 after a printed
// failure.
int zs_args_check(ZsLog& log, ArgsInfo* args, ZsTotals* totals);

void zs_print_usage(ZsLog& log);
// The usage text in the locale's language (UTF-8).
const char* zs_usage_text();
void zs_print_version(ZsLog& log);
