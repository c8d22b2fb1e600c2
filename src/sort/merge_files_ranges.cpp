// The merge of presorted input files (-M) in key ranges on the run's threads (sort/merge.h): the
// range finding reads single records of the inputs on the calling thread; every range then reads
// its parts of the inputs at their offsets, checks their order and writes its records at its own
// place of the output. CSV records are found from any place of an input by the quotes' parity
// there: a newline code after an even number of quotes (from the input's data start) ends a
// record, one after an odd number lies inside a quoted column.
#include <algorithm>
#include <cstring>

#include "base/msg.h"
#include "base/parallel.h"
#include "platform/platform.h"
#include "sort/merge.h"

namespace {

constexpr int64_t kSamplesPerInput = 64;     // records read at even places of an input
constexpr int64_t kSamplesMost = 4096;       // and in all
constexpr ZsSize kArenaBytes = 1 << 20;      // the bytes of the sample records
constexpr ZsSize kReaderStart = 16 << 10;    // a reader's window, doubled for a longer record
constexpr ZsSize kRecordMost = 1 << 20;      // a longer record leaves the merge to one thread
constexpr ZsSize kPartBufMost = 1 << 20;
constexpr ZsSize kPartBufLeast = 64 << 10;
// A range's failures: a write error, or something one thread is to meet and report.
constexpr int kWrite = 3;
constexpr int kSerial = 4;
constexpr int kDone = 5;  // a part holds no more records
constexpr int kNoRanges = -1;
constexpr int32_t kSepMost = 64;            // a longer newline code leaves the merge to one thread
constexpr int64_t kColumnsMost = 4096;      // and so does a CSV record of more columns (whole-record order)
constexpr ZsSize kCountBuf = 256 << 10;     // a thread's window for counting quotes

// Where the comparators see the inputs' records: as one thread's merge sees them.
template <ZsLayout L>
constexpr ZsWhere kWhere = L == ZS_FIXED ? ZS_AT_UNIT : ZS_AT_MERGE;

// The bytes of the record at p when the avail bytes there hold it whole (newline-ended: through
// its newline code), else -1.
template <ZsLayout L>
ZsSize whole_bytes(const ArgsInfo& a, const char* p, ZsSize avail) {
    if constexpr (L == ZS_FIXED) return avail >= a.recLen ? a.recLen : -1;
    if constexpr (L == ZS_CSV) {
        const char* e = zs_find_token(p, avail, a.sep, a.quote);
        return e != nullptr ? (e - p) + a.sepLen : -1;
    }
    const int64_t e = zs_find_sep(p, avail, a.sep, a.sepLen);
    return e >= 0 ? e + a.sepLen : -1;
}

// CSV: the columns the order reads of the record at p of n bytes (its key columns; every column
// of a whole-record order) into table of cap slots, as one thread's build finds them: how many;
// kErrorRecord for a record without a key column, kTableShort when the table is too small. Records
// of the other layouts carry their keys: 0; kErrorRecord for a newline-ended record shorter than
// the keys reach. An error record is one thread's to write to the error file, in its order.
constexpr int32_t kErrorRecord = -1;
constexpr int32_t kTableShort = -2;
template <ZsLayout L>
int32_t find_columns(const ArgsInfo& a, const char* p, ZsSize n, CsvColumn* table, int64_t cap) {
    if constexpr (L == ZS_FIXED) return 0;
    if constexpr (L == ZS_VARIABLE) return n >= a.keyMaxPos ? 0 : kErrorRecord;
    CsvEntry e{p, nullptr, (int32_t)n, 0};
    if (a.keyNums > 0) return zs_csv_key_columns(a, &e, table) ? a.keyNums : kErrorRecord;
    const int32_t cols = zs_csv_all_columns(a, &e, table, cap);
    return cols >= 0 ? cols : kTableShort;
}

// The head of a record: CSV records with their columns (the others have none).
ZsHead head_of(const char* p, ZsSize n, const CsvColumn* table, int32_t colNum, ZsSize unitNo) {
    return ZsHead{p, (int32_t)n, colNum > 0 ? reinterpret_cast<const char*>(table) : nullptr, colNum, unitNo};
}

// Single records of one input for the range finding, read through a window of the file.
template <ZsLayout L>
struct Reader {
    const ArgsInfo& a;
    MemoryPool* pool;
    CsvColumn* table;  // CSV: the columns of the record read last (pool block of tableCap slots)
    int64_t tableCap;
    int32_t colNum;
    FILE* f;
    ZsSize from;       // where the input's records start (behind a CSV header line)
    ZsSize size;
    bool lacksSep;     // the input's last record has no newline code
    char* buf;    // pool block of cap + a newline code
    ZsSize cap;
    ZsSize base;  // the file offset of buf[0]
    ZsSize len;   // bytes held

