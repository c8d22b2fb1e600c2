// The engine's one type for sizes, counts and offsets of data, and the bound of a record.
//
// Contract
// - Every size of data (a file, the input, the pool, a buffer, a block, a load), every count (of
//   records, blocks, list entries) and every offset into a buffer or a file is a ZsSize: 64 bits,
//   signed, so that differences are plain and -1 can say "unknown". Nothing the engine handles
//   comes near its range.
// - 32-bit values remain only where a bound holds by construction: a record's length and an
//   offset inside one record (a CSV column), and the length fields of the temporary record format
//   (sort/tmpcodec.h). Whatever makes such a value checks it against ZS_RECORD_MAX: a record of
//   2 GiB or more is refused (the builders' invalid-record-length message).
// - ZS_MEMORY_MAX bounds what a memory budget may ask for: more than any machine has.
#pragma once

#include <cstdint>

using ZsSize = int64_t;

// The longest record: its length (newline code included) fits a signed 32-bit field.
inline constexpr ZsSize ZS_RECORD_MAX = INT32_MAX;

// True when a record of len bytes can be held (len >= 0 is the caller's).
inline constexpr bool zs_record_fits(ZsSize len) { return len <= ZS_RECORD_MAX; }

// The largest memory budget (-W) taken: 1 PiB. A value above it cannot be meant.
inline constexpr ZsSize ZS_MEMORY_MAX = (ZsSize)1 << 50;
