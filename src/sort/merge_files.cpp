// Merge of presorted input files (-M): every input is read front to back in loads and is a source
// of the merge loop, as a block is in the merge of the temporary file. Newline-ended records are
// located by an index of each load; fixed-length records are taken straight from the buffer.
//
// The inputs are expected in order: a record that sorts before the one ahead of it in the same
// input is reported, once per input, and fails the run, so that no unsorted output passes for a
// sorted one.
#include <cstring>

#include "base/msg.h"
#include "platform/platform.h"
#include "sort/merge.h"
#include "sort/split.h"

namespace {

constexpr ZsSize kInputBufSize = 1048576;

// One input: its cursor (the merge's place in it) and what reading it needs.
struct Input {
    ZsCursor c;
    FILE* file;
    const InputFile* inFile;
    ZsSize number;       // its place on the command line, from 1
    ZsSize size;         // bytes of the file, with the newline code that completes its last record;
                         // a stream's are not known: it is read until a read comes back short
    ZsIndex idx;         // the index of the current load (newline-ended records)
    ZsSize consumed;     // bytes of the buffer the index covers
    bool atEnd;          // the file has been read to its end
    bool reported;       // its disorder has been reported
    ZsPrevRecord last;   // the last record of the previous load, for the order check
};

int buffer_failed(ZsSortRun& r, ZsSize size) {
    ZS_MSG(r, "☆ Failed to allocate [%ld]KB memory for merge sort buffer! \n",
           "☆マージソート用バッファ[%ld]KBメモリの割当は失敗しました！ \n", (long)(size / 1024));
    return 1;
}

template <ZsLayout L>
struct Inputs {
    ZsSortRun& r;
    const ArgsInfo& a;
    Input* inputs;
    ZsCmp order;  // the order check's comparator (list slots of entries)

    void not_sorted(Input* in) {
        if (in->reported) return;
        in->reported = true;
        ZS_MSG(r, "☆ Input file [%s] is not sorted by the sort keys!\n", "☆入力ファイル[%s]はソートキーの順に並んでいません！\n",
               in->inFile->path);
    }

    // The entry of record k of the current load (fixed-length: the record's address).
    const void* entry(const Input* in, ZsSize k) const {
        if constexpr (L == ZS_FIXED) {
            return in->c.buf + (int64_t)k * a.recLen;
        } else {
            const PtrList* l = in->idx.list;
            return l->items[l->start + k];
        }
    }

    // Puts the input's head on its current record.
    void set_head(Input* in, ZsSize unitNo) {
        ZsCursor* c = &in->c;
        if constexpr (L == ZS_FIXED) {
            c->head = ZsHead{c->buf + c->bufPos, a.recLen, nullptr, 0, unitNo};
        } else {
            const void* e = entry(in, c->recIdx);
            const char* cols = nullptr;
            int32_t colNum = 0;
            if constexpr (L == ZS_CSV) {
                cols = reinterpret_cast<const char*>(static_cast<const CsvEntry*>(e)->cols);
                colNum = static_cast<const CsvEntry*>(e)->colNum;
            }
            c->head = ZsHead{ZsEntryOf<L>::data(e), ZsEntryOf<L>::len(e, a), cols, colNum, unitNo};
        }
    }

    // Copies a record (fixed: its bytes; else its list entry) into a record copy, with its column
    // table for CSV records.
    int keep_record(ZsPrevRecord* prev, const void* e) {
        const char* cols = nullptr;
        int32_t colNum = 0;
        if constexpr (L == ZS_CSV) {
            cols = reinterpret_cast<const char*>(static_cast<const CsvEntry*>(e)->cols);
            colNum = static_cast<const CsvEntry*>(e)->colNum;
        }
        const int32_t len = ZsEntryOf<L>::len(e, a);
        if (zs_prev_set(r, prev, ZsEntryOf<L>::data(e), len, cols, colNum) != 0) return buffer_failed(r, len);
        return 0;
    }

