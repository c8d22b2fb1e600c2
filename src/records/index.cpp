// Record index builders: a buffer of whole records becomes a list of entries in input order.
#include <cstring>

#include "base/msg.h"
#include "records/keys.h"
#include "records/records.h"

namespace {

// Opens the error file on first use. CSV builds print their failures in Japanese only.
int open_error_stream(bool japaneseOnly) {
    ArgsInfo* a = &zs_args;
    if (a->errFile.path == nullptr || zs_run.errStream.stream != nullptr) return 0;
    if (zs_plat_out_open(a->errFile.path, &zs_run.errStream) != 0) {
        if (japaneseOnly)
            ZS_MSG_JP("☆エラーファイル[%s]は作成できません！\n", a->errFile.path);
        else
            ZS_MSG("☆ Cannot create error file [%s]!\n", "☆エラーファイル[%s]は作成できません！\n", a->errFile.path);
        return 1;
    }
    if (setvbuf(zs_run.errStream.stream, zs_run.errBuf, _IOFBF, sizeof zs_run.errBuf) != 0) {
        if (japaneseOnly)
            ZS_MSG_JP("☆エラーバッファの設定はできません！\n");
        else
            ZS_MSG("☆ Failed to set error buffer!\n", "☆エラーバッファの設定はできません！\n");
        return 1;
    }
    return 0;
}

void invalid_length(bool japaneseOnly) {
    if (japaneseOnly)
        ZS_MSG_JP("☆不正なレコード長を検知しました！ \n");
    else
        ZS_MSG("☆ Invalid record length detected! \n", "☆不正なレコード長を検知しました！ \n");
}

void no_memory() {
    ZS_MSG("☆ Failed to allocate memory for the record index!\n", "☆レコード索引のメモリを割当できませんでした！\n");
}

// Writes an error record raw to the error file (when one is open). 1 after a write error.
int write_error_record(const char* data, int32_t len) {
    FILE* f = zs_run.errStream.stream;
    if (f == nullptr || len == 0) return 0;
    if (fwrite(data, 1, (size_t)len, f) == (size_t)len) return 0;
    return zs_write_failed(zs_args.errFile.path);
}

// An exact-size list of n slots, or null.
PtrList* new_list(int64_t n) {
    PtrList* list = static_cast<PtrList*>(zs_malloc(zs_run.pool, sizeof(PtrList)));
    if (list == nullptr) return nullptr;
    *list = PtrList{};
    if (n > 0) {
        list->items = static_cast<void**>(zs_realloc(nullptr, n * (int64_t)sizeof(void*)));
        if (list->items == nullptr) {
            zs_list_destroy(list);
            return nullptr;
        }
    }
    list->capacity = (int32_t)n;
    return list;
}

// Grows a store to newCap elements of size elem; keeps the old store on failure.
template <class T>
bool grow_store(T** store, int64_t* cap, int64_t newCap) {
    void* p = zs_realloc(*store, newCap * (int64_t)sizeof(T));
    if (p == nullptr) return false;
    *store = static_cast<T*>(p);
    *cap = newCap;
    return true;
}

// Plain search for the newline code (quotes mean nothing in variable-length records).
const char* find_sep(const char* p, int64_t n, const char* sep, int32_t sepLen) {
    const char* end = p + n - sepLen;  // last candidate
    if (sepLen == 1 && n >= 8) {
        // Short records end within the first word: look there before calling memchr. A byte
        // equal to the code gives a zero byte in x, and the lowest flag marks the first one.
        uint64_t w;
        std::memcpy(&w, p, 8);
        const uint64_t x = w ^ (0x0101010101010101ULL * (uint8_t)sep[0]);
        const uint64_t t = (x - 0x0101010101010101ULL) & ~x & 0x8080808080808080ULL;
        if (t != 0) return p + __builtin_ctzll(t) / 8;
        p += 8;
    }
    while (p <= end) {
        p = static_cast<const char*>(std::memchr(p, sep[0], (size_t)(end - p + 1)));
        if (p == nullptr) return nullptr;
        if (sepLen == 1 || std::memcmp(p, sep, (size_t)sepLen) == 0) return p;
        p++;
    }
    return nullptr;
}

bool ends_with_sep(const char* data, int32_t len) {
    const ArgsInfo& a = zs_args;
    return a.sepLen > 0 && len >= a.sepLen && std::memcmp(data + len - a.sepLen, a.sep, (size_t)a.sepLen) == 0;
}

// Records of the buffer as (start, length) pairs, in order, handed to add(start, len). Returns
// 0, or 1 after the invalid-length message (an unfinished tail too long to be a record), or 2
// when add failed.
template <class Find, class Add>
int scan_records(char* buffer, int32_t length, const ZsScan& scan, bool japaneseOnly, int32_t* indexedBytes,
                 Find find, Add add) {
    const ArgsInfo& a = zs_args;
    const char* p = buffer;
    const char* end = buffer + length;
    int32_t nextEnd = 0;  // the first file end not yet passed
    int64_t n = 0;
    while (a.sepLen > 0 && p < end && (scan.maxRecords == 0 || n < scan.maxRecords)) {
        while (nextEnd < scan.endNums && buffer + scan.ends[nextEnd] <= p) nextEnd++;
        // A record never runs past the end of its file, nor past the end of the data.
        bool fileEnd = nextEnd < scan.endNums && buffer + scan.ends[nextEnd] < end;
        const char* limit = fileEnd ? buffer + scan.ends[nextEnd] : end;
        const char* hit = find(p, limit - p);
        int32_t len;
        if (hit != nullptr) {
            len = (int32_t)(hit - p) + a.sepLen;
        } else if (fileEnd || scan.bLast || nextEnd < scan.endNums) {
            len = (int32_t)(limit - p);  // the end of a file ends its last record
        } else if (scan.tailLimit > 0 && end - p >= scan.tailLimit) {
            invalid_length(japaneseOnly);
            return 1;
        } else {
            break;  // an unfinished record: the next load starts with it
        }
        if (len > zs_args.maxRecLen) zs_args.maxRecLen = len;
        if (!add(p, len)) return 2;
        *indexedBytes += len;
        p += len;
        n++;
    }
    return 0;
}

void verbose_timing(const char* text) { zs_time_phase(text, false); }

// Opens the error file when needed and takes the first entry store of a build.
// A build limited to maxRecords takes its whole store at once: the caller has set that memory
// aside, and a store that grows would for a while need it twice.
template <class Entry>
Entry* begin_build(int64_t* cap, bool japaneseOnly, const ZsScan& scan, int32_t length) {
    if (open_error_stream(japaneseOnly) != 0) return nullptr;
    const int64_t most = zs_args.sepLen > 0 ? (int64_t)length / zs_args.sepLen + 1 : 1;
    *cap = scan.maxRecords > 0 ? (scan.maxRecords < most ? scan.maxRecords : most) : 1024;
    Entry* store = static_cast<Entry*>(zs_malloc_hwm(zs_run.pool, *cap * (int64_t)sizeof(Entry)));
    if (store == nullptr) no_memory();
    return store;
}

// Where a build puts its good records: list slots holding entries, or sort items.
struct ListSink {
    PtrList* list;
    template <class Entry>
    void put(int64_t slot, Entry* e, int64_t) { list->items[slot] = e; }
    void finish(int64_t slot, int64_t n) {
        list->start = (int32_t)slot;
        list->count = (int32_t)(n - slot);
    }
};
struct ItemSink {
    ZsIndex* idx;
    template <class Entry>
    void put(int64_t slot, Entry* e, int64_t index) { idx->items[slot] = ZsItem{0, (uint32_t)index, e->len}; }
    void finish(int64_t slot, int64_t n) {
        // Packed towards the end: move them to the front, where the release expects them.
        std::memmove(idx->items, idx->items + slot, (size_t)(n - slot) * sizeof(ZsItem));
        idx->count = (int32_t)(n - slot);
    }
};

// Places the records from the last to the first: one that good() rejects is an error record,
// written to the error file (so a buffer's error records arrive last first); the good ones are
// packed towards the end in one pass. False after a write error.
template <class Entry, class Sink, class Good>
bool place_entries(Sink sink, Entry* store, int64_t n, Good good) {
    int64_t slot = n;
    for (int64_t i = n - 1; i >= 0; i--) {
        Entry* e = &store[i];
        if (good(e)) {
            sink.put(--slot, e, i);
        } else if (write_error_record(e->data, e->len) != 0) {
            return false;
        }
    }
    sink.finish(slot, n);
    return true;
}

// Sort items of n records, taken at the top of the front region.
ZsItem* new_items(int64_t n) {
    return static_cast<ZsItem*>(zs_malloc_hwm(zs_run.pool, (n > 0 ? n : 1) * (int64_t)sizeof(ZsItem)));
}

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

}  // namespace

