// Record index entries, the index builders and the head of a merge source.
//
// Contract
// - Every operation takes the run's records context (records/run.h) first.
// - Builders return 0 and fill a ZsIndex, or return 1 after printing why (an invalid record
//   length, an error file that cannot be written, no memory, an interrupt seen while the run's
//   threads built it); on failure they leave nothing allocated and the ZsIndex empty.
// - Entries point into the caller's buffer: it must outlive the index. The caller releases the
//   index with zs_index_release once the records are written, before any back-region block it
//   took after the build is released out of order.
// - Records shorter than the keys reach (CSV: without a key column) are error records: written
//   to the error file (-E) or dropped, never in the list.
// - A record is shorter than ZS_RECORD_MAX bytes (base/size.h): a build that meets a longer one,
//   or an unfinished one already longer, prints the invalid-record-length message and fails.
#pragma once

#include <cstdint>
#include <type_traits>

#include "base/msg.h"
#include "base/size.h"
#include "memory/pool.h"
#include "records/run.h"
#include "settings/settings.h"

// Variable-length record: its length (newline code included, below ZS_RECORD_MAX) and its first
// byte.
struct VarEntry {
    int32_t len;
    const char* data;
};

// One CSV column: offset of its first byte from the record's data, and its length (inside one
// record: 32 bits).
struct CsvColumn {
    int32_t off;
    int32_t len;
};

// CSV record: its bytes (newline code included) and its column table.
struct CsvEntry {
    const char* data;
    CsvColumn* cols;
    int32_t len;
    int32_t colNum;
};

// A record as the sorts see it: eight bytes of its normalized sort key (records/keys.h), cached so
// that most comparisons never reach the record, and where the record is. `at` has the width At:
// 32 bits while every offset of the buffer fits them (ZsItem: 16 bytes), 64 bits past 4 GiB
// (ZsWideItem: 20 bytes, packed). An index picks the width once, from its buffer's size.
template <class At>
struct ZsItemT;
template <>
struct ZsItemT<uint32_t> {
    uint64_t key;
    uint32_t at;  // newline-ended: offset in the buffer; CSV: index of its entry
    int32_t len;  // record length, newline code included
};
template <>
struct __attribute__((packed)) ZsItemT<uint64_t> {
    uint64_t key;
    uint64_t at;
    int32_t len;
};
// The same for fixed-length records, whose length is the run's: twelve bytes (sixteen wide), no
// more than the list slot and sort scratch they replace.
template <class At>
struct __attribute__((packed)) ZsFixedItemT {
    uint64_t key;
    At at;  // offset in the buffer
};
using ZsItem = ZsItemT<uint32_t>;
using ZsWideItem = ZsItemT<uint64_t>;
using ZsFixedItem = ZsFixedItemT<uint32_t>;
using ZsWideFixedItem = ZsFixedItemT<uint64_t>;
static_assert(sizeof(ZsItem) == 16 && sizeof(ZsWideItem) == 20 && sizeof(ZsFixedItem) == 12 &&
              sizeof(ZsWideFixedItem) == 16);

// The item of a layout with offsets of width At.
template <ZsLayout L, class At>
using ZsItemOf = std::conditional_t<L == ZS_FIXED, ZsFixedItemT<At>, ZsItemT<At>>;

// Buffers up to this size are indexed by 32-bit offsets: every offset in them, and every entry
// index (a record takes at least one byte), is below it.
inline constexpr ZsSize ZS_NARROW_MAX = UINT32_MAX;
inline constexpr bool zs_items_wide(ZsSize bufferBytes) { return bufferBytes > ZS_NARROW_MAX; }

template <class At>
struct ZsWidthTag {
    using type = At;
};
// Calls f with the tag of the offset width, so that an operation over items switches on it once:
// zs_with_item_width(idx.wide, [&](auto w) { using At = typename decltype(w)::type; ... }).
template <class F>
decltype(auto) zs_with_item_width(bool wide, F&& f) {
    if (wide) return f(ZsWidthTag<uint64_t>{});
    return f(ZsWidthTag<uint32_t>{});
}

// The current record of a merge source (a block of the temporary file, a presorted input, or the
// previous output record of the unique filter), as the merge comparators and equality tests see
// it. The source sets it whenever it moves on; the record's bytes stay where the source keeps them.
struct ZsHead {
    const char* data;  // the record's bytes, newline code included
    int32_t len;
    const char* cols;  // CSV: its column table, CsvColumn entries that may be unaligned
    int32_t colNum;
    ZsSize unitNo;     // the source's number in input order: the stable tie-break
};

