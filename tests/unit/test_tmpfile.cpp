// The temporary-file mode with pools far smaller than any run gets, so that small random inputs
// span many blocks, records straddle every load boundary and blocks straddle merge refills: its
// output must be the in-memory sort's, byte for byte.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/msg.h"
#include "engine/driver.h"
#include "file_text.h"
#include "memory/pool.h"
#include "records/records.h"
#include "settings/settings.h"
#include "sort/split.h"

namespace fs = std::filesystem;

namespace {

struct Args {
    std::vector<std::string> text;
    std::vector<char*> ptr;
    explicit Args(std::vector<std::string> args) : text(std::move(args)) {
        text.insert(text.begin(), "tesra");
        for (auto& s : text) ptr.push_back(s.data());
        ptr.push_back(nullptr);
    }
};

// The temporary-file mode on a pool of poolSize bytes, as the run driver would run it; *fallbacks
// receives the requests the pool had to pass to the heap.
int run_through_file(std::vector<std::string> args, int32_t poolSize, int32_t* blocks, uint32_t* fallbacks) {
    Args a(std::move(args));
    zs_getopt_reset();
    bool done = false;
    int rc = zs_args_load(&zs_args, (int)a.text.size(), a.ptr.data(), &done);
    if (rc == 0) rc = zs_args_check(&zs_args);
    if (rc == 0) {
        zs_run.pool = zs_pool_create(poolSize);
        zs_args.totalMemSize = poolSize;
        zs_args.bMemory = 0;
        zs_run.blockList = static_cast<PtrList*>(zs_malloc(zs_run.pool, sizeof(PtrList)));
        *zs_run.blockList = PtrList{};
        rc = zs_tmpfile_mode();
    }
    *blocks = zs_run.unit_cnt;
    *fallbacks = zs_run.pool != nullptr ? zs_run.pool->fallbacks : 0;
    if (rc == 0) rc = zs_close_error_file();
    if (rc == 0) rc = zs_plat_out_commit(&zs_run.errStream) != 0 || zs_plat_out_commit(&zs_run.outStream) != 0;
    if (rc != 0) zs_remove_temp_file();
    zs_run_reset();
    return rc;
}

int run_in_memory(std::vector<std::string> args) {
    Args a(std::move(args));
    return tesra_main((int)a.text.size(), a.ptr.data());
}

std::string field(std::mt19937& rng, bool csv) {
    static const char* const pieces[] = {"a", "b", "ab", "B", "0", "7", "-3", "12", " 9", "", "zz", "\xe3"};
    std::string f;
    for (int i = 0, n = (int)(rng() % 4); i < n; i++) f += pieces[rng() % 12];
    if (csv && rng() % 8 == 0) f = "\"" + f + ",\n" + f + "\"";  // quoted delimiter and newline
    return f;
}

}  // namespace

class TmpfileTest : public ::testing::TestWithParam<int> {
protected:
    fs::path dir;
    void SetUp() override {
        setenv("LC_ALL", "C", 1);
        char tmpl[] = "/tmp/tesra_tmpfile_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("TEMP", dir.c_str(), 1);
    }
    void TearDown() override { fs::remove_all(dir); }
};

TEST_P(TmpfileTest, ManyBlocksGiveTheInMemoryOutput) {
    const int layout = GetParam();  // 0 fixed, 1 newline-ended, 2 CSV
    std::mt19937 rng(4242 + layout);
    int32_t mostBlocks = 0;
    for (int round = 0; round < 12; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<std::string> opts;
        const int files = 1 + (int)(rng() % 3);
        std::vector<std::string> contents(files);
        const bool csv = layout == 2;
        for (auto& content : contents) {
            const int records = (int)(rng() % (layout == 0 ? 40000 : 14000));
            for (int r = 0; r < records; r++) {
                if (layout == 0) {
                    std::string rec = field(rng, false) + field(rng, false) + "0123456789";
                    content += rec.substr(0, 10);
                } else if (csv) {
                    content += field(rng, true) + "," + field(rng, true) + "," + field(rng, true) + "\n";
                } else {
                    content += field(rng, false) + field(rng, false) + field(rng, false) + "\n";
                }
            }
            if (layout != 0 && !content.empty() && rng() % 2) content.pop_back();  // no final newline code
        }
        if (layout == 0) opts = {"-L", "10"};
        if (csv) opts = {"-C"};
        switch (rng() % 4) {
            case 0: opts.push_back(rng() % 2 ? "-A" : "-R"); break;  // whole records: ties are equal bytes
            case 1: opts.insert(opts.end(), {"-K", csv ? "2" : "0,2", "-S"}); break;
            case 2: opts.insert(opts.end(), {"-K", csv ? "1n" : "1,3n", "-U"}); break;
            default: opts.insert(opts.end(), {"-K", csv ? "3d" : "2,2d", "-K", csv ? "1" : "0,1", "-S", "-U"}); break;
        }
        if (csv && rng() % 2) opts.push_back("-N");
        std::vector<std::string> inputs;
        for (int f = 0; f < files; f++) {
            fs::path p = dir / ("in" + std::to_string(f));
            FILE* out = fopen(p.c_str(), "wb");
            fwrite(contents[f].data(), 1, contents[f].size(), out);
            fclose(out);
            inputs.push_back(p);
        }
        auto with = [&](const char* out) {
            std::vector<std::string> v = opts;
            v.insert(v.end(), {"-O", (dir / out).string()});
            v.insert(v.end(), inputs.begin(), inputs.end());
            return v;
        };
        testing::internal::CaptureStderr();
        int memory = run_in_memory(with("memory.out"));
        // Between one and two MiB: a few KB to a few hundred KB per load.
        int32_t poolSize = (int32_t)((1 << 20) + 80000 + rng() % 600000);
        int32_t blocks = 0;
        uint32_t fallbacks = 0;
        int through = run_through_file(with("file.out"), poolSize, &blocks, &fallbacks);
        mostBlocks = std::max(mostBlocks, blocks);
        std::string err = testing::internal::GetCapturedStderr();
        ASSERT_EQ(memory, 0) << err;
        ASSERT_EQ(through, 0) << err;
        EXPECT_EQ(fallbacks, 0u) << "the blocks must be planned within the pool";
        ASSERT_EQ(zs_test_read_file(dir / "file.out"), zs_test_read_file(dir / "memory.out"));
        for (const auto& e : fs::directory_iterator(dir))
            ASSERT_EQ(e.path().filename().string().rfind("tesra_", 0), std::string::npos) << "left behind: " << e.path();
    }
    EXPECT_GE(mostBlocks, 6) << "the inputs must span many blocks";
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, TmpfileTest, ::testing::Values(0, 1, 2));
