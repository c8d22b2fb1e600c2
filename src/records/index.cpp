// Record index builders: a buffer of whole records becomes a list of entries in input order.
#include <cstring>

#include "engine/msg.h"
#include "platform/platform.h"
#include "records/records.h"

void* entryStore;
CsvColumn* columnStore;
int32_t indexedBytes;

namespace {

// The error file keeps this buffer while it is open; it must outlive the stream.
char errBuffer[65536];

double since_phase_start() {
    finish = zs_plat_clock();
    return (double)(finish - phaseStart) / 1000.0 * 1000.0;
}

// Opens the error file on first use. CSV builds print their failures in Japanese only.
int open_error_stream(bool japaneseOnly) {
    ArgsInfo* a = &zs_args;
    if (a->errFile.path == nullptr || errStream != nullptr) return 0;
    errStream = fopen(a->errFile.path, "wb");
    if (errStream == nullptr) {
        if (japaneseOnly)
            ZS_MSG_JP("☆エラーファイル[%s]は作成できません！\n", a->errFile.path);
        else
            ZS_MSG("☆ Cannot create error file [%s]!\n", "☆エラーファイル[%s]は作成できません！\n", a->errFile.path);
        return 1;
    }
    if (setvbuf(errStream, errBuffer, _IOFBF, sizeof errBuffer) != 0) {
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
    if (errStream == nullptr || len == 0) return 0;
    if (fwrite(data, 1, (size_t)len, errStream) == (size_t)len) return 0;
    ZS_MSG("☆ Error occurred while writing output file [%s]!\n", "☆出力ファイル[%s]の書き込み中にエラーが発生しました！\n",
           zs_s(zs_args.errFile.path));
    return 1;
}

// An exact-size list of n slots, or null.
PtrList* new_list(int64_t n) {
    PtrList* list = static_cast<PtrList*>(zs_malloc(pool, sizeof(PtrList)));
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
// 0, or 1 after the invalid-length message (an unfinished tail too long to be a record).
template <class Find, class Add>
int scan_records(char* buffer, int32_t length, int bLast, bool japaneseOnly, Find find, Add add) {
    const ArgsInfo& a = zs_args;
    const char* p = buffer;
    const char* end = buffer + length;
    while (a.sepLen > 0 && p < end) {
        const char* hit = find(p, end - p);
        int32_t len;
        if (hit != nullptr) {
            len = (int32_t)(hit - p) + a.sepLen;
        } else if (bLast) {
            len = (int32_t)(end - p);  // the end of the data ends the last record
        } else if (end - p >= ZS_MAX_TAIL) {
            invalid_length(japaneseOnly);
            return 1;
        } else {
            break;  // an unfinished record: the next load starts with it
        }
        if (!add(p, len)) return 2;
        indexedBytes += len;
        p += len;
    }
    return 0;
}

void verbose_timing(const char* text) {
    if (bVerbose) zs_msg_jp(text, since_phase_start());
}

// Opens the error file when needed and takes the first entry store of a build.
template <class Entry>
Entry* begin_build(int64_t* cap, bool japaneseOnly) {
    if (open_error_stream(japaneseOnly) != 0) return nullptr;
    *cap = 1024;
    Entry* store = static_cast<Entry*>(zs_malloc_hwm(pool, *cap * (int64_t)sizeof(Entry)));
    if (store == nullptr) {
        no_memory();
        return nullptr;
    }
    indexedBytes = 0;
    return store;
}

// Fills the list from the last entry to the first: an entry that good() rejects is an error
// record, written to the error file (so a buffer's error records arrive last first); the good
// ones are packed towards the end of the list in one pass. False after a write error.
template <class Entry, class Good>
bool place_entries(PtrList* list, Entry* store, int64_t n, Good good) {
    int64_t slot = n;
    for (int64_t i = n - 1; i >= 0; i--) {
        Entry* e = &store[i];
        if (e->len > zs_args.maxRecLen) zs_args.maxRecLen = e->len;
        if (good(e)) {
            list->items[--slot] = e;
        } else if (write_error_record(e->data, e->len) != 0) {
            return false;
        }
    }
    list->start = (int32_t)slot;
    list->count = (int32_t)(n - slot);
    return true;
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

PtrList* _zs_get_indexList(char* buffer, int32_t length) {
    const int32_t recLen = zs_args.recLen;
    const int64_t n = recLen > 0 && length > 0 ? length / recLen : 0;
    PtrList* list = new_list(n);
    if (list == nullptr) {
        no_memory();
        return nullptr;
    }
    for (int64_t i = 0; i < n; i++) list->items[i] = buffer + i * recLen;
    list->count = (int32_t)n;
    verbose_timing("[_zs_get_indexList]がかかった[%8.0f]msです。\n");
    return list;
}

PtrList* _zs_get_indexList_variable(char* buffer, int32_t length, int bLast) {
    ArgsInfo* a = &zs_args;
    int64_t cap;
    VarEntry* store = begin_build<VarEntry>(&cap, false);
    if (store == nullptr) return nullptr;

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
    int rc = scan_records(buffer, length, bLast, false, find, add);
    if (rc != 0) {
        if (rc == 2) no_memory();
        zs_free(pool, store);
        return nullptr;
    }

    PtrList* list = new_list(n);
    if (list == nullptr) {
        no_memory();
        zs_free(pool, store);
        return nullptr;
    }
    // A record shorter than the keys reach is an error record.
    if (!place_entries(list, store, n, [a](const VarEntry* e) { return e->len >= a->keyMaxPos; })) {
        zs_list_destroy(list);
        zs_free(pool, store);
        return nullptr;
    }
    entryStore = store;
    verbose_timing("[_zs_get_indexList_variable]がかかった[%8.0f]msです。\n");
    return list;
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

}  // namespace

PtrList* _zs_get_indexList_csv(char* buffer, int32_t length, int bLast) {
    ArgsInfo* a = &zs_args;
    int64_t cap;
    CsvEntry* store = begin_build<CsvEntry>(&cap, true);
    if (store == nullptr) return nullptr;

    int64_t n = 0;
    auto add = [&](const char* p, int32_t len) {
        if (n == cap && !grow_store(&store, &cap, cap * 2)) return false;
        store[n++] = CsvEntry{p, len, nullptr, 0};
        return true;
    };
    auto find = [a](const char* p, int64_t left) { return zs_find_token(p, (int32_t)left, a->sep, a->quote); };
    int rc = scan_records(buffer, length, bLast, true, find, add);
    PtrList* list = rc == 0 ? new_list(n) : nullptr;
    if (list == nullptr) {
        if (rc != 1) no_memory();
        zs_free(pool, store);
        return nullptr;
    }

    const int32_t keyNums = a->keyNums;
    CsvColumn* cols = nullptr;
    if (keyNums > 0) {
        // One slot per key and record; record i's table starts at element i * keyNums.
        cols = static_cast<CsvColumn*>(zs_malloc_hwm(pool, n * keyNums * (int64_t)sizeof(CsvColumn)));
        if (cols == nullptr && n > 0) {
            no_memory();
            zs_list_destroy(list);
            zs_free(pool, store);
            return nullptr;
        }
        int32_t lastKeyColumn = 0;
        for (int32_t k = 0; k < keyNums; k++)
            if (a->arrSortKey[k].pos > lastKeyColumn) lastKeyColumn = a->arrSortKey[k].pos;

        bool written = place_entries(list, store, n, [&](CsvEntry* e) {
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
        if (!written) {
            zs_free(pool, cols);
            zs_list_destroy(list);
            zs_free(pool, store);
            return nullptr;
        }
    } else {
        // Whole-record sort: every column of every record, one record's table after the other.
        int64_t colCap = n > 0 ? n : 1;
        cols = static_cast<CsvColumn*>(zs_malloc_hwm(pool, colCap * (int64_t)sizeof(CsvColumn)));
        bool ok = cols != nullptr;
        int64_t used = 0;
        for (int64_t i = 0; ok && i < n; i++) {
            CsvEntry* e = &store[i];
            if (e->len > a->maxRecLen) a->maxRecLen = e->len;
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
            list->items[i] = e;
        }
        if (!ok) {
            no_memory();
            zs_free(pool, cols);
            zs_list_destroy(list);
            zs_free(pool, store);
            return nullptr;
        }
        // The store may have moved while it grew: set every table address now.
        int64_t at = 0;
        for (int64_t i = 0; i < n; i++) {
            store[i].cols = cols + at;
            at += store[i].colNum;
        }
        list->count = (int32_t)n;
    }
    entryStore = store;
    columnStore = cols;
    verbose_timing("[_zs_get_indexList_csv]がかかった[%8.0f]msです。\n");
    return list;
}