const char* zs_find_token(const char* p, int32_t n, const char* pattern, char quote) {
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

int _zs_get_indexList(char* buffer, int32_t length, ZsIndex* idx) {
    *idx = ZsIndex{};
    const int32_t recLen = zs_args.recLen;
    const int64_t n = recLen > 0 && length > 0 ? length / recLen : 0;
    PtrList* list = new_list(n);
    if (list == nullptr) {
        no_memory();
        return 1;
    }
    for (int64_t i = 0; i < n; i++) list->items[i] = buffer + i * recLen;
    list->count = (int32_t)n;
    idx->list = list;
    idx->indexedBytes = (int32_t)(n * recLen);
    verbose_timing("[_zs_get_indexList]がかかった[%8.0f]msです。\n");
    return 0;
}

int _zs_get_indexList_variable(char* buffer, int32_t length, int bLast, ZsIndex* idx) {
    return zs_index_build_variable(buffer, length, ZsScan{bLast, nullptr, 0, 0, ZS_MAX_TAIL, 0}, idx);
}

namespace {

// Newline-ended records as sort items: no entries at all, an item is the record's key, offset and
// length. The items are counted first (the newline codes), so that they take exactly their room.
int build_variable_items(char* buffer, int32_t length, const ZsScan& scan, ZsIndex* idx) {
    ArgsInfo* a = &zs_args;
    if (open_error_stream(false) != 0) return 1;
    // A record ends at every newline code, at every file end and at the end of the data.
    int64_t most = count_seps(buffer, length, a->sep, a->sepLen) + scan.endNums + 1;
    if (scan.maxRecords > 0 && most > scan.maxRecords) most = scan.maxRecords;
    ZsIndex built{};
    built.items = new_items(most);
    built.base = buffer;
    if (built.items == nullptr) {
        no_memory();
        return 1;
    }
    // Error records are written last first, as the other builds do, once the buffer is scanned.
    VarEntry* errors = nullptr;
    int64_t errorCount = 0, errorCap = 0;
    auto fail = [&](bool outOfMemory) {
        if (outOfMemory) no_memory();
        zs_free(zs_run.pool, errors);
        zs_index_release(&built);
        return 1;
    };
    int64_t n = 0;
    const bool raw = a->bRecSort != 0;  // whole records: the key is the record's bytes
    auto add = [&](const char* p, int32_t len) {
        if (len < a->keyMaxPos) {  // shorter than the keys reach: an error record
            if (errorCount == errorCap && !grow_store(&errors, &errorCap, errorCap > 0 ? errorCap * 2 : 64)) return false;
            errors[errorCount++] = VarEntry{len, p};
            return true;
        }
        bool more;
        const uint64_t key = raw ? zs_raw_key_chunk(p, len, 0, a->bRecSort == 2)
                                 : zs_key_chunk(ZsKeyRecord{p, len, nullptr, 0}, 0, &more);
        built.items[n++] = ZsItem{key, (uint32_t)(p - buffer), len};
        return true;
    };
    auto find = [a](const char* p, int64_t left) { return find_sep(p, left, a->sep, a->sepLen); };
    ZsScan limited = scan;
    limited.maxRecords = most;
    int rc = scan_records(buffer, length, limited, false, &built.indexedBytes, find, add);
    if (rc != 0) return fail(rc == 2);
    for (int64_t i = errorCount - 1; i >= 0; i--)
        if (write_error_record(errors[i].data, errors[i].len) != 0) return fail(false);
    zs_free(zs_run.pool, errors);
    built.count = (int32_t)n;
    *idx = built;
    verbose_timing("[_zs_get_indexList_variable]がかかった[%8.0f]msです。\n");
    return 0;
}

}  // namespace

int zs_index_build_variable(char* buffer, int32_t length, const ZsScan& scan, ZsIndex* idx) {
    ArgsInfo* a = &zs_args;
    *idx = ZsIndex{};
    if (scan.bItems) return build_variable_items(buffer, length, scan, idx);
    int64_t cap;
    VarEntry* store = begin_build<VarEntry>(&cap, false, scan, length);
    if (store == nullptr) return 1;
    ZsIndex built{};
    built.entryStore = store;
    auto fail = [&](bool outOfMemory) {
        if (outOfMemory) no_memory();
        built.entryStore = store;  // the store may have moved while it grew
        zs_index_release(&built);
        return 1;
    };

    // At most one record per newline code, plus an unterminated last one.
    const int64_t maxRecords = a->sepLen > 0 ? (int64_t)length / a->sepLen + 1 : 1;
    int64_t n = 0;
    auto add = [&](const char* p, int32_t len) {
        if (n == cap) {
            // Grow once by the estimated record count of the whole buffer.
            int64_t consumed = p - buffer;
            int64_t want = cap * ((int64_t)length / consumed + 1);
            if (want > maxRecords) want = maxRecords;
            if (want <= cap) want = cap + 1;
            if (!grow_store(&store, &cap, want)) return false;
        }
        store[n++] = VarEntry{len, p};
        return true;
    };
    auto find = [a](const char* p, int64_t left) { return find_sep(p, left, a->sep, a->sepLen); };
    int rc = scan_records(buffer, length, scan, false, &built.indexedBytes, find, add);
    if (rc != 0) return fail(rc == 2);

    built.entryStore = store;
    built.list = new_list(n);
    if (built.list == nullptr) return fail(true);
    // A record shorter than the keys reach is an error record.
    if (!place_entries(ListSink{built.list}, store, n, [a](const VarEntry* e) { return e->len >= a->keyMaxPos; }))
        return fail(false);
    *idx = built;
    verbose_timing("[_zs_get_indexList_variable]がかかった[%8.0f]msです。\n");
    return 0;
}

namespace {

// Locates the columns of one CSV record. For every column (number c from 1, bytes s .. s+len)
// calls visit(c, off, len) until it returns false.
template <class Visit>
void walk_columns(const CsvEntry* e, Visit visit) {
    const ArgsInfo& a = zs_args;
    const char* s = e->data;
    // The last column ends before the newline code; a delimiter is looked for only in front of it.
    const char* end = e->data + e->len - (ends_with_sep(e->data, e->len) ? a.sepLen : 0);
    for (int32_t c = 1;; c++) {
        const char* d = zs_find_token(s, (int32_t)(end - s), a.delimiter, a.quote);
        const char* colEnd = d != nullptr ? d : end;
        if (!visit(c, (int32_t)(s - e->data), (int32_t)(colEnd - s)) || d == nullptr) return;
        s = d + a.delimLen;
    }
}

// Keyed sort: one slot per key and record, record i's table at element i * keyNums. Records that
// lack a key column are error records. False after a write error or without memory.
template <class Sink>
bool locate_key_columns(ZsIndex* built, Sink sink, CsvEntry* store, int64_t n, bool* outOfMemory) {
    const ArgsInfo* a = &zs_args;
    const int32_t keyNums = a->keyNums;
    CsvColumn* cols = static_cast<CsvColumn*>(zs_malloc_hwm(zs_run.pool, n * keyNums * (int64_t)sizeof(CsvColumn)));
    if (cols == nullptr && n > 0) {
        *outOfMemory = true;
        return false;
    }
    built->columnStore = cols;
    int32_t lastKeyColumn = 0;
    for (int32_t k = 0; k < keyNums; k++)
        if (a->arrSortKey[k].pos > lastKeyColumn) lastKeyColumn = a->arrSortKey[k].pos;

    return place_entries(sink, store, n, [&](CsvEntry* e) {
        e->cols = cols + (e - store) * keyNums;
        e->colNum = 0;
        walk_columns(e, [&](int32_t c, int32_t off, int32_t len) {
            for (int32_t k = 0; k < keyNums; k++) {
                if (a->arrSortKey[k].pos == c) {
                    e->cols[k] = CsvColumn{off, len};
                    e->colNum++;
                }
            }
            return c < lastKeyColumn;  // every key column found
        });
        return e->colNum == keyNums;  // else a key names a column the record does not have
    });
}

// Whole-record sort: every column of every record, one record's table after the other.
template <class Sink>
bool locate_all_columns(ZsIndex* built, Sink sink, CsvEntry* store, int64_t n) {
    int64_t colCap = n > 0 ? n : 1;
    CsvColumn* cols = static_cast<CsvColumn*>(zs_malloc_hwm(zs_run.pool, colCap * (int64_t)sizeof(CsvColumn)));
    if (cols == nullptr) return false;
    bool ok = true;
    int64_t used = 0;
    for (int64_t i = 0; ok && i < n; i++) {
        CsvEntry* e = &store[i];
        e->colNum = 0;
        walk_columns(e, [&](int32_t, int32_t off, int32_t len) {
            if (used == colCap && !grow_store(&cols, &colCap, colCap * 2)) {
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

}  // namespace

int _zs_get_indexList_csv(char* buffer, int32_t length, int bLast, ZsIndex* idx) {
    return zs_index_build_csv(buffer, length, ZsScan{bLast, nullptr, 0, 0, ZS_MAX_TAIL, 0}, idx);
}

int zs_index_build_csv(char* buffer, int32_t length, const ZsScan& scan, ZsIndex* idx) {
    ArgsInfo* a = &zs_args;
    *idx = ZsIndex{};
    int64_t cap;
    CsvEntry* store = begin_build<CsvEntry>(&cap, true, scan, length);
    if (store == nullptr) return 1;
    ZsIndex built{};
    built.entryStore = store;
    auto fail = [&](bool outOfMemory) {
        if (outOfMemory) no_memory();
        built.entryStore = store;
        zs_index_release(&built);
        return 1;
    };

    int64_t n = 0;
    auto add = [&](const char* p, int32_t len) {
        if (n == cap && !grow_store(&store, &cap, cap * 2)) return false;
        store[n++] = CsvEntry{p, nullptr, len, 0};
        return true;
    };
    auto find = [a](const char* p, int64_t left) { return zs_find_token(p, (int32_t)left, a->sep, a->quote); };
    int rc = scan_records(buffer, length, scan, true, &built.indexedBytes, find, add);
    if (rc != 0) return fail(rc == 2);

    built.entryStore = store;
    if (scan.bItems) {
        built.items = new_items(n);
        built.base = buffer;
        if (built.items == nullptr) return fail(true);
    } else {
        built.list = new_list(n);
        if (built.list == nullptr) return fail(true);
    }
    bool outOfMemory = false;
    bool located;
    auto locate = [&](auto sink) {
        if (a->keyNums > 0) {
            located = locate_key_columns(&built, sink, store, n, &outOfMemory);
        } else {
            located = locate_all_columns(&built, sink, store, n);
            outOfMemory = !located;
        }
    };
    if (scan.bItems)
        locate(ItemSink{&built});
    else
        locate(ListSink{built.list});
    if (!located) return fail(outOfMemory);
    for (int32_t i = 0; i < built.count; i++) {
        const CsvEntry* e = &store[built.items[i].at];
        bool more;
        built.items[i].key = zs_key_chunk(ZsKeyRecord{e->data, e->len, e->cols, e->colNum}, 0, &more);
    }
    *idx = built;
    verbose_timing("[_zs_get_indexList_csv]がかかった[%8.0f]msです。\n");
    return 0;
}

int64_t zs_index_cost(double columns) {
    const ArgsInfo& a = zs_args;
    // A sort item for every record (the sort works in place); CSV records keep an entry and
    // their column table besides.
    if (a.layout == ZS_FIXED) return (int64_t)sizeof(ZsFixedItem);
    const int64_t item = (int64_t)sizeof(ZsItem);
    if (a.layout != ZS_CSV) return item;
    double cols = a.keyNums > 0 ? (double)a.keyNums : (columns < 1 ? 1 : columns);
    return item + (int64_t)sizeof(CsvEntry) + (int64_t)(cols * (double)sizeof(CsvColumn) + 0.999);
}

ZsSample zs_index_sample(const char* data, int64_t n) {
    const ArgsInfo& a = zs_args;
    if (a.layout == ZS_FIXED) return ZsSample{(double)a.recLen, 1.0};
    const int64_t records = count_seps(data, n, a.sep, a.sepLen);
    const int64_t delimiters =
        a.layout == ZS_CSV && a.keyNums == 0 && a.delimLen > 0 ? count_seps(data, n, a.delimiter, a.delimLen) : 0;
    // Without a newline code the sample is one record in progress: records are at least this long.
    if (records == 0) return ZsSample{(double)(n > 0 ? n : 1), (double)delimiters + 1};
    return ZsSample{(double)n / (double)records, (double)(delimiters + records) / (double)records};
}

int zs_index_build(char* buffer, int32_t length, const ZsScan& scan, ZsIndex* idx) {
    switch (zs_args.layout) {
        case ZS_FIXED: {
            // Whole records only; a limit leaves the rest unindexed.
            int32_t len = length;
            const int32_t recLen = zs_args.recLen;
            if (scan.maxRecords > 0 && (int64_t)len / recLen > scan.maxRecords) len = (int32_t)(scan.maxRecords * recLen);
            if (!scan.bItems) return _zs_get_indexList(buffer, len, idx);
            *idx = ZsIndex{};
            const int64_t n = len / recLen;
            idx->fixedItems = static_cast<ZsFixedItem*>(zs_malloc_hwm(zs_run.pool, (n > 0 ? n : 1) * (int64_t)sizeof(ZsFixedItem)));
            if (idx->fixedItems == nullptr) {
                no_memory();
                return 1;
            }
            for (int64_t i = 0; i < n; i++) {
                bool more;
                const char* p = buffer + i * recLen;
                idx->fixedItems[i] = ZsFixedItem{zs_key_chunk(ZsKeyRecord{p, recLen, nullptr, 0}, 0, &more), (uint32_t)(i * recLen)};
            }
            idx->count = (int32_t)n;
            idx->base = buffer;
            idx->indexedBytes = (int32_t)(n * recLen);
            verbose_timing("[_zs_get_indexList]がかかった[%8.0f]msです。\n");
            return 0;
        }
        case ZS_CSV:
            return zs_index_build_csv(buffer, length, scan, idx);
        default:
            ZS_ASSERT(zs_args.layout == ZS_VARIABLE);
            return zs_index_build_variable(buffer, length, scan, idx);
    }
}

void zs_index_release(ZsIndex* idx) {
    if (idx == nullptr) return;
    zs_free(zs_run.pool, idx->items);
    zs_free(zs_run.pool, idx->fixedItems);
    zs_free(zs_run.pool, idx->columnStore);
    zs_free(zs_run.pool, idx->entryStore);
    zs_list_destroy(idx->list);
    *idx = ZsIndex{};
}

int zs_write_failed(const char* path) {
    ZS_MSG("☆ Error occurred while writing output file [%s]!\n", "☆出力ファイル[%s]の書き込み中にエラーが発生しました！\n",
           path != nullptr ? path : "stdout");
    return 1;
}

int zs_close_error_file() {
    if (zs_plat_out_close(&zs_run.errStream) == 0) return 0;
    return zs_write_failed(zs_args.errFile.path);
}
