// The run's settings record and the process-wide run variables that several subsystems share.
#pragma once

#include <cstdint>
#include <cstdio>

struct UnitDataInfo;
struct MemoryPool;
struct PtrList;

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
};

// The one settings record of the process.
extern ArgsInfo zs_args;

// True for CSV records: fixed-length wins when both -L and -C are given.
inline bool zs_is_csv(const ArgsInfo* a) { return a->bCsv != 0 && a->bFixVar != 1; }

// Process-wide run variables.
extern int bVerbose;
extern int processId;
extern long startFirst;
extern long phaseStart;
extern long finish;
extern MemoryPool* pool;
extern PtrList* blockList;
extern int32_t unit_cnt;
extern FILE* tmpStream;
extern FILE* errStream;
extern FILE* outStream;

// Prints the whole record to standard output (verbose diagnostics).
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

// Results of zs_args_load besides 0 (loaded).
inline constexpr int ZS_LOAD_REJECTED = 1;   // option error, message printed
inline constexpr int ZS_LOAD_NO_MEMORY = -1; // the input file array cannot be grown
inline constexpr int ZS_LOAD_VERSION = 2;    // -V with an empty value: version text printed

int zs_args_load(ArgsInfo* args, int argc, char** argv);
// Completes and checks the loaded settings. 0 ready; 1 after a printed failure.
int zs_args_check(ArgsInfo* args);

void zs_print_usage();
void zs_print_version();
