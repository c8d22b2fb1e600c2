// Record index entries, the index builders and the temporary-file block record.
#pragma once

#include <cstdint>

#include "memory/pool.h"
#include "settings/settings.h"

// Variable-length record: its length (newline code included) and its first byte.
struct VarEntry {
    int32_t len;
    const char* data;
};

// One CSV column: offset of its first byte from the record's data, and its length.
struct CsvColumn {
    int32_t off;
    int32_t len;
};

// CSV record: its bytes (newline code included) and its column table.
struct CsvEntry {
    const char* data;
    int32_t len;
    CsvColumn* cols;
    int32_t colNum;
};

// One sorted block of the temporary file (or, for the merge of presorted files, one input),
// with the merge's cursor over it.
struct UnitDataInfo {
    int32_t offset;     // first byte of the block in the temporary file
    int32_t size;       // bytes of the block
    int32_t recNum;     // records in the block
    int32_t readBytes;  // bytes of the block already read back into buf
    int32_t recIdx;     // index of the current record
    char* buf;          // block buffer
    int32_t bufLen;     // bytes held in buf
    int32_t bufPos;     // offset of the current record in buf
    int32_t unitNo;     // block number in block order: the stable tie-break
    int32_t lastLen;    // previous output record (unique filter)
    int32_t lastColNum;
    CsvColumn* lastCols;
    char* lastData;
    InputFile* inFile;  // presorted merge: the input this cursor reads
    PtrList* recList;   // presorted merge: index list over buf
};

// Storage left by the last variable or CSV build; whoever releases the list releases these.
extern void* entryStore;
extern CsvColumn* columnStore;
// Bytes covered by the records of the last variable or CSV build.
extern int32_t indexedBytes;

// Tail of a load without a newline code that is too long to be a record in progress.
inline constexpr int32_t ZS_MAX_TAIL = 655360;

// Index builders. bLast says the buffer ends the data: bytes after the last newline code are
// then the last record instead of an unfinished one.
PtrList* _zs_get_indexList(char* buffer, int32_t length);
PtrList* _zs_get_indexList_variable(char* buffer, int32_t length, int bLast);
PtrList* _zs_get_indexList_csv(char* buffer, int32_t length, int bLast);

// First occurrence of pattern in p[0..n) outside quotes, or null.
const char* zs_find_token(const char* p, int32_t n, const char* pattern, char quote);
