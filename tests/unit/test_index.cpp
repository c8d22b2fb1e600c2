// Record index builders, the newline-code search and the quote-aware token search.
#include <random>
#include <string_view>

#include "base/msg.h"
#include "support.h"

using Texts = std::vector<std::string>;

class IndexTest : public EngineTest {};

// ---- zs_find_token ----

// Straightforward model of the search: count quotes at every candidate, match when even.
static const char* find_token_model(const char* p, int32_t n, const char* pattern, char quote) {
    int32_t L = (int32_t)std::strlen(pattern);
    int quotes = 0;
    for (int32_t i = 0; i + L <= n; i++) {
        if (p[i] == quote) quotes++;
        if (std::memcmp(p + i, pattern, (size_t)L) == 0 && quotes % 2 == 0) return p + i;
    }
    return nullptr;
}

TEST(FindToken, QuotesHideTheTokenAndRestartPerCall) {
    std::string s = "\"a,b\",c";
    EXPECT_EQ(zs_find_token(s.data(), (int32_t)s.size(), ",", '"'), s.data() + 5);
    std::string open = "\"a,b,c";  // never closed: no token
    EXPECT_EQ(zs_find_token(open.data(), (int32_t)open.size(), ",", '"'), nullptr);
    // A quote on the last L - 1 bytes is not a candidate and is never counted.
    std::string t = "ab\r\n";
    EXPECT_EQ(zs_find_token(t.data(), (int32_t)t.size(), "\r\n", '"'), t.data() + 2);
    EXPECT_EQ(zs_find_token(t.data(), 1, "\r\n", '"'), nullptr);
    EXPECT_EQ(zs_find_token(t.data(), 0, "\r\n", '"'), nullptr);
}

TEST(FindToken, AgreesWithTheModelOnRandomText) {
    std::mt19937 rng(7);
    const char alphabet[] = "ab,;\"\r\n";
    const char* patterns[] = {",", ";;", "\n", "\r\n", "\"", "a\"", "\",", ",\""};
    for (int round = 0; round < 20000; round++) {
        std::string s(rng() % 24, 'a');
        for (char& c : s) c = alphabet[rng() % (sizeof alphabet - 1)];
        const char* pattern = patterns[rng() % std::size(patterns)];
        for (int32_t n = 0; n <= (int32_t)s.size(); n += 1 + (int32_t)(rng() % 3)) {
            ASSERT_EQ(zs_find_token(s.data(), n, pattern, '"'), find_token_model(s.data(), n, pattern, '"'))
                << "text [" << s << "] n=" << n << " pattern [" << pattern << "]";
        }
    }
}

// ---- zs_find_sep ----

TEST(FindSep, AgreesWithAPlainSearch) {
    // Short and long texts: the first word is searched apart from the rest.
    std::mt19937 rng(11);
    const char alphabet[] = "ab\r\n";
    const char* seps[] = {"\n", "\r", "\r\n"};
    for (int round = 0; round < 20000; round++) {
        std::string s(rng() % 20, 'a');
        for (char& c : s) c = alphabet[rng() % (sizeof alphabet - 1)];
        const char* sep = seps[rng() % std::size(seps)];
        const int32_t sepLen = (int32_t)std::strlen(sep);
        for (int64_t n = 0; n <= (int64_t)s.size(); n++) {
            const size_t hit = std::string_view(s.data(), (size_t)n).find(sep);
            const int64_t want = hit == std::string_view::npos ? -1 : (int64_t)hit;
            ASSERT_EQ(zs_find_sep(s.data(), n, sep, sepLen), want) << "text [" << s << "] n=" << n << " sep " << sepLen;
        }
    }
}

// ---- fixed-length ----

TEST_F(IndexTest, FixedLengthIgnoresATrailingPartialRecord) {
    fixed(4);
    std::string buf = "aaaabbbbcc";  // 2.5 records
    PtrList* list = index_fixed(buf.data(), (int32_t)buf.size());
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(texts(list), (Texts{"aaaa", "bbbb"}));
    EXPECT_EQ(list->capacity, 2);
    zs_index_release(*r, &idx);
}

