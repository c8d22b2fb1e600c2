// Record writers: a sorted index to the output (plain and unique) and to the temporary file in the
// temporary record format. The index is a list of entries or the items of a sort; a source gives
// the writers one view of both.
#include <cstring>

#include "base/msg.h"
#include "records/compare.h"
#include "sort/merge.h"
#include "sort/sort.h"
#include "sort/writer.h"

namespace {

// An interrupt is looked for once per this many records.
constexpr int32_t kInterruptStride = 1 << 16;

// The records of a list of entries (fixed-length: record addresses; else VarEntry / CsvEntry).
template <ZsLayout L>
struct ListSource {
    const PtrList* list;
    int32_t count() const { return list != nullptr ? list->count : 0; }
    const void* entry(int32_t i) const { return list->items[list->start + i]; }
    const char* data(int32_t i) const { return ZsEntryOf<L>::data(entry(i)); }
    int32_t len(int32_t i) const { return ZsEntryOf<L>::len(entry(i)); }
    const CsvEntry* csv(int32_t i) const { return static_cast<const CsvEntry*>(entry(i)); }
    // The equality test of the unique filter on records i - 1 and i: 0 when their keys are equal.
    int differs(ZsCmp equal, int32_t i) const { return equal(entry(i - 1), entry(i)); }
};

// The records of sort items.
template <ZsLayout L>
struct ItemSource {
    const ZsIndex* idx;
    int32_t count() const { return idx != nullptr ? idx->count : 0; }
    const char* data(int32_t i) const {
        if constexpr (L == ZS_CSV) return csv(i)->data;
        if constexpr (L == ZS_FIXED) return idx->base + idx->fixedItems[i].at;
        return idx->base + idx->items[i].at;
    }
    int32_t len(int32_t i) const {
        if constexpr (L == ZS_FIXED) return zs_args.recLen;
        return idx->items[i].len;
    }
    const CsvEntry* csv(int32_t i) const { return zs_item_entry(*idx, idx->items[i]); }
    int differs(ZsCmp equal, int32_t i) const {
        if constexpr (L == ZS_VARIABLE) {
            VarEntry a{len(i - 1), data(i - 1)}, b{len(i), data(i)};
            return equal(&a, &b);
        } else if constexpr (L == ZS_CSV) {
            return equal(csv(i - 1), csv(i));
        } else {
            return equal(data(i - 1), data(i));
        }
    }
};

// Writes the records in order, skipping (with unique) every record whose keys equal those of the
// record before it.
template <ZsLayout L, class Source>
void put_records(ZsWriter* w, const Source& s, bool unique) {
    const int32_t count = s.count();
    ZsCmp equal = unique ? zs_cmp_fn(zs_eq_of(L, ZS_AT_ENTRY)) : nullptr;
    for (int32_t i = 0; i < count; i++) {
        // Sorted records lie at random places: ask for the next ones while writing these.
        if (i + 6 < count) __builtin_prefetch(s.data(i + 6));
        if (i % kInterruptStride == 0 && zs_interrupted()) return;
        if (unique && i > 0 && s.differs(equal, i) == 0) continue;
        zs_put(w, s.data(i), s.len(i));
    }
}

template <class Source>
int write_output(const Source& source, bool unique) {
    if (zs_open_output(!unique) != 0) return 1;
    ZsWriter w = zs_writer(zs_run.outStream.stream, zs_run.outBuf, sizeof zs_run.outBuf);
    zs_put_header(&w);
    zs_with_layout(zs_args.layout, [&](auto tag) {
        using S = typename Source::template As<tag.value>;
        put_records<tag.value>(&w, S{source.index}, unique);
    });
    zs_writer_flush(&w);
    return zs_close_output(w.failed);
}

// One record in the temporary record format; returns the bytes it takes.
template <ZsLayout L, class Source>
int32_t put_block_record(ZsWriter* w, const Source& s, int32_t i) {
    if constexpr (L == ZS_FIXED) {
        zs_put(w, s.data(i), zs_args.recLen);
        return zs_args.recLen;
    } else if constexpr (L == ZS_CSV) {
        const CsvEntry* e = s.csv(i);
        zs_put(w, &e->len, sizeof e->len);
        zs_put(w, &e->colNum, sizeof e->colNum);
        zs_put(w, e->cols, (int64_t)e->colNum * (int64_t)sizeof(CsvColumn));
        zs_put(w, e->data, e->len);
        return 8 + 8 * e->colNum + e->len;
    } else {
        int32_t len = s.len(i);
        zs_put(w, &len, sizeof len);
        zs_put(w, s.data(i), len);
        return 4 + len;
    }
}

template <ZsLayout L, class Source>
void put_block(ZsWriter* w, const Source& s, UnitDataInfo* unit, bool unique) {
    const int32_t count = s.count();
    ZsCmp equal = unique ? zs_cmp_fn(zs_eq_of(L, ZS_AT_ENTRY)) : nullptr;
    for (int32_t i = 0; i < count; i++) {
        if (i + 6 < count) __builtin_prefetch(s.data(i + 6));
        if (unique && i > 0 && s.differs(equal, i) == 0) continue;
        int32_t bytes = put_block_record<L>(w, s, i);
        // The merge sizes its block buffers from the longest record it will read back.
        if (bytes > zs_run.maxTmpRecLen) zs_run.maxTmpRecLen = bytes;
        if (unit != nullptr) {
            unit->size += bytes;
            unit->recNum++;
        }
    }
}

template <class Source>
int write_block(const Source& source, FILE* stream, UnitDataInfo* unit, bool unique) {
    if (unit != nullptr) unit->size = unit->recNum = 0;
    ZsWriter w = zs_writer(stream, zs_run.tmpBuf, sizeof zs_run.tmpBuf);
    zs_with_layout(zs_args.layout, [&](auto tag) {
        using S = typename Source::template As<tag.value>;
        put_block<tag.value>(&w, S{source.index}, unit, unique);
    });
    zs_writer_flush(&w);
    if (!w.failed) return 0;
    ZS_MSG("☆ Error occurred while writing to output file during split sort!\n",
           "☆分割ソートでは、出力ファイルの書き込み中にエラーが発生しました！\n");
    return 1;
}

// Which source a writer reads, before the layout is known.
struct Lists {
    const PtrList* index;
    template <ZsLayout L>
    using As = ListSource<L>;
};
struct Items {
    const ZsIndex* index;
    template <ZsLayout L>
    using As = ItemSource<L>;
};

}  // namespace

