// Record index builders: a buffer of whole records becomes a list of entries in input order.
#include <algorithm>
#include <cstring>

#include "base/msg.h"
#include "base/parallel.h"
#include "records/keys.h"
#include "records/records.h"

namespace {

// The failure texts of a build, chosen once from the layout: CSV builds print theirs in Japanese
// in every locale.
constexpr char kCannotCreateEn[] = "☆ Cannot create error file [%s]!\n";
constexpr char kCannotCreateJp[] = "☆エラーファイル[%s]は作成できません！\n";
struct BuildTexts {
    ZsText cannotCreate;  // takes the error file's path
    ZsText noBuffer;
    ZsText invalidLength;
};
constexpr BuildTexts kTexts{
    {kCannotCreateEn, kCannotCreateJp},
    {"☆ Failed to set error buffer!\n", "☆エラーバッファの設定はできません！\n"},
    {"☆ Invalid record length detected! \n", "☆不正なレコード長を検知しました！ \n"},
};
constexpr BuildTexts kCsvTexts{
    {nullptr, kCannotCreateJp},
    {nullptr, "☆エラーバッファの設定はできません！\n"},
    {nullptr, "☆不正なレコード長を検知しました！ \n"},
};

void cannot_create(ZsLog& log, const ZsText& t, const char* path) {
    ZS_FMT_CHECK(kCannotCreateEn, path);
    ZS_FMT_CHECK(kCannotCreateJp, path);
    if (t.en == nullptr)
        zs_msg_jp(log, t.jp, path);
    else
        zs_msg(log, t.en, t.jp, path);
}

// Opens the error file on first use.
int open_error_stream(ZsRecRun& r, const BuildTexts& t) {
    const ArgsInfo& a = *r.args;
    if (a.errFile.path == nullptr || r.errStream.stream != nullptr) return 0;
    if (zs_plat_out_open(a.errFile.path, &r.errStream) != 0) {
        cannot_create(r, t.cannotCreate, a.errFile.path);
        return 1;
    }
    if (setvbuf(r.errStream.stream, r.errBuf, _IOFBF, sizeof r.errBuf) != 0) {
        zs_msg_text(r, t.noBuffer);
        return 1;
    }
    return 0;
}

void no_memory(ZsLog& log) {
    ZS_MSG(log, "☆ Failed to allocate memory for the record index!\n", "☆レコード索引のメモリを割当できませんでした！\n");
}

// Counts an error record and writes it raw to the error file (when one is open). 1 after a write
// error.
int write_error_record(ZsRecRun& r, const char* data, int32_t len) {
    r.totals.errRecNum++;
    FILE* f = r.errStream.stream;
    if (f == nullptr || len == 0) return 0;
    if (fwrite(data, 1, (size_t)len, f) == (size_t)len) return 0;
    return zs_write_failed(r, r.args->errFile.path);
}

// An exact-size list of n slots, or null.
PtrList* new_list(MemoryPool* pool, int64_t n) {
    PtrList* list = static_cast<PtrList*>(zs_malloc(pool, sizeof(PtrList)));
    if (list == nullptr) return nullptr;
    *list = PtrList{};
    if (n > 0) {
        list->items = static_cast<void**>(zs_realloc(pool, nullptr, n * (int64_t)sizeof(void*)));
        if (list->items == nullptr) {
            zs_list_destroy(pool, list);
            return nullptr;
        }
    }
    list->capacity = n;
    return list;
}

// Grows a store to newCap elements of size elem; keeps the old store on failure.
template <class T>
bool grow_store(MemoryPool* pool, T** store, int64_t* cap, int64_t newCap) {
    void* p = zs_realloc(pool, *store, newCap * (int64_t)sizeof(T));
    if (p == nullptr) return false;
    *store = static_cast<T*>(p);
    *cap = newCap;
    return true;
}

bool ends_with_sep(const ArgsInfo& a, const char* data, int32_t len) {
    return a.sepLen > 0 && len >= a.sepLen && std::memcmp(data + len - a.sepLen, a.sep, (size_t)a.sepLen) == 0;
}

// The newline code searched for in variable-length records (quotes mean nothing there).
const char* find_sep(const char* p, int64_t n, const char* sep, int32_t sepLen) {
    const int64_t at = zs_find_sep(p, n, sep, sepLen);
    return at >= 0 ? p + at : nullptr;
}

// Records of the buffer as (start, length) pairs, in order, handed to add(start, len). Returns
// 0, or 1 after the invalid-length message (a record of ZS_RECORD_MAX bytes or more, or an
// unfinished tail too long to be a record), or 2 when add failed.
template <class Find, class Add>
int scan_records(ZsRecRun& r, char* buffer, ZsSize length, const ZsScan& scan, const BuildTexts& t,
                 ZsSize* indexedBytes, Find find, Add add) {
    const ArgsInfo& a = *r.args;
    const char* p = buffer;
    const char* end = buffer + length;
    ZsSize nextEnd = 0;  // the first file end not yet passed
    int64_t n = 0;
    while (a.sepLen > 0 && p < end && (scan.maxRecords == 0 || n < scan.maxRecords)) {
        while (nextEnd < scan.endNums && buffer + scan.ends[nextEnd] <= p) nextEnd++;
        // A record never runs past the end of its file, nor past the end of the data.
        bool fileEnd = nextEnd < scan.endNums && buffer + scan.ends[nextEnd] < end;
        const char* limit = fileEnd ? buffer + scan.ends[nextEnd] : end;
        const char* hit = find(p, limit - p);
        ZsSize len;
        if (hit != nullptr) {
            len = (hit - p) + a.sepLen;
        } else if (fileEnd || scan.bLast || nextEnd < scan.endNums) {
            len = limit - p;  // the end of a file ends its last record
        } else if ((scan.tailLimit > 0 && end - p >= scan.tailLimit) || !zs_record_fits(end - p)) {
            zs_msg_text(r, t.invalidLength);
            return 1;
        } else {
            break;  // an unfinished record: the next load starts with it
        }
        // A record's length is 32-bit wherever it is kept: a longer one is refused here, where
        // it is found.
        if (!zs_record_fits(len)) {
            zs_msg_text(r, t.invalidLength);
            return 1;
        }
        if (len > r.totals.maxRecLen) r.totals.maxRecLen = (int32_t)len;
        if (!add(p, (int32_t)len)) return 2;
        *indexedBytes += len;
        p += len;
        n++;
    }
    return 0;
}

// Opens the error file when needed and takes the first entry store of a build.
// A build limited to maxRecords takes its whole store at once: the caller has set that memory
// aside, and a store that grows would for a while need it twice.
template <class Entry>
Entry* begin_build(ZsRecRun& r, int64_t* cap, const BuildTexts& t, const ZsScan& scan, ZsSize length) {
    if (open_error_stream(r, t) != 0) return nullptr;
    const ArgsInfo& a = *r.args;
    const int64_t most = a.sepLen > 0 ? length / a.sepLen + 1 : 1;
    *cap = scan.maxRecords > 0 ? (scan.maxRecords < most ? scan.maxRecords : most) : 1024;
    Entry* store = static_cast<Entry*>(zs_malloc_hwm(r.pool, *cap * (int64_t)sizeof(Entry)));
    if (store == nullptr) no_memory(r);
    return store;
}

// Where a build puts its good records: list slots holding entries, or sort items.
struct ListSink {
    PtrList* list;
    template <class Entry>
    void put(int64_t slot, Entry* e, int64_t) { list->items[slot] = e; }
    void finish(int64_t slot, int64_t n) {
        list->start = slot;
        list->count = n - slot;
    }
};
template <class At>
struct ItemSink {
    ZsIndex* idx;
    ZsItemT<At>* items() const { return static_cast<ZsItemT<At>*>(idx->items); }
    template <class Entry>
    void put(int64_t slot, Entry* e, int64_t index) { items()[slot] = ZsItemT<At>{0, (At)index, e->len}; }
    void finish(int64_t slot, int64_t n) {
        // Packed towards the end: move them to the front, where the release expects them.
        std::memmove(items(), items() + slot, (size_t)(n - slot) * sizeof(ZsItemT<At>));
        idx->count = n - slot;
    }
};

// Places the records from the last to the first: one that good() rejects is an error record,
// written to the error file (so a buffer's error records arrive last first); the good ones are
// packed towards the end in one pass. False after a write error.
template <class Entry, class Sink, class Good>
bool place_entries(ZsRecRun& r, Sink sink, Entry* store, int64_t n, Good good) {
    int64_t slot = n;
    for (int64_t i = n - 1; i >= 0; i--) {
        Entry* e = &store[i];
        if (good(e)) {
            sink.put(--slot, e, i);
        } else if (write_error_record(r, e->data, e->len) != 0) {
            return false;
        }
    }
    sink.finish(slot, n);
    return true;
}

// Sort items of n records, taken at the top of the front region (idx->itemStore), starting 8 bytes
// past a 16-byte boundary: the radix sort's swaps of 16-byte items measured up to a fifth slower
// on an array aligned to 16 bytes (bench/run, short lines), on no data set faster.
template <class Item>
Item* new_items(MemoryPool* pool, int64_t n, ZsIndex* idx) {
    char* p = static_cast<char*>(zs_malloc_hwm(pool, (n > 0 ? n : 1) * (int64_t)sizeof(Item) + 8));
    idx->itemStore = p;
    if (p == nullptr) return nullptr;
    Item* items = reinterpret_cast<Item*>((uintptr_t)p % 16 == 0 ? p + 8 : p);  // pool payloads are 8-aligned
    idx->items = items;
    idx->wide = sizeof(items->at) == 8;
    return items;
}

// Whether a build of length bytes makes 64-bit items.
bool wide_items(const ZsScan& scan, ZsSize length) { return scan.items == ZS_ITEMS_WIDE || zs_items_wide(length); }

// Newline codes in p[0..n): every record but an unterminated last one ends with one.
int64_t count_seps(const char* p, int64_t n, const char* sep, int32_t sepLen) {
    int64_t count = 0;
    if (sepLen == 1) {
        // A plain count, which the compiler vectorizes: short records cost no memchr call each.
        const char c = sep[0];
        for (int64_t i = 0; i < n; i++) count += p[i] == c;
        return count;
    }
    const char* end = p + n;
    while (p < end) {
        p = static_cast<const char*>(std::memchr(p, sep[0], (size_t)(end - p)));
        if (p == nullptr) break;
        if (end - p >= sepLen && std::memcmp(p, sep, (size_t)sepLen) == 0) count++;
        p++;
    }
    return count;
}

// ---- Builds shared out over the run's threads ----
//
// A parallel build cuts the buffer at record boundaries, where the one-thread scan would start a
// record, scans every part on its own and joins the parts in order. Every part's scan must end
// exactly at the next part's start (with a newline code or at a file end): that checks each cut,
// and a part that finds anything the one-thread build would act on (an error record, an invalid
// length) gives the buffer back to that build, so that messages, the error file and the totals
// stay exactly its own.

constexpr int kSerial = 2;           // a parallel build declined: build on the calling thread
constexpr int64_t kMaxParts = 256;
constexpr ZsSize kMinPartBytes = 64 << 10;

struct Part {
    ZsSize start, end;  // the part's records lie in [start, end)
    int64_t bound;      // at most this many records start in it
    int64_t off;        // its first slot in the shared store
    int64_t count;      // records it found
    ZsSize bytes;       // bytes of its whole records
    int32_t maxLen;
    bool ok;            // its records are the one-thread scan's
};

bool ends_sorted(const ZsScan& scan) {
    for (ZsSize i = 1; i < scan.endNums; i++)
        if (scan.ends[i] < scan.ends[i - 1]) return false;
    return true;
}

// File ends at or before x.
ZsSize ends_upto(const ZsScan& scan, ZsSize x) {
    return std::upper_bound(scan.ends, scan.ends + scan.endNums, x) - scan.ends;
}

// The first file end at or after x, or length.
ZsSize next_file_end(const ZsScan& scan, ZsSize x, ZsSize length) {
    const ZsSize* e = std::lower_bound(scan.ends, scan.ends + scan.endNums, x);
    return e != scan.ends + scan.endNums && *e < length ? *e : length;
}

// The records of one part, found as scan_records finds them, at most `most` of them (< 0: no
// limit; only the last part has one): false when the part finds what the one-thread build must
// see to (an invalid length, a record add refuses) or when its records do not end at its end (a
// cut that is no record boundary).
template <class Find, class Add>
bool scan_part(const ArgsInfo& a, const char* buffer, ZsSize length, const ZsScan& scan, Part* part, int64_t most,
               Find find, Add add) {
    const char* p = buffer + part->start;
    const char* const pe = buffer + part->end;
    const char* const end = buffer + length;
    ZsSize nextEnd = ends_upto(scan, part->start);
    int64_t n = 0;
    int32_t maxLen = 0;
    while (p < pe && (most < 0 || n < most)) {
        while (nextEnd < scan.endNums && buffer + scan.ends[nextEnd] <= p) nextEnd++;
        const bool fileEnd = nextEnd < scan.endNums && buffer + scan.ends[nextEnd] < end;
        const char* limit = fileEnd ? buffer + scan.ends[nextEnd] : end;
        const char* searchEnd = limit < pe ? limit : pe;
        const char* hit = find(p, searchEnd - p);
        ZsSize len;
        if (hit != nullptr) {
            len = (hit - p) + a.sepLen;
        } else if (searchEnd < limit) {
            return false;  // the record runs past the part's end
        } else if (fileEnd || scan.bLast || nextEnd < scan.endNums) {
            len = limit - p;
        } else if ((scan.tailLimit > 0 && end - p >= scan.tailLimit) || !zs_record_fits(end - p)) {
            return false;
        } else {
            break;  // the unfinished tail of the last part
        }
        if (!zs_record_fits(len) || !add(p, (int32_t)len)) return false;
        if (len > maxLen) maxLen = (int32_t)len;
        p += len;
        n++;
    }
    if (p != pe && part->end != length) return false;
    part->count = n;
    part->bytes = p - (buffer + part->start);
    part->maxLen = maxLen;
    return true;
}

// Numbers the parts' slots in a store of their bounds and returns the slots the store needs. *m
// is the number of parts a record limit (maxRecords) cannot reach: all but for a limit; the rest
// of the buffer is then scanned up to the limit, as the one-thread scan stops there.
int64_t place_parts(Part* parts, int64_t P, const ZsScan& scan, int64_t* m) {
    int64_t total = 0;
    *m = P;
    for (int64_t k = 0; k < P; k++) {
        parts[k].off = total;
        if (scan.maxRecords > 0 && total + parts[k].bound > scan.maxRecords && *m == P) *m = k;
        total += parts[k].bound;
    }
    return *m < P ? scan.maxRecords : total;
}

// Scans the first m parts on the run's threads, each into its slots of store, joins their records
// from slot 0 and scans the rest of the buffer (when m < P) on the calling thread, up to the
// record limit. fill(part, most) scans one part. Sets the build's record count, indexed bytes and
// r.totals.maxRecLen. 0, or the zs_parallel code, or kSerial when a part declined.
template <class T, class Fill>
int fill_parts(ZsRecRun& r, Part* parts, int64_t P, int64_t m, ZsSize length, const ZsScan& scan, T* store,
               ZsIndex* built, Fill fill) {
    const int rc = zs_parallel(r, m, [&](int64_t k) {
        fill(parts[k], -1);
        return 0;
    });
    if (rc != 0) return rc;
    int32_t maxLen = r.totals.maxRecLen;
    int64_t n = 0;
    for (int64_t k = 0; k < m; k++) {
        if (!parts[k].ok) return kSerial;
        if (parts[k].maxLen > maxLen) maxLen = parts[k].maxLen;
        if (n != parts[k].off && parts[k].count > 0)
            std::memmove(store + n, store + parts[k].off, (size_t)parts[k].count * sizeof(T));
        n += parts[k].count;
        built->indexedBytes += parts[k].bytes;
    }
    if (m < P) {
        Part& rest = parts[m];
        rest.end = length;
        rest.off = n;
        rest.bound = scan.maxRecords - n;
        fill(rest, rest.bound);
        if (!rest.ok) return kSerial;
        if (rest.maxLen > maxLen) maxLen = rest.maxLen;
        n += rest.count;
        built->indexedBytes += rest.bytes;
    }
    built->count = n;
    built->parts = (int32_t)P;
    r.totals.maxRecLen = maxLen;
    return 0;
}

// Parts and their record bounds (newline codes in the part, file ends in it and a last record
// without a newline code), the parts starting at start(k) for k >= 1. Returns the
// zs_parallel code.
template <class Start>
int cut_parts(ZsRecRun& r, const char* buffer, ZsSize length, const ZsScan& scan, Part* parts, int64_t P,
              Start start) {
    const ArgsInfo& a = *r.args;
    int rc = zs_parallel(r, P, [&](int64_t k) {
        parts[k] = Part{};
        parts[k].start = k == 0 ? 0 : start(k, (ZsSize)((__int128)length * k / P));
        return 0;
    });
    if (rc != 0) return rc;
    for (int64_t k = 0; k < P; k++) parts[k].end = k + 1 < P ? parts[k + 1].start : length;
    return zs_parallel(r, P, [&](int64_t k) {
        Part& part = parts[k];
        part.bound = count_seps(buffer + part.start, part.end - part.start, a.sep, a.sepLen) +
                     (ZsSize)(ends_upto(scan, part.end) - ends_upto(scan, part.start)) + 1;
        return 0;
    });
}

// The first record boundary of newline-ended records at or after c: the end of the first newline
// code from c (within a file), or the first file end from c, or the end of the buffer.
ZsSize variable_boundary(const ArgsInfo& a, const char* buffer, ZsSize length, const ZsScan& scan, ZsSize c) {
    const ZsSize e = next_file_end(scan, c, length);
    if (e == c) return c;
    const int64_t at = zs_find_sep(buffer + c, e - c, a.sep, a.sepLen);
    return at >= 0 ? c + at + a.sepLen : e;
}

// Newline-ended records as items, built over the run's threads: 0 built, 1 failed (interrupted),
// kSerial declined.
template <bool Whole, class At>
int parallel_variable_items(ZsRecRun& r, char* buffer, ZsSize length, const ZsScan& scan, ZsIndex* idx) {
    using Item = ZsItemT<At>;
    const ArgsInfo& a = *r.args;
    const int64_t P = zs_index_parts(r.threads, length, r.parallelMin);
    if (P < 2 || !zs_sep_cuttable(a.sep, a.sepLen) || !ends_sorted(scan)) return kSerial;
    Part parts[kMaxParts];
    int rc = cut_parts(r, buffer, length, scan, parts, P, [&](int64_t, ZsSize c) {
        return variable_boundary(a, buffer, length, scan, c);
    });
    if (rc != 0) return rc == ZS_PAR_INTERRUPTED ? 1 : kSerial;
    int64_t m;
    const int64_t total = place_parts(parts, P, scan, &m);
    if (m == 0) return kSerial;
    ZsIndex built{};
    Item* items = new_items<Item>(r.pool, total, &built);
    built.base = buffer;
    if (items == nullptr) return kSerial;  // the one-thread build takes no more
    rc = fill_parts(r, parts, P, m, length, scan, items, &built, [&](Part& part, int64_t most) {
        Item* out = items + part.off;
        int64_t n = 0;
        auto add = [&](const char* p, int32_t len) {
            if (len < a.keyMaxPos || n == part.bound) return false;  // an error record: the serial build writes it
            bool more;
            out[n++] = Item{zs_key_chunk<ZS_VARIABLE, Whole>(a, ZsKeyRecord{p, len, nullptr, 0}, 0, &more),
                            (At)(p - buffer), len};
            return true;
        };
        auto find = [&a](const char* p, int64_t left) { return find_sep(p, left, a.sep, a.sepLen); };
        part.ok = scan_part(a, buffer, length, scan, &part, most, find, add);
    });
    if (rc != 0) {
        zs_index_release(r, &built);
        return rc == ZS_PAR_INTERRUPTED ? 1 : kSerial;
    }
    *idx = built;
    zs_time_phase(r, "[_zs_get_indexList_variable]がかかった[%8.0f]msです。\n", false);
    return 0;
}

}  // namespace