    void open(FILE* file, ZsSize start, ZsSize bytes, bool lacks) {
        f = file;
        from = start;
        size = bytes;
        lacksSep = lacks;
        len = 0;
    }

    int load(ZsSize at) {
        const ZsSize want = std::min(cap, size - at);
        if (zs_plat_read_at(f, buf, want, at) != want) return kSerial;
        base = at;
        len = want;
        return 0;
    }

    // *h on the record that starts at `at` (below size), its newline code completed. 0 or kSerial.
    int record(ZsSize at, ZsHead* h) {
        for (;;) {
            if (at >= base && at < base + len) {
                const char* p = buf + (at - base);
                const ZsSize avail = base + len - at;
                ZsSize n = whole_bytes<L>(a, p, avail);
                if (L != ZS_FIXED && n < 0 && base + len == size) {
                    // The last record runs to the input's end (a CSV one may hold an open quote),
                    // with its newline code completed as one thread does.
                    if (lacksSep) std::memcpy(buf + len, a.sep, (size_t)a.sepLen);
                    n = avail + (lacksSep ? a.sepLen : 0);
                }
                if (n > 0) {
                    colNum = find_columns<L>(a, p, n, table, tableCap);
                    if (colNum == kTableShort && tableCap < kColumnsMost) {  // grown, and read again
                        void* grown = zs_realloc(pool, table, 2 * tableCap * (ZsSize)sizeof(CsvColumn));
                        if (grown == nullptr) return kSerial;
                        table = static_cast<CsvColumn*>(grown);
                        tableCap *= 2;
                        continue;
                    }
                    if (colNum < 0) return kSerial;
                    *h = head_of(p, n, table, colNum, 0);
                    return 0;
                }
                if (at == base && len == cap) {  // longer than the window
                    if (cap >= kRecordMost) return kSerial;
                    void* grown = zs_realloc(pool, buf, 2 * cap + a.sepLen);
                    if (grown == nullptr) return kSerial;
                    buf = static_cast<char*>(grown);
                    cap *= 2;
                }
            }
            if (load(at) != 0) return kSerial;
        }
    }

    // The first record start at or after `at` (size when none); odd: CSV, whether the quotes
    // between the data start and `at` are odd in number. 0 or kSerial.
    int sync(ZsSize at, bool odd, ZsSize* start) {
        if constexpr (L == ZS_FIXED) {
            *start = std::min(size, (at + a.recLen - 1) / a.recLen * a.recLen);
            return 0;
        }
        if (at <= from) {
            *start = from;
            return 0;
        }
        if constexpr (L == ZS_CSV) return sync_csv(at, odd, start);
        // A newline code ending at `at` or later ends a record: occurrences of one that cannot
        // overlap itself are the records' ends, wherever the search starts.
        ZsSize q = at > a.sepLen ? at - a.sepLen : 0;
        for (;;) {
            if (q >= size) break;
            if (load(q) != 0) return kSerial;
            const int64_t e = zs_find_sep(buf, len, a.sep, a.sepLen);
            if (e >= 0) {
                *start = q + e + a.sepLen;
                return 0;
            }
            if (q + len >= size) break;
            q += len - (a.sepLen - 1);
        }
        *start = size;
        return 0;
    }

