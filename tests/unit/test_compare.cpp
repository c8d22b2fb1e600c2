// The comparator family: numeric fields, key and whole-record orders, equality tests, the heads of
// merge sources (temporary-file blocks, presorted inputs), the stable tie-break and the call
// counters.
#include <algorithm>
#include <cstdio>
#include <random>

#include "memory/msort.h"
#include "sort/sort.h"
#include "support.h"

class CompareTest : public EngineTest {
protected:
    std::string buf;  // the records the current list points into
    PtrList* list = nullptr;

    // Builds the index of the records (each given with its newline code).
    void build(const std::vector<std::string>& records) {
        buf.clear();
        for (const std::string& rec : records) buf += rec;
        list = args.layout == ZS_FIXED ? index_fixed(buf.data(), (int32_t)buf.size())
               : args.layout == ZS_CSV ? index_csv(buf.data(), (int32_t)buf.size(), 1)
                                       : index_var(buf.data(), (int32_t)buf.size(), 1);
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(list->count, (int32_t)records.size());
    }
    void** slot(int i) { return &list->items[list->start + i]; }
    void* entry(int i) { return list->items[list->start + i]; }
};

TEST(Number, ParsesBlanksSignsDigitsAndStopsAtTheFirstOtherByte) {
    struct Case {
        const char* text;
        int32_t n;
        int64_t value;
    } cases[] = {
        {"  -42", 5, -42},     {"7", 1, 7},           {"+08", 3, 8},         {"12.5", 4, 12},
        {"abc", 3, 0},         {"", 0, 0},            {"   ", 3, 0},         {"-", 1, 0},
        {" \t\r\n\v\f9", 7, 9}, {" 12345", 3, 12},     {"123", 0, 0},        {"2147483647", 10, 2147483647},
        {"1 2", 3, 1},
        // Past 32 bits the value is exact; past 64 bits it is held at the limit, never wrapped.
        {"2147483648", 10, 2147483648LL}, {"4294967297", 10, 4294967297LL}, {"-2147483649", 11, -2147483649LL},
        {"1733640000000", 13, 1733640000000LL}, {"9223372036854775807", 19, INT64_MAX},
        {"9223372036854775808", 19, INT64_MAX}, {"-9223372036854775808", 20, INT64_MIN},
        {"-9223372036854775809", 20, INT64_MIN}, {"999999999999999999999999", 24, INT64_MAX},
        {"-999999999999999999999999", 25, INT64_MIN},
    };
    for (const Case& c : cases) EXPECT_EQ(zs_get_number(c.text, c.n), c.value) << "[" << c.text << "] n=" << c.n;
}

TEST_F(CompareTest, NumericKeysOrderByValue) {
    variable();
    key(0, 5, ZS_KEY_NUMERIC);
    build({"  -42\n", "7    \n", "+08  \n", "abc  \n", "0    \n", "12.5 \n", "12   \n"});
    EXPECT_EQ(zs::_cmpList_variable(slot(0), slot(1), env()), -1);  // -42 < 7
    EXPECT_EQ(zs::_cmpList_variable(slot(1), slot(2), env()), -1);  // 7 < 8
    EXPECT_EQ(zs::_cmpList_variable(slot(3), slot(4), env()), 0);   // letters read as 0
    EXPECT_EQ(zs::_cmpList_variable(slot(5), slot(6), env()), 0);   // 12.5 reads as 12
    EXPECT_EQ(zs::_cmpList_variable(slot(2), slot(0), env()), 1);
}

TEST_F(CompareTest, FixedKeysAndDirections) {
    fixed(6);
    key(3, 3, ZS_KEY_BYTES, ZS_DESC);
    key(0, 3);
    build({"aaazzz", "bbbzzz", "cccaaa"});
    EXPECT_EQ(zs::_cmpList(slot(0), slot(1), env()), -1);  // first key equal, second ascending
    EXPECT_EQ(zs::_cmpList(slot(2), slot(0), env()), 1);   // "aaa" after "zzz" descending
    EXPECT_EQ(zs::_cmpList(slot(1), slot(1), env()), 0);
}