int64_t zs_find_sep(const char* p, int64_t n, const char* sep, int32_t sepLen) {
    ZS_ASSERT(sepLen > 0);
    const char* const start = p;
    const char* end = p + n - sepLen;  // last candidate
    if (sepLen == 1 && n >= 8) {
        // Short records end within the first word: look there before calling memchr. A byte
        // equal to the code gives a zero byte in x, and the lowest flag marks the first one.
        uint64_t w;
        std::memcpy(&w, p, 8);
        const uint64_t x = w ^ (0x0101010101010101ULL * (uint8_t)sep[0]);
        const uint64_t t = (x - 0x0101010101010101ULL) & ~x & 0x8080808080808080ULL;
        if (t != 0) return __builtin_ctzll(t) / 8;
        p += 8;
    }
    while (p <= end) {
        p = static_cast<const char*>(std::memchr(p, sep[0], (size_t)(end - p + 1)));
        if (p == nullptr) return -1;
        if (sepLen == 1 || std::memcmp(p, sep, (size_t)sepLen) == 0) return p - start;
        p++;
    }
    return -1;
}

ZsSize zs_csv_sep_end(const ArgsInfo& a, const char* p, ZsSize n, bool* quoted) {
    ZS_ASSERT(std::memchr(a.sep, a.quote, (size_t)a.sepLen) == nullptr);
    const char q = a.quote, first = a.sep[0];
    const int32_t L = a.sepLen;
    bool odd = *quoted;
    ZsSize i = 0;
    for (; i + L <= n; i++) {
        if (p[i] == q) {
            odd = !odd;
        } else if (!odd && p[i] == first && std::memcmp(p + i, a.sep, (size_t)L) == 0) {
            *quoted = false;
            return i + L;
        }
    }
    *quoted = odd;
    return -1;
}

