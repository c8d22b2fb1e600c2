// Fuzz target: the three index builders, the list sort, the sort of items by normalized keys and
// the comparator family. The first bytes choose the settings (layout, newline code or record
// length, delimiter, keys, -N, whole record, stable, where files end, a record limit); the rest is
// the data. The index must describe the data, the sorts must order it alike, and every view of a
// record (list entry, head of a temporary-file block or of a presorted input, previous record)
// must compare and match it alike.
#include <algorithm>
#include <memory>

#include "fuzz_support.h"
#include "memory/pool.h"
#include "records/compare.h"
#include "memory/msort.h"
#include "records/records.h"
#include "sort/item_sort.h"
#include "sort/run.h"
#include "sort/sort.h"

namespace {

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t next() {
        if (n == 0) return 0;
        n--;
        return *p++;
    }
};

struct Setup {
    ArgsInfo args;
    SortKey keys[3];
    bool stable;
    ZsSize ends[2];
    ZsScan scan;
};

// Settings as the argument check leaves them for such a command line.
void choose(Reader* r, Setup* s) {
    ArgsInfo& a = s->args;
    a = ArgsInfo{};
    const uint8_t mode = r->next(), shape = r->next(), keyByte = r->next(), limits = r->next();
    a.layout = (ZsLayout)(ZS_FIXED + mode % 3);
    s->stable = (mode & 4) != 0;
    a.bNullLastOut = (mode >> 3) & 1;
    if (a.layout == ZS_FIXED) {
        a.bFixVar = 1;
        a.recLen = 1 + shape % 16;
    } else {
        static const char* const seps[] = {"\n", "\r", "\r\n"};
        a.bFixVar = 2;
        a.sep = seps[shape % 3];
        a.sepLen = (int32_t)std::strlen(a.sep);
        if (a.layout == ZS_CSV) {
            static const char* const delimiters[] = {",", ";", "\t", "::", ",,"};
            a.bCsv = 1;
            a.delimiter = delimiters[(shape / 3) % 5];
            a.delimLen = (int32_t)std::strlen(a.delimiter);
        }
    }
    a.quote = '"';
    int nkeys = keyByte % 4;
    if ((mode >> 4) & 1) nkeys = 0;  // -A / -R drop the keys
    for (int i = 0; i < nkeys; i++) {
        uint8_t x = r->next(), y = r->next();
        SortKey& k = s->keys[i];
        k = SortKey{nullptr, 0, 0, ZS_KEY_BYTES + y % 3, (y >> 2) & 1 ? ZS_DESC : ZS_ASC};
        if (a.layout == ZS_FIXED) {
            k.pos = x % a.recLen;
            k.len = 1 + (y >> 3) % (a.recLen - k.pos);
        } else if (a.layout == ZS_VARIABLE) {
            k.pos = x % 16;
            k.len = (y >> 3) % 9;
        } else {
            k.pos = 1 + x % 6;
        }
        if (k.len > 0 && k.pos + k.len > a.keyMaxPos) a.keyMaxPos = k.pos + k.len;
    }
    a.arrSortKey = nkeys > 0 ? s->keys : nullptr;
    a.keyNums = nkeys;
    a.bRecSort = nkeys > 0 ? 0 : ((mode >> 5) & 1) + 1;
    s->scan = ZsScan{};
    s->scan.bLast = !((mode >> 6) & 1);
    s->scan.maxRecords = (limits & 8) ? (int64_t)(limits >> 4) + 1 : 0;
    s->ends[0] = limits & 7;  // completed by the caller once the data length is known
}