TEST_F(CompareTest, CsvByteKeysPutTheShorterFirstAscendingAndLastDescending) {
    csv();
    key(1);
    build({"ab\n", "abc\n"});
    EXPECT_EQ(zs::_cmpList_csv(slot(0), slot(1), env()), -1);
    EXPECT_EQ(zs::_cmpList_csv(slot(1), slot(0), env()), 1);
    keys[0].seq = ZS_DESC;
    EXPECT_EQ(zs::_cmpList_csv(slot(0), slot(1), env()), 1);
    EXPECT_EQ(zs::_cmpList_csv(slot(1), slot(0), env()), -1);
}

TEST_F(CompareTest, EmptyColumnsGoLastWhateverTheDirection) {
    csv();
    key(1, 0, ZS_KEY_BYTES, ZS_DESC);
    key(2);
    args.bNullLastOut = 1;
    build({",b\n", "x,a\n", ",a\n"});
    EXPECT_EQ(zs::_cmpList_csv(slot(0), slot(1), env()), 1);   // empty after non-empty, even descending
    EXPECT_EQ(zs::_cmpList_csv(slot(1), slot(0), env()), -1);
    EXPECT_EQ(zs::_cmpList_csv(slot(0), slot(2), env()), 1);   // both empty: the next key decides
    args.bNullLastOut = 0;
    EXPECT_EQ(zs::_cmpList_csv(slot(0), slot(1), env()), 1);   // without -N the empty column is the shorter one,
    keys[0].seq = ZS_ASC;                           // first when ascending
    EXPECT_EQ(zs::_cmpList_csv(slot(0), slot(1), env()), -1);
}

TEST_F(CompareTest, WholeRecordCsvComparesColumnByColumnThenTheirCount) {
    csv();
    whole();
    build({"a,b\n", "a,b,c\n", "a,c\n"});
    EXPECT_EQ(zs::_cmpList_totalRec_csv(slot(0), slot(1), env()), -1);  // fewer columns first
    EXPECT_EQ(zs::_cmpList_totalRec_csv(slot(2), slot(1), env()), 1);   // column 2 decides before the count
    args.bRecSort = 2;
    EXPECT_EQ(zs::_cmpList_totalRec_csv(slot(0), slot(1), env()), 1);
    EXPECT_EQ(zs::_cmpList_totalRec_csv(slot(2), slot(1), env()), -1);
}

TEST_F(CompareTest, WholeRecordVariableAndFixed) {
    variable();
    whole();
    build({"ab\n", "ab\n", "abc\n", "b\n"});
    EXPECT_EQ(zs::_cmpList_totalRec_variable(slot(0), slot(1), env()), 0);
    EXPECT_EQ(zs::_cmpList_totalRec_variable(slot(0), slot(2), env()), -1);  // '\n' sorts before 'c'
    EXPECT_EQ(zs::_cmpList_totalRec_variable(slot(2), slot(3), env()), -1);
    args.bRecSort = 2;
    EXPECT_EQ(zs::_cmpList_totalRec_variable(slot(2), slot(3), env()), 1);

    zs_index_release(*r, &idx);
    list = nullptr;
    args = ArgsInfo{};
    fixed(2);
    whole(2);
    build({"ab", "ac"});
    EXPECT_EQ(zs::_cmpList_totalRec(slot(0), slot(1), env()), 1);
}

TEST_F(CompareTest, BytesCompareUnsignedAtEveryPosition) {
    // Long records go through the eight-byte fast path; bytes above 0x7F sort after ASCII.
    variable();
    whole();
    for (int at = 0; at < 12; at++) {
        std::string low(12, 'm'), high(12, 'm');
        low[at] = 'a';
        high[at] = '\xe3';
        build({low + "\n", high + "\n"});
        EXPECT_EQ(zs::_cmpList_totalRec_variable(slot(0), slot(1), env()), -1) << at;
        EXPECT_EQ(zs::_cmpList_totalRec_variable(slot(1), slot(0), env()), 1) << at;
    }
}