void zs_put_header(ZsWriter* w) {
    const ArgsInfo& a = zs_args;
    if (a.layout == ZS_CSV && a.bHeader && a.headerLen > 0) zs_put(w, a.header, a.headerLen);
}

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
    // The writers buffer whole chunks themselves: the stream passes them straight on.
    if (setvbuf(zs_run.outStream.stream, nullptr, _IONBF, 0) != 0) {
        ZS_MSG("☆ Failed to set output buffer!\n", "☆出力バッファの設定はできません！\n");
        return 1;  // the run's reset removes the new file
    }
    return 0;
}

int zs_close_output(bool failed) {
    if (zs_plat_out_close(&zs_run.outStream) != 0) failed = true;
    if (zs_run.bInterrupted) return 1;  // reported already; the output is incomplete
    return failed ? zs_write_failed(zs_args.outFile.path) : 0;
}

int zs_write_output(const ZsIndex* idx) { return write_output(Items{idx}, false); }

int zs_write_output_unique(const ZsIndex* idx) { return write_output(Items{idx}, true); }

int zs_write_block(const ZsIndex* idx, FILE* stream, UnitDataInfo* unit) {
    return write_block(Items{idx}, stream, unit, false);
}

int zs_write_block_unique(const ZsIndex* idx, FILE* stream, UnitDataInfo* unit) {
    return write_block(Items{idx}, stream, unit, true);
}

int zs_write_block(const PtrList* list, FILE* stream, UnitDataInfo* unit) {
    return write_block(Lists{list}, stream, unit, false);
}

int zs_write_block_unique(const PtrList* list, FILE* stream, UnitDataInfo* unit) {
    return write_block(Lists{list}, stream, unit, true);
}