const char* zs_find_token(const char* p, ZsSize n, const char* pattern, char quote) {
    if (p == nullptr || pattern == nullptr) return nullptr;
    const size_t L = std::strlen(pattern);
    if (L == 0 || n < (int64_t)L) return nullptr;
    // Candidates are p .. last; a quote counts only at a candidate position, and a match counts
    // only after an even number of quotes (the quote at the position itself included).
    const char* last = p + (n - (int64_t)L);
    const char first = pattern[0];
    bool inQuotes = false;
    const char* s = p;
    while (s <= last) {
        const size_t span = (size_t)(last - s + 1);
        if (!inQuotes) {
            const char* h = static_cast<const char*>(std::memchr(s, first, span));
            const size_t upto = h != nullptr ? (size_t)(h - s) : span;
            const char* q = static_cast<const char*>(std::memchr(s, quote, upto));
            if (q != nullptr) {
                inQuotes = true;
                s = q + 1;
                continue;
            }
            if (h == nullptr) return nullptr;
            if (*h == quote) {
                inQuotes = true;
            } else if (std::memcmp(h, pattern, L) == 0) {
                return h;
            }
            s = h + 1;
        } else {
            const char* q = static_cast<const char*>(std::memchr(s, quote, span));
            if (q == nullptr) return nullptr;
            inQuotes = false;
            if (*q == first && std::memcmp(q, pattern, L) == 0) return q;
            s = q + 1;
        }
    }
    return nullptr;
}