// What a build leaves: the good records in input order, as a list of entries or as sort items,
// and the stores they live in.
struct ZsIndex {
    PtrList* list;           // entries (a list build); null for an item build
    void* items;             // sort items (an item build): ZsItemOf<layout, width>, see zs_index_items
    void* itemStore;         // the pool block the items lie in (they may start a few bytes into it)
    bool wide;               // the items' offsets are 64-bit
    ZsSize count;            // items
    char* base;              // the buffer the items' offsets count from
    void* entryStore;        // VarEntry or CsvEntry array; null for fixed-length records and items
                             // of newline-ended records, which need no entries
    CsvColumn* columnStore;  // CSV column tables
    ZsSize indexedBytes;     // bytes from the buffer start to the end of the last whole record
                             // found (error records included)
    int32_t parts;           // parts the buffer was cut into for the run's threads (1 or 0: built
                             // on the calling thread alone)
};

// The items of an item build, as the layout and width they were built with.
template <ZsLayout L, class At>
inline ZsItemOf<L, At>* zs_index_items(const ZsIndex& idx) {
    ZS_ASSERT(idx.list == nullptr && idx.wide == (sizeof(At) == 8));
    return static_cast<ZsItemOf<L, At>*>(idx.items);
}

// Tail of a load without a newline code that is too long to be a record in progress.
inline constexpr ZsSize ZS_MAX_TAIL = 655360;

// What a build makes (ZsScan.items): a list of entries, or sort items whose offsets have the width
// the buffer needs, or 64 bits whatever the buffer (what a buffer past ZS_NARROW_MAX gets).
inline constexpr int ZS_LIST = 0;
inline constexpr int ZS_ITEMS = 1;
inline constexpr int ZS_ITEMS_WIDE = 2;

// How far a build reads: bLast says the buffer ends the data (bytes after the last newline code
// are then the last record instead of an unfinished one); ends lists offsets where a file's data
// ends, past which no record runs (a CSV record with an open quote ends there); maxRecords, when
// not 0, stops the build after that many records and leaves the rest unindexed; tailLimit bounds
// the record still in progress at the end of a buffer that does not end the data.
struct ZsScan {
    int bLast;
    const ZsSize* ends;
    ZsSize endNums;
    ZsSize maxRecords;
    ZsSize tailLimit;  // an unfinished tail this long fails the build (invalid length); 0: no limit
                       // but the longest record's
    int items;         // ZS_LIST, ZS_ITEMS or ZS_ITEMS_WIDE
};

// Index builders, one per layout; zs_index_build picks the one of the run's layout. The historical
// names live in the namespace zs.
namespace zs {
int _zs_get_indexList(ZsRecRun& r, char* buffer, ZsSize length, ZsIndex* idx);
int _zs_get_indexList_variable(ZsRecRun& r, char* buffer, ZsSize length, int bLast, ZsIndex* idx);
int _zs_get_indexList_csv(ZsRecRun& r, char* buffer, ZsSize length, int bLast, ZsIndex* idx);
}  // namespace zs
int zs_index_build_variable(ZsRecRun& r, char* buffer, ZsSize length, const ZsScan& scan, ZsIndex* idx);
int zs_index_build_csv(ZsRecRun& r, char* buffer, ZsSize length, const ZsScan& scan, ZsIndex* idx);
int zs_index_build(ZsRecRun& r, char* buffer, ZsSize length, const ZsScan& scan, ZsIndex* idx);

// Item builds (ZsScan.items != ZS_LIST) of buffers from ZS_INDEX_PARALLEL_MIN bytes use the run's
// threads: the buffer is cut into zs_index_parts parts, part k nominally at length * k / parts and
// in fact at the first record boundary from there. What such a build makes, prints and writes is
// the one-thread build's, byte for byte: a buffer whose cutting is not sound (a newline code that
// can overlap itself or holds the quote, a whole-record CSV sort), or one with error records or an
// invalid record length, is built on the calling thread; under a record limit (maxRecords) the
// parts the limit cannot reach are built on the threads and the rest up to the limit on the
// calling thread. The run's threads == 1 is the one-thread build itself.
inline constexpr ZsSize ZS_INDEX_PARALLEL_MIN = 1 << 20;
// least, when not 0, takes the place of both sizes (the run's TESRA_PARALLEL_MIN, for tests).
int64_t zs_index_parts(int32_t threads, ZsSize length, ZsSize least = 0);

// The record a CSV item stands for, as the comparators and writers see it.
template <class At>
inline const CsvEntry* zs_item_entry(const ZsIndex& idx, const ZsItemT<At>& it) {
    return static_cast<const CsvEntry*>(idx.entryStore) + it.at;
}

