// Index builds shared out over a run's threads: whatever the thread count, a build makes the items,
// entries, column tables, totals, messages and error-file bytes of the one-thread build.
#include <algorithm>
#include <random>
#include <set>

#include "support.h"

namespace {

// Everything a build leaves that anyone can see.
struct Built {
    int rc = 0;
    std::string stderrText;
    std::vector<uint64_t> items;  // key, at, len per item; CSV: the entry's offset, length and tables
    ZsSize count = 0;
    ZsSize indexedBytes = 0;
    int32_t maxRecLen = 0;
    int64_t errRecNum = 0;
    std::string errorFile;
    int32_t parts = 0;

    bool operator==(const Built& o) const {
        return rc == o.rc && stderrText == o.stderrText && items == o.items && count == o.count &&
               indexedBytes == o.indexedBytes && maxRecLen == o.maxRecLen && errRecNum == o.errRecNum &&
               errorFile == o.errorFile;
    }
};

std::string describe(const Built& b) {
    return "rc " + std::to_string(b.rc) + " count " + std::to_string(b.count) + " indexed " +
           std::to_string(b.indexedBytes) + " maxRecLen " + std::to_string(b.maxRecLen) + " errors " +
           std::to_string(b.errRecNum) + " error file " + std::to_string(b.errorFile.size()) + " bytes, parts " +
           std::to_string(b.parts) + " [" + b.stderrText + "]";
}

}  // namespace

class IndexThreadsTest : public EngineTest {
protected:
    std::string errPath;

    void SetUp() override {
        EngineTest::SetUp();
        r->pool = (zs_pool_destroy(r->pool), zs_pool_create(256 << 20, r.get()));
        ASSERT_NE(r->pool, nullptr);
        errPath = temp_path("threads-errors.txt");
        setenv("LANG", "C", 1);
    }

    Built build(int32_t threads, std::string& buf, const ZsScan& scan) {
        zs_index_release(*r, &idx);
        r->threads = threads;
        r->totals.maxRecLen = 0;
        r->totals.errRecNum = 0;
        args.errFile.path = errPath.data();
        Built b;
        ::testing::internal::CaptureStderr();
        b.rc = zs_index_build(*r, buf.data(), (ZsSize)buf.size(), scan, &idx);
        b.stderrText = ::testing::internal::GetCapturedStderr();
        b.count = idx.count;
        b.indexedBytes = idx.indexedBytes;
        b.maxRecLen = r->totals.maxRecLen;
        b.errRecNum = r->totals.errRecNum;
        b.parts = idx.parts;
        if (b.rc == 0) {
            zs_with_layout(args.layout, [&](auto tag) {
                constexpr ZsLayout L = decltype(tag)::value;
                zs_with_item_width(idx.wide, [&](auto w) {
                    const auto* it = zs_index_items<L, typename decltype(w)::type>(idx);
                    for (ZsSize i = 0; i < idx.count; i++) {
                        b.items.push_back(it[i].key);
                        b.items.push_back((uint64_t)it[i].at);
                        if constexpr (L != ZS_FIXED) {
                            b.items.push_back((uint64_t)it[i].len);
                        }
                        if constexpr (L == ZS_CSV) {
                            const CsvEntry* e = zs_item_entry(idx, it[i]);
                            b.items.push_back((uint64_t)(e->data - buf.data()));
                            b.items.push_back((uint64_t)e->len);
                            b.items.push_back((uint64_t)e->colNum);
                            for (int32_t k = 0; k < e->colNum; k++) {
                                b.items.push_back((uint64_t)e->cols[k].off);
                                b.items.push_back((uint64_t)e->cols[k].len);
                            }
                        }
                    }
                });
            });
        }
        zs_index_release(*r, &idx);
        EXPECT_EQ(zs_plat_out_close(&r->errStream), 0);
        EXPECT_EQ(zs_plat_out_commit(&r->errStream), 0);
        b.errorFile = zs_test_read_file(errPath);
        unlink(errPath.c_str());
        args.errFile.path = nullptr;
        return b;
    }

