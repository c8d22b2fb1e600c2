// The temporary record format: how a sorted block keeps its records in the temporary file. The
// block writers encode with it, the merge decodes with it (and a merge pass encodes the runs it
// writes back); nothing else reads the format.
//
// Records follow each other without padding. Integers are int32_t in the machine's byte order
// (the file never outlives the process that wrote it):
// - fixed-length: the record's recLen bytes;
// - newline-ended: its length, then its bytes (newline code included);
// - CSV: its length, its column count n, n column entries (CsvColumn: offset from the record's
//   first byte and length, 8 bytes each), then its bytes.
// A record's length and column count are below 2^31 (base/size.h ZS_RECORD_MAX), so 32-bit fields
// hold them; the bytes a record takes in the format (8 + 8 n + length for CSV) may pass 2^31, and
// a block's size and offset are 64-bit (sort/run.h ZsBlock).
//
// Contract
// - zs_tmp_fits says whether a record's length and column count fit the fields. zs_tmp_put checks
//   it where the record is encoded: it writes one record through a writer and returns the bytes it
//   takes in the format, or -1 (nothing written) for a record that does not fit. Its column table
//   may be unaligned (one read back from the file).
// - A reader first holds zs_tmp_prefix bytes of a record; zs_tmp_size gives from them the bytes
//   of the whole record, or -1 when they cannot start a record that fits the bytes remaining in
//   its block (damage, never something to read). zs_tmp_head then reads a whole record.
// - Column tables in the file are unaligned: ZsHead.cols points into the bytes as they are.
#pragma once

#include <cstdint>
#include <cstring>

#include "base/size.h"
#include "records/records.h"
#include "settings/settings.h"
#include "sort/writer.h"

static_assert(sizeof(CsvColumn) == 8, "a column entry takes 8 bytes in the temporary record format");

inline constexpr bool zs_tmp_fits(ZsSize len, ZsSize colNum) {
    return len >= 0 && colNum >= 0 && zs_record_fits(len) && zs_record_fits(colNum);
}

inline int32_t zs_tmp_i32(const char* p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The bytes zs_tmp_put writes for a record, or -1 for one that does not fit the format.
template <ZsLayout L>
inline ZsSize zs_tmp_bytes(const ArgsInfo& a, ZsSize len, ZsSize colNum) {
    if constexpr (L == ZS_FIXED) return a.recLen;
    if (!zs_tmp_fits(len, L == ZS_CSV ? colNum : 0)) return -1;
    if constexpr (L == ZS_CSV) return 8 + 8 * colNum + len;
    return 4 + len;
}

template <ZsLayout L>
inline ZsSize zs_tmp_put(ZsWriter* w, const ArgsInfo& a, const char* data, ZsSize len, const void* cols,
                         ZsSize colNum) {
    const ZsSize bytes = zs_tmp_bytes<L>(a, len, colNum);
    if constexpr (L == ZS_FIXED) {
        zs_put(w, data, a.recLen);  // recLen is an int32_t setting
    } else {
        if (bytes < 0) return -1;
        const int32_t len32 = (int32_t)len;
        zs_put(w, &len32, sizeof len32);
        if constexpr (L == ZS_CSV) {
            const int32_t n32 = (int32_t)colNum;
            zs_put(w, &n32, sizeof n32);
            zs_put(w, cols, colNum * (ZsSize)sizeof(CsvColumn));
        }
        zs_put(w, data, len);
    }
    return bytes;
}

// Bytes of a record that say how long it is.
template <ZsLayout L>
inline int32_t zs_tmp_prefix(const ArgsInfo& a) {
    if constexpr (L == ZS_FIXED) return a.recLen;
    if constexpr (L == ZS_CSV) return 8;
    return 4;
}

// p holds the record's prefix; remain is what is left of its block from p on.
template <ZsLayout L>
inline int64_t zs_tmp_size(const ArgsInfo& a, const char* p, int64_t remain) {
    int64_t total;
    if constexpr (L == ZS_FIXED) {
        total = a.recLen;
    } else if constexpr (L == ZS_CSV) {
        const int32_t len = zs_tmp_i32(p), n = zs_tmp_i32(p + 4);
        if (len < 0 || n < 0) return -1;
        total = 8 + 8 * (int64_t)n + len;
    } else {
        const int32_t len = zs_tmp_i32(p);
        if (len < 0) return -1;
        total = 4 + (int64_t)len;
    }
    if (total < zs_tmp_prefix<L>(a) || total > remain) return -1;
    return total;
}

// p holds the whole record (zs_tmp_size bytes).
template <ZsLayout L>
inline ZsHead zs_tmp_head(const ArgsInfo& a, const char* p, ZsSize unitNo) {
    if constexpr (L == ZS_FIXED) {
        return ZsHead{p, a.recLen, nullptr, 0, unitNo};
    } else if constexpr (L == ZS_CSV) {
        const int32_t n = zs_tmp_i32(p + 4);
        return ZsHead{p + 8 + 8 * (int64_t)n, zs_tmp_i32(p), p + 8, n, unitNo};
    } else {
        return ZsHead{p + 4, zs_tmp_i32(p), nullptr, 0, unitNo};
    }
}
