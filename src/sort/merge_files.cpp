// Merge of presorted input files (-M): every input is read front to back in loads and takes the
// place a block has in the merge of the temporary file. Newline-ended records are located by an
// index of each load; fixed-length records are taken straight from the buffer.
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

constexpr int32_t kInputBufSize = 1048576;

struct Input {
    UnitDataInfo* u;
    ZsIndex idx;         // the index of the current load (newline-ended records)
    int32_t consumed;    // bytes of the buffer the index covers
    bool atEnd;          // the file has been read to its end
    bool reported;       // its disorder has been reported
    ZsPrevRecord last;   // the last record of the previous load, for the order check
};

int buffer_failed(int64_t size) {
    ZS_MSG("☆ Failed to allocate [%ld]KB memory for merge sort buffer! \n",
           "☆マージソート用バッファ[%ld]KBメモリの割当は失敗しました！ \n", (long)(size / 1024));
    return 1;
}

void not_sorted(Input* in) {
    if (in->reported) return;
    in->reported = true;
    ZS_MSG("☆ Input file [%s] is not sorted by the sort keys!\n", "☆入力ファイル[%s]はソートキーの順に並んでいません！\n",
           in->u->inFile->path);
}

// Copies a record (fixed: its bytes; else its list entry) into a previous-record buffer, with
// its column table for CSV records.
template <ZsLayout L>
int keep_record(ZsPrevRecord* prev, const void* e) {
    const char* cols = nullptr;
    int32_t colNum = 0;
    if constexpr (L == ZS_CSV) {
        cols = reinterpret_cast<const char*>(static_cast<const CsvEntry*>(e)->cols);
        colNum = static_cast<const CsvEntry*>(e)->colNum;
    }
    const int32_t len = ZsEntryOf<L>::len(e);
    if (zs_prev_set(prev, ZsEntryOf<L>::data(e), len, cols, colNum) != 0) return buffer_failed(len);
    return 0;
}

// Reads more of an input behind the bytes kept at the front of its buffer.
int read_input(Input* in) {
    UnitDataInfo* u = in->u;
    int64_t left = (int64_t)u->inFile->size - u->readBytes;
    int64_t want = (int64_t)u->bufCap - u->bufLen;
    if (want > left) want = left;
    bool atEnd;
    if (!zs_read_sized(u->inFile->file, u->buf + u->bufLen, want, &left, &atEnd))
        return zs_input_read_failed(u->inFile->path);
    u->readBytes += want;
    u->bufLen += (int32_t)want;
    in->atEnd = atEnd;
    return 0;
}

// ---- fixed-length records: straight from the buffer ----

// Refills an input whose buffer is used up. 0, or 1 after a message.
int next_fixed_load(Input* in) {
    UnitDataInfo* u = in->u;
    const int32_t recLen = zs_args.recLen;
    // The last record, for the order check of the next load's first.
    if (u->bufLen >= recLen && keep_record<ZS_FIXED>(&in->last, u->buf + u->bufLen - recLen) != 0) return 1;
    u->bufPos = 0;
    u->bufLen = 0;
    return read_input(in);
}

// ---- newline-ended records: an index per load ----

