// The work list, the record copies and the output shared by the merges.
#include "sort/merge.h"

#include <cstring>

#include "base/msg.h"

namespace {

constexpr ZsSize kOutBufSize = 655360;

}  // namespace

PtrList* zs_work_new(ZsSortRun& r, ZsSize capacity) {
    PtrList* work = static_cast<PtrList*>(zs_malloc(r.pool, sizeof(PtrList)));
    if (work == nullptr) return nullptr;
    *work = PtrList{nullptr, capacity, 0, 0};
    if (capacity > 0) {
        work->items = static_cast<void**>(zs_malloc(r.pool, capacity * (ZsSize)sizeof(void*)));
        if (work->items == nullptr) {
            zs_free(r.pool, work);
            return nullptr;
        }
    }
    return work;
}

int zs_work_sort(ZsSortRun& r, PtrList* work, ZsCmp plain) {
    if (work->count < 2) return 0;
    return zs_list_msort(r.pool, work->items + work->start, 0, work->count - 1, sizeof(void*), plain, zs_cmp_env(r));
}

void zs_work_reinsert(ZsSortRun& r, PtrList* work, ZsCmp cmp) {
    void* env = zs_cmp_env(r);
    void** e = work->items + work->start;
    const ZsSize n = work->count;
    if (n < 2 || cmp(&e[0], &e[1], env) != 1) return;  // the usual case: the source stays in front
    // The rest is in order, so "must come after" holds for a prefix of it: find its end.
    ZsSize lo = 2, hi = n;
    while (lo < hi) {
        ZsSize mid = lo + (hi - lo) / 2;
        if (cmp(&e[0], &e[mid], env) == 1)
            lo = mid + 1;
        else
            hi = mid;
    }
    void* u = e[0];
    std::memmove(&e[0], &e[1], (size_t)(lo - 1) * sizeof *e);
    e[lo - 1] = u;
}

int zs_work_order(ZsSortRun& r, PtrList* work, ZsSize open, bool* sorted, ZsCmp plain, ZsCmp place) {
    if (open < 2) return 0;
    if (*sorted) {
        zs_work_reinsert(r, work, place);
        return 0;
    }
    *sorted = true;
    return zs_work_sort(r, work, plain);
}

int zs_prev_reserve(ZsSortRun& r, ZsPrevRecord* prev) {
    constexpr ZsSize kBytes = 4096;
    constexpr ZsSize kCols = 64;
    prev->data = static_cast<char*>(zs_malloc(r.pool, kBytes));
    prev->cols = static_cast<CsvColumn*>(zs_malloc(r.pool, kCols * (ZsSize)sizeof(CsvColumn)));
    if (prev->data == nullptr || prev->cols == nullptr) return 1;
    prev->dataCap = kBytes;
    prev->colsCap = kCols;
    return 0;
}

int zs_prev_set(ZsSortRun& r, ZsPrevRecord* prev, const char* data, int32_t len, const char* packedCols,
                int32_t colNum) {
    // A copy made on a worker has its room taken ahead: workers take nothing from the pool.
    ZS_ASSERT((len <= prev->dataCap && colNum <= prev->colsCap) || !zs_on_worker());
    if (len > prev->dataCap) {
        void* p = zs_realloc(r.pool, prev->data, len);
        if (p == nullptr) return 1;
        prev->data = static_cast<char*>(p);
        prev->dataCap = len;
    }
    if (colNum > prev->colsCap) {
        void* p = zs_realloc(r.pool, prev->cols, (ZsSize)colNum * (ZsSize)sizeof(CsvColumn));
        if (p == nullptr) return 1;
        prev->cols = static_cast<CsvColumn*>(p);
        prev->colsCap = colNum;
    }
    std::memcpy(prev->data, data, (size_t)len);
    // Column tables in the temporary file are packed between unaligned bytes.
    if (colNum > 0) std::memcpy(prev->cols, packedCols, (size_t)colNum * sizeof(CsvColumn));
    prev->head = ZsHead{prev->data, len, reinterpret_cast<const char*>(prev->cols), colNum, 0};
    return 0;
}

void zs_prev_release(ZsSortRun& r, ZsPrevRecord* prev) {
    zs_free(r.pool, prev->cols);
    zs_free(r.pool, prev->data);
    *prev = ZsPrevRecord{};
}

int zs_merge_out_open(ZsSortRun& r, ZsMergeOut* m, FILE* out, bool unique, int32_t recLen) {
    *m = ZsMergeOut{zs_writer(out, r.outBuf, sizeof r.outBuf), unique, nullptr, 0};
    if (!unique) return 0;
    ZsSize size = kOutBufSize;
    if (recLen > 0) size = recLen > kOutBufSize ? recLen : kOutBufSize / recLen * recLen;  // whole records
    m->uniqueBuf = static_cast<char*>(zs_qmalloc(r.pool, size));
    if (m->uniqueBuf == nullptr) {
        ZS_MSG_JP(r, "☆出力バッファ[%ld]KBメモリの割当は失敗しました！ \n", zs_kb(size));
        return 1;
    }
    m->uniqueSize = size;
    m->w = zs_writer(out, m->uniqueBuf, size);
    return 0;
}

int zs_merge_out_close(ZsSortRun& r, ZsMergeOut* m) {
    zs_writer_flush(&m->w);
    if (m->uniqueBuf != nullptr) qfree(r.pool, m->uniqueBuf);
    m->uniqueBuf = nullptr;
    if (!m->w.failed) return 0;
    return zs_write_failed(r, r.args->outFile.path);
}

int32_t zs_pick_splitters(void* const* order, int64_t n, ZsSize weights, int32_t ranges, ZsCmp plain, void* env,
                          ZsHead* splitters) {
    int32_t found = 0;
    ZsSize before = 0;
    int32_t j = 1;
    for (int64_t i = 0; i < n && j < ranges; i++) {
        const ZsSplitSample* s = static_cast<const ZsSplitSample*>(order[i]);
        if (before >= weights / ranges * j && before > 0) {
            if (found == 0 || zs_cmp_heads(plain, env, splitters[found - 1], s->head) < 0) splitters[found++] = s->head;
            while (j < ranges && before >= weights / ranges * j) j++;
        }
        before += s->weight;
    }
    return found;
}