int zs::_zs_get_indexList(ZsRecRun& r, char* buffer, ZsSize length, ZsIndex* idx) {
    *idx = ZsIndex{};
    const int32_t recLen = r.args->recLen;
    const int64_t n = recLen > 0 && length > 0 ? length / recLen : 0;
    PtrList* list = new_list(r.pool, n);
    if (list == nullptr) {
        no_memory(r);
        return 1;
    }
    for (int64_t i = 0; i < n; i++) list->items[i] = buffer + i * recLen;
    list->count = n;
    idx->list = list;
    idx->indexedBytes = n * recLen;
    zs_time_phase(r, "[_zs_get_indexList]がかかった[%8.0f]msです。\n", false);
    return 0;
}

int zs::_zs_get_indexList_variable(ZsRecRun& r, char* buffer, ZsSize length, int bLast, ZsIndex* idx) {
    return zs_index_build_variable(r, buffer, length, ZsScan{bLast, nullptr, 0, 0, ZS_MAX_TAIL, 0}, idx);
}

namespace {

// Newline-ended records as sort items: no entries at all, an item is the record's key, offset and
// length. The items are counted first (the newline codes), so that they take exactly their room.
template <bool Whole, class At>
int build_variable_items(ZsRecRun& r, char* buffer, ZsSize length, const ZsScan& scan, ZsIndex* idx) {
    using Item = ZsItemT<At>;
    const ArgsInfo& a = *r.args;
    if (open_error_stream(r, kTexts) != 0) return 1;
    const int par = parallel_variable_items<Whole, At>(r, buffer, length, scan, idx);
    if (par != kSerial) return par;
    // A record ends at every newline code, at every file end and at the end of the data.
    int64_t most = count_seps(buffer, length, a.sep, a.sepLen) + scan.endNums + 1;
    if (scan.maxRecords > 0 && most > scan.maxRecords) most = scan.maxRecords;
    ZsIndex built{};
    Item* items = new_items<Item>(r.pool, most, &built);
    built.base = buffer;
    if (items == nullptr) {
        no_memory(r);
        return 1;
    }
    // Error records are written last first, as the other builds do, once the buffer is scanned.
    VarEntry* errors = nullptr;
    int64_t errorCount = 0, errorCap = 0;
    auto fail = [&](bool outOfMemory) {
        if (outOfMemory) no_memory(r);
        zs_free(r.pool, errors);
        zs_index_release(r, &built);
        return 1;
    };
    int64_t n = 0;
    auto add = [&](const char* p, int32_t len) {
        if (len < a.keyMaxPos) {  // shorter than the keys reach: an error record
            if (errorCount == errorCap && !grow_store(r.pool, &errors, &errorCap, errorCap > 0 ? errorCap * 2 : 64))
                return false;
            errors[errorCount++] = VarEntry{len, p};
            return true;
        }
        bool more;
        const uint64_t key = zs_key_chunk<ZS_VARIABLE, Whole>(a, ZsKeyRecord{p, len, nullptr, 0}, 0, &more);
        items[n++] = Item{key, (At)(p - buffer), len};
        return true;
    };
    auto find = [&a](const char* p, int64_t left) { return find_sep(p, left, a.sep, a.sepLen); };
    ZsScan limited = scan;
    limited.maxRecords = most;
    int rc = scan_records(r, buffer, length, limited, kTexts, &built.indexedBytes, find, add);
    if (rc != 0) return fail(rc == 2);
    for (int64_t i = errorCount - 1; i >= 0; i--)
        if (write_error_record(r, errors[i].data, errors[i].len) != 0) return fail(false);
    zs_free(r.pool, errors);
    built.count = n;
    *idx = built;
    zs_time_phase(r, "[_zs_get_indexList_variable]がかかった[%8.0f]msです。\n", false);
    return 0;
}

}  // namespace