    // Builds with 2 and 5 threads and compares them with the one-thread build; returns how many
    // of them were cut into parts.
    int compare_threads(std::string& buf, const ZsScan& scan, const std::string& what) {
        const Built one = build(1, buf, scan);
        EXPECT_EQ(one.parts, 0) << what;
        int cut = 0;
        for (int32_t threads : {2, 5}) {
            const Built many = build(threads, buf, scan);
            EXPECT_TRUE(many == one) << what << " threads " << threads << "\n one: " << describe(one)
                                     << "\n many: " << describe(many);
            cut += many.parts > 1;
        }
        return cut;
    }

    // Nominal cuts of the builds with 2 and 5 threads of a buffer of n bytes.
    static std::vector<ZsSize> cuts(ZsSize n) {
        std::set<ZsSize> at;
        for (int32_t threads : {2, 5}) {
            const int64_t parts = zs_index_parts(threads, n);
            for (int64_t k = 1; k < parts; k++) at.insert(n * k / parts);
        }
        return {at.begin(), at.end()};
    }
};

// Random text of the alphabet, avoiding nothing: newline codes may appear inside.
static std::string random_text(std::mt19937& rng, size_t n, const char* alphabet) {
    const size_t k = std::strlen(alphabet);
    std::string s(n, 'a');
    for (char& c : s) c = alphabet[rng() % k];
    return s;
}

// Newline-ended and fixed-length items on threads are the differential test's (every case on 2
// and 5 threads, cut every few bytes); here what it cannot set up.
TEST_F(IndexThreadsTest, NewlineEndedBuildsThatStayOnOneThread) {
    std::mt19937 rng(9);
    variable();
    key(0, 4);
    std::string buf;
    while (buf.size() < ZS_INDEX_PARALLEL_MIN + 50000) buf += random_text(rng, 4 + rng() % 40, "xyz") + "\n";
    ZsScan scan{1, nullptr, 0, 0, ZS_MAX_TAIL, ZS_ITEMS};

    // A record limit (the temporary-file mode's): the parts before it are built on the threads,
    // the rest up to it on the calling thread; a limit inside the first part leaves it all there.
    const ZsSize records = build(1, buf, scan).count;
    scan.maxRecords = 1000;
    EXPECT_EQ(compare_threads(buf, scan, "limited in the first part"), 0);
    for (ZsSize limit : {records / 3, records / 2 + 7, records - 1, records, records + 1, (ZsSize)buf.size()}) {
        scan.maxRecords = limit;
        EXPECT_EQ(compare_threads(buf, scan, "limited to " + std::to_string(limit)), 2);
    }
    scan.maxRecords = 0;

    // An unfinished tail too long to be a record: the invalid-length message, once.
    std::string tail = buf + std::string(ZS_MAX_TAIL, 't');
    scan.bLast = 0;
    const Built one = build(1, tail, scan);
    EXPECT_EQ(one.rc, 1);
    EXPECT_NE(one.stderrText.find("Invalid record length"), std::string::npos);
    EXPECT_EQ(compare_threads(tail, scan, "long tail"), 0);

    // A newline code that overlaps itself: where a record ends depends on the scan before it.
    reset_settings();
    variable("aa");
    std::string overlapping = random_text(rng, ZS_INDEX_PARALLEL_MIN + 1000, "aab");
    scan.bLast = 1;
    EXPECT_EQ(compare_threads(overlapping, scan, "overlapping newline code"), 0);
}

namespace {

// A CSV field as a generator writes it: plain, quoted with delimiters, newline codes and doubled
// quotes inside, or empty.
std::string csv_field(std::mt19937& rng, const std::string& delim, const std::string& sep) {
    switch (rng() % 5) {
        case 0:
            return "";
        case 1:
        case 2:
            return random_text(rng, rng() % 12, "abc019 ");
        case 3:
            return "\"" + random_text(rng, rng() % 6, "ab") + delim + sep + "\"\"" + random_text(rng, rng() % 4, "12") +
                   "\"";
        default:
            return "\"" + sep + sep + "\"" + random_text(rng, rng() % 3, "xy");
    }
}

}  // namespace