// ---- variable-length ----

TEST_F(IndexTest, VariableRecordsKeepTheirNewlineCodes) {
    variable("\r\n");
    std::string buf = "b\r\n\r\naa\r\n";
    PtrList* list = index_var(buf.data(), (int32_t)buf.size(), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(texts(list), (Texts{"b\r\n", "\r\n", "aa\r\n"}));
    EXPECT_EQ(idx.indexedBytes, (int32_t)buf.size());
    EXPECT_EQ(r->totals.maxRecLen, 4);
    EXPECT_EQ(idx.entryStore, (void*)list->items[0]);
    zs_index_release(*r, &idx);
}

TEST_F(IndexTest, UnfinishedTailIsLeftForTheNextLoadUnlessTheDataEnds) {
    variable();
    std::string buf = "one\ntwo\nthr";
    PtrList* list = index_var(buf.data(), (int32_t)buf.size(), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(texts(list), (Texts{"one\n", "two\n"}));
    EXPECT_EQ(idx.indexedBytes, 8);
    zs_index_release(*r, &idx);

    // At the end of the data the tail is the last record, never dropped.
    list = index_var(buf.data(), (int32_t)buf.size(), 1);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(texts(list), (Texts{"one\n", "two\n", "thr"}));
    EXPECT_EQ(idx.indexedBytes, (int32_t)buf.size());
    zs_index_release(*r, &idx);

    std::string none = "no newline at all";
    list = index_var(none.data(), (int32_t)none.size(), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->count, 0);
    EXPECT_EQ(idx.indexedBytes, 0);
    zs_index_release(*r, &idx);
}

TEST_F(IndexTest, TailLimitIs640KiB) {
    variable();
    std::string buf = "r\n" + std::string(ZS_MAX_TAIL - 1, 'x');
    ::testing::internal::CaptureStderr();
    PtrList* list = index_var(buf.data(), (int32_t)buf.size(), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->count, 1);
    zs_index_release(*r, &idx);

    buf.push_back('x');
    setenv("LANG", "C", 1);
    ::testing::internal::CaptureStderr();
    list = index_var(buf.data(), (int32_t)buf.size(), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "\x81\x99 Invalid record length detected! \n");
    EXPECT_EQ(list, nullptr);
}

TEST_F(IndexTest, ShortRecordsGoToTheErrorFileLastFirst) {
    variable();
    key(5, 5);  // records need 10 bytes, newline included
    std::string path = temp_path("errors.txt");
    args.errFile.path = path.data();
    std::string buf = "e1\nGOOD-REC1\ne3\nGOOD-REC2\ne5\n123456789\n";
    PtrList* list = index_var(buf.data(), (int32_t)buf.size(), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(texts(list), (Texts{"GOOD-REC1\n", "GOOD-REC2\n", "123456789\n"}));
    EXPECT_EQ(r->totals.maxRecLen, 10);
    EXPECT_EQ(idx.indexedBytes, (int32_t)buf.size());  // error records are covered too
    zs_index_release(*r, &idx);
    ASSERT_EQ(zs_plat_out_close(&r->errStream), 0);
    ASSERT_EQ(zs_plat_out_commit(&r->errStream), 0);
    EXPECT_EQ(zs_test_read_file(path), "e5\ne3\ne1\n");
    unlink(path.c_str());
    args.errFile.path = nullptr;
}

TEST_F(IndexTest, ManyShortRecordsAreIndexedAndCompactedInOrder) {
    variable();
    key(0, 2);
    // A million records, every other one too short: growth of the store and the compaction.
    std::string buf;
    for (int i = 0; i < 1000000; i++) buf += (i % 2 == 0) ? std::to_string(10 + i % 90) + "\n" : "\n";
    PtrList* list = index_var(buf.data(), (int32_t)buf.size(), 0);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count, 500000);
    for (int32_t i = 0; i < list->count; i++) {
        auto e = static_cast<const VarEntry*>(list->items[list->start + i]);
        ASSERT_EQ(std::string(e->data, 3), std::to_string(10 + (2 * i) % 90) + "\n") << i;
    }
    zs_index_release(*r, &idx);
}

TEST_F(IndexTest, ErrorFileThatCannotBeCreatedFailsTheBuild) {
    variable();
    std::string path = temp_path("no-such-folder/errors.txt");
    args.errFile.path = path.data();
    setenv("LANG", "C", 1);
    std::string buf = "a\n";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(index_var(buf.data(), (int32_t)buf.size(), 0), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "\x81\x99 Cannot create error file [" + path + "]!\n");
    args.errFile.path = nullptr;
}

// ---- CSV ----

TEST_F(IndexTest, CsvBuildsPrintTheirFailuresInJapaneseInEveryLocale) {
    csv();
    std::string path = temp_path("no-such-folder/csv-errors.txt");
    args.errFile.path = path.data();
    setenv("LANG", "C", 1);
    std::string buf = "a\n";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(index_csv(buf.data(), (int32_t)buf.size(), 0), nullptr);
    char con[ZS_MSG_BUF];
    const std::string text = "☆エラーファイル[" + path + "]は作成できません！\n";
    const int n = zs_to_console(text.c_str(), con);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), std::string(con, (size_t)n));
    args.errFile.path = nullptr;
}