int zs_index_build_variable(ZsRecRun& r, char* buffer, ZsSize length, const ZsScan& scan, ZsIndex* idx) {
    const ArgsInfo& a = *r.args;
    *idx = ZsIndex{};
    if (scan.items != ZS_LIST) {
        // Whole records are keyed by their own bytes.
        return zs_with_item_width(wide_items(scan, length), [&](auto w) {
            using At = typename decltype(w)::type;
            return a.bRecSort != 0 ? build_variable_items<true, At>(r, buffer, length, scan, idx)
                                   : build_variable_items<false, At>(r, buffer, length, scan, idx);
        });
    }
    int64_t cap;
    VarEntry* store = begin_build<VarEntry>(r, &cap, kTexts, scan, length);
    if (store == nullptr) return 1;
    ZsIndex built{};
    built.entryStore = store;
    auto fail = [&](bool outOfMemory) {
        if (outOfMemory) no_memory(r);
        built.entryStore = store;  // the store may have moved while it grew
        zs_index_release(r, &built);
        return 1;
    };

    // At most one record per newline code, plus an unterminated last one.
    const int64_t maxRecords = a.sepLen > 0 ? length / a.sepLen + 1 : 1;
    int64_t n = 0;
    auto add = [&](const char* p, int32_t len) {
        if (n == cap) {
            // Grow once by the estimated record count of the whole buffer.
            int64_t consumed = p - buffer;
            int64_t want = cap * (length / consumed + 1);
            if (want > maxRecords) want = maxRecords;
            if (want <= cap) want = cap + 1;
            if (!grow_store(r.pool, &store, &cap, want)) return false;
        }
        store[n++] = VarEntry{len, p};
        return true;
    };
    auto find = [&a](const char* p, int64_t left) { return find_sep(p, left, a.sep, a.sepLen); };
    int rc = scan_records(r, buffer, length, scan, kTexts, &built.indexedBytes, find, add);
    if (rc != 0) return fail(rc == 2);

    built.entryStore = store;
    built.list = new_list(r.pool, n);
    if (built.list == nullptr) return fail(true);
    // A record shorter than the keys reach is an error record.
    if (!place_entries(r, ListSink{built.list}, store, n, [&a](const VarEntry* e) { return e->len >= a.keyMaxPos; }))
        return fail(false);
    *idx = built;
    zs_time_phase(r, "[_zs_get_indexList_variable]がかかった[%8.0f]msです。\n", false);
    return 0;
}

