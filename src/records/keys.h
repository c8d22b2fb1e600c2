// Normalized sort keys: a record's sort key in a form whose bytes compare (unsigned, in order) as
// the comparator family orders the records, so that a sort can order records by integers it
// caches beside them and only reach the records themselves for ties.
//
// The form, key by key (each descending key's bytes complemented):
// - fixed-length and newline-ended records: a byte key is its bytes (all records have them whole),
//   a numeric key the 64-bit value with its sign bit flipped, big-endian; a whole-record sort uses
//   the record's bytes (after them zeros, or for -R their complement);
// - CSV: with -N a mark first (empty columns after the others, in either direction); a byte key's
//   bytes with 0x00 written 0x00 0xFF, ended by 0x00 0x00 (a shorter column first); a numeric key
//   as a head byte (0x80 + n for a value of n significant bytes, 0x7F - n for a negative one whose
//   complement has n) and those n bytes of the value; a whole-record sort every column as a byte
//   key, each behind a column mark, and an end mark.
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

#include "base/msg.h"
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

// The three forms the raw one leaves, each compiled once in keys.cpp: byte and numeric keys of
// fixed-length and newline-ended records, CSV keys, whole CSV records. Reach them through
// zs_key_chunk<L, Whole>.
uint64_t zs_key_chunk_fields(const ArgsInfo& a, const ZsKeyRecord& r, int32_t chunk, bool* more);
uint64_t zs_key_chunk_csv_keys(const ArgsInfo& a, const ZsKeyRecord& r, int32_t chunk, bool* more);
uint64_t zs_key_chunk_csv_whole(const ArgsInfo& a, const ZsKeyRecord& r, int32_t chunk, bool* more);

// Bytes [8 * chunk, 8 * chunk + 8) of the record's normalized key as a big-endian integer (missing
// bytes read as the padding); *more is set when the key goes on beyond them. L and Whole must be
// the run's (a.layout, a.bRecSort != 0): an operation decides them once (zs_with_key_form) and
// keys its records through the form compiled for them, with no switch per record.
template <ZsLayout L, bool Whole>
inline uint64_t zs_key_chunk(const ArgsInfo& a, const ZsKeyRecord& r, int32_t chunk, bool* more) {
    ZS_ASSERT(a.layout == L && (a.bRecSort != 0) == Whole);
    if constexpr (L != ZS_CSV && Whole) {
        // The record itself: the common case, read straight from its bytes.
        *more = r.len - (int64_t)chunk * 8 > 8;
        return zs_raw_key_chunk(r.data, r.len, chunk, a.bRecSort == 2);
    } else if constexpr (L != ZS_CSV) {
        return zs_key_chunk_fields(a, r, chunk, more);
    } else if constexpr (Whole) {
        return zs_key_chunk_csv_whole(a, r, chunk, more);
    } else {
        return zs_key_chunk_csv_keys(a, r, chunk, more);
    }
}

// The key form of a run, as a type: what zs_with_key_form hands its body.
template <ZsLayout L, bool Whole>
struct ZsKeyForm {
    static constexpr ZsLayout layout = L;
    static constexpr bool whole = Whole;
};

// Calls f with the run's key form, once per operation:
//   zs_with_key_form(a, [&](auto form) {
//       using F = decltype(form);
//       ... zs_key_chunk<F::layout, F::whole>(a, rec, chunk, &more) ...
//   });
template <class F>
decltype(auto) zs_with_key_form(const ArgsInfo& a, F&& f) {
    return zs_with_layout(a.layout, [&](auto tag) -> decltype(auto) {
        constexpr ZsLayout L = decltype(tag)::value;
        if (a.bRecSort != 0) return f(ZsKeyForm<L, true>{});
        return f(ZsKeyForm<L, false>{});
    });
}

// zs_key_chunk of the run's form, chosen anew on every call: for tests and checks of single
// records, never for a loop over records.
inline uint64_t zs_key_chunk_any(const ArgsInfo& a, const ZsKeyRecord& r, int32_t chunk, bool* more) {
    return zs_with_key_form(a, [&](auto form) {
        using F = decltype(form);
        return zs_key_chunk<F::layout, F::whole>(a, r, chunk, more);
    });
}

// Chunks a sort may read for one record: CSV keys are encoded from their start for every chunk,
// so records still tied after this many chunks (*more still set) go to the comparator instead.
int32_t zs_key_chunk_limit(const ArgsInfo& a);

// Bytes of every record's normalized key where all have the same (fixed-length records, keyed
// newline-ended records); -1 where it depends on the record.
int64_t zs_key_width(const ArgsInfo& a);

// True when records of one length with equal normalized keys are equal bytes (whole-record
// sorts), so that the order among them cannot be seen.
bool zs_key_ties_identical(const ArgsInfo& a);