// Columns of a CSV record found by the quote-aware token search: the column table a whole-record
// index must hold, and the columns keys pick from.
std::vector<CsvColumn> columns_of(const ArgsInfo& a, const CsvEntry* e) {
    int32_t end = e->len;
    if (end >= a.sepLen && std::memcmp(e->data + end - a.sepLen, a.sep, (size_t)a.sepLen) == 0) end -= a.sepLen;
    std::vector<CsvColumn> cols;
    int32_t at = 0;
    for (;;) {
        const char* d = zs_find_token(e->data + at, end - at, a.delimiter, a.quote);
        int32_t stop = d != nullptr ? (int32_t)(d - e->data) : end;
        cols.push_back(CsvColumn{at, stop - at});
        if (d == nullptr) return cols;
        at = stop + a.delimLen;
    }
}

// The index describes the data: records in order, inside what was indexed, each ended by the
// first newline code in it (or by the end of its file), with the right columns.
void check_index(const ZsIndex& idx, const char* buf, ZsSize length, const Setup& s) {
    const ArgsInfo& a = s.args;
    const PtrList* l = idx.list;
    ZS_FUZZ_CHECK(l != nullptr && l->start >= 0 && l->count >= 0 && (int64_t)l->start + l->count <= l->capacity);
    ZS_FUZZ_CHECK(idx.indexedBytes >= 0 && idx.indexedBytes <= length);
    if (s.scan.maxRecords > 0) ZS_FUZZ_CHECK(l->count <= s.scan.maxRecords);
    void* const* items = l->items + l->start;
    if (a.layout == ZS_FIXED) {
        int64_t n = length / a.recLen;
        if (s.scan.maxRecords > 0) n = std::min(n, s.scan.maxRecords);
        ZS_FUZZ_CHECK(l->count == n && idx.indexedBytes == n * a.recLen);
        for (ZsSize i = 0; i < l->count; i++) ZS_FUZZ_CHECK(items[i] == buf + i * a.recLen);
        return;
    }
    // Without keys there are no error records: the records tile what was indexed.
    const bool tiled = a.layout == ZS_VARIABLE ? a.keyMaxPos == 0 : a.keyNums == 0;
    const char* prevEnd = buf;
    for (ZsSize i = 0; i < l->count; i++) {
        const char* data = a.layout == ZS_CSV ? static_cast<const CsvEntry*>(items[i])->data
                                              : static_cast<const VarEntry*>(items[i])->data;
        int32_t len = a.layout == ZS_CSV ? static_cast<const CsvEntry*>(items[i])->len
                                         : static_cast<const VarEntry*>(items[i])->len;
        ZS_FUZZ_CHECK(data >= prevEnd && len > 0 && data + len <= buf + idx.indexedBytes);
        if (tiled) ZS_FUZZ_CHECK(data == prevEnd);
        prevEnd = data + len;
        if (a.layout == ZS_VARIABLE) {
            ZS_FUZZ_CHECK(len >= a.keyMaxPos);
            const char* hit = std::search(data, data + len, a.sep, a.sep + a.sepLen);
            ZS_FUZZ_CHECK(hit == data + len || hit == data + len - a.sepLen);
            continue;
        }
        const CsvEntry* e = static_cast<const CsvEntry*>(items[i]);
        const char* hit = zs_find_token(data, len, a.sep, a.quote);
        ZS_FUZZ_CHECK(hit == nullptr || hit == data + len - a.sepLen);
        std::vector<CsvColumn> cols = columns_of(a, e);
        if (a.keyNums == 0) {
            ZS_FUZZ_CHECK(e->colNum == (int32_t)cols.size());
            for (int32_t c = 0; c < e->colNum; c++)
                ZS_FUZZ_CHECK(e->cols[c].off == cols[c].off && e->cols[c].len == cols[c].len);
        } else {
            ZS_FUZZ_CHECK(e->colNum == a.keyNums);
            for (int32_t k = 0; k < a.keyNums; k++) {
                int32_t c = a.arrSortKey[k].pos - 1;
                ZS_FUZZ_CHECK(c < (int32_t)cols.size());
                ZS_FUZZ_CHECK(e->cols[k].off == cols[c].off && e->cols[k].len == cols[c].len);
            }
        }
    }
    if (tiled) ZS_FUZZ_CHECK(prevEnd == buf + idx.indexedBytes);
}