namespace {

// Locates the columns of one CSV record. For every column (number c from 1, bytes s .. s+len)
// calls visit(c, off, len) until it returns false.
template <class Visit>
void walk_columns(const ArgsInfo& a, const CsvEntry* e, Visit visit) {
    const char* s = e->data;
    // The last column ends before the newline code; a delimiter is looked for only in front of it.
    const char* end = e->data + e->len - (ends_with_sep(a, e->data, e->len) ? a.sepLen : 0);
    for (int32_t c = 1;; c++) {
        const char* d = zs_find_token(s, end - s, a.delimiter, a.quote);
        const char* colEnd = d != nullptr ? d : end;
        if (!visit(c, (int32_t)(s - e->data), (int32_t)(colEnd - s)) || d == nullptr) return;
        s = d + a.delimLen;
    }
}

int32_t last_key_column(const ArgsInfo& a) {
    int32_t last = 0;
    for (int32_t k = 0; k < a.keyNums; k++)
        if (a.arrSortKey[k].pos > last) last = a.arrSortKey[k].pos;
    return last;
}

// Sets the key columns of one record in its table (keyNums slots); false when a key names a column
// the record does not have (an error record).
bool locate_entry_keys(const ArgsInfo& a, CsvEntry* e, CsvColumn* table, int32_t lastKeyColumn) {
    const int32_t keyNums = a.keyNums;
    e->cols = table;
    e->colNum = 0;
    walk_columns(a, e, [&](int32_t c, int32_t off, int32_t len) {
        for (int32_t k = 0; k < keyNums; k++) {
            if (a.arrSortKey[k].pos == c) {
                e->cols[k] = CsvColumn{off, len};
                e->colNum++;
            }
        }
        return c < lastKeyColumn;  // every key column found
    });
    return e->colNum == keyNums;
}

// Keyed sort: one slot per key and record, record i's table at element i * keyNums. Records that
// lack a key column are error records. False after a write error or without memory.
template <class Sink>
bool locate_key_columns(ZsRecRun& r, ZsIndex* built, Sink sink, CsvEntry* store, int64_t n, bool* outOfMemory) {
    const ArgsInfo& a = *r.args;
    const int32_t keyNums = a.keyNums;
    CsvColumn* cols = static_cast<CsvColumn*>(zs_malloc_hwm(r.pool, n * keyNums * (int64_t)sizeof(CsvColumn)));
    if (cols == nullptr && n > 0) {
        *outOfMemory = true;
        return false;
    }
    built->columnStore = cols;
    const int32_t lastKeyColumn = last_key_column(a);
    return place_entries(r, sink, store, n, [&](CsvEntry* e) {
        return locate_entry_keys(a, e, cols + (e - store) * keyNums, lastKeyColumn);
    });
}

// Whole-record sort: every column of every record, one record's table after the other.
template <class Sink>
bool locate_all_columns(ZsRecRun& r, ZsIndex* built, Sink sink, CsvEntry* store, int64_t n) {
    const ArgsInfo& a = *r.args;
    int64_t colCap = n > 0 ? n : 1;
    CsvColumn* cols = static_cast<CsvColumn*>(zs_malloc_hwm(r.pool, colCap * (int64_t)sizeof(CsvColumn)));
    if (cols == nullptr) return false;
    bool ok = true;
    int64_t used = 0;
    for (int64_t i = 0; ok && i < n; i++) {
        CsvEntry* e = &store[i];
        e->colNum = 0;
        walk_columns(a, e, [&](int32_t, int32_t off, int32_t len) {
            if (used == colCap && !grow_store(r.pool, &cols, &colCap, colCap * 2)) {
                ok = false;
                return false;
            }
            cols[used++] = CsvColumn{off, len};
            e->colNum++;
            return true;
        });
        sink.put(i, e, i);
    }
    built->columnStore = cols;
    if (!ok) return false;
    // The store may have moved while it grew: set every table address now.
    int64_t at = 0;
    for (int64_t i = 0; i < n; i++) {
        store[i].cols = cols + at;
        at += store[i].colNum;
    }
    sink.finish(0, n);
    return true;
}

// The first chunk of every item's normalized key.
template <bool Whole, class At>
void key_csv_items(const ArgsInfo& a, ZsIndex* built, const CsvEntry* store) {
    ZsItemT<At>* items = static_cast<ZsItemT<At>*>(built->items);
    for (ZsSize i = 0; i < built->count; i++) {
        const CsvEntry* e = &store[items[i].at];
        bool more;
        items[i].key = zs_key_chunk<ZS_CSV, Whole>(a, ZsKeyRecord{e->data, e->len, e->cols, e->colNum}, 0, &more);
    }
}


// The first CSV record boundary at or after c, where the quote parity counted from the start of
// c's file (or of the buffer) is `quoted`: the end of the first newline code from c outside quotes
// (within the file, zs_csv_sep_end), or the first file end from c, or the end of the buffer.
// *firsts counts the bytes equal to the newline code's first byte where a newline code could start
// before the boundary.
ZsSize csv_boundary(const ArgsInfo& a, const char* buffer, ZsSize length, const ZsScan& scan, ZsSize c, bool quoted,
                    int64_t* firsts) {
    const ZsSize e = next_file_end(scan, c, length);
    const ZsSize end = zs_csv_sep_end(a, buffer + c, e - c, &quoted);
    const ZsSize b = end >= 0 ? c + end : e;
    const ZsSize starts = std::max<ZsSize>(c, b - a.sepLen + 1);  // where a newline code could start
    *firsts = std::count(buffer + c, buffer + starts, a.sep[0]);
    return b;
}

// Bytes equal to q and to s in p[0..n) (a loop the compiler vectorizes).
void count_two(const char* p, int64_t n, char q, char s, int64_t* qs, int64_t* ss) {
    int64_t cq = 0, cs = 0;
    for (int64_t i = 0; i < n; i++) {
        cq += p[i] == q;
        cs += p[i] == s;
    }
    *qs = cq;
    *ss = cs;
}

// Keyed CSV records as items, built over the run's threads: 0 built, 1 failed (interrupted),
// kSerial declined.
template <bool Whole, class At>
int parallel_csv_items(ZsRecRun& r, char* buffer, ZsSize length, const ZsScan& scan, ZsIndex* idx) {
    const ArgsInfo& a = *r.args;
    const int64_t P = zs_index_parts(r.threads, length, r.parallelMin);
    if (P < 2 || a.keyNums <= 0 || !zs_sep_cuttable(a.sep, a.sepLen) ||
        std::memchr(a.sep, a.quote, (size_t)a.sepLen) != nullptr || !ends_sorted(scan))
        return kSerial;
    // One pass over every nominal part: its quote parity, from its start or from its last file end
    // (where a record ends whatever its quotes), carried over the parts in order to give the
    // parity at every cut; and the bytes that may start a newline code, for the record bounds.
    struct Nominal {
        bool reset;
        bool odd;
        int64_t firsts;  // newline codes may start there, in the nominal part
        int64_t walked;  // in [cut, start) of the part
    };
    Nominal nominal[kMaxParts];
    bool quotedAt[kMaxParts];
    auto cut = [&](int64_t k) { return (ZsSize)((__int128)length * k / P); };
    int rc = zs_parallel(r, P, [&](int64_t k) {
        const ZsSize from = cut(k), to = cut(k + 1);
        const ZsSize endsTo = ends_upto(scan, to);
        int64_t quotes, firsts;
        count_two(buffer + from, to - from, a.quote, a.sep[0], &quotes, &firsts);
        nominal[k].reset = endsTo > ends_upto(scan, from);
        if (nominal[k].reset) {
            int64_t before, unused;
            count_two(buffer + from, scan.ends[endsTo - 1] - from, a.quote, a.sep[0], &before, &unused);
            quotes -= before;
        }
        nominal[k].odd = (quotes & 1) != 0;
        nominal[k].firsts = firsts;
        return 0;
    });
    if (rc != 0) return rc == ZS_PAR_INTERRUPTED ? 1 : kSerial;
    quotedAt[0] = false;
    for (int64_t k = 1; k < P; k++)
        quotedAt[k] = nominal[k - 1].reset ? nominal[k - 1].odd : quotedAt[k - 1] != nominal[k - 1].odd;

    Part parts[kMaxParts];
    rc = zs_parallel(r, P, [&](int64_t k) {
        parts[k] = Part{};
        nominal[k].walked = 0;
        if (k > 0) parts[k].start = csv_boundary(a, buffer, length, scan, cut(k), quotedAt[k], &nominal[k].walked);
        return 0;
    });
    if (rc != 0) return rc == ZS_PAR_INTERRUPTED ? 1 : kSerial;
    // A record of part k ends with a newline code starting in [cut(k), cut(k + 1)) or in
    // [cut(k + 1), its end), or at a file end in it, or is its last one.
    for (int64_t k = 0; k < P; k++) {
        Part& part = parts[k];
        part.end = k + 1 < P ? parts[k + 1].start : length;
        part.bound = nominal[k].firsts + (k + 1 < P ? nominal[k + 1].walked : 0) +
                     (int64_t)(ends_upto(scan, part.end) - ends_upto(scan, part.start)) + 1;
    }
    int64_t m;
    const int64_t total = place_parts(parts, P, scan, &m);
    if (m == 0) return kSerial;
    ZsIndex built{};
    CsvEntry* store = static_cast<CsvEntry*>(zs_malloc_hwm(r.pool, (total > 0 ? total : 1) * (int64_t)sizeof(CsvEntry)));
    if (store == nullptr) return kSerial;
    built.entryStore = store;
    auto decline = [&](int code) {
        zs_index_release(r, &built);
        return code == ZS_PAR_INTERRUPTED ? 1 : kSerial;
    };
    const int32_t maxRecLen = r.totals.maxRecLen;
    rc = fill_parts(r, parts, P, m, length, scan, store, &built, [&](Part& part, int64_t most) {
        CsvEntry* out = store + part.off;
        int64_t n = 0;
        auto add = [&](const char* p, int32_t len) {
            if (n == part.bound) return false;
            out[n++] = CsvEntry{p, nullptr, len, 0};
            return true;
        };
        auto find = [&a](const char* p, int64_t left) { return zs_find_token(p, left, a.sep, a.quote); };
        part.ok = scan_part(a, buffer, length, scan, &part, most, find, add);
    });
    if (rc != 0) return decline(rc);
    // Items and column tables in the order the one-thread build takes them; every record its
    // item, unless one lacks a key column (then that build writes the error records).
    const int64_t n = built.count;
    using Item = ZsItemT<At>;
    Item* items = new_items<Item>(r.pool, n, &built);
    built.base = buffer;
    CsvColumn* cols = nullptr;
    if (items != nullptr && n > 0) {
        cols = static_cast<CsvColumn*>(zs_malloc_hwm(r.pool, n * a.keyNums * (int64_t)sizeof(CsvColumn)));
        built.columnStore = cols;
    }
    if (items == nullptr || (cols == nullptr && n > 0)) {
        r.totals.maxRecLen = maxRecLen;
        return decline(0);
    }
    const int32_t lastKeyColumn = last_key_column(a);
    bool good[kMaxParts];
    rc = zs_parallel(r, P, [&](int64_t k) {
        good[k] = true;
        for (int64_t i = n * k / P; i < n * (k + 1) / P; i++) {
            CsvEntry* e = &store[i];
            if (!locate_entry_keys(a, e, cols + i * a.keyNums, lastKeyColumn)) {
                good[k] = false;
                break;
            }
            bool more;
            items[i] = Item{zs_key_chunk<ZS_CSV, Whole>(a, ZsKeyRecord{e->data, e->len, e->cols, e->colNum}, 0, &more),
                            (At)i, e->len};
        }
        return 0;
    });
    bool allGood = rc == 0;
    for (int64_t k = 0; allGood && k < P; k++) allGood = good[k];
    if (!allGood) {
        r.totals.maxRecLen = maxRecLen;
        return decline(rc);
    }
    *idx = built;
    zs_time_phase(r, "[_zs_get_indexList_csv]がかかった[%8.0f]msです。\n", false);
    return 0;
}
}  // namespace