// Indexes the next load of an input: what the last index did not cover moves to the front, more is
// read behind it, and a buffer too small for one record grows. A load of error records only is
// followed by the next. 0 with u->recNum records (0: the input is used up), or 1 after a message.
template <ZsLayout L>
int next_index_load(Input* in) {
    ArgsInfo* a = &zs_args;
    UnitDataInfo* u = in->u;
    for (;;) {
        // The last record of the load, for the order check of the next load's first.
        if (in->idx.list != nullptr && u->recNum > 0 &&
            keep_record<L>(&in->last, in->idx.list->items[in->idx.list->start + u->recNum - 1]) != 0)
            return 1;
        zs_index_release(&in->idx);
        u->recList = nullptr;
        u->recNum = u->recIdx = 0;
        int32_t carry = u->bufLen - in->consumed;
        std::memmove(u->buf, u->buf + in->consumed, (size_t)carry);
        u->bufLen = carry;
        in->consumed = 0;
        if (carry == 0 && in->atEnd) return 0;  // used up
        if (u->bufLen == u->bufCap && !in->atEnd) {
            // Not one whole record fits: the buffer grows (a front block, so it may move).
            int64_t cap = (int64_t)u->bufCap * 2;
            if (cap > INT32_MAX - 16) cap = INT32_MAX - 16;
            void* grown = zs_realloc(u->buf, cap + a->sepLen);
            if (grown == nullptr) return buffer_failed(cap);
            u->buf = static_cast<char*>(grown);
            u->bufCap = (int32_t)cap;
        }
        if (!in->atEnd && read_input(in) != 0) return 1;
        if (in->atEnd) {
            // The last record gets its newline code; the buffer keeps room for it.
            int32_t added = zs_end_with_sep(u->buf, u->bufLen);
            u->bufLen += added;
            u->inFile->size += added;
            a->totalFileSize += added;
        }
        if (zs_index_build(u->buf, u->bufLen, ZsScan{in->atEnd ? 1 : 0, nullptr, 0, 0, 0, 0}, &in->idx) != 0) return 1;
        in->consumed = in->idx.indexedBytes;  // error records count as taken
        u->recList = in->idx.list;
        u->recNum = in->idx.list->count;
        if (u->recNum > 0) return 0;
        // Error records only, or no whole record yet: load again while there is data.
    }
}

template <ZsLayout L>
const char* record_data(const UnitDataInfo* u) {
    if constexpr (L == ZS_FIXED) {
        return u->buf + u->bufPos;
    } else {
        return ZsEntryOf<L>::data(u->recList->items[u->recList->start + u->recIdx]);
    }
}

template <ZsLayout L>
int32_t record_len(const UnitDataInfo* u) {
    if constexpr (L == ZS_FIXED) {
        return zs_args.recLen;
    } else {
        return ZsEntryOf<L>::len(u->recList->items[u->recList->start + u->recIdx]);
    }
}

// Order check of the record an input just gave against the next one it holds: list slots for
// the comparator of the layout (fixed: record addresses; else entries).
template <ZsLayout L>
void check_order(Input* in, ZsCmp cmp, const void* prev, const void* next) {
    if (cmp(&prev, &next) == 1) not_sorted(in);
}

template <ZsLayout L>
const void* last_as_entry(Input* in, VarEntry* ve, CsvEntry* ce) {
    const UnitDataInfo& l = in->last.last;
    if constexpr (L == ZS_FIXED) {
        return l.lastData;
    } else if constexpr (L == ZS_CSV) {
        *ce = CsvEntry{l.lastData, l.lastCols, l.lastLen, l.lastColNum};
        return ce;
    } else {
        *ve = VarEntry{l.lastLen, l.lastData};
        return ve;
    }
}

// Moves an input to its next record. 0 with *done when it is used up; 1 after a message.
template <ZsLayout L>
int advance(Input* in, ZsCmp order, bool* done) {
    UnitDataInfo* u = in->u;
    *done = false;
    VarEntry ve;
    CsvEntry ce;
    if constexpr (L == ZS_FIXED) {
        const char* taken = u->buf + u->bufPos;
        u->bufPos += zs_args.recLen;
        u->recIdx++;
        if (u->bufPos + zs_args.recLen <= u->bufLen) {
            check_order<L>(in, order, taken, u->buf + u->bufPos);
            return 0;
        }
        if (in->atEnd) {
            *done = true;
            return 0;
        }
        if (next_fixed_load(in) != 0) return 1;
        if (u->bufLen == 0) {
            *done = true;
            return 0;
        }
        if (u->bufLen % zs_args.recLen != 0) return zs_input_read_failed(u->inFile->path);
        check_order<L>(in, order, last_as_entry<L>(in, &ve, &ce), u->buf);
        return 0;
    } else {
        const void* taken = u->recList->items[u->recList->start + u->recIdx];
        if (++u->recIdx < u->recNum) {
            check_order<L>(in, order, taken, u->recList->items[u->recList->start + u->recIdx]);
            return 0;
        }
        if (next_index_load<L>(in) != 0) return 1;
        if (u->recNum == 0) {
            *done = true;
            return 0;
        }
        check_order<L>(in, order, last_as_entry<L>(in, &ve, &ce), u->recList->items[u->recList->start]);
        return 0;
    }
}