    // Reads more of an input behind the bytes kept at the front of its buffer.
    int read_input(Input* in) {
        ZsCursor* c = &in->c;
        ZsSize want = c->bufCap - c->bufLen;
        if (in->inFile->bStream) {
            const ZsSize got = zs_read_stream(r, in->file, c->buf + c->bufLen, want);
            if (got < 0) return zs_input_read_failed(r, in->inFile->path);
            c->readBytes += got;
            c->bufLen += got;
            if (got < want) in->atEnd = true;  // only the end of the data reads short
            // A stream of fixed-length records is checked and counted as a file is by the argument
            // check, once its size is known.
            if (L == ZS_FIXED && in->atEnd) {
                if (c->readBytes % a.recLen != 0) {
                    // The Japanese text names the file first, so the arguments differ in order.
                    if (zs_is_japanese())
                        ZS_MSG_JP(r, "☆入力ファイル%ldのサイズ[%ld]は不正です！\n", (long)in->number, (long)c->readBytes);
                    else
                        ZS_MSG_JP(r, "☆ Invalid size [%ld] for input file %ld!\n", (long)c->readBytes, (long)in->number);
                    return 1;
                }
                r.totals.totalRecNum += c->readBytes / a.recLen;
            }
            return 0;
        }
        ZsSize left = in->size - c->readBytes;
        if (want > left) want = left;
        bool atEnd;
        if (!zs_read_sized(r, in->file, c->buf + c->bufLen, want, &left, &atEnd))
            return zs_input_read_failed(r, in->inFile->path);
        c->readBytes += want;
        c->bufLen += want;
        in->atEnd = atEnd;
        return 0;
    }

    // Fixed-length records: refills an input whose buffer is used up. 0, or 1 after a message.
    int next_fixed_load(Input* in) {
        ZsCursor* c = &in->c;
        // The last record, for the order check of the next load's first.
        if (c->bufLen >= a.recLen && keep_record(&in->last, c->buf + c->bufLen - a.recLen) != 0) return 1;
        c->bufPos = 0;
        c->bufLen = 0;
        return read_input(in);
    }

    // Newline-ended records: indexes the next load of an input: what the last index did not cover
    // moves to the front, more is read behind it, and a buffer too small for one record grows. A
    // load of error records only is followed by the next. 0 with c.recNum records (0: the input
    // is used up), or 1 after a message.
    int next_index_load(Input* in) {
        ZsCursor* c = &in->c;
        for (;;) {
            // The last record of the load, for the order check of the next load's first.
            if (in->idx.list != nullptr && c->recNum > 0 && keep_record(&in->last, entry(in, c->recNum - 1)) != 0)
                return 1;
            zs_index_release(r, &in->idx);
            c->recNum = c->recIdx = 0;
            const ZsSize carry = c->bufLen - in->consumed;
            std::memmove(c->buf, c->buf + in->consumed, (size_t)carry);
            c->bufLen = carry;
            in->consumed = 0;
            if (carry == 0 && in->atEnd) return 0;  // used up
            if (c->bufLen == c->bufCap && !in->atEnd) {
                // Not one whole record fits: the buffer grows (a front block, so it may move). The
                // build refuses a record before it outgrows ZS_RECORD_MAX.
                const ZsSize cap = c->bufCap * 2;
                void* grown = zs_realloc(r.pool, c->buf, cap + a.sepLen);
                if (grown == nullptr) return buffer_failed(r, cap);
                c->buf = static_cast<char*>(grown);
                c->bufCap = cap;
            }
            if (!in->atEnd && read_input(in) != 0) return 1;
            if (in->atEnd) {
                // The last record gets its newline code; the buffer keeps room for it.
                const int32_t added = zs_end_with_sep(r, c->buf, c->bufLen);
                c->bufLen += added;
                if (!in->inFile->bStream) in->size += added;
                r.totals.totalFileSize += added;
            }
            if (zs_index_build(r, c->buf, c->bufLen, ZsScan{in->atEnd ? 1 : 0, nullptr, 0, 0, 0, ZS_LIST}, &in->idx) != 0)
                return 1;
            in->consumed = in->idx.indexedBytes;  // error records count as taken
            c->recNum = in->idx.list->count;
            if (c->recNum > 0) return 0;
            // Error records only, or no whole record yet: load again while there is data.
        }
    }