int32_t read_i32(const char* p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The bytes of a temporary-file block of an index (its items, or its list); *recNum gets the
// number of records the writer says it wrote.
template <class Index>
std::string block_of(ZsSortRun& r, const Index* idx, bool unique, ZsSize* recNum = nullptr) {
    char* mem = nullptr;
    size_t memLen = 0;
    FILE* stream = open_memstream(&mem, &memLen);
    ZS_FUZZ_CHECK(stream != nullptr);
    ZsBlock unit{};
    ZS_FUZZ_CHECK((unique ? zs_write_block_unique(r, idx, stream, &unit) : zs_write_block(r, idx, stream, &unit)) == 0);
    fclose(stream);
    std::string b(mem, memLen);
    free(mem);
    ZS_FUZZ_CHECK(unit.size == (int64_t)b.size());
    if (recNum != nullptr) *recNum = unit.recNum;
    return b;
}

// Writes the list as a temporary-file block; checks the block record by record against the
// entries and returns the head of each record read back from it (numbered in order), as the merge
// of the temporary file keeps it.
std::vector<ZsHead> write_and_parse(ZsSortRun& r, PtrList* list, std::string* block) {
    const ArgsInfo& a = *r.args;
    ZsSize written = 0;
    *block = block_of(r, list, false, &written);
    ZS_FUZZ_CHECK(written == list->count);

    std::vector<ZsHead> heads;
    const char* b = block->data();
    size_t p = 0;
    for (ZsSize i = 0; i < list->count; i++) {
        const void* e = list->items[list->start + i];
        ZsHead h{};
        h.unitNo = i;
        if (a.layout == ZS_FIXED) {
            ZS_FUZZ_CHECK(p + a.recLen <= block->size() && std::memcmp(b + p, e, (size_t)a.recLen) == 0);
            h.data = b + p;
            h.len = a.recLen;
            p += (size_t)a.recLen;
        } else if (a.layout == ZS_VARIABLE) {
            auto v = static_cast<const VarEntry*>(e);
            ZS_FUZZ_CHECK(p + 4 + v->len <= block->size() && read_i32(b + p) == v->len);
            ZS_FUZZ_CHECK(std::memcmp(b + p + 4, v->data, (size_t)v->len) == 0);
            h.data = b + p + 4;
            h.len = v->len;
            p += 4 + (size_t)v->len;
        } else {
            auto c = static_cast<const CsvEntry*>(e);
            size_t table = 8 * (size_t)c->colNum;
            ZS_FUZZ_CHECK(p + 8 + table + c->len <= block->size());
            ZS_FUZZ_CHECK(read_i32(b + p) == c->len && read_i32(b + p + 4) == c->colNum);
            ZS_FUZZ_CHECK(table == 0 || std::memcmp(b + p + 8, c->cols, table) == 0);
            ZS_FUZZ_CHECK(std::memcmp(b + p + 8 + table, c->data, (size_t)c->len) == 0);
            h.cols = b + p + 8;
            h.colNum = c->colNum;
            h.data = b + p + 8 + table;
            h.len = c->len;
            p += 8 + table + (size_t)c->len;
        }
        heads.push_back(h);
    }
    ZS_FUZZ_CHECK(p == block->size());
    return heads;
}

// The head of a list entry, numbered i: a presorted input's current record, or the previous
// output record of the unique filter.
ZsHead entry_head(const ArgsInfo& a, const void* e, ZsSize i) {
    ZsHead h{};
    h.unitNo = i;
    if (a.layout == ZS_FIXED) {
        h.data = static_cast<const char*>(e);
        h.len = a.recLen;
    } else if (a.layout == ZS_VARIABLE) {
        h.data = ZsEntryOf<ZS_VARIABLE>::data(e);
        h.len = ZsEntryOf<ZS_VARIABLE>::len(e, a);
    } else {
        auto c = static_cast<const CsvEntry*>(e);
        h.data = c->data;
        h.len = c->len;
        h.cols = reinterpret_cast<const char*>(c->cols);
        h.colNum = c->colNum;
    }
    return h;
}

// Sorts the list and checks it; leaves its block and unique block for the item sort to match.
void check_sorted(ZsSortRun& r, PtrList* list, std::string* block, std::string* unique) {
    const ArgsInfo& a = *r.args;
    const ZsLayout layout = a.layout;
    ZsRecRun* env = &r;  // the comparators' environment
    void** items = list->items + list->start;
    const ZsSize n = list->count;
    std::vector<void*> before(items, items + n);
    ZsCmp cmp = zs_cmp_fn(zs_cmp_of(a, layout, ZS_AT_ENTRY, false));
    ZsCmp eq = zs_cmp_fn(zs_eq_of(layout, ZS_AT_ENTRY));
    ZS_FUZZ_CHECK(n < 2 || zs_list_msort(r.pool, items, 0, n - 1, sizeof(void*), cmp, env) == 0);

    // The same entries, ordered, equal ones in input order (entries lie in input order in memory).
    std::vector<void*> after(items, items + n);
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    ZS_FUZZ_CHECK(before == after);
    std::vector<int> c(n > 0 ? n - 1 : 0);
    for (ZsSize i = 0; i + 1 < n; i++) {
        c[i] = cmp(&items[i], &items[i + 1], env);
        ZS_FUZZ_CHECK(c[i] == -1 || c[i] == 0);
        ZS_FUZZ_CHECK(cmp(&items[i + 1], &items[i], env) == -c[i]);
        ZS_FUZZ_CHECK(cmp(&items[i], &items[i], env) == 0);
        if (c[i] == 0) ZS_FUZZ_CHECK((uintptr_t)items[i] < (uintptr_t)items[i + 1]);
        ZS_FUZZ_CHECK((eq(items[i], items[i + 1], env) == 0) == (c[i] == 0));
    }
    // Order holds across distances too (a comparator that is not transitive shows here).
    for (ZsSize i = 0, j = n - 1; i < j; i++, j--) ZS_FUZZ_CHECK(cmp(&items[i], &items[j], env) <= 0);

    // The records read back from the block, and the list seen as presorted inputs.
    std::vector<ZsHead> units = write_and_parse(r, list, block);
    const std::string& blk = *block;
    std::vector<ZsHead> inputs(n);
    std::vector<const ZsHead*> unitSlot(n), inputSlot(n);
    for (ZsSize i = 0; i < n; i++) {
        inputs[i] = entry_head(a, items[i], i);
        unitSlot[i] = &units[i];
        inputSlot[i] = &inputs[i];
    }
    ZsCmp unitCmp = zs_cmp_fn(zs_cmp_of(a, layout, ZS_AT_UNIT, false));
    ZsCmp unitStable = zs_cmp_fn(zs_cmp_of(a, layout, ZS_AT_UNIT, true));
    ZsCmp eqUnit = zs_cmp_fn(zs_eq_of(layout, ZS_AT_UNIT));
    const bool merge = layout != ZS_FIXED;  // fixed-length records have no presorted merge
    ZsCmp mergeCmp = merge ? zs_cmp_fn(zs_cmp_of(a, layout, ZS_AT_MERGE, false)) : nullptr;
    ZsCmp mergeStable = merge ? zs_cmp_fn(zs_cmp_of(a, layout, ZS_AT_MERGE, true)) : nullptr;
    ZsCmp eqMerge = merge ? zs_cmp_fn(zs_eq_of(layout, ZS_AT_MERGE)) : nullptr;
    auto agree = [&](ZsSize i, ZsSize j) {
        int want = cmp(&items[i], &items[j], env);
        int tie = want != 0 ? want : (i < j ? -1 : i > j ? 1 : 0);
        ZS_FUZZ_CHECK(unitCmp(&unitSlot[i], &unitSlot[j], env) == want);
        if (i != j) ZS_FUZZ_CHECK(unitStable(&unitSlot[i], &unitSlot[j], env) == tie);
        int same = eq(items[i], items[j], env);
        if (layout == ZS_FIXED) {
            // Fixed-length records are tested as themselves wherever they are seen.
            ZS_FUZZ_CHECK(eqUnit(units[i].data, units[j].data, env) == same);
            return;
        }
        ZS_FUZZ_CHECK(eqUnit(&inputs[i], &units[j], env) == same);
        ZS_FUZZ_CHECK(mergeCmp(&inputSlot[i], &inputSlot[j], env) == want);
        if (i != j) ZS_FUZZ_CHECK(mergeStable(&inputSlot[i], &inputSlot[j], env) == tie);
        ZS_FUZZ_CHECK(eqMerge(&inputs[i], &inputs[j], env) == same);
    };
    for (ZsSize i = 0; i + 1 < n; i++) {
        agree(i, i + 1);
        agree(i + 1, i);
    }
    for (ZsSize i = 0, j = n - 1; i < j; i++, j--) agree(i, j);

    // The unique block keeps the first record of every run of equal ones.
    std::string expected;
    for (ZsSize i = 0; i < n; i++) {
        if (i > 0 && c[i - 1] == 0) continue;
        const size_t from = i > 0 ? (size_t)(units[i - 1].data + units[i - 1].len - blk.data()) : 0;
        const size_t end = (size_t)(units[i].data + units[i].len - blk.data());
        expected.append(blk, from, end - from);
    }
    *unique = block_of(r, list, true);
    ZS_FUZZ_CHECK(*unique == expected);
}

// The item build of the same data, sorted by normalized keys as the sorts do: the same records as
// the list, in the comparator's order; stable, in the list sort's order and written alike. Items of
// either width (`width`: ZS_ITEMS, or ZS_ITEMS_WIDE as a buffer past 4 GiB gets) must do alike.
void check_items(ZsSortRun& r, char* buf, ZsSize length, const Setup& s, const PtrList* sorted,
                 const std::string& block, const std::string& unique, int width) {
    const ArgsInfo& a = *r.args;
    ZsRecRun* env = &r;
    ZsScan scan = s.scan;
    scan.items = width;
    ZsIndex idx{};
    ZS_FUZZ_CHECK(zs_index_build(r, buf, length, scan, &idx) == 0);
    ZS_FUZZ_CHECK(idx.list == nullptr && idx.count == sorted->count && idx.wide == (width == ZS_ITEMS_WIDE));
    zs_sort_items(r, &idx, s.stable);

    // Each item as the list entry the comparators take.
    std::vector<VarEntry> vars(idx.count);
    std::vector<const void*> entries(idx.count);
    zs_with_layout(a.layout, [&](auto tag) {
        constexpr ZsLayout L = decltype(tag)::value;
        zs_with_item_width(idx.wide, [&](auto w) {
            const auto* items = zs_index_items<L, typename decltype(w)::type>(idx);
            for (ZsSize i = 0; i < idx.count; i++) {
                if constexpr (L == ZS_FIXED) {
                    entries[i] = idx.base + items[i].at;
                } else if constexpr (L == ZS_CSV) {
                    entries[i] = zs_item_entry(idx, items[i]);
                } else {
                    vars[i] = VarEntry{items[i].len, idx.base + items[i].at};
                    entries[i] = &vars[i];
                }
            }
        });
    });
    // Records as bytes: equal records that are byte for byte the same may trade places unseen.
    auto bytes_of = [&](const void* e) {
        if (a.layout == ZS_FIXED) return std::string(static_cast<const char*>(e), (size_t)a.recLen);
        if (a.layout == ZS_CSV) return std::string(ZsEntryOf<ZS_CSV>::data(e), (size_t)ZsEntryOf<ZS_CSV>::len(e, a));
        return std::string(ZsEntryOf<ZS_VARIABLE>::data(e), (size_t)ZsEntryOf<ZS_VARIABLE>::len(e, a));
    };
    ZsCmp cmp = zs_cmp_fn(zs_cmp_of(a, a.layout, ZS_AT_ENTRY, false));
    std::vector<std::string> fromItems, fromList;
    for (ZsSize i = 0; i < idx.count; i++) {
        if (i > 0) ZS_FUZZ_CHECK(cmp(&entries[i - 1], &entries[i], env) <= 0);
        fromItems.push_back(bytes_of(entries[i]));
        fromList.push_back(bytes_of(sorted->items[sorted->start + i]));
    }
    if (s.stable) {
        ZS_FUZZ_CHECK(fromItems == fromList);
        ZS_FUZZ_CHECK(block_of(r, &idx, false) == block && block_of(r, &idx, true) == unique);
    } else {
        std::sort(fromItems.begin(), fromItems.end());
        std::sort(fromList.begin(), fromList.end());
        ZS_FUZZ_CHECK(fromItems == fromList);
        ZS_FUZZ_CHECK(block_of(r, &idx, false).size() == block.size());
    }
    zs_index_release(r, &idx);
}

// One context for the process (it holds MBs of buffers); every input starts it afresh.
ZsSortRun& context() {
    static std::unique_ptr<ZsSortRun> run = std::make_unique<ZsSortRun>();
    return *run;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zs_fuzz::setup();
    context();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;
    Reader in{data, size};
    Setup s{};
    choose(&in, &s);
    const ZsSize length = (ZsSize)in.n;
    if (length == 0) return 0;  // the sort never indexes an empty buffer
    // A heap block of exactly the data, so that a read past it is caught.
    char* buf = static_cast<char*>(malloc((size_t)length));
    std::memcpy(buf, in.p, (size_t)length);
    if (s.ends[0] != 0) {  // two files: the first ends part way
        s.ends[0] = length * s.ends[0] / 8;
        s.ends[1] = length;
        s.scan.ends = s.ends;
        s.scan.endNums = 2;
    }

    // The context as a run leaves it: no error file, not verbose, so only these change.
    ZsSortRun& r = context();
    r.args = &s.args;
    r.totals = ZsTotals{};
    r.pool = zs_pool_create(16 << 20, &r);
    ZS_FUZZ_CHECK(r.pool != nullptr);
    // The item builds and sorts on 1, 2 or 5 threads, small inputs taken apart: checked alike.
    constexpr int32_t kThreads[] = {1, 2, 5};
    r.threads = kThreads[length % 3];
    r.parallelMin = r.threads > 1 ? 1 : 0;
    ZsIndex idx{};
    int rc = zs_index_build(r, buf, length, s.scan, &idx);
    // Only a tail longer than ZS_MAX_TAIL or a lack of memory fails a build; neither happens here.
    ZS_FUZZ_CHECK(rc == 0);
    check_index(idx, buf, length, s);
    ZS_FUZZ_CHECK(std::memcmp(buf, in.p, (size_t)length) == 0);  // the builders only read
    std::string block, unique;
    check_sorted(r, idx.list, &block, &unique);
    check_items(r, buf, length, s, idx.list, block, unique, ZS_ITEMS);
    check_items(r, buf, length, s, idx.list, block, unique, ZS_ITEMS_WIDE);
    zs_index_release(r, &idx);
    ZS_FUZZ_CHECK(idx.list == nullptr && idx.entryStore == nullptr && idx.columnStore == nullptr);

    // Everything the build and the sort took went back to the pool.
    MemoryPool* p = r.pool;
#if !defined(NDEBUG) || defined(ZS_CHECKS)
    ZS_FUZZ_CHECK(zs_pool_check(p) == nullptr);
#endif
    ZS_FUZZ_CHECK(p->frontCount == 0 && p->backCount == 0 && p->heapBlocks.count == 0);
    zs_pool_destroy(p);
    r.pool = nullptr;
    r.args = nullptr;
    free(buf);
    return 0;
}
