// The work list, the previous output record and the output shared by the merges.
#include "sort/merge.h"

#include <cstring>

#include "base/msg.h"

namespace {

constexpr int32_t kOutBufSize = 655360;

}  // namespace

PtrList* zs_work_list(const PtrList* from) {
    PtrList* work = static_cast<PtrList*>(zs_malloc(zs_run.pool, sizeof(PtrList)));
    if (work == nullptr) return nullptr;
    *work = PtrList{nullptr, from->capacity, from->start, from->count};
    if (from->capacity > 0) {
        work->items = static_cast<void**>(zs_malloc(zs_run.pool, (int64_t)from->capacity * (int64_t)sizeof(void*)));
        if (work->items == nullptr) {
            zs_free(zs_run.pool, work);
            return nullptr;
        }
        std::memcpy(work->items, from->items, (size_t)from->capacity * sizeof(void*));
    }
    return work;
}

int zs_work_sort(PtrList* work, ZsCmp plain) {
    if (work->count < 2) return 0;
    return zs_list_msort(work->items + work->start, 0, work->count - 1, sizeof(void*), plain);
}

void zs_work_reinsert(PtrList* work, ZsCmp cmp) {
    void** e = work->items + work->start;
    const int32_t n = work->count;
    if (n < 2 || cmp(&e[0], &e[1]) != 1) return;  // the usual case: the source stays in front
    // The rest is in order, so "must come after" holds for a prefix of it: find its end.
    int32_t lo = 2, hi = n;
    while (lo < hi) {
        int32_t mid = lo + (hi - lo) / 2;
        if (cmp(&e[0], &e[mid]) == 1)
            lo = mid + 1;
        else
            hi = mid;
    }
    void* u = e[0];
    std::memmove(&e[0], &e[1], (size_t)(lo - 1) * sizeof *e);
    e[lo - 1] = u;
}

int zs_work_order(PtrList* work, int32_t open, bool* sorted, ZsCmp plain, ZsCmp place) {
    if (open < 2) return 0;
    if (*sorted) {
        zs_work_reinsert(work, place);
        return 0;
    }
    *sorted = true;
    return zs_work_sort(work, plain);
}

int zs_prev_reserve(ZsPrevRecord* prev) {
    constexpr int64_t kBytes = 4096;
    constexpr int32_t kCols = 64;
    prev->last.lastData = static_cast<char*>(zs_malloc(zs_run.pool, kBytes));
    prev->last.lastCols = static_cast<CsvColumn*>(zs_malloc(zs_run.pool, kCols * (int64_t)sizeof(CsvColumn)));
    if (prev->last.lastData == nullptr || prev->last.lastCols == nullptr) return 1;
    prev->dataCap = kBytes;
    prev->colsCap = kCols;
    return 0;
}

int zs_prev_set(ZsPrevRecord* prev, const char* data, int32_t len, const char* packedCols, int32_t colNum) {
    UnitDataInfo& l = prev->last;
    if (len > prev->dataCap) {
        void* p = zs_realloc(l.lastData, len);
        if (p == nullptr) return 1;
        l.lastData = static_cast<char*>(p);
        prev->dataCap = len;
    }
    if (colNum > prev->colsCap) {
        void* p = zs_realloc(l.lastCols, (int64_t)colNum * (int64_t)sizeof(CsvColumn));
        if (p == nullptr) return 1;
        l.lastCols = static_cast<CsvColumn*>(p);
        prev->colsCap = colNum;
    }
    std::memcpy(l.lastData, data, (size_t)len);
    // Column tables in the temporary file are packed between unaligned bytes.
    if (colNum > 0) std::memcpy(l.lastCols, packedCols, (size_t)colNum * sizeof(CsvColumn));
    l.lastLen = len;
    l.lastColNum = colNum;
    return 0;
}

void zs_prev_release(ZsPrevRecord* prev) {
    zs_free(zs_run.pool, prev->last.lastCols);
    zs_free(zs_run.pool, prev->last.lastData);
    *prev = ZsPrevRecord{};
}

int zs_merge_out_open(ZsMergeOut* m, FILE* out, bool unique, int32_t recLen) {
    InputFile* o = &zs_args.outFile;
    o->outBufSize = 0;
    o->outBufOffset = 0;
    m->unique = unique;
    m->w = zs_writer(out, zs_run.outBuf, sizeof zs_run.outBuf);
    if (!unique) return 0;
    int32_t size = kOutBufSize;
    if (recLen > 0) size = recLen > kOutBufSize ? recLen : kOutBufSize / recLen * recLen;  // whole records
    o->outBuf = static_cast<char*>(zs_qmalloc(size));
    if (o->outBuf == nullptr) {
        ZS_MSG_JP("☆出力バッファ[%ld]KBメモリの割当は失敗しました！ \n", zs_kb(size));
        return 1;
    }
    o->outBufSize = size;
    m->w = zs_writer(out, o->outBuf, size);
    return 0;
}

void zs_merge_out_put(ZsMergeOut* m, const char* data, int32_t len) { zs_put(&m->w, data, len); }

int zs_merge_out_close(ZsMergeOut* m) {
    InputFile* o = &zs_args.outFile;
    zs_writer_flush(&m->w);
    if (o->outBuf != nullptr) qfree(o->outBuf);
    o->outBuf = nullptr;
    o->outBufOffset = 0;
    if (!m->w.failed) return 0;
    return zs_write_failed(o->path);
}

void zs_unit_free(UnitDataInfo* unit) {
    if (unit == nullptr) return;
    zs_free(zs_run.pool, unit->buf);
    zs_free(zs_run.pool, unit->lastCols);
    zs_free(zs_run.pool, unit);
}
