#include "records/keys.h"

#include <cstring>

#include "records/compare.h"

namespace {

constexpr int32_t kCsvChunkLimit = 8;

// Writes the normalized key byte by byte and keeps the bytes of one 8-byte window. Fixed-width
// parts before the window are skipped without reading them, so that a later chunk of a long key
// costs little.
struct Window {
    uint64_t lo;       // first byte wanted
    uint64_t pos = 0;  // bytes produced so far
    uint8_t out[8] = {};
    explicit Window(int32_t chunk) : lo((uint64_t)chunk * 8) {}
    bool full() const { return pos > lo + 8; }  // the window and one byte beyond: "more" is known
    void byte(uint8_t b) {
        if (pos >= lo && pos < lo + 8) out[pos - lo] = b;
        pos++;
    }
    // n bytes, each XORed with mask (0xFF complements a descending key).
    void bytes(const char* p, int64_t n, uint8_t mask) {
        if (pos + (uint64_t)n <= lo) {
            pos += (uint64_t)n;
            return;
        }
        // Past the window only the existence of more bytes matters.
        for (int64_t i = 0; i < n && !full(); i++) byte((uint8_t)p[i] ^ mask);
    }
    void number(int64_t v, uint8_t mask) {
        uint64_t u = (uint64_t)v ^ (1ULL << 63);
        if (pos + 8 <= lo) {
            pos += 8;
            return;
        }
        for (int s = 56; s >= 0; s -= 8) byte((uint8_t)(u >> s) ^ mask);
    }
    // A CSV numeric key in as few bytes as its value needs: a head byte that orders by sign and
    // by the count of significant bytes (negatives below 0x80, each the fewer bytes the nearer to
    // zero), then those bytes of the value. Equal values give equal bytes, and no form is the start
    // of another, so the keys after it compare as they do after the fixed form; but the amounts,
    // prices and counts CSV keys hold mostly take 2 to 4 bytes instead of 8, and a compound key
    // fits fewer chunks, each of which a sort must read from the record.
    void compact(int64_t v, uint8_t mask) {
        const uint64_t u = v < 0 ? ~(uint64_t)v : (uint64_t)v;
        int n = 0;
        while (n < 8 && (u >> (8 * n)) != 0) n++;
        if (pos + 1 + (uint64_t)n <= lo) {
            pos += 1 + (uint64_t)n;
            return;
        }
        byte((uint8_t)(v < 0 ? 0x7F - n : 0x80 + n) ^ mask);
        for (int s = 8 * (n - 1); s >= 0; s -= 8) byte((uint8_t)((uint64_t)v >> s) ^ mask);
    }
    // A CSV column's bytes, 0x00 escaped as 0x00 0xFF, then the end mark 0x00 0x00.
    void escaped(const char* p, int32_t n, uint8_t mask) {
        for (int32_t i = 0; i < n && !full(); i++) {
            byte((uint8_t)p[i] ^ mask);
            if (p[i] == 0) byte(0xFF ^ mask);
        }
        byte(0x00 ^ mask);
        byte(0x00 ^ mask);
    }
    uint64_t value(uint8_t pad, bool* more) {
        for (uint64_t i = pos > lo ? pos - lo : 0; i < 8; i++) out[i] = pad;
        *more = pos > lo + 8;
        uint64_t v = 0;
        for (int i = 0; i < 8; i++) v = v << 8 | out[i];
        return v;
    }
};

uint8_t desc_mask(int32_t seq) { return seq == ZS_DESC ? 0xFF : 0x00; }

}  // namespace

int32_t zs_key_chunk_limit(const ArgsInfo& a) { return a.layout == ZS_CSV ? kCsvChunkLimit : INT32_MAX; }

bool zs_key_ties_identical(const ArgsInfo& a) { return a.bRecSort != 0; }

int64_t zs_key_width(const ArgsInfo& a) {
    if (a.layout == ZS_CSV) return -1;
    if (a.bRecSort != 0) return a.layout == ZS_FIXED ? a.recLen : -1;
    int64_t width = 0;
    for (int32_t k = 0; k < a.keyNums; k++)
        width += a.arrSortKey[k].type == ZS_KEY_NUMERIC ? 8 : a.arrSortKey[k].len;
    return width;
}

uint64_t zs_key_chunk_fields(const ArgsInfo& a, const ZsKeyRecord& r, int32_t chunk, bool* more) {
    Window w(chunk);
    for (int32_t k = 0; k < a.keyNums && !w.full(); k++) {
        const SortKey& key = a.arrSortKey[k];
        if (key.type == ZS_KEY_NUMERIC)
            w.number(zs_get_number(r.data + key.pos, key.len), desc_mask(key.seq));
        else
            w.bytes(r.data + key.pos, key.len, desc_mask(key.seq));
    }
    return w.value(0x00, more);
}

uint64_t zs_key_chunk_csv_keys(const ArgsInfo& a, const ZsKeyRecord& r, int32_t chunk, bool* more) {
    Window w(chunk);
    const bool nullLast = a.bNullLastOut != 0;
    for (int32_t k = 0; k < a.keyNums && !w.full(); k++) {
        const SortKey& key = a.arrSortKey[k];
        const CsvColumn& c = r.cols[k];
        if (nullLast) {
            w.byte(c.len == 0 ? 0x02 : 0x01);  // empty columns last, whatever the direction
            if (c.len == 0) continue;
        }
        if (key.type == ZS_KEY_NUMERIC)
            w.compact(zs_get_number(r.data + c.off, c.len), desc_mask(key.seq));
        else
            w.escaped(r.data + c.off, c.len, desc_mask(key.seq));
    }
    return w.value(0x00, more);
}

uint64_t zs_key_chunk_csv_whole(const ArgsInfo& a, const ZsKeyRecord& r, int32_t chunk, bool* more) {
    Window w(chunk);
    const bool nullLast = a.bNullLastOut != 0;
    const uint8_t wholeMask = a.bRecSort == 2 ? 0xFF : 0x00;
    for (int32_t i = 0; i < r.colNum && !w.full(); i++) {
        const CsvColumn& c = r.cols[i];
        w.byte(nullLast && c.len == 0 ? 0x02 : 0x01);
        if (nullLast && c.len == 0) continue;
        w.escaped(r.data + c.off, c.len, wholeMask);
    }
    // Fewer columns first, or for -R more columns first.
    w.byte(wholeMask ? 0xFF : 0x00);
    return w.value(wholeMask, more);
}