    // The record copy as the order check's comparator sees an entry.
    const void* last_as_entry(Input* in, VarEntry* ve, CsvEntry* ce) {
        const ZsPrevRecord& l = in->last;
        if constexpr (L == ZS_FIXED) {
            return l.data;
        } else if constexpr (L == ZS_CSV) {
            *ce = CsvEntry{l.data, l.cols, l.head.len, l.head.colNum};
            return ce;
        } else {
            *ve = VarEntry{l.head.len, l.data};
            return ve;
        }
    }

    // Order check of the record an input just gave against the next one it holds.
    void check_order(Input* in, const void* prev, const void* next) {
        if (order(&prev, &next, zs_cmp_env(r)) == 1) not_sorted(in);
    }

    // Whether input i has a record at hand (after its first load: whether it takes part at all).
    bool holds(ZsSize i) const {
        if constexpr (L == ZS_FIXED) return inputs[i].c.bufLen > 0;
        return inputs[i].c.recNum > 0;
    }

    // The first load of input i. 0, or 1 after a message.
    int first_load(ZsSize i) {
        Input* in = &inputs[i];
        if constexpr (L == ZS_FIXED) {
            if (read_input(in) != 0) return 1;
        } else {
            if (next_index_load(in) != 0) return 1;
        }
        if (holds(i)) set_head(in, i);
        return 0;
    }

    // Moves input i to its next record. 0 with *done when it is used up; 1 after a message.
    int advance(ZsSize i, bool* done) {
        Input* in = &inputs[i];
        ZsCursor* c = &in->c;
        *done = false;
        VarEntry ve;
        CsvEntry ce;
        if constexpr (L == ZS_FIXED) {
            const char* taken = c->buf + c->bufPos;
            c->bufPos += a.recLen;
            c->recIdx++;
            if (c->bufPos + a.recLen <= c->bufLen) {
                check_order(in, taken, c->buf + c->bufPos);
                set_head(in, i);
                return 0;
            }
            if (in->atEnd) {
                *done = true;
                return 0;
            }
            if (next_fixed_load(in) != 0) return 1;
            if (c->bufLen == 0) {
                *done = true;
                return 0;
            }
            if (c->bufLen % a.recLen != 0) return zs_input_read_failed(r, in->inFile->path);
            check_order(in, last_as_entry(in, &ve, &ce), c->buf);
        } else {
            const void* taken = entry(in, c->recIdx);
            if (++c->recIdx < c->recNum) {
                check_order(in, taken, entry(in, c->recIdx));
                set_head(in, i);
                return 0;
            }
            if (next_index_load(in) != 0) return 1;
            if (c->recNum == 0) {
                *done = true;
                return 0;
            }
            check_order(in, last_as_entry(in, &ve, &ce), entry(in, 0));
        }
        set_head(in, i);
        return 0;
    }

    void finished(ZsSize i, ZsSize) {
        if (r.bVerbose)
            ZS_MSG_JP(r, "総ブロック数:%ld  完成ブロック番号：%ld - %s\n", (long)a.inFileNums, (long)i + 1, zs_timestamp(r));
        zs_index_release(r, &inputs[i].idx);
    }