    // A newline code ending at `at` or later after an even number of quotes ends a record (it
    // cannot overlap itself).
    int sync_csv(ZsSize at, bool odd, ZsSize* start) {
        ZsSize q = std::max(from, at - a.sepLen);
        if (load(q) != 0) return kSerial;
        odd ^= (std::count(buf, buf + (at - q), a.quote) & 1) != 0;
        for (;;) {
            const ZsSize end = zs_csv_sep_end(a, buf, len, &odd);
            if (end >= 0) {
                *start = q + end;
                return 0;
            }
            if (q + len >= size) break;
            q += len - a.sepLen + 1;  // where the parity stands
            if (load(q) != 0) return kSerial;
        }
        *start = size;
        return 0;
    }
};

// One input's part of a range: its bytes [from, end) are read behind what the buffer holds.
struct Part {
    ZsHead head;  // first: the work list holds its address
    FILE* f;
    ZsSize from;
    ZsSize end;
    ZsSize size;      // the input's bytes
    char* buf;        // cap bytes and room for a newline code
    ZsSize cap;
    ZsSize len;
    ZsSize pos;       // the current record's offset in buf
    ZsSize recLen;
    ZsSize predLen;   // the record before the cut, at the front of buf until the range starts; 0: none
    bool completed;   // the input's last record got its newline code
    bool lacksSep;    // the input's last record has no newline code
    CsvColumn* cols;  // CSV: two tables of tableCap slots, the current record's columns (cur) and
    int32_t cur;      // the record's before it
    int32_t colNum[2];
};

struct Range {
    Part* parts;
    int64_t count;
    PtrList* work;
    ZsRangeOut out;
    ZsSize begin;  // where its output starts
    ZsSize end;    // and ends (with -U: at most)
    ZsPrevRecord prev;  // -U: room for the longest record a part can hold, so that it never grows
    ZsMergeCounts counts;
    ZsSize pending;
    int code;
};

// The parts of a range as the merge loop's source.
template <ZsLayout L>
struct Parts {
    const ArgsInfo& a;
    int64_t tableCap;  // CSV: slots of a part's tables, enough for any record its buffer holds
    Part* parts;
    ZsCmp order;  // the order check (list slots of entries)
    void* env;
    ZsSize* shared;  // progress of the workers, passed on by the calling thread (atomic)
    ZsSortRun& r;
    ZsSize pending = 0;
    int failure = 0;

    void report() { zs_range_report(r, shared, &pending); }

    // Makes the record at buf[at] whole, reading the part's next bytes behind what the buffer holds
    // from *keep on (the bytes before it are dropped; *keep and the record move with the rest). 0;
    // kDone when the part holds no more records; kSerial.
    int whole(Part& p, ZsSize* keep, ZsSize at) {
        for (;;) {
            const ZsSize avail = p.len - at;
            ZsSize n = whole_bytes<L>(a, p.buf + at, avail);
            if (n < 0 && p.from == p.end) {
                if (avail == 0) return kDone;
                if (L == ZS_FIXED || p.end != p.size || p.completed) return kSerial;
                // The last record runs to the input's end (a CSV one may hold an open quote), with
                // its newline code completed as one thread does.
                if (p.lacksSep) {
                    std::memcpy(p.buf + p.len, a.sep, (size_t)a.sepLen);
                    p.len += a.sepLen;
                }
                p.completed = true;
                n = p.len - at;
            }
            if (n > 0) {
                p.colNum[p.cur] = find_columns<L>(a, p.buf + at, n, p.cols + p.cur * tableCap, tableCap);
                if (p.colNum[p.cur] < 0) return kSerial;
                p.pos = at;
                p.recLen = n;
                return 0;
            }
            if (*keep > 0) {
                std::memmove(p.buf, p.buf + *keep, (size_t)(p.len - *keep));
                p.len -= *keep;
                at -= *keep;
                *keep = 0;
            }
            if (p.len == p.cap) return kSerial;  // a record longer than the buffer
            const ZsSize want = std::min(p.cap - p.len, p.end - p.from);
            if (zs_plat_read_at(p.f, p.buf + p.len, want, p.from) != want) return kSerial;
            p.from += want;
            p.len += want;
            pending += want;
        }
    }

    bool out_of_order(const Part& p, const char* x, ZsSize xl, const char* y, ZsSize yl) const {
        if constexpr (L == ZS_FIXED) {
            const void* px = x;
            const void* py = y;
            return order(&px, &py, env) == 1;
        } else if constexpr (L == ZS_CSV) {
            CsvEntry ex{x, p.cols + (p.cur ^ 1) * tableCap, (int32_t)xl, p.colNum[p.cur ^ 1]};
            CsvEntry ey{y, p.cols + p.cur * tableCap, (int32_t)yl, p.colNum[p.cur]};
            const void* px = &ex;
            const void* py = &ey;
            return order(&px, &py, env) == 1;
        } else {
            VarEntry ex{(int32_t)xl, x}, ey{(int32_t)yl, y};
            const void* px = &ex;
            const void* py = &ey;
            return order(&px, &py, env) == 1;
        }
    }

    // Moves part i on to its next record, checked against the one before it. 0 with *done when
    // the part is used up; 1 with the failure kept.
    int next(ZsSize i, bool* done) {
        Part& p = parts[i];
        *done = false;
        ZsSize keep = p.pos;
        const ZsSize prevLen = p.recLen;
        p.cur ^= 1;  // the record before keeps its key table
        const int rc = whole(p, &keep, p.pos + p.recLen);
        if (rc == kDone) {
            *done = true;
            return 0;
        }
        if (rc != 0 || out_of_order(p, p.buf + keep, prevLen, p.buf + p.pos, p.recLen)) {
            failure = rc != 0 ? rc : kSerial;
            return 1;
        }
        p.head = head(p, i);
        return 0;
    }