TEST_F(IndexTest, CsvColumnsOfTheKeys) {
    csv();
    key(2);
    std::string buf = "a,,c\nx,yy,z\n";
    PtrList* list = index_csv(buf.data(), (int32_t)buf.size(), 0);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count, 2);
    auto first = static_cast<const CsvEntry*>(list->items[list->start]);
    EXPECT_EQ(first->colNum, 1);
    EXPECT_EQ(first->cols[0].len, 0);  // empty column between two delimiters
    EXPECT_EQ(first->cols[0].off, 2);
    EXPECT_EQ(column(static_cast<const CsvEntry*>(list->items[list->start + 1]), 0), "yy");
    EXPECT_EQ(idx.columnStore, first->cols);
    zs_index_release(*r, &idx);
}

TEST_F(IndexTest, CsvRecordWithoutTheKeyColumnIsAnErrorRecord) {
    csv();
    key(4);
    std::string path = temp_path("csv-errors.txt");
    args.errFile.path = path.data();
    std::string buf = "1,2,3\n1,2,3,4\n,,\n";
    PtrList* list = index_csv(buf.data(), (int32_t)buf.size(), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(texts(list), (Texts{"1,2,3,4\n"}));
    zs_index_release(*r, &idx);
    ASSERT_EQ(zs_plat_out_close(&r->errStream), 0);
    ASSERT_EQ(zs_plat_out_commit(&r->errStream), 0);
    EXPECT_EQ(zs_test_read_file(path), ",,\n1,2,3\n");
    unlink(path.c_str());
    args.errFile.path = nullptr;
}

TEST_F(IndexTest, CsvQuotesHideDelimitersAndNewlines) {
    csv();
    key(1);
    key(2);
    std::string buf = "\"a,b\",c\n\"multi\nline\",d\n\"open,x\ny\"\"\",z\n";
    PtrList* list = index_csv(buf.data(), (int32_t)buf.size(), 0);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count, 3);
    auto e = [&](int i) { return static_cast<const CsvEntry*>(list->items[list->start + i]); };
    EXPECT_EQ(column(e(0), 0), "\"a,b\"");  // quotes stay part of the column
    EXPECT_EQ(column(e(0), 1), "c");
    EXPECT_EQ(column(e(1), 0), "\"multi\nline\"");
    EXPECT_EQ(column(e(2), 0), "\"open,x\ny\"\"\"");
    EXPECT_EQ(column(e(2), 1), "z");
    zs_index_release(*r, &idx);
}