TEST_F(CompareTest, EqualityTestsForTheUniqueFilter) {
    csv();
    key(1, 0, ZS_KEY_NUMERIC);
    key(2);
    build({"12,x\n", "012,x\n", "123,x\n", "12,x \n"});
    EXPECT_EQ(zs::_cmpIfEqual_csv(entry(0), entry(1), env()), 0);  // 12 and 012 are the same number
    EXPECT_EQ(zs::_cmpIfEqual_csv(entry(0), entry(2), env()), 1);
    EXPECT_EQ(zs::_cmpIfEqual_csv(entry(2), entry(0), env()), 1);
    EXPECT_EQ(zs::_cmpIfEqual_csv(entry(0), entry(3), env()), 1);  // byte keys need equal lengths

    zs_index_release(*r, &idx);
    list = nullptr;
    args = ArgsInfo{};
    keys.clear();
    variable();
    whole();
    build({"ab\n", "ab\n", "abc\n"});
    EXPECT_EQ(zs::_cmpIfEqual_variable(entry(0), entry(1), env()), 0);
    EXPECT_EQ(zs::_cmpIfEqual_variable(entry(0), entry(2), env()), 1);
}

TEST_F(CompareTest, CountersCountOnlyWhenVerbose) {
    variable();
    key(0, 1);
    build({"a\n", "b\n"});
    zs::_cmpList_variable(slot(0), slot(1), env());
    EXPECT_EQ(zs_cmp_calls(*r, ZsCmpId::_cmpList_variable), 0u);
    r->bVerbose = 1;
    zs::_cmpList_variable(slot(0), slot(1), env());
    zs::_cmpIfEqual_variable(entry(0), entry(1), env());
    EXPECT_EQ(zs_cmp_calls(*r, ZsCmpId::_cmpList_variable), 1u);
    EXPECT_EQ(zs_cmp_calls(*r, ZsCmpId::_cmpIfEqual_variable), 1u);
    EXPECT_EQ(zs_cmp_calls(*r, ZsCmpId::_cmpList_csv), 0u);
    // Each run counts its own calls.
    auto other = std::make_unique<ZsRecRun>();
    other->args = &args;
    other->bVerbose = 1;
    zs::_cmpList_variable(slot(0), slot(1), static_cast<ZsRecRun*>(other.get()));
    EXPECT_EQ(zs_cmp_calls(*other, ZsCmpId::_cmpList_variable), 1u);
    EXPECT_EQ(zs_cmp_calls(*r, ZsCmpId::_cmpList_variable), 1u);
    r->bVerbose = 0;
}

// ---- Random records: every view of a record must order it the same way ----