template <ZsLayout L>
int merge_inputs(Input* inputs, int32_t count, ZsMergeOut* out, ZsPrevRecord* prev, PtrList** workOut) {
    ArgsInfo* a = &zs_args;
    const bool fixed = L == ZS_FIXED;
    // First loads, in command-line order; an empty input takes no part.
    PtrList* blocks = zs_run.blockList;
    int32_t open = 0;
    for (int32_t i = 0; i < count; i++) {
        Input* in = &inputs[i];
        UnitDataInfo* u = in->u;
        if constexpr (L == ZS_FIXED) {
            if (read_input(in) != 0) return 1;
            u->recNum = u->inFile->size / a->recLen;
            if (u->bufLen == 0) continue;
        } else {
            if (next_index_load<L>(in) != 0) return 1;
            if (u->recNum == 0) continue;
        }
        u->unitNo = i;
        if (zs_list_append(blocks, u, ZS_LIST_POOL) != 0) {
            ZS_MSG("☆ Failed to allocate [%ld] bytes for block information management! \n",
                   "☆ブロック情報管理用[%ld]メモリの割当は失敗しました！ \n", (long)sizeof(UnitDataInfo));
            return 1;
        }
        open++;
    }
    PtrList* work = *workOut = zs_work_list(blocks);
    if (work == nullptr) return buffer_failed(sizeof(PtrList));

    const ZsWhere where = fixed ? ZS_AT_UNIT : ZS_AT_MERGE;
    const ZsCmp plain = zs_cmp_fn(zs_cmp_of(L, where, false));
    // With -U the record kept of equal ones must be the first in command-line order.
    const ZsCmp place = zs_cmp_fn(zs_cmp_of(L, where, a->bStabilize == 1 || a->bUnique == 1));
    const ZsCmp equal = zs_cmp_fn(zs_eq_of(L, where));
    const ZsCmp order = zs_cmp_fn(zs_cmp_of(L, ZS_AT_ENTRY, false));
    bool sorted = false, first = true;
    for (uint32_t taken = 1; open > 0; taken++) {
        if (zs_work_order(work, open, &sorted, plain, place) != 0) return 1;
        UnitDataInfo* u = static_cast<UnitDataInfo*>(work->items[work->start]);
        Input* in = &inputs[u->unitNo];
        const char* data = record_data<L>(u);
        const int32_t len = record_len<L>(u);
        bool write = a->bUnique != 1 || first || (fixed ? equal(prev->last.lastData, data) : equal(&prev->last, u)) != 0;
        if (write) {
            zs_merge_out_put(out, data, len);
            if (a->bUnique == 1) {
                const void* e;
                if constexpr (L == ZS_FIXED)
                    e = data;
                else
                    e = u->recList->items[u->recList->start + u->recIdx];
                if (keep_record<L>(prev, e) != 0) return 1;
                first = false;
            }
        }
        bool done;
        if (advance<L>(in, order, &done) != 0) return 1;
        if (done) {
            if (zs_run.bVerbose)
                ZS_MSG_JP("総ブロック数:%ld  完成ブロック番号：%ld - %s\n", (long)a->inFileNums, (long)u->unitNo + 1,
                          zs_timestamp());
            open--;
            zs_list_remove_at(work, 0);
            zs_index_release(&in->idx);
            u->recList = nullptr;
        }
        if ((taken & 0xFFFF) == 0 && zs_interrupted()) return 1;
        if (out->failed()) return 1;
    }
    for (int32_t i = 0; i < count; i++)
        if (inputs[i].reported) return 1;
    return 0;
}

