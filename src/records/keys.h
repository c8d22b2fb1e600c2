// Normalized sort keys: a record's sort key in a form whose bytes compare (unsigned, in order) as
// the comparator family orders the records, so that a sort can order records by integers it
// caches beside them and only reach the records themselves for ties.
//
// The form, key by key (each descending key's bytes complemented):
// - fixed-length and newline-ended records: a byte key is its bytes (all records have them whole),
//   a numeric key the 64-bit value with its sign bit flipped, big-endian; a whole-record sort uses
//   the record's bytes (after them zeros, or for -R their complement);
// - CSV: with -N a mark first (empty columns after the others, in either direction); a byte key's
//   bytes with 0x00 written 0x00 0xFF, ended by 0x00 0x00 (a shorter column first); a numeric key as
//   above; a whole-record sort every column so, each behind a column mark, and an end mark.
//
// Contract
// - For any two records, a strict difference of their normalized keys gives the order the
//   comparator of their kind gives; equal keys leave the order to the comparator. It finds them
//   equal unless the keys go on past the chunk limit, or whole records of different lengths met
//   the padding of the shorter one (only a record without its newline code can).
// - Nothing is allocated; the record must be a whole record of the run's layout.
#pragma once

#include <cstdint>
#include <cstring>

#include "records/records.h"

// What the keyer reads of a record: its bytes, and for CSV its column table.
struct ZsKeyRecord {
    const char* data;
    int32_t len;
    const CsvColumn* cols;
    int32_t colNum;
};

// The form of a whole fixed-length or newline-ended record (zs_key_chunk's common case, inline
// for the index builders and the sort): its bytes from 8 * chunk, zero-padded, complemented for a
// descending whole-record sort.
inline uint64_t zs_raw_key_chunk(const char* data, int64_t len, int32_t chunk, bool descending) {
    const int64_t at = (int64_t)chunk * 8;
    const int64_t left = len - at;
    uint64_t v = 0;
    if (left >= 8) {
        std::memcpy(&v, data + at, 8);
        v = __builtin_bswap64(v);
    } else {
        for (int64_t i = 0; i < left; i++) v |= (uint64_t)(uint8_t)data[at + i] << (56 - 8 * i);
    }
    return descending ? ~v : v;
}

// Bytes [8 * chunk, 8 * chunk + 8) of the record's normalized key as a big-endian integer (missing
// bytes read as the padding); *more is set when the key goes on beyond them.
uint64_t zs_key_chunk(const ZsKeyRecord& r, int32_t chunk, bool* more);

// Chunks a sort may read for one record: CSV keys are encoded from their start for every chunk,
// so records still tied after this many chunks (*more still set) go to the comparator instead.
int32_t zs_key_chunk_limit();

// Bytes of every record's normalized key where all have the same (fixed-length records, keyed
// newline-ended records); -1 where it depends on the record.
int64_t zs_key_width();

// True when records of one length with equal normalized keys are equal bytes (whole-record
// sorts), so that the order among them cannot be seen.
bool zs_key_ties_identical();