TEST_F(IndexTest, CsvUnbalancedQuoteRunsToTheEndOfTheData) {
    csv();
    key(1);
    std::string buf = "a\n\"b\nc\nd\n";
    PtrList* list = index_csv(buf.data(), (int32_t)buf.size(), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(texts(list), (Texts{"a\n"}));
    EXPECT_EQ(idx.indexedBytes, 2);
    zs_index_release(*r, &idx);

    list = index_csv(buf.data(), (int32_t)buf.size(), 1);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(texts(list), (Texts{"a\n", "\"b\nc\nd\n"}));
    // The last column of the open record ends before its newline code.
    EXPECT_EQ(column(static_cast<const CsvEntry*>(list->items[list->start + 1]), 0), "\"b\nc\nd");
    zs_index_release(*r, &idx);
}

TEST_F(IndexTest, CsvMultiByteDelimiterAndTwoKeysOnOneColumn) {
    csv("::", "\r\n");
    key(2);
    key(2, 0, ZS_KEY_NUMERIC);
    std::string buf = "a:b::12::c\r\n";
    PtrList* list = index_csv(buf.data(), (int32_t)buf.size(), 0);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count, 1);
    auto e = static_cast<const CsvEntry*>(list->items[list->start]);
    EXPECT_EQ(e->colNum, 2);
    EXPECT_EQ(column(e, 0), "12");
    EXPECT_EQ(column(e, 1), "12");
    zs_index_release(*r, &idx);
}

TEST_F(IndexTest, CsvDelimiterHoldingTheNewlineCodeStaysInsideTheRecord) {
    // A delimiter found inside the newline code must not make a column of negative length.
    csv("\n");
    key(2);
    std::string buf = "a\nb\n";
    PtrList* list = index_csv(buf.data(), (int32_t)buf.size(), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->count, 0);  // one column per record: key column 2 is missing
    zs_index_release(*r, &idx);
}

TEST_F(IndexTest, CsvWholeRecordTablesHoldEveryColumn) {
    csv();
    whole();
    // Enough columns to make the column store grow, so that tables are set after it moved.
    std::string buf;
    std::vector<int> counts;
    for (int r = 0; r < 3000; r++) {
        int n = 1 + r % 7;
        counts.push_back(n);
        for (int c = 0; c < n; c++) buf += (c ? "," : "") + std::to_string(r) + "_" + std::to_string(c);
        buf += "\n";
    }
    buf += "\n";  // an empty line is one empty column
    PtrList* list = index_csv(buf.data(), (int32_t)buf.size(), 0);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count, 3001);
    for (int r = 0; r < 3000; r++) {
        auto e = static_cast<const CsvEntry*>(list->items[r]);
        ASSERT_EQ(e->colNum, counts[r]);
        for (int c = 0; c < counts[r]; c++) ASSERT_EQ(column(e, c), std::to_string(r) + "_" + std::to_string(c));
    }
    auto last = static_cast<const CsvEntry*>(list->items[3000]);
    EXPECT_EQ(last->colNum, 1);
    EXPECT_EQ(last->cols[0].len, 0);
    zs_index_release(*r, &idx);
}

TEST_F(IndexTest, FailedColumnStoreReleasesEverythingAndReturnsNull) {
    csv();
    // So many keys that the column store cannot exist: the builder fails cleanly.
    SortKey one{nullptr, 1, 0, ZS_KEY_BYTES, ZS_ASC};
    args.arrSortKey = &one;
    args.keyNums = INT32_MAX;
    std::string buf;
    for (int i = 0; i < 200; i++) buf += "r\n";
    uint32_t frontBefore = r->pool->frontCount;
    setenv("LANG", "C", 1);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(index_csv(buf.data(), (int32_t)buf.size(), 0), nullptr);
    // (A sanitizer build may warn about the refused request first.)
    std::string err = ::testing::internal::GetCapturedStderr();
    std::string message = "\x81\x99 Failed to allocate memory for the record index!\n";
    EXPECT_TRUE(err.size() >= message.size() && err.compare(err.size() - message.size(), message.size(), message) == 0)
        << err;
    EXPECT_EQ(r->pool->frontCount, frontBefore);
    EXPECT_EQ(r->pool->heapBlocks.count, 0);
}