    ZsHead head(const Part& p, ZsSize unitNo) const {
        return head_of(p.buf + p.pos, p.recLen, p.cols + p.cur * tableCap, p.colNum[p.cur], unitNo);
    }

    int advance(ZsSize i, bool* done) {
        const int rc = next(i, done);
        if (pending >= ZS_RANGE_PROGRESS_STEP) report();
        return rc;
    }
    void finished(ZsSize, ZsSize) {}
    int keepFailed(int32_t) {  // cannot happen: the copy's room holds any record of the parts
        failure = kSerial;
        return 1;
    }
};

// Orders the parts whose first records in a range are equal as one merge of the whole inputs has
// them there (zs_order_range_ties), by the records before the cuts, still at the front of their
// buffers. 0 when done; kSerial when that order is not certain.
template <ZsLayout L>
int order_ties(int64_t tableCap, Range& g, ZsCmp plain, void* env) {
    auto part = [&](void* x) -> const Part& { return g.parts[static_cast<const ZsHead*>(x)->unitNo]; };
    // Its columns are in the table before the current record's.
    auto pred = [&](void* x) {
        const Part& p = part(x);
        return head_of(p.buf, p.predLen, p.cols + (p.cur ^ 1) * tableCap, p.colNum[p.cur ^ 1], 0);
    };
    const bool certain = zs_order_range_ties(
        g.work->items + g.work->start, g.work->count, plain, env, [&](void* x) { return part(x).predLen > 0; },
        [&](void* x, void* y, int* c) {
            *c = zs_cmp_heads(plain, env, pred(x), pred(y));
            return true;
        });
    return certain ? 0 : kSerial;
}

// The place of sample j of the per an input is read at, its records starting at `from`.
inline ZsSize sample_place(ZsSize from, ZsSize size, int64_t per, int64_t j) { return from + (size - from) / per * j; }

// CSV: whether the quotes between input i's data start and its sample place j are odd in number
// (odd[i * per + j]), counted over the inputs on the run's threads. 0, or kSerial.
int quote_parity(ZsSortRun& r, FILE* const* files, const ZsSize* starts, int64_t per, bool* odd) {
    const ArgsInfo& a = *r.args;
    const int64_t pieces = a.inFileNums * per;
    const int32_t threads = (int32_t)std::min<int64_t>(r.threads, pieces);
    ZsPoolBlocks mem{r};
    char* bufs = static_cast<char*>(mem.take(threads * kCountBuf));
    if (bufs == nullptr) return kSerial;
    // Piece j of an input: its bytes from sample place j to the next, the last one not needed.
    int rc = zs_parallel(r, threads, [&](int64_t t) -> int {
        char* buf = bufs + t * kCountBuf;
        for (int64_t s = t; s < pieces; s += threads) {
            const int64_t i = s / per, j = s % per;
            const ZsSize size = a.arrInFile[i].size;
            ZsSize at = sample_place(starts[i], size, per, j);
            const ZsSize end = j + 1 < per ? sample_place(starts[i], size, per, j + 1) : at;
            int64_t quotes = 0;
            while (at < end) {
                const ZsSize m = std::min(kCountBuf, end - at);
                if (zs_interrupted(r) || zs_plat_read_at(files[i], buf, m, at) != m) return kSerial;
                quotes += std::count(buf, buf + m, a.quote);
                at += m;
            }
            odd[s] = (quotes & 1) != 0;
        }
        return 0;
    });
    mem.release();
    if (rc != 0) return kSerial;
    for (int64_t i = 0; i < a.inFileNums; i++) {
        bool before = false;
        for (int64_t j = 0; j < per; j++) {
            const bool piece = odd[i * per + j];
            odd[i * per + j] = before;
            before ^= piece;
        }
    }
    return 0;
}

// Chooses the splitters and cuts every input at each: cuts[k * n + i] is where range k starts in
// input i (row 0 where its records start, row `ranges` its size), preds[k * n + i] where the
// record before that cut starts (-1: none). The number of ranges (fewer when splitters coincide);
// kNoRanges.
template <ZsLayout L>
int find_cuts(ZsSortRun& r, FILE* const* files, const ZsSize* starts, const bool* lacksSep, int32_t asked,
              ZsSize* cuts, ZsSize* preds) {
    const ArgsInfo& a = *r.args;
    const int64_t n = a.inFileNums;
    const ZsCmp plain = zs_cmp_fn(zs_cmp_of(a, L, kWhere<L>, false));
    void* env = zs_cmp_env(r);
    const int64_t per = std::min<int64_t>(kSamplesPerInput, kSamplesMost / n);
    ZsPoolBlocks mem{r};
    char* arena = static_cast<char*>(mem.take(kArenaBytes));
    ZsSplitSample* samples = static_cast<ZsSplitSample*>(mem.take(n * per * (ZsSize)sizeof(ZsSplitSample)));
    int64_t* firstOf = static_cast<int64_t*>(mem.take((n + 1) * (ZsSize)sizeof(int64_t)));
    void** order = static_cast<void**>(mem.take(n * per * (ZsSize)sizeof(void*)));
    ZsHead* splitters = static_cast<ZsHead*>(mem.take(asked * (ZsSize)sizeof(ZsHead)));
    // CSV: the quotes' parity at the sample places; the reader's column table.
    constexpr bool csv = L == ZS_CSV;
    bool* odd = csv ? static_cast<bool*>(mem.take(n * per)) : nullptr;
    const int64_t tableCap = !csv ? 0 : a.keyNums > 0 ? a.keyNums : 256;
    // The reader's window and table grow for a longer record.
    char* window = static_cast<char*>(zs_malloc(r.pool, kReaderStart + a.sepLen));
    CsvColumn* table = csv ? static_cast<CsvColumn*>(zs_malloc(r.pool, tableCap * (ZsSize)sizeof(CsvColumn))) : nullptr;
    Reader<L> rd{a, r.pool, table, tableCap, 0, nullptr, 0, 0, false, window, kReaderStart, 0, 0};
    const bool taken = arena != nullptr && samples != nullptr && firstOf != nullptr && order != nullptr &&
                       splitters != nullptr && window != nullptr && (!csv || (odd != nullptr && table != nullptr));
    if (!taken || (csv && quote_parity(r, files, starts, per, odd) != 0)) {
        zs_free(r.pool, table);
        zs_free(r.pool, window);
        mem.release();
        return kNoRanges;
    }
    int rc = 0;
    int64_t count = 0;
    ZsSize used = 0, weights = 0;
    // Sample records at even places of every input, kept in input order per input.
    for (int64_t i = 0; i < n && rc == 0; i++) {
        firstOf[i] = count;
        rd.open(files[i], starts[i], a.arrInFile[i].size, lacksSep[i]);
        for (int64_t j = 0; j < per && rc == 0 && rd.size > rd.from; j++) {
            ZsSize start;
            if ((rc = rd.sync(sample_place(rd.from, rd.size, per, j), csv && odd[i * per + j], &start)) != 0) break;
            if (start >= rd.size || (count > firstOf[i] && samples[count - 1].at == start)) continue;
            ZsHead h;
            if ((rc = rd.record(start, &h)) != 0) break;
            // CSV samples keep their columns behind their bytes.
            const ZsSize at = (used + h.len + 7) / 8 * 8, tableBytes = h.colNum * (ZsSize)sizeof(CsvColumn);
            if (at + tableBytes > kArenaBytes) {
                rc = kSerial;
                break;
            }
            std::memcpy(arena + used, h.data, (size_t)h.len);
            if (tableBytes > 0) std::memcpy(arena + at, h.cols, (size_t)tableBytes);
            samples[count] = ZsSplitSample{
                head_of(arena + used, h.len, reinterpret_cast<CsvColumn*>(arena + at), h.colNum, 0), 0, start};
            if (count > firstOf[i]) samples[count - 1].weight = start - samples[count - 1].at;
            used = at + tableBytes;
            count++;
        }
        if (count > firstOf[i]) samples[count - 1].weight = rd.size - samples[count - 1].at;
    }
    firstOf[n] = count;
    for (int64_t s = 0; s < count; s++) {
        order[s] = &samples[s];
        weights += samples[s].weight;
    }
    int32_t found = 0;
    if (rc == 0 && count >= 2 && zs_list_msort(r.pool, order, 0, count - 1, sizeof(void*), plain, env) == 0)
        found = zs_pick_splitters(order, count, weights, asked, plain, env, splitters);
    if (found == 0) rc = kSerial;
    // Each input's cut at each splitter: its first record not below the splitter, found from the
    // last sample below it on.
    for (int64_t i = 0; i < n && rc == 0; i++) {
        rd.open(files[i], starts[i], a.arrInFile[i].size, lacksSep[i]);
        cuts[i] = rd.from;
        preds[i] = -1;
        cuts[(found + 1) * n + i] = rd.size;
        preds[(found + 1) * n + i] = -1;
        for (int32_t k = 1; k <= found && rc == 0; k++) {
            const ZsHead& x = splitters[k - 1];
            int64_t lo = firstOf[i], hi = firstOf[i + 1];
            while (lo < hi) {
                const int64_t mid = lo + (hi - lo) / 2;
                if (zs_cmp_heads(plain, env, samples[mid].head, x) < 0)
                    lo = mid + 1;
                else
                    hi = mid;
            }
            ZsSize at = lo > firstOf[i] ? samples[lo - 1].at : rd.from, before = -1;
            while (at < rd.size) {
                ZsHead h;
                if ((rc = rd.record(at, &h)) != 0) break;
                if (zs_cmp_heads(plain, env, h, x) >= 0) break;
                before = at;
                at = std::min(rd.size, at + h.len);
            }
            // In a sorted input the scan starts below the splitter and the cuts follow each other:
            // anything else is an input out of order, which one thread finds and reports.
            if (rc == 0 && ((at > rd.from && before < 0) || at < cuts[(k - 1) * n + i])) rc = kSerial;
            cuts[k * n + i] = at;
            preds[k * n + i] = before;
        }
    }
    zs_free(r.pool, rd.table);
    zs_free(r.pool, rd.buf);
    mem.release();
    return rc != 0 ? kNoRanges : found + 1;
}

// Whether the input's last record lacks its newline code (one thread gives it one). 0 or kSerial.
int lacks_sep(const ArgsInfo& a, FILE* f, ZsSize from, ZsSize size, bool* lacks) {
    char tail[kSepMost];
    *lacks = false;
    if (size == from) return 0;
    if (size - from < a.sepLen) {  // too short to end with one, as one thread sees its records
        *lacks = true;
        return 0;
    }
    if (zs_plat_read_at(f, tail, a.sepLen, size - a.sepLen) != a.sepLen) return kSerial;
    *lacks = std::memcmp(tail, a.sep, (size_t)a.sepLen) != 0;
    return 0;
}

template <ZsLayout L>
int merge_in_ranges(ZsSortRun& r, FILE* const* files, const ZsSize* starts) {
    const ArgsInfo& a = *r.args;
    const int64_t n = a.inFileNums;
    const int32_t asked = std::min<int32_t>(r.threads, ZS_MAX_THREADS);
    const int64_t start = zs_plat_tell(r.outStream.stream);
    if (start < 0) return kSerial;
    ZsPoolBlocks mem{r};
    ZsSize* cuts = static_cast<ZsSize*>(mem.take((asked + 1) * n * (ZsSize)sizeof(ZsSize)));
    ZsSize* preds = static_cast<ZsSize*>(mem.take((asked + 1) * n * (ZsSize)sizeof(ZsSize)));
    bool* lacks = static_cast<bool*>(mem.take(n));
    int rc = cuts != nullptr && preds != nullptr && lacks != nullptr ? 0 : kSerial;
    for (int64_t i = 0; i < n && rc == 0; i++) {
        lacks[i] = false;
        if (L != ZS_FIXED) rc = lacks_sep(a, files[i], starts[i], a.arrInFile[i].size, &lacks[i]);
    }
    const int ranges = rc == 0 ? find_cuts<L>(r, files, starts, lacks, asked, cuts, preds) : kNoRanges;
    if (ranges < 2) {
        mem.release();
        return r.bInterrupted ? 1 : kSerial;
    }
    // The error file is there as one thread's first load of records makes it (fixed-length loads
    // make none).
    if (L != ZS_FIXED && zs_open_error_file(r) != 0) {
        mem.release();
        return 1;
    }
    // -H: the first input's header line goes first.
    const int64_t header = L == ZS_CSV && a.bHeader ? r.totals.headerLen : 0;
    if (header > 0 && zs_plat_write_at(r.outStream.stream, r.totals.header, header, start) != 0) {
        mem.release();
        return kSerial;  // one thread meets the failure and reports it
    }
    const int64_t base = start + header;
    // Parts and their buffers, and with -U every range's copy of the record written last: an equal
    // share of what the pool holds, within bounds.
    const bool unique = a.bUnique == 1;
    int64_t parts = 0;
    for (int32_t k = 0; k < ranges; k++)
        for (int64_t i = 0; i < n; i++) parts += cuts[(k + 1) * n + i] > cuts[k * n + i];
    const int64_t slots = parts + (unique ? ranges : 0);
    // CSV: tables of columns, two for every part and one for every range's record copy (a
    // whole-record order's hold kColumnsMost: a record with more leaves the merge to one thread).
    const int64_t tableCap = L != ZS_CSV ? 0 : a.keyNums > 0 ? a.keyNums : kColumnsMost;
    const int64_t tables = (2 * parts + ranges) * tableCap * (int64_t)sizeof(CsvColumn);
    const int64_t avail = (int64_t)r.totals.totalMemSize - ZS_BASIC_SIZE - (ranges - 1) * ZS_RANGE_OUT_BUF -
                          parts * ((int64_t)sizeof(Part) + 64) - tables - 6 * ZS_POOL_HDR;
    const ZsSize share = std::min<ZsSize>(kPartBufMost, slots > 0 ? avail / slots / 4 * 3 : 0);
    const ZsSize slot = share + a.sepLen;
    Range* rs = static_cast<Range*>(mem.take(ranges * (ZsSize)sizeof(Range)));
    Part* ps = static_cast<Part*>(mem.take(std::max<int64_t>(parts, 1) * (ZsSize)sizeof(Part)));
    char* bufs = share >= kPartBufLeast ? static_cast<char*>(mem.take(parts * slot)) : nullptr;
    char* prevs = unique && bufs != nullptr ? static_cast<char*>(mem.take(ranges * slot)) : nullptr;
    CsvColumn* cols = static_cast<CsvColumn*>(mem.take(std::max<ZsSize>(tables, 8)));
    char* outBufs = static_cast<char*>(mem.take((ranges - 1) * ZS_RANGE_OUT_BUF));
    if (outBufs == nullptr || bufs == nullptr || ps == nullptr || rs == nullptr || cols == nullptr ||
        (unique && prevs == nullptr)) {
        mem.release();
        return kSerial;
    }
    const ZsCmp plain = zs_cmp_fn(zs_cmp_of(a, L, kWhere<L>, false));
    const ZsCmp order = zs_cmp_fn(zs_cmp_of(a, L, ZS_AT_ENTRY, false));
    // Equal records are equal bytes (a whole-record sort) or in the parts' order (-S, -U); else
    // ordered.
    const bool ties = a.bStabilize != 1 && a.bRecSort == 0 && !unique;
    ZsSize shared = 0;
    ZsSize outAt = base, added = 0;
    int64_t next = 0;
    for (int32_t k = 0; k < ranges; k++) rs[k] = Range{};
    for (int32_t k = 0; k < ranges && rc == 0; k++) {
        Range& g = rs[k];
        g.parts = ps + next;
        ZsSize bytes = 0;
        Parts<L> src{a, tableCap, g.parts, order, zs_cmp_env(r), &shared, r};
        for (int64_t i = 0; i < n && rc == 0; i++) {
            const ZsSize from = cuts[k * n + i], to = cuts[(k + 1) * n + i];
            if (to == from) continue;
            const ZsSize size = a.arrInFile[i].size;
            const ZsSize pred = preds[k * n + i];
            Part& p = g.parts[g.count];
            p = Part{ZsHead{}, files[i], pred >= 0 ? pred : from, to, size, bufs + next * slot,
                     std::min(share, to - (pred >= 0 ? pred : from)), 0, 0, 0, 0, false, lacks[i],
                     cols + 2 * next * tableCap, 0, {0, 0}};
            ZsSize keep = 0;
            rc = src.whole(p, &keep, 0);
            // The record before the cut, read again for the order check across it.
            bool done = false;
            if (rc == 0 && pred >= 0) {
                src.pending -= from - pred;
                p.predLen = p.recLen;
                if (src.next((ZsSize)g.count, &done) != 0 || done) rc = kSerial;
            }
            if (rc != 0) break;
            p.head = src.head(p, (ZsSize)g.count);
            bytes += to - from;
            // The input's last record gets its newline code when it lacks one.
            if (to == size && lacks[i]) {
                bytes += a.sepLen;
                added += a.sepLen;
            }
            g.count++;
            next++;
        }
        if (rc != 0) break;
        src.report();
        g.out = ZsRangeOut{r.outStream.stream, k == 0 ? r.outBuf : outBufs + (k - 1) * ZS_RANGE_OUT_BUF,
                           k == 0 ? (ZsSize)sizeof r.outBuf : ZS_RANGE_OUT_BUF, 0, outAt, false};
        if (unique)
            g.prev = ZsPrevRecord{ZsHead{}, prevs + k * slot, cols + (2 * parts + k) * tableCap, slot, tableCap};
        g.begin = outAt;
        outAt += bytes;
        g.end = outAt;
        if (g.count == 0) continue;
        g.work = zs_work_new(r, g.count);
        if (g.work == nullptr) {
            rc = kSerial;
            break;
        }
        for (int64_t j = 0; j < g.count; j++) zs_list_append(r.pool, g.work, &g.parts[j].head, ZS_LIST_POOL);
        if (zs_work_sort(r, g.work, plain) != 0 || (k > 0 && ties && order_ties<L>(tableCap, g, plain, zs_cmp_env(r)) != 0))
            rc = kSerial;
    }
    if (rc != 0) rc = kSerial;  // a part that could not start as a range
    if (rc == 0) {
        rc = zs_parallel(r, ranges, [&](int64_t k) -> int {
            Range& g = rs[k];
            int code = 0;
            if (g.count > 0) {
                Parts<L> src{a, tableCap, g.parts, order, zs_cmp_env(r), &shared, r};
                code = zs_merge_loop<L>(r, src, g.work, g.count, kWhere<L>, &g.out, unique ? &g.prev : nullptr,
                                        &g.counts, true);
                g.pending = src.pending;
                if (src.failure != 0) code = src.failure;
            }
            g.out.flush();
            if (code == 0 && g.out.bad) code = kWrite;
            g.code = code;
            return code;
        });
        zs_progress_add(r, __atomic_exchange_n(&shared, 0, __ATOMIC_RELAXED));
        for (int32_t k = 0; k < ranges; k++) zs_progress_add(r, rs[k].pending);
        // Anything one thread would report goes to one thread; an interrupt is reported already.
        bool serial = false, write = false;
        for (int32_t k = 0; k < ranges; k++) {
            serial |= rs[k].code == kSerial;
            write |= rs[k].code == kWrite;
        }
        if (r.bInterrupted) {
            rc = 1;
        } else if (serial) {
            rc = kSerial;
        } else if (write || rc != 0) {
            rc = zs_write_failed(r, a.outFile.path);
        } else if (unique && zs_ranges_close_gaps(
                                 r.outStream.stream, r.outBuf, (ZsSize)sizeof r.outBuf, ranges,
                                 [&](int32_t k) { return rs[k].begin; }, [&](int32_t k) { return rs[k].out.at; }) != 0) {
            rc = zs_write_failed(r, a.outFile.path);
        } else {
            for (int32_t k = 0; k < ranges; k++) {
                ZS_ASSERT(unique ? rs[k].out.at <= rs[k].end : rs[k].out.at == rs[k].end);
                r.totals.outRecNum += rs[k].counts.out;
                r.totals.dupRecNum += rs[k].counts.dup;
            }
            r.totals.totalFileSize += added;
            ZS_VMSG_JP(r, "出力バッファサイズは[%ld]KBです。\n", 0L);
            ZS_VMSG_JP(r, "マージはキー範囲%ld個に分けて行います。\n", (long)ranges);
        }
    }
    const long t0 = zs_plat_clock();
    for (int32_t k = ranges - 1; k >= 0; k--) zs_list_destroy(r.pool, rs[k].work);
    mem.release();
    if (rc == 0) ZS_MSG_JP(r, "メモリ解放がかかった[%8.0f]msです。\n", zs_ms(t0, zs_plat_clock()));
    // What the ranges wrote goes: one thread writes the output anew.
    if (rc == kSerial && zs_plat_truncate(r.outStream.stream, start) != 0) rc = zs_write_failed(r, a.outFile.path);
    return rc;
}

}  // namespace

int zs_merge_files_ranges(ZsSortRun& r, FILE* const* files, const ZsSize* starts) {
    const ArgsInfo& a = *r.args;
    if (r.totals.bStreams || !zs_par_worth(r, r.totals.totalFileSize, ZS_RANGES_MIN)) return ZS_MERGE_SERIAL;
    if (r.outStream.temp == nullptr || r.outStream.borrowed || r.outStream.stream == nullptr) return ZS_MERGE_SERIAL;
    if (a.layout != ZS_FIXED && (!zs_sep_cuttable(a.sep, a.sepLen) || a.sepLen > kSepMost)) return ZS_MERGE_SERIAL;
    // CSV: records found by the quotes' parity, which a newline code holding the quote breaks.
    if (a.layout == ZS_CSV && std::memchr(a.sep, a.quote, (size_t)a.sepLen) != nullptr) return ZS_MERGE_SERIAL;
    const int rc = zs_with_layout(a.layout, [&](auto tag) { return merge_in_ranges<tag.value>(r, files, starts); });
    return rc == kSerial ? ZS_MERGE_SERIAL : rc;
}