    int keepFailed(int32_t len) { return buffer_failed(r, len); }
};

template <ZsLayout L>
int merge_inputs(ZsSortRun& r, Inputs<L>& src, ZsSize count, ZsMergeOut* out, ZsPrevRecord* prev, PtrList** workOut) {
    // First loads, in command-line order; an empty input takes no part.
    ZsSize open = 0;
    for (ZsSize i = 0; i < count; i++) {
        if (src.first_load(i) != 0) return 1;
        if (src.holds(i)) open++;
    }
    PtrList* work = *workOut = zs_work_new(r, open);
    if (work == nullptr) return buffer_failed(r, sizeof(PtrList));
    for (ZsSize i = 0; i < count; i++)
        if (src.holds(i)) zs_list_append(r.pool, work, &src.inputs[i].c.head, ZS_LIST_POOL);

    // Fixed-length records are seen in the buffer as a block's are.
    const ZsWhere where = L == ZS_FIXED ? ZS_AT_UNIT : ZS_AT_MERGE;
    if (zs_merge_loop<L>(r, src, work, open, where, out, prev) != 0) return 1;
    for (ZsSize i = 0; i < count; i++)
        if (src.inputs[i].reported) return 1;
    return 0;
}

template <ZsLayout L>
int merge_files(ZsSortRun& r, Input* inputs) {
    const ArgsInfo& a = *r.args;
    const ZsSize count = a.inFileNums;
    ZsPrevRecord prev{};
    if (zs_prev_reserve(r, &prev) != 0) return buffer_failed(r, 4096);
    for (ZsSize i = 0; i < count; i++) {
        if (zs_prev_reserve(r, &inputs[i].last) != 0) return buffer_failed(r, 4096);
        ZsCursor* c = &inputs[i].c;
        if (c->buf != nullptr) continue;  // a stream's, taken with its header line
        const ZsSize size = inputs[i].size;
        ZsSize cap = L == ZS_FIXED ? kInputBufSize / a.recLen * a.recLen : kInputBufSize;
        if (L == ZS_FIXED && cap < a.recLen) cap = a.recLen;  // a load holds at least one record
        if (L == ZS_FIXED && cap > size && size > 0) cap = size;
        // Room behind the data for a newline code completing the last record.
        c->buf = static_cast<char*>(zs_malloc(r.pool, cap + a.sepLen));
        if (c->buf == nullptr) return buffer_failed(r, cap);
        c->bufCap = cap;
    }
    ZsMergeOut out;
    if (zs_merge_out_open(r, &out, r.outStream.stream, a.bUnique == 1, L == ZS_FIXED ? a.recLen : 0) != 0) return 1;
    ZS_VMSG_JP(r, "出力バッファサイズは[%ld]KBです。\n", zs_kb(out.uniqueSize));
    zs_put_header(r, &out.w);  // -H: the first input's header goes first
    Inputs<L> src{r, a, inputs, zs_cmp_fn(zs_cmp_of(a, L, ZS_AT_ENTRY, false))};
    PtrList* work = nullptr;
    int rc = out.failed() ? 0 : merge_inputs<L>(r, src, count, &out, &prev, &work);
    int closed = zs_merge_out_close(r, &out);
    if (rc != 0 || closed != 0) return 1;
    long t0 = zs_plat_clock();
    zs_list_destroy(r.pool, work);
    zs_prev_release(r, &prev);
    for (ZsSize i = 0; i < count; i++) zs_prev_release(r, &inputs[i].last);
    ZS_MSG_JP(r, "メモリ解放がかかった[%8.0f]msです。\n", zs_ms(t0, zs_plat_clock()));
    return 0;
}

// A stream's header line (-H): its first bytes are read into the buffer its loads will use (a
// stream cannot be read again), the header is taken from their front and the rest stays for the
// first load.
int stream_header(ZsSortRun& r, Input* in) {
    const ArgsInfo& a = *r.args;
    ZsCursor* c = &in->c;
    c->buf = static_cast<char*>(zs_malloc(r.pool, kInputBufSize + a.sepLen));
    if (c->buf == nullptr) return buffer_failed(r, kInputBufSize);
    c->bufCap = kInputBufSize;
    const ZsSize got = zs_read_stream(r, in->file, c->buf, c->bufCap);
    if (got < 0) return zs_input_read_failed(r, in->inFile->path);
    in->atEnd = got < c->bufCap;
    int32_t lineLen = 0;
    if (zs_header_take(r, c->buf, got, in->atEnd, ZS_TEXT_HEADER_FAILED, &lineLen) != 0) return 1;
    std::memmove(c->buf, c->buf + lineLen, (size_t)(got - lineLen));
    c->bufLen = got - lineLen;
    c->readBytes = got;
    return 0;
}

// Opens every input and, with -H, reads past its header line (the first input's is kept), as the
// other modes do.
int open_inputs(ZsSortRun& r, Input* inputs) {
    const ArgsInfo& a = *r.args;
    for (int32_t i = 0; i < a.inFileNums; i++) {
        const InputFile* f = &a.arrInFile[i];
        Input* in = &inputs[i];
        in->inFile = f;
        in->number = (ZsSize)i + 1;
        in->size = f->bStream ? -1 : f->size;
        in->atEnd = !f->bStream && f->size == 0;
        in->file = zs_open_input(r, f);
        if (in->file == nullptr) return 1;
        if (a.layout == ZS_CSV && a.bHeader && f->bStream) {
            if (stream_header(r, in) != 0) return 1;
        } else if (a.layout == ZS_CSV && a.bHeader) {
            int32_t lineLen = 0;
            if (zs_header_file(r, in->file, f, ZS_TEXT_HEADER_FAILED, &lineLen) != 0) return 1;
            if (zs_plat_seek(in->file, lineLen) != 0) return zs_input_read_failed(r, f->path);
            in->c.readBytes = lineLen;
            if (lineLen == f->size) in->atEnd = true;
        }
    }
    return 0;
}

// zs_merge_files_ranges over the inputs' streams, their records behind the header lines read.
int merge_ranges(ZsSortRun& r, const Input* inputs) {
    const int32_t n = r.args->inFileNums;
    FILE** files = static_cast<FILE**>(zs_malloc(r.pool, n * (ZsSize)sizeof(FILE*)));
    ZsSize* starts = static_cast<ZsSize*>(zs_malloc(r.pool, n * (ZsSize)sizeof(ZsSize)));
    int rc = ZS_MERGE_SERIAL;
    if (files != nullptr && starts != nullptr) {
        for (int32_t i = 0; i < n; i++) {
            files[i] = inputs[i].file;
            starts[i] = inputs[i].c.readBytes;
        }
        rc = zs_merge_files_ranges(r, files, starts);
    }
    zs_free(r.pool, starts);
    zs_free(r.pool, files);
    return rc;
}

}  // namespace

int zs_mergeFiles(ZsSortRun& r) {
    const ArgsInfo& a = *r.args;
    const ZsSize bytes = (ZsSize)a.inFileNums * (ZsSize)sizeof(Input);
    Input* inputs = static_cast<Input*>(zs_malloc(r.pool, bytes));
    if (inputs == nullptr) return buffer_failed(r, bytes);
    for (int32_t i = 0; i < a.inFileNums; i++) inputs[i] = Input{};
    int rc = open_inputs(r, inputs);
    if (rc == 0) rc = zs_open_output(r, ZS_TEXT_OUT_CREATE);
    // On several threads in key ranges where they can be; else, or when a range met what one
    // thread is to report, by one thread.
    if (rc == 0) rc = r.threads > 1 ? merge_ranges(r, inputs) : ZS_MERGE_SERIAL;
    if (rc == ZS_MERGE_SERIAL) rc = zs_with_layout(a.layout, [&](auto tag) { return merge_files<tag.value>(r, inputs); });
    if (rc == 0) rc = zs_close_output(r, false);
    for (int32_t i = 0; i < a.inFileNums; i++)
        if (inputs[i].file != nullptr) fclose(inputs[i].file);
    zs_free(r.pool, inputs);
    return rc;
}