// Pool bytes one indexed record takes while its block is sorted (entry, list slot, sort scratch,
// column table, the second key chunk a CSV sort reads ahead), for records of about `columns`
// columns (CSV whole-record sorts), in a buffer of bufferBytes (which decides the items' width).
int64_t zs_index_cost(const ArgsInfo& a, double columns, ZsSize bufferBytes);
// What the sort of CSV records reads ahead of each: its key's second chunk and whether it goes on.
inline constexpr int64_t ZS_CSV_SECOND_BYTES = 9;

// Average record length (newline code included) and columns per record of a sample of the data.
struct ZsSample {
    double recordBytes;
    double columns;
};
ZsSample zs_index_sample(const ArgsInfo& a, const char* data, int64_t n);

// Releases the items, the column store, the entry store and the list, in that order, and empties
// idx.
void zs_index_release(ZsRecRun& r, ZsIndex* idx);

// Position of the first newline code sep (sepLen >= 1 bytes) in p[0..n), or -1 when none lies
// wholly inside. Quotes mean nothing here: the one search for the newline code of the engine
// (newline-ended records, header lines).
int64_t zs_find_sep(const char* p, int64_t n, const char* sep, int32_t sepLen);

// Whether occurrences of the newline code cannot overlap: then every occurrence ends a record
// (outside quotes, within a file), whatever was read before it, so that records can be found from
// any place of the data.
bool zs_sep_cuttable(const char* sep, int32_t sepLen);
// First occurrence of pattern in p[0..n) outside quotes, or null.
const char* zs_find_token(const char* p, ZsSize n, const char* pattern, char quote);
// The end of the first newline code in p[0..n) that follows an even number of quotes, *quoted
// saying whether an odd number came before p: a CSV record's end found from any place of the data
// whose parity is known, as zs_find_token finds it from the record's start (the newline code must
// hold no quote). -1 when none ends within p[0..n); *quoted is then the parity at
// p + max(0, n - sepLen + 1), where a search may go on.
ZsSize zs_csv_sep_end(const ArgsInfo& a, const char* p, ZsSize n, bool* quoted);
// The key columns of one CSV record (e->data, e->len) into table (keyNums slots), as a keyed
// build finds them: e->cols and e->colNum are set. False when a key names a column the record does
// not have (an error record).
bool zs_csv_key_columns(const ArgsInfo& a, CsvEntry* e, CsvColumn* table);
// Every column of one CSV record into table (cap slots), as a whole-record build finds them: the
// columns, or -1 when the record has more than cap.
int32_t zs_csv_all_columns(const ArgsInfo& a, CsvEntry* e, CsvColumn* table, int64_t cap);

// Prints that a write to the output or the error file failed, naming the file (standard output
// when path is null); returns 1.
int zs_write_failed(ZsLog& log, const char* path);
// Opens the error-record file (-E, when not open yet) as the first build of a buffer of the run's
// layout does, for an operation that builds none. 1 after printing why it could not.
int zs_open_error_file(ZsRecRun& r);
// Closes the error-record file, if one was opened; 1 after printing that a record did not reach it.
// The file takes its place only when the run commits its outputs.
int zs_close_error_file(ZsRecRun& r);

// ---- One switch on the layout per operation ----

// How a list entry of each layout leads to its record bytes.
template <ZsLayout L>
struct ZsEntryOf;
template <>
struct ZsEntryOf<ZS_FIXED> {
    static const char* data(const void* e) { return static_cast<const char*>(e); }
    static int32_t len(const void*, const ArgsInfo& a) { return a.recLen; }
};
template <>
struct ZsEntryOf<ZS_VARIABLE> {
    static const char* data(const void* e) { return static_cast<const VarEntry*>(e)->data; }
    static int32_t len(const void* e, const ArgsInfo&) { return static_cast<const VarEntry*>(e)->len; }
};
template <>
struct ZsEntryOf<ZS_CSV> {
    static const char* data(const void* e) { return static_cast<const CsvEntry*>(e)->data; }
    static int32_t len(const void* e, const ArgsInfo&) { return static_cast<const CsvEntry*>(e)->len; }
};

template <ZsLayout L>
struct ZsLayoutTag {
    static constexpr ZsLayout value = L;
};

// Calls f with the tag of the layout, so that an operation switches on it once and runs a body
// compiled for that layout: zs_with_layout(r.args->layout, [&](auto tag) { ... tag.value ... }).
template <class F>
decltype(auto) zs_with_layout(ZsLayout layout, F&& f) {
    switch (layout) {
        case ZS_FIXED:
            return f(ZsLayoutTag<ZS_FIXED>{});
        case ZS_CSV:
            return f(ZsLayoutTag<ZS_CSV>{});
        default:
            return f(ZsLayoutTag<ZS_VARIABLE>{});
    }
}