int zs::_zs_get_indexList_csv(ZsRecRun& r, char* buffer, ZsSize length, int bLast, ZsIndex* idx) {
    return zs_index_build_csv(r, buffer, length, ZsScan{bLast, nullptr, 0, 0, ZS_MAX_TAIL, 0}, idx);
}

int zs_index_build_csv(ZsRecRun& r, char* buffer, ZsSize length, const ZsScan& scan, ZsIndex* idx) {
    const ArgsInfo& a = *r.args;
    *idx = ZsIndex{};
    if (scan.items != ZS_LIST && r.threads > 1) {
        if (open_error_stream(r, kCsvTexts) != 0) return 1;
        const int par = zs_with_item_width(wide_items(scan, length), [&](auto w) {
            using At = typename decltype(w)::type;
            return a.bRecSort != 0 ? parallel_csv_items<true, At>(r, buffer, length, scan, idx)
                                   : parallel_csv_items<false, At>(r, buffer, length, scan, idx);
        });
        if (par != kSerial) return par;
    }
    int64_t cap;
    CsvEntry* store = begin_build<CsvEntry>(r, &cap, kCsvTexts, scan, length);
    if (store == nullptr) return 1;
    ZsIndex built{};
    built.entryStore = store;
    auto fail = [&](bool outOfMemory) {
        if (outOfMemory) no_memory(r);
        built.entryStore = store;
        zs_index_release(r, &built);
        return 1;
    };

    int64_t n = 0;
    auto add = [&](const char* p, int32_t len) {
        if (n == cap && !grow_store(r.pool, &store, &cap, cap * 2)) return false;
        store[n++] = CsvEntry{p, nullptr, len, 0};
        return true;
    };
    auto find = [&a](const char* p, int64_t left) { return zs_find_token(p, left, a.sep, a.quote); };
    int rc = scan_records(r, buffer, length, scan, kCsvTexts, &built.indexedBytes, find, add);
    if (rc != 0) return fail(rc == 2);

    built.entryStore = store;
    const bool wide = wide_items(scan, length);
    if (scan.items != ZS_LIST) {
        if (wide)
            new_items<ZsWideItem>(r.pool, n, &built);
        else
            new_items<ZsItem>(r.pool, n, &built);
        built.base = buffer;
        if (built.items == nullptr) return fail(true);
    } else {
        built.list = new_list(r.pool, n);
        if (built.list == nullptr) return fail(true);
    }
    bool outOfMemory = false;
    bool located;
    auto locate = [&](auto sink) {
        if (a.keyNums > 0) {
            located = locate_key_columns(r, &built, sink, store, n, &outOfMemory);
        } else {
            located = locate_all_columns(r, &built, sink, store, n);
            outOfMemory = !located;
        }
    };
    if (scan.items == ZS_LIST)
        locate(ListSink{built.list});
    else if (wide)
        locate(ItemSink<uint64_t>{&built});
    else
        locate(ItemSink<uint32_t>{&built});
    if (!located) return fail(outOfMemory);
    if (scan.items != ZS_LIST) {
        zs_with_item_width(wide, [&](auto w) {
            using At = typename decltype(w)::type;
            if (a.bRecSort != 0)
                key_csv_items<true, At>(a, &built, store);
            else
                key_csv_items<false, At>(a, &built, store);
        });
    }
    *idx = built;
    zs_time_phase(r, "[_zs_get_indexList_csv]がかかった[%8.0f]msです。\n", false);
    return 0;
}

int64_t zs_index_parts(int32_t threads, ZsSize length, ZsSize least) {
    if (threads <= 1 || length < (least > 0 ? least : ZS_INDEX_PARALLEL_MIN)) return 1;
    // A few parts per thread, so that a thread slowed by other work leaves its share to the rest.
    int64_t parts = (int64_t)threads * 4;
    const ZsSize partBytes = least > 0 ? least : kMinPartBytes;
    if (parts > length / partBytes) parts = length / partBytes;
    if (parts < 1) parts = 1;
    return parts < kMaxParts ? parts : kMaxParts;
}

