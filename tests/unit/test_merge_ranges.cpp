// The key ranges of the merge on several threads: a block's cut at a splitter (found through the
// samples the block kept while it was written) against a scan of every record, and the ranges'
// output against one thread's.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/driver.h"
#include "file_text.h"
#include "memory/pool.h"
#include "settings/settings.h"
#include "sort/merge.h"
#include "sort/split.h"
#include "sort/tmpcodec.h"

namespace fs = std::filesystem;

namespace {

std::unique_ptr<ZsRun> checked_run(std::vector<std::string> args) {
    args.insert(args.begin(), "tesra");
    std::vector<char*> ptr;
    for (auto& s : args) ptr.push_back(s.data());
    ptr.push_back(nullptr);
    auto r = std::make_unique<ZsRun>();
    bool done = false;
    if (zs_args_load(*r, &r->settings, (int)args.size(), ptr.data(), &done) != 0 ||
        zs_args_check(*r, &r->settings, &r->totals) != 0) {
        zs_run_release(*r);
        return nullptr;
    }
    r->args = &r->settings;
    return r;
}

class Cuts : public ::testing::TestWithParam<bool> {
protected:
    fs::path dir;
    void SetUp() override {
        char tmpl[] = "/tmp/tesra_ranges_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("TEMP", dir.c_str(), 1);
        FILE* f = fopen((dir / "in").c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs("000000000000", f);
        fclose(f);
    }
    void TearDown() override { fs::remove_all(dir); }
};

// Blocks of sorted records with long runs of equal keys: the cut at any record of any block, and
// at keys between or beyond them, is the first record not below it, all equal records on one side.
template <ZsLayout L>
void check_cuts(const std::vector<std::string>& args, int width) {
    std::unique_ptr<ZsRun> r = checked_run(args);
    ASSERT_NE(r, nullptr);
    r->pool = zs_pool_create(64 << 20, r.get());
    r->totals.totalMemSize = 64 << 20;
    ASSERT_EQ(zs_temp_create(*r), 0);
    const ArgsInfo& a = *r->args;
    const ZsCmp plain = zs_cmp_fn(zs_cmp_of(a, L, ZS_AT_UNIT, false));
    std::mt19937 rng(11);
    auto record = [&](int key) {
        std::string k = std::to_string(100000 + key).substr(1);
        std::string rest(width - 5 - (L == ZS_VARIABLE ? 1 : 0), 'a' + (char)(rng() % 26));
        if (L == ZS_VARIABLE) rest = rest.substr(0, 1 + rng() % rest.size()) + "\n";
        return k + rest;
    };
    auto head_of = [&](const std::string& s) { return ZsHead{s.data(), (int32_t)s.size(), nullptr, 0, 0}; };
    auto order = [&](const std::string& x, const std::string& y) {
        ZsHead hx = head_of(x), hy = head_of(y);
        const ZsHead *px = &hx, *py = &hy;
        return plain(&px, &py, zs_cmp_env(*r));
    };
    std::vector<std::vector<std::string>> blocks;
    std::vector<std::string> probes;
    for (int n : {30000, 1, 9000}) {
        std::vector<std::string> recs;
        for (int i = 0; i < n; i++) recs.push_back(record((int)(rng() % 3000) * 2));
        std::stable_sort(recs.begin(), recs.end(), [&](const auto& x, const auto& y) { return order(x, y) < 0; });
        ZsBlock* b = zs_new_block(*r);
        ASSERT_NE(b, nullptr);
        zs_block_reset(b, r->tmp.offset);
        ZsWriter w = zs_writer(r->tmp.stream, r->tmpBuf, sizeof r->tmpBuf);
        for (const std::string& s : recs) zs_block_add(b, zs_tmp_put<L>(&w, a, s.data(), (ZsSize)s.size(), nullptr, 0), (ZsSize)s.size());
        zs_writer_flush(&w);
        ASSERT_FALSE(w.failed);
        r->tmp.offset += b->size;
        r->tmp.maxRecLen = std::max(r->tmp.maxRecLen, b->maxRecLen);
        ASSERT_EQ(zs_list_append(r->pool, r->tmp.blocks, b, ZS_LIST_POOL), 0);
        r->tmp.count++;
        for (int i = 0; i < 40; i++) probes.push_back(recs[rng() % recs.size()]);
        probes.push_back(recs.front());
        probes.push_back(recs.back());
        blocks.push_back(std::move(recs));
    }
    for (int key : {-1, 1, 2999, 6001}) probes.push_back(record(key < 0 ? 0 : key));
    ASSERT_EQ(zs_finish_temp_writes(*r), 0);
    ZsCutReader rd{static_cast<char*>(zs_malloc(r->pool, 4096)), 4096, 0, 0};
    ASSERT_GE(rd.cap, r->tmp.maxRecLen);
    for (const std::string& p : probes) {
        const ZsHead splitter = head_of(p);
        for (size_t bi = 0; bi < blocks.size(); bi++) {
            const ZsBlock& b = *static_cast<const ZsBlock*>(r->tmp.blocks->items[bi]);
            const auto& recs = blocks[bi];
            ZsCut want{0, 0, 0, -1};
            while (want.idx < (ZsSize)recs.size() && order(recs[want.idx], p) < 0) {
                want.predAt = want.at;
                want.at += L == ZS_FIXED ? a.recLen : 4 + (ZsSize)recs[want.idx].size();
                want.outAt += (ZsSize)recs[want.idx].size();
                want.idx++;
            }
            ZsCut got{-1, -1, -1, -2};
            ASSERT_EQ(zs_block_cut<L>(*r, &rd, b, splitter, &got), 0);
            ASSERT_EQ(got.idx, want.idx) << p;
            EXPECT_EQ(got.at, want.at);
            EXPECT_EQ(got.predAt, want.predAt);
            EXPECT_EQ(got.outAt, want.outAt);
            // Every record equal to the splitter lies behind the cut.
            if (got.idx > 0) {
                EXPECT_LT(order(recs[got.idx - 1], p), 0);
            }
        }
    }
    // A block whose record lengths say more than it holds is damage, not a cut.
    ZsBlock broken = *static_cast<const ZsBlock*>(r->tmp.blocks->items[0]);
    broken.size = broken.samples[broken.sampleNum - 1].at + 2;
    broken.recNum = 1 << 30;
    ZsCut got;
    EXPECT_EQ(zs_block_cut<L>(*r, &rd, broken, head_of(record(99999)), &got), 1);
    zs_run_release(*r);
}

TEST_P(Cuts, AreTheFirstRecordNotBelowTheSplitter) {
    if (GetParam())
        check_cuts<ZS_FIXED>({"-L", "12", "-K", "0,4", (dir / "in").string()}, 12);
    else
        check_cuts<ZS_VARIABLE>({"-P", "\\n", (dir / "in").string()}, 14);
}

INSTANTIATE_TEST_SUITE_P(FixedAndLines, Cuts, ::testing::Bool());

// The temporary-file mode on `threads` threads; the output's bytes, the records written (-1 after
// a failure) and whether the merge went in key ranges.
std::string merge_on(int32_t threads, std::vector<std::string> args, ZsSize* written, bool* ranged,
                     ZsSize pool = 4 << 20, ZsSize* passes = nullptr) {
    std::unique_ptr<ZsRun> r = checked_run(std::move(args));
    if (r == nullptr) return "";
    r->pool = zs_pool_create(pool, r.get());
    r->totals.totalMemSize = pool;
    r->totals.bMemory = 0;
    r->threads = threads;
    r->bVerbose = 1;
    r->console = ZS_CONSOLE_SILENT;
    testing::internal::CaptureStderr();
    int rc = zs_tmpfile_mode(*r);
    const std::string said = testing::internal::GetCapturedStderr();
    *ranged = said.find("マージはキー範囲") != std::string::npos;
    if (rc == 0) rc = zs_close_error_file(*r);
    if (rc == 0) rc = zs_plat_out_commit(&r->outStream);
    *written = rc == 0 ? r->totals.outRecNum : -1;
    if (passes != nullptr) *passes = r->mergePasses;
    const std::string path = r->args->outFile.path;
    zs_run_release(*r);
    return zs_test_read_file(path);
}

// Enough data for the merge to go in ranges, ties across blocks: the ranges' output is one
// thread's, counted the same; ties they could order otherwise keep the merge on one thread.
TEST_P(Cuts, RangesWriteWhatOneThreadWrites) {
    std::mt19937 rng(3);
    std::string data;
    // Half the keys from few values, spread over every block: the ranges start at ties whose
    // order is the one the records before them decide.
    for (int i = 0; data.size() < (12u << 20); i++) {
        const unsigned k = rng() % 2 ? rng() % 100000 * 10000 : rng() % 1000000000;
        data += std::to_string(1000000000 + k).substr(1) + " " + std::to_string(i) + std::string(i % 5, 'z') + "\n";
    }
    FILE* f = fopen((dir / "big").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
    std::vector<std::string> opts = GetParam() ? std::vector<std::string>{"-S", "-K", "0,5"}
                                               : std::vector<std::string>{"-K", "0,9"};
    auto args = [&](int t) {
        std::vector<std::string> a = {"-P", "\\n", "-O", (dir / ("out" + std::to_string(t))).string()};
        a.insert(a.end(), opts.begin(), opts.end());
        a.push_back((dir / "big").string());
        return a;
    };
    ZsSize one = 0, three = 0;
    bool ranged1 = true, ranged3 = false;
    const std::string a = merge_on(1, args(1), &one, &ranged1);
    const std::string b = merge_on(3, args(3), &three, &ranged3);
    EXPECT_EQ(a.size(), data.size());
    EXPECT_TRUE(a == b);
    EXPECT_EQ(one, three);
    EXPECT_GT(one, 0);
    EXPECT_FALSE(ranged1);
    EXPECT_TRUE(ranged3);
    // Blocks too many for one merge: the passes' runs carry samples, and the last merge goes in
    // ranges all the same.
    // (Without -S ties depend on where blocks end: one thread on the same pool is the reference.)
    ZsSize passes = 0;
    const std::string c1 = merge_on(1, args(1), &one, &ranged1, 2 << 20, &passes);
    const std::string c3 = merge_on(3, args(3), &three, &ranged3, 2 << 20, &passes);
    EXPECT_GT(passes, 0);
    EXPECT_TRUE(ranged3);
    EXPECT_TRUE(c1 == c3);
    EXPECT_EQ(one, three);
    // -U, many records dropped in every range: their outputs close up, the first of equal ones kept.
    opts = {"-U", "-K", GetParam() ? "0,5" : "0,9"};
    const std::string u1 = merge_on(1, args(1), &one, &ranged1);
    const std::string u3 = merge_on(3, args(3), &three, &ranged3);
    EXPECT_TRUE(ranged3);
    EXPECT_TRUE(u1 == u3);
    EXPECT_EQ(one, three);
    EXPECT_LT(u1.size(), data.size());
}

}  // namespace
