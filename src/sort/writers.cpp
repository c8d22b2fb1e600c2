// Record writers: the sorted index to the output (plain and unique) and to the temporary file
// in the temporary record format.
#include <cstring>

#include "base/msg.h"
#include "records/compare.h"
#include "sort/sort.h"

namespace {

// An interrupt is looked for once per this many records.
constexpr int32_t kInterruptStride = 1 << 16;

struct Output {
    FILE* stream;
    bool failed;  // a write did not complete
};

int write_failed_message(const char* path) {
    ZS_MSG("☆ Error occurred while writing output file [%s]!\n", "☆出力ファイル[%s]の書き込み中にエラーが発生しました！\n",
           path != nullptr ? path : "stdout");
    return 1;
}

int open_output(Output* out, bool unique) {
    out->failed = false;
    if (zs_open_output(!unique) != 0) return 1;
    out->stream = zs_run.outStream.stream;
    return 0;
}

inline void put(Output* out, const void* p, size_t n) {
    if (n != 0 && fwrite(p, 1, n, out->stream) != n) out->failed = true;
}

int close_output(Output* out) { return zs_close_output(out->failed); }

void put_header(Output* out) {
    const ArgsInfo& a = zs_args;
    if (a.layout == ZS_CSV && a.bHeader && a.headerLen > 0) put(out, a.header, (size_t)a.headerLen);
}

// Writes the live entries of a sorted list, skipping (with unique) every record whose keys equal
// those of the record before it.
template <ZsLayout L>
void put_records(Output* out, const PtrList* list, bool unique) {
    using E = ZsEntryOf<L>;
    int32_t count = list != nullptr ? list->count : 0;
    if (count == 0) return;
    void* const* items = list->items + list->start;
    ZsCmp equal = unique ? zs_cmp_fn(zs_eq_of(L, ZS_AT_ENTRY)) : nullptr;
    for (int32_t i = 0; i < count; i++) {
        // The records of a sorted list lie at random places: ask for the next ones while writing.
        if (i + 8 < count) __builtin_prefetch(items[i + 8]);
        if constexpr (L != ZS_FIXED) {
            if (i + 4 < count) __builtin_prefetch(E::data(items[i + 4]));
        }
        if (i % kInterruptStride == 0 && zs_interrupted()) return;
        if (unique && i > 0 && equal(items[i - 1], items[i]) == 0) continue;
        put(out, E::data(items[i]), (size_t)E::len(items[i]));
    }
}

int write_output(PtrList* list, bool unique) {
    Output out;
    if (open_output(&out, unique) != 0) return 1;
    put_header(&out);
    zs_with_layout(zs_args.layout, [&](auto tag) { put_records<tag.value>(&out, list, unique); });
    return close_output(&out);
}

// One record in the temporary record format; returns the bytes it takes.
template <ZsLayout L>
int32_t put_block_record(Output* out, const void* entry) {
    if constexpr (L == ZS_FIXED) {
        put(out, entry, (size_t)zs_args.recLen);
        return zs_args.recLen;
    } else if constexpr (L == ZS_CSV) {
        auto e = static_cast<const CsvEntry*>(entry);
        put(out, &e->len, sizeof e->len);
        put(out, &e->colNum, sizeof e->colNum);
        put(out, e->cols, (size_t)e->colNum * sizeof(CsvColumn));
        put(out, e->data, (size_t)e->len);
        return 8 + 8 * e->colNum + e->len;
    } else {
        auto e = static_cast<const VarEntry*>(entry);
        put(out, &e->len, sizeof e->len);
        put(out, e->data, (size_t)e->len);
        return 4 + e->len;
    }
}

template <ZsLayout L>
void put_block(Output* out, const PtrList* list, UnitDataInfo* unit, bool unique) {
    int32_t count = list != nullptr ? list->count : 0;
    ZsCmp equal = unique ? zs_cmp_fn(zs_eq_of(L, ZS_AT_ENTRY)) : nullptr;
    void* const* items = count > 0 ? list->items + list->start : nullptr;
    for (int32_t i = 0; i < count; i++) {
        // Sorted records lie at random places: ask for the next ones while writing these.
        if (i + 8 < count) __builtin_prefetch(items[i + 8]);
        if constexpr (L != ZS_FIXED) {
            if (i + 4 < count) __builtin_prefetch(ZsEntryOf<L>::data(items[i + 4]));
        }
        if (unique && i > 0 && equal(items[i - 1], items[i]) == 0) continue;
        int32_t bytes = put_block_record<L>(out, items[i]);
        // The merge sizes its block buffers from the longest record it will read back.
        if (bytes > zs_run.maxTmpRecLen) zs_run.maxTmpRecLen = bytes;
        if (unit != nullptr) {
            unit->size += bytes;
            unit->recNum++;
        }
    }
}

int write_block(PtrList* list, FILE* stream, UnitDataInfo* unit, bool unique) {
    Output out{stream, false};
    if (unit != nullptr) unit->size = unit->recNum = 0;
    zs_with_layout(zs_args.layout, [&](auto tag) { put_block<tag.value>(&out, list, unit, unique); });
    if (!out.failed) return 0;
    ZS_MSG("☆ Error occurred while writing to output file during split sort!\n",
           "☆分割ソートでは、出力ファイルの書き込み中にエラーが発生しました！\n");
    return 1;
}

}  // namespace

int zs_open_output(bool plainWriter) {
    ArgsInfo* a = &zs_args;
    if (a->outFile.path == nullptr) {
        clearerr(stdout);  // an error of an earlier run must not fail this one
        zs_run.outStream = ZsOutFile{stdout, nullptr, nullptr, 0, -1, -1};
        return 0;
    }
    if (zs_plat_out_open(a->outFile.path, &zs_run.outStream) != 0) {
        if (plainWriter)
            ZS_MSG("☆ Cannot create output file [%s]! Please check permissions.\n",
                   "☆出力ファイル[%s]は作成できません！権限不足かをご確認ください。\n", a->outFile.path);
        else
            ZS_MSG("☆ Cannot create output file [%s]!\n", "☆出力ファイル[%s]は作成できません！\n", a->outFile.path);
        return 1;
    }
    if (setvbuf(zs_run.outStream.stream, zs_run.outBuf, _IOFBF, sizeof zs_run.outBuf) != 0) {
        ZS_MSG("☆ Failed to set output buffer!\n", "☆出力バッファの設定はできません！\n");
        return 1;  // the run's reset removes the new file
    }
    return 0;
}

int zs_close_output(bool failed) {
    if (zs_plat_out_close(&zs_run.outStream) != 0) failed = true;
    if (zs_run.bInterrupted) return 1;  // reported already; the output is incomplete
    return failed ? write_failed_message(zs_args.outFile.path) : 0;
}

int zs_write_output(PtrList* list) { return write_output(list, false); }

int zs_write_output_unique(PtrList* list) { return write_output(list, true); }

int zs_write_block(PtrList* list, FILE* stream, UnitDataInfo* unit) { return write_block(list, stream, unit, false); }

int zs_write_block_unique(PtrList* list, FILE* stream, UnitDataInfo* unit) {
    return write_block(list, stream, unit, true);
}
