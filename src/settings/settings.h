// The run's settings record: what the option loader read, completed by the argument check.
//
// Contract
// - Operations of this layer return 0 on success and 1 after printing why they failed.
// - The loader fills the record, the check completes it (layout, newline code, delimiter, sizes,
//   paths, keys); from then on the sorting layers read it and change only the fields their
//   comments name. zs_args_free releases what it owns and zeroes it.
#pragma once

#include <cstdint>
#include <cstdio>

struct UnitDataInfo;

// The record layout, decided once by the argument check. Every operation that depends on it
// switches on it in one place.
enum ZsLayout : int32_t {
    ZS_LAYOUT_UNSET = 0,
    ZS_FIXED,     // -L: records of recLen bytes, no separators
    ZS_VARIABLE,  // records ended by the newline code
    ZS_CSV,       // -C: newline-ended records split into columns
};

// One file of the run: input, output, error or temporary file.
struct InputFile {
    char* path;        // as given on the command line (temporary file: the full name)
    char* dir;         // path up to and including its last separator; null without one
    char* fileName;    // the part after the last separator (temporary file: points into path)
    int32_t size;      // bytes, from the argument check
    int32_t outSize;
    FILE* file;        // open stream while a sort phase uses it
    char* outBuf;      // unique output buffer of the merges (pool memory)
    int32_t outBufSize;
    int32_t outBufOffset;
    UnitDataInfo* unitDataInfo;
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
    // The first ten fields are one block of 32-bit values; the dump walks them in this order.
    int32_t bMerge;
    int32_t bCsv;
    int32_t bMemory;
    int32_t bFixVar;  // 1 fixed-length, 2 newline-ended (variable or CSV), 0 before checking
    int32_t bStabilize;
    int32_t bUnique;
    int32_t recLen;
    int32_t maxRecLen;
    int32_t maxCsvNum;
    int32_t totalMemSize;

    InputFile tmpFile;
    InputFile outFile;
    InputFile errFile;
    InputFile* arrInFile;
    int32_t inFileNums;
    int32_t totalFileSize;
    int32_t totalRecNum;
    int32_t bRecSort;  // 0 keys, 1 whole record ascending, 2 whole record descending
    SortKey* arrSortKey;
    int32_t keyNums;
    int32_t keyMaxPos;
    const char* sep;        // newline code; refers to an argument text or a constant
    int32_t sepLen;
    const char* delimiter;  // CSV delimiter; refers to an argument text or a constant
    int32_t delimLen;
    int32_t bHeader;
    char* header;  // first input file's header line, pool memory, not zero-terminated
    int32_t headerLen;
    char quote;
    int32_t bNullLastOut;
    // Not shown by the dump: SortKey entries that -K created (keyNums drops to 0 with -A/-R,
    // the entries are still released).
    int32_t keyAlloc;
    ZsLayout layout;  // set by the argument check; bFixVar and bCsv say the same for the dump
};

// The one settings record of the process.
extern ArgsInfo zs_args;

// Prints the whole record to the diagnostic stream (verbose diagnostics).
void zs_args_dump(const ArgsInfo* args);
void zs_file_dump(const char* label, const InputFile* file);
// Releases everything the record owns and zeroes it.
void zs_args_free(ArgsInfo* args);

// Option scanner state (getopt style). Kept in one record so that the names cannot collide
// with the C library's own scanner variables.
struct ZsOptState {
    int optind;     // index of the argument being scanned
    int optpos;     // position of the next option letter inside it
    char* optarg;   // value of the last option returned; null for a flag
};
extern ZsOptState zs_opt;

// Sets the scanner to its initial state: next index 1, position 1, no value.
void zs_getopt_reset();
// Returns the next option letter as typed, -1 when the options end, or '?' after an illegal
// option or a missing option value (its line has been printed). May trim values in place.
int zs_getopt(int argc, char** argv);

// Loads the options and input file names. 0 loaded; *done is set instead when the run ends here
// with success (-V with an empty value printed the version). 1 after an option error (its line
// printed) or when memory runs out.
int zs_args_load(ArgsInfo* args, int argc, char** argv, bool* done);
// Completes and checks the loaded settings. 0 ready; 1 after a printed failure.
int zs_args_check(ArgsInfo* args);

void zs_print_usage();
void zs_print_version();