namespace {

std::string random_field(std::mt19937& rng) {
    static const char* pieces[] = {"", "a", "ab", "abc", "b", "12", "012", " -3", "+7", "9", "x y", "\"q,r\"", "Z"};
    return pieces[rng() % std::size(pieces)];
}

int32_t read_i32(const char* p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The heads of the records of a block written in the temporary record format (fixed: the bytes;
// variable: length, bytes; CSV: length, column count, table, bytes), numbered in order: the
// column tables lie unaligned among the bytes, as the merge of the temporary file sees them.
std::vector<ZsHead> block_heads(const std::string& block, int kind, int32_t recLen) {
    std::vector<ZsHead> heads;
    const char* b = block.data();
    for (size_t p = 0; p < block.size();) {
        ZsHead h{};
        h.unitNo = (int32_t)heads.size();
        if (kind == 0) {
            h.data = b + p;
            h.len = recLen;
        } else if (kind == 1) {
            h.len = read_i32(b + p);
            h.data = b + p + 4;
        } else {
            h.len = read_i32(b + p);
            h.colNum = read_i32(b + p + 4);
            h.cols = b + p + 8;
            h.data = b + p + 8 + sizeof(CsvColumn) * (size_t)h.colNum;
        }
        heads.push_back(h);
        p = (size_t)(h.data - b) + (size_t)h.len;
    }
    return heads;
}

}  // namespace

class CompareViewsTest : public CompareTest, public ::testing::WithParamInterface<int> {
protected:
    // The head of list entry i, numbered i (a presorted input, or the previous output record).
    ZsHead entry_head(int i) {
        ZsHead h{};
        h.unitNo = i;
        if (args.layout == ZS_FIXED) {
            h.data = static_cast<const char*>(entry(i));
            h.len = args.recLen;
        } else if (args.layout == ZS_VARIABLE) {
            auto e = static_cast<const VarEntry*>(entry(i));
            h.data = e->data;
            h.len = e->len;
        } else {
            auto e = static_cast<const CsvEntry*>(entry(i));
            h.data = e->data;
            h.len = e->len;
            h.cols = reinterpret_cast<const char*>(e->cols);
            h.colNum = e->colNum;
        }
        return h;
    }
};

TEST_P(CompareViewsTest, BlockAndInputViewsAgreeWithListEntries) {
    using namespace zs;
    const int kind = GetParam();  // 0 fixed, 1 variable, 2 CSV
    std::mt19937 rng(1000 + kind);
    for (int round = 0; round < 40; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        reset_settings();
        std::vector<std::string> records;
        if (kind == 0) fixed(6);
        if (kind == 1) variable(rng() % 2 ? "\n" : "\r\n");
        if (kind == 2) csv(rng() % 2 ? "," : ";;");
        args.bNullLastOut = (int32_t)(rng() % 2);
        if (rng() % 4 == 0) {
            whole(1 + (int32_t)(rng() % 2));
        } else {
            for (int k = 0, n = 1 + (int)(rng() % 3); k < n; k++) {
                int32_t type = rng() % 2 ? ZS_KEY_NUMERIC : ZS_KEY_BYTES;
                int32_t seq = rng() % 2 ? ZS_DESC : ZS_ASC;
                if (kind == 2)
                    key(1 + (int32_t)(rng() % 3), 0, type, seq);
                else
                    key((int32_t)(rng() % 4), 1 + (int32_t)(rng() % 2), type, seq);
            }
        }
        for (int rec = 0; rec < 30; rec++) {
            std::string text;
            if (kind == 0) {
                for (int i = 0; i < 6; i++) text += " 0129ab-"[rng() % 8];
            } else if (kind == 1) {
                for (int i = 0, n = 6 + (int)(rng() % 4); i < n; i++) text += " 0129ab-"[rng() % 8];
                text += args.sep;
            } else {
                for (int c = 0, n = 3 + (int)(rng() % 2); c < n; c++) text += (c ? args.delimiter : "") + random_field(rng);
                text += args.sep;
            }
            records.push_back(text);
        }
        build(records);
        const int n = list->count;

        // The same records as a temporary-file block, seen through the heads its merge keeps.
        char* mem = nullptr;
        size_t memLen = 0;
        FILE* stream = open_memstream(&mem, &memLen);
        ZsBlock info{};
        ASSERT_EQ(zs_write_block(*r, list, stream, &info), 0);
        fclose(stream);
        std::string block(mem, memLen);
        free(mem);
        ASSERT_EQ(info.recNum, n);
        ASSERT_EQ(info.size, (int64_t)block.size());
        std::vector<ZsHead> units = block_heads(block, kind, args.recLen);
        ASSERT_EQ((int)units.size(), n);

        std::vector<ZsHead> inputs(n);
        std::vector<const ZsHead*> unitSlots(n), inputSlots(n);
        for (int i = 0; i < n; i++) {
            inputs[i] = entry_head(i);
            unitSlots[i] = &units[i];
            inputSlots[i] = &inputs[i];
        }

        const bool w = args.bRecSort != 0;
        ZsCmp listCmp[] = {w ? _cmpList_totalRec : _cmpList, w ? _cmpList_totalRec_variable : _cmpList_variable,
                           w ? _cmpList_totalRec_csv : _cmpList_csv};
        ZsCmp unitCmp[] = {w ? _cmpList_unit_totalRec : _cmpList_unit,
                           w ? _cmpList_unit_totalRec_variable : _cmpList_unit_variable,
                           w ? _cmpList_unit_totalRec_csv : _cmpList_unit_csv};
        ZsCmp unitStable[] = {w ? _cmpList_unit_totalRec_stabilize : _cmpList_unit_stabilize,
                              w ? _cmpList_unit_totalRec_variable_stabilize : _cmpList_unit_variable_stabilize,
                              w ? _cmpList_unit_totalRec_csv_stabilize : _cmpList_unit_csv_stabilize};
        ZsCmp mergeCmp[] = {nullptr, w ? _cmpList_merge_totalRec_variable : _cmpList_merge_variable,
                            w ? _cmpList_merge_totalRec_csv : _cmpList_merge_csv};
        ZsCmp mergeStable[] = {nullptr,
                               w ? _cmpList_merge_totalRec_variable_stabilize : _cmpList_merge_variable_stabilize,
                               w ? _cmpList_merge_totalRec_csv_stabilize : _cmpList_merge_csv_stabilize};
        ZsCmp equal[] = {_cmpIfEqual, _cmpIfEqual_variable, _cmpIfEqual_csv};
        ZsCmp equalUnit[] = {nullptr, _cmpIfEqual_unit_variable, _cmpIfEqual_unit_csv};
        ZsCmp equalMerge[] = {nullptr, _cmpIfEqual_merge_variable, _cmpIfEqual_merge_csv};
        void* run = env();

        for (int i = 0; i < n; i++) {
            for (int j = 0; j < n; j++) {
                SCOPED_TRACE(records[i] + " vs " + records[j]);
                int c = listCmp[kind](slot(i), slot(j), run);
                ASSERT_TRUE(c == -1 || c == 0 || c == 1);
                ASSERT_EQ(listCmp[kind](slot(j), slot(i), run), -c);
                ASSERT_EQ(unitCmp[kind](&unitSlots[i], &unitSlots[j], run), c);
                int tie = c != 0 ? c : (i < j ? -1 : 1);
                ASSERT_EQ(unitStable[kind](&unitSlots[i], &unitSlots[j], run), tie);
                int eq = equal[kind](entry(i), entry(j), run);
                // Records are duplicates exactly when they share their place in the order (-N
                // included: an empty numeric field sorts apart from a 0, so it is no duplicate).
                ASSERT_EQ(eq == 0, c == 0);
                if (kind == 0) {
                    // Fixed-length records are tested as themselves wherever they are seen.
                    ASSERT_EQ(equal[0](units[i].data, units[j].data, run), eq);
                    continue;
                }
                ASSERT_EQ(mergeCmp[kind](&inputSlots[i], &inputSlots[j], run), c);
                ASSERT_EQ(mergeStable[kind](&inputSlots[i], &inputSlots[j], run), tie);
                // The previous output record (an entry's head) against the current one of a source.
                ASSERT_EQ(equalUnit[kind](&inputs[i], &units[j], run), eq);
                ASSERT_EQ(equalMerge[kind](&inputs[i], &inputs[j], run), eq);
            }
        }

        // The stable list sort orders the entries exactly as std::stable_sort does.
        std::vector<void*> expected(list->items + list->start, list->items + list->start + n);
        std::stable_sort(expected.begin(), expected.end(),
                         [&](void* x, void* y) { return listCmp[kind](&x, &y, run) < 0; });
        ASSERT_EQ(zs_list_msort(r->pool, list->items + list->start, 0, n - 1, sizeof(void*), listCmp[kind], run), 0);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), list->items + list->start));
    }
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, CompareViewsTest, ::testing::Values(0, 1, 2));