TEST_F(IndexThreadsTest, CsvItemsAreTheOneThreadItemsWhateverQuotesCameBefore) {
    std::mt19937 rng(17);
    int builds = 0, cut = 0;
    for (int round = 0; round < 4; round++) {
        const std::string sep = round % 2 == 0 ? "\n" : "\r\n";
        const std::string delim = round < 2 ? "," : "::";
        reset_settings();
        csv(round < 2 ? "," : "::", round % 2 == 0 ? "\n" : "\r\n");
        key(2);
        key(1, 0, ZS_KEY_NUMERIC, ZS_DESC);
        // Every record has two columns; around every cut a quoted field spans the cut, starts or
        // ends at it, and some files end inside a quote (their last record runs to the file end).
        std::string buf;
        std::vector<ZsSize> ends;
        const ZsSize target = ZS_INDEX_PARALLEL_MIN + 200000;
        std::vector<ZsSize> near = cuts(target);
        size_t nextCut = 0;
        auto record = [&] {
            std::string s = csv_field(rng, delim, sep);
            const int fields = 2 + (int)(rng() % 3);
            for (int f = 1; f < fields; f++) s += delim + csv_field(rng, delim, sep);
            return s + sep;
        };
        while ((ZsSize)buf.size() < target - 400) {
            if (nextCut < near.size() && (ZsSize)buf.size() + 40 >= near[nextCut]) {
                // A quoted field holding newline codes and quotes, starting up to 30 bytes
                // before the cut or after it.
                const ZsSize c = near[nextCut++];
                if (rng() % 3 == 0) {
                    // A file ending at the cut inside a quote, or just before or after it.
                    buf += "x" + delim + "\"open";
                    const ZsSize at = c - 1 + rng() % 3;
                    while ((ZsSize)buf.size() < at) buf += 'a';
                    ends.push_back(buf.size());
                    continue;
                }
                const ZsSize start = c - 30 + rng() % 36;
                while ((ZsSize)buf.size() < start) buf += random_text(rng, 1, "abc");
                buf += "\"" + sep + "\"\"" + delim + sep + "\"\"\"" + delim + "q" + sep;
                continue;
            }
            if (rng() % 300 == 0) {
                // Its key column starts with the quote that runs to the file end.
                buf += "x" + delim + "\"open" + delim + sep + random_text(rng, rng() % 20, "ab,");
                ends.push_back(buf.size());
                continue;
            }
            buf += record();
        }
        buf += "z" + delim;  // the last record, two columns long up to the target
        while ((ZsSize)(buf.size() + sep.size()) < target) buf += 'z';
        buf += sep;
        ASSERT_EQ((ZsSize)buf.size(), target);
        for (int bLast : {0, 1}) {
            ZsScan scan{bLast, ends.data(), (ZsSize)ends.size(), 0, ZS_MAX_TAIL, bLast ? ZS_ITEMS : ZS_ITEMS_WIDE};
            cut += compare_threads(buf, scan, "csv round " + std::to_string(round));
            builds += 2;
        }
        // Without the file ends, each open quote runs on to the next one (which may leave records
        // without a key column: the build may stay on one thread).
        ZsScan noEnds{1, nullptr, 0, 0, ZS_MAX_TAIL, ZS_ITEMS};
        compare_threads(buf, noEnds, "csv round " + std::to_string(round) + " without file ends");
    }
    EXPECT_EQ(cut, builds);
}

TEST_F(IndexThreadsTest, AnInterruptFailsTheBuildAndLeavesNothingAllocated) {
    std::string buf;
    while (buf.size() < ZS_INDEX_PARALLEL_MIN + 1000) buf += "a,\"b\nc\",3\n";
    const ZsScan scan{1, nullptr, 0, 0, ZS_MAX_TAIL, ZS_ITEMS};
    for (int layout = 0; layout < 3; layout++) {
        reset_settings();
        if (layout == 0) fixed(10);
        if (layout == 1) variable();
        if (layout == 2) csv();
        key(layout == 0 ? 0 : 1, layout == 0 ? 1 : 0);
        r->bInterrupted = 0;
        r->interrupt = ZsInterruptHook{[](void*) { return 1; }, nullptr};
        const uint32_t frontBefore = r->pool->frontCount;
        r->threads = 2;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(zs_index_build(*r, buf.data(), (ZsSize)buf.size(), scan, &idx), 1) << layout;
        ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(idx.items, nullptr);
        EXPECT_EQ(r->pool->frontCount, frontBefore);
        r->interrupt = ZsInterruptHook{};
    }
}
