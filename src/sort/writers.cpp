// Record writers: the sorted index to the output (plain and unique) and to the temporary file
// in the temporary record format.
#include <cstring>

#include "engine/msg.h"
#include "records/compare.h"
#include "sort/sort.h"

namespace {

// The output file keeps this buffer while it is open; it must outlive the stream.
char outBuffer[655360];

using EqualFn = int (*)(const void*, const void*);

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
    ArgsInfo* a = &zs_args;
    out->failed = false;
    if (a->outFile.path == nullptr) {
        clearerr(stdout);  // an error of an earlier run must not fail this one
        out->stream = stdout;
        return 0;
    }
    out->stream = fopen(a->outFile.path, "wb");
    if (out->stream == nullptr) {
        if (unique)
            ZS_MSG("☆ Cannot create output file [%s]!\n", "☆出力ファイル[%s]は作成できません！\n", a->outFile.path);
        else
            ZS_MSG("☆ Cannot create output file [%s]! Please check permissions.\n",
                   "☆出力ファイル[%s]は作成できません！権限不足かをご確認ください。\n", a->outFile.path);
        return 1;
    }
    if (setvbuf(out->stream, outBuffer, _IOFBF, sizeof outBuffer) != 0) {
        fclose(out->stream);
        ZS_MSG("☆ Failed to set output buffer!\n", "☆出力バッファの設定はできません！\n");
        return 1;
    }
    a->outFile.file = out->stream;  // closed by the run reset should the run stop halfway
    return 0;
}

inline void put(Output* out, const void* p, size_t n) {
    if (n != 0 && fwrite(p, 1, n, out->stream) != n) out->failed = true;
}

// Flushes and closes the output; a run that returns 0 has written every record.
int close_output(Output* out) {
    ArgsInfo* a = &zs_args;
    bool failed = out->failed;
    if (out->stream == stdout) {
        if (fflush(stdout) != 0 || ferror(stdout)) failed = true;
        clearerr(stdout);
    } else {
        if (fclose(out->stream) != 0) failed = true;
        a->outFile.file = nullptr;
    }
    return failed ? write_failed_message(a->outFile.path) : 0;
}

// One record of the entry's kind, as the output shows it.
inline void put_record(Output* out, const void* entry) {
    const ArgsInfo& a = zs_args;
    if (a.bFixVar == 1) {
        put(out, entry, (size_t)a.recLen);
    } else if (zs_is_csv(&a)) {
        auto e = static_cast<const CsvEntry*>(entry);
        put(out, e->data, (size_t)e->len);
    } else {
        auto e = static_cast<const VarEntry*>(entry);
        put(out, e->data, (size_t)e->len);
    }
}

// The records of a sorted list lie at random places: ask for the next ones while writing.
inline void prefetch_ahead(void* const* items, int32_t i, int32_t count) {
    const ArgsInfo& a = zs_args;
    if (i + 8 < count) __builtin_prefetch(items[i + 8]);
    if (i + 4 < count && a.bFixVar != 1) {
        const void* e = items[i + 4];
        __builtin_prefetch(zs_is_csv(&a) ? static_cast<const CsvEntry*>(e)->data : static_cast<const VarEntry*>(e)->data);
    }
}

void put_header(Output* out) {
    const ArgsInfo& a = zs_args;
    if (a.bFixVar != 1 && zs_is_csv(&a) && a.bHeader && a.headerLen > 0) put(out, a.header, (size_t)a.headerLen);
}

EqualFn equality_of_kind() {
    const ArgsInfo& a = zs_args;
    return a.bFixVar == 1 ? _cmpIfEqual : zs_is_csv(&a) ? _cmpIfEqual_csv : _cmpIfEqual_variable;
}

// One record in the temporary record format; returns the bytes it takes.
int32_t put_block_record(Output* out, const void* entry) {
    const ArgsInfo& a = zs_args;
    if (a.bFixVar == 1) {
        put(out, entry, (size_t)a.recLen);
        return a.recLen;
    }
    if (zs_is_csv(&a)) {
        auto e = static_cast<const CsvEntry*>(entry);
        put(out, &e->len, sizeof e->len);
        put(out, &e->colNum, sizeof e->colNum);
        put(out, e->cols, (size_t)e->colNum * sizeof(CsvColumn));
        put(out, e->data, (size_t)e->len);
        return 8 + 8 * e->colNum + e->len;
    }
    auto e = static_cast<const VarEntry*>(entry);
    put(out, &e->len, sizeof e->len);
    put(out, e->data, (size_t)e->len);
    return 4 + e->len;
}

int write_block(PtrList* list, FILE* stream, UnitDataInfo* unit, bool unique) {
    Output out{stream, false};
    if (unit != nullptr) unit->size = unit->recNum = 0;
    EqualFn equal = unique ? equality_of_kind() : nullptr;
    int32_t count = list != nullptr ? list->count : 0;
    for (int32_t i = 0; i < count; i++) {
        void* const* items = list->items + list->start;
        if (unique && i > 0 && equal(items[i - 1], items[i]) == 0) continue;
        int32_t bytes = put_block_record(&out, items[i]);
        if (unit != nullptr) {
            unit->size += bytes;
            unit->recNum++;
        }
    }
    return out.failed ? write_failed_message(zs_args.tmpFile.path) : 0;
}

}  // namespace

// A missing list means no records: the output is still created, and the plain writer still
// writes the CSV header line.
int zs_write_output(PtrList* list) {
    Output out;
    if (open_output(&out, false) != 0) return 1;
    put_header(&out);
    int32_t count = list != nullptr ? list->count : 0;
    for (int32_t i = 0; i < count; i++) {
        void* const* items = list->items + list->start;
        prefetch_ahead(items, i, count);
        put_record(&out, items[i]);
    }
    return close_output(&out);
}

int zs_write_output_unique(PtrList* list) {
    Output out;
    if (open_output(&out, true) != 0) return 1;
    int32_t count = list != nullptr ? list->count : 0;
    if (count > 0) {
        void* const* items = list->items + list->start;
        EqualFn equal = equality_of_kind();
        put_header(&out);
        put_record(&out, items[0]);
        for (int32_t i = 1; i < count; i++) {
            prefetch_ahead(items, i, count);
            if (equal(items[i - 1], items[i]) != 0) put_record(&out, items[i]);
        }
    }
    return close_output(&out);
}

int zs_write_block(PtrList* list, FILE* stream, UnitDataInfo* unit) { return write_block(list, stream, unit, false); }

int zs_write_block_unique(PtrList* list, FILE* stream, UnitDataInfo* unit) {
    return write_block(list, stream, unit, true);
}