int64_t zs_index_cost(const ArgsInfo& a, double columns, ZsSize bufferBytes) {
    // A sort item for every record (the sort works in place); CSV records keep an entry and
    // their column table besides.
    const bool wide = zs_items_wide(bufferBytes);
    if (a.layout == ZS_FIXED) return wide ? (int64_t)sizeof(ZsWideFixedItem) : (int64_t)sizeof(ZsFixedItem);
    const int64_t item = wide ? (int64_t)sizeof(ZsWideItem) : (int64_t)sizeof(ZsItem);
    if (a.layout != ZS_CSV) return item;
    double cols = a.keyNums > 0 ? (double)a.keyNums : (columns < 1 ? 1 : columns);
    return item + (int64_t)sizeof(CsvEntry) + (int64_t)(cols * (double)sizeof(CsvColumn) + 0.999) + ZS_CSV_SECOND_BYTES;
}

ZsSample zs_index_sample(const ArgsInfo& a, const char* data, int64_t n) {
    if (a.layout == ZS_FIXED) return ZsSample{(double)a.recLen, 1.0};
    const int64_t records = count_seps(data, n, a.sep, a.sepLen);
    const int64_t delimiters =
        a.layout == ZS_CSV && a.keyNums == 0 && a.delimLen > 0 ? count_seps(data, n, a.delimiter, a.delimLen) : 0;
    // Without a newline code the sample is one record in progress: records are at least this long.
    if (records == 0) return ZsSample{(double)(n > 0 ? n : 1), (double)delimiters + 1};
    return ZsSample{(double)n / (double)records, (double)(delimiters + records) / (double)records};
}

namespace {

// Fixed-length records as sort items: the key and the offset of records [from, to).
template <bool Whole, class At>
void key_fixed_items(const ArgsInfo& a, ZsFixedItemT<At>* items, const char* buffer, int64_t from, int64_t to) {
    const int32_t recLen = a.recLen;
    for (int64_t i = from; i < to; i++) {
        bool more;
        const char* p = buffer + i * recLen;
        items[i] = ZsFixedItemT<At>{zs_key_chunk<ZS_FIXED, Whole>(a, ZsKeyRecord{p, recLen, nullptr, 0}, 0, &more),
                                    (At)(i * recLen)};
    }
}

// The sort items of the first n fixed-length records of buffer; slices of them on the run's
// threads when the buffer is large enough.
template <class At>
int build_fixed_items(ZsRecRun& r, char* buffer, int64_t n, ZsIndex* idx) {
    const ArgsInfo& a = *r.args;
    ZsFixedItemT<At>* items = new_items<ZsFixedItemT<At>>(r.pool, n, idx);
    if (items == nullptr) {
        no_memory(r);
        return 1;
    }
    const int64_t P = zs_index_parts(r.threads, n * a.recLen, r.parallelMin);
    auto key = [&](int64_t from, int64_t to) {
        if (a.bRecSort != 0)
            key_fixed_items<true>(a, items, buffer, from, to);
        else
            key_fixed_items<false>(a, items, buffer, from, to);
    };
    if (P < 2) {
        key(0, n);
    } else if (zs_parallel(r, P, [&](int64_t k) {
                   key(n * k / P, n * (k + 1) / P);
                   return 0;
               }) != 0) {
        zs_index_release(r, idx);  // interrupted (reported)
        return 1;
    }
    idx->count = n;
    idx->base = buffer;
    idx->indexedBytes = n * a.recLen;
    if (P >= 2) idx->parts = (int32_t)P;
    return 0;
}

}  // namespace

int zs_index_build(ZsRecRun& r, char* buffer, ZsSize length, const ZsScan& scan, ZsIndex* idx) {
    const ArgsInfo& a = *r.args;
    switch (a.layout) {
        case ZS_FIXED: {
            // Whole records only; a limit leaves the rest unindexed.
            ZsSize len = length;
            const int32_t recLen = a.recLen;
            if (scan.maxRecords > 0 && len / recLen > scan.maxRecords) len = scan.maxRecords * recLen;
            if (scan.items == ZS_LIST) return zs::_zs_get_indexList(r, buffer, len, idx);
            *idx = ZsIndex{};
            const int rc = zs_with_item_width(wide_items(scan, length), [&](auto w) {
                return build_fixed_items<typename decltype(w)::type>(r, buffer, len / recLen, idx);
            });
            if (rc != 0) return 1;
            zs_time_phase(r, "[_zs_get_indexList]がかかった[%8.0f]msです。\n", false);
            return 0;
        }
        case ZS_CSV:
            return zs_index_build_csv(r, buffer, length, scan, idx);
        default:
            ZS_ASSERT(a.layout == ZS_VARIABLE);
            return zs_index_build_variable(r, buffer, length, scan, idx);
    }
}

void zs_index_release(ZsRecRun& r, ZsIndex* idx) {
    if (idx == nullptr) return;
    zs_free(r.pool, idx->itemStore);
    zs_free(r.pool, idx->columnStore);
    zs_free(r.pool, idx->entryStore);
    zs_list_destroy(r.pool, idx->list);
    *idx = ZsIndex{};
}

int zs_write_failed(ZsLog& log, const char* path) {
    ZS_MSG(log, "☆ Error occurred while writing output file [%s]!\n", "☆出力ファイル[%s]の書き込み中にエラーが発生しました！\n",
           path != nullptr ? path : "stdout");
    return 1;
}

bool zs_sep_cuttable(const char* sep, int32_t sepLen) {
    if (sepLen <= 0) return false;
    for (int32_t k = 1; k < sepLen; k++)
        if (std::memcmp(sep, sep + k, (size_t)(sepLen - k)) == 0) return false;
    return true;
}

int zs_open_error_file(ZsRecRun& r) { return open_error_stream(r, r.args->layout == ZS_CSV ? kCsvTexts : kTexts); }

int zs_close_error_file(ZsRecRun& r) {
    if (zs_plat_out_close(&r.errStream) == 0) return 0;
    return zs_write_failed(r, r.args->errFile.path);
}

bool zs_csv_key_columns(const ArgsInfo& a, CsvEntry* e, CsvColumn* table) {
    ZS_ASSERT(a.keyNums > 0);
    return locate_entry_keys(a, e, table, last_key_column(a));
}

int32_t zs_csv_all_columns(const ArgsInfo& a, CsvEntry* e, CsvColumn* table, int64_t cap) {
    e->cols = table;
    e->colNum = 0;
    bool fits = true;
    walk_columns(a, e, [&](int32_t, int32_t off, int32_t len) {
        if (e->colNum == cap) return fits = false;
        table[e->colNum++] = CsvColumn{off, len};
        return true;
    });
    return fits ? e->colNum : -1;
}