template <ZsLayout L>
int merge_files(Input* inputs) {
    const ArgsInfo* a = &zs_args;
    const int32_t count = a->inFileNums;
    ZsPrevRecord prev{};
    if (zs_prev_reserve(&prev) != 0) return buffer_failed(4096);
    for (int32_t i = 0; i < count; i++) {
        if (zs_prev_reserve(&inputs[i].last) != 0) return buffer_failed(4096);
        UnitDataInfo* u = inputs[i].u;
        int64_t cap = L == ZS_FIXED ? kInputBufSize / a->recLen * a->recLen : kInputBufSize;
        if (L == ZS_FIXED && cap < a->recLen) cap = a->recLen;  // a load holds at least one record
        if (L == ZS_FIXED && cap > u->inFile->size && u->inFile->size > 0) cap = u->inFile->size;
        // Room behind the data for a newline code completing the last record.
        u->buf = static_cast<char*>(zs_malloc(zs_run.pool, cap + a->sepLen));
        if (u->buf == nullptr) return buffer_failed(cap);
        u->bufCap = (int32_t)cap;
    }
    ZsMergeOut out;
    if (zs_merge_out_open(&out, zs_run.outStream.stream, a->bUnique == 1, L == ZS_FIXED ? a->recLen : 0) != 0) return 1;
    ZS_VMSG_JP("出力バッファサイズは[%ld]KBです。\n", zs_kb(a->outFile.outBufSize));
    zs_put_header(&out.w);  // -H: the first input's header goes first
    PtrList* work = nullptr;
    int rc = out.failed() ? 0 : merge_inputs<L>(inputs, count, &out, &prev, &work);
    int closed = zs_merge_out_close(&out);
    if (rc != 0 || closed != 0) return 1;
    long t0 = zs_plat_clock();
    zs_list_destroy(work);
    zs_prev_release(&prev);
    for (int32_t i = 0; i < count; i++) zs_prev_release(&inputs[i].last);
    ZS_MSG_JP("メモリ解放がかかった[%8.0f]msです。\n", zs_ms(t0, zs_plat_clock()));
    return 0;
}

// Opens every input and, with -H, reads past its header line (the first input's is kept), as the
// other modes do.
int open_inputs(Input* inputs) {
    ArgsInfo* a = &zs_args;
    for (int32_t i = 0; i < a->inFileNums; i++) {
        InputFile* f = &a->arrInFile[i];
        UnitDataInfo* u = zs_new_unit();
        if (u == nullptr) return 1;
        u->inFile = f;
        f->unitDataInfo = u;
        f->outSize = 0;
        inputs[i] = Input{u, ZsIndex{}, 0, f->size == 0, false, ZsPrevRecord{}};
        f->file = zs_open_input(f);
        if (f->file == nullptr) return 1;
        if (a->layout == ZS_CSV && a->bHeader) {
            ZsHeaderChunk h;
            if (zs_read_header(f->file, f, i == 0, false, &h) != 0) return 1;
            qfree(h.chunk);
            if (zs_plat_seek(f->file, h.lineLen) != 0) return zs_input_read_failed(f->path);
            u->readBytes = h.lineLen;
            if (u->readBytes == f->size) inputs[i].atEnd = true;
        }
    }
    return 0;
}

}  // namespace

int zs_mergeFiles() {
    ArgsInfo* a = &zs_args;
    Input* inputs = static_cast<Input*>(zs_malloc(zs_run.pool, (int64_t)a->inFileNums * (int64_t)sizeof(Input)));
    if (inputs == nullptr) return buffer_failed((int64_t)a->inFileNums * (int64_t)sizeof(Input));
    int rc = open_inputs(inputs);
    if (rc == 0) rc = zs_open_output(false);
    if (rc == 0)
        rc = zs_with_layout(a->layout, [&](auto tag) { return merge_files<tag.value>(inputs); });
    if (rc == 0) rc = zs_close_output(false);
    for (int32_t i = 0; i < a->inFileNums; i++) {
        if (a->arrInFile[i].file != nullptr) fclose(a->arrInFile[i].file);
        a->arrInFile[i].file = nullptr;
    }
    return rc;
}
