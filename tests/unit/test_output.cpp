// The output of an in-memory sort on several threads: the same bytes, counts and failures as on
// one, with equal records and records longer than a piece lying across the pieces' boundaries.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/driver.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int rc;
    ZsRunStats stats;
    std::string out;
    std::string failure;
};

// One quiet run on `threads` threads writing to `out` (captured when null).
Outcome run(std::vector<std::string> args, int32_t threads, FILE* out = nullptr) {
    args.insert(args.begin(), "tesra");
    std::vector<char*> argv;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    char* outData = nullptr;
    size_t outLen = 0;
    char failure[512] = "";
    ZsHost host{{nullptr, nullptr}, failure, sizeof failure};
    host.quiet = true;
    host.console = ZS_CONSOLE_SILENT;
    host.threads = threads;
    host.out = out != nullptr ? out : open_memstream(&outData, &outLen);
    const int rc = tesra_run((int)args.size(), argv.data(), &host);
    if (out == nullptr) fclose(host.out);
    Outcome o{rc, host.stats, std::string(outData != nullptr ? outData : "", outLen), failure};
    free(outData);
    return o;
}

class Output : public ::testing::Test {
protected:
    fs::path dir = fs::path(::testing::TempDir()) / ("tesra_output_" + std::to_string(getpid()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }
    std::string write(const char* name, const std::string& data) {
        const std::string path = (dir / name).string();
        FILE* f = fopen(path.c_str(), "wb");
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
        return path;
    }
};

// About 8 MB of records under five keys, so that every group of equal keys spans several pieces;
// lengths vary, and two records are longer than a piece (one equal in key to a group, one not).
std::string lines() {
    std::string s;
    for (uint32_t i = 0, x = 7; i < 90000; i++, x = x * 1103515245u + 12345u)
        s += "k" + std::to_string(x % 5) + std::string(10 + (x >> 8) % 150, (char)('a' + (x >> 4) % 26)) + "\n";
    s += "k3" + std::string(1500000, 'z') + "\n";
    s += "q9" + std::string(1300000, 'y') + "\n";
    return s;
}

TEST_F(Output, EveryThreadCountWritesTheBytesAndCountsOfOne) {
    const std::string text = write("lines", lines());
    std::string csv = "name,key,value,pad\n";
    std::string fixed;
    for (uint32_t i = 0, x = 3; i < 80000; i++, x = x * 1103515245u + 12345u) {
        csv += "\"r," + std::to_string(x % 977) + "\"," + std::to_string(x % 7) + "," + std::to_string(x >> 12) + "," +
               std::string(20 + x % 60, 'p') + "\n";
        std::string rec = std::to_string(x % 4) + std::to_string(x);
        fixed += rec + std::string(100 - rec.size(), '.');
    }
    const std::string csvPath = write("csv", csv), fixedPath = write("fixed", fixed);
    // Enough for the threads to share.
    for (const std::string& path : {text, csvPath, fixedPath}) ASSERT_GT(fs::file_size(path), 4u << 20) << path;
    const std::vector<std::vector<std::string>> cases = {
        {text},
        {"-K", "0,2", "-U", text},
        {"-K", "0,2", "-U", "-R", text},
        {"-K", "0,2", "-S", text},
        {"-C", "-H", "-K", "2", "-U", csvPath},
        {"-C", "-H", "-K", "2n", "-K", "3d", csvPath},
        {"-L", "100", "-K", "0,1", "-U", fixedPath},
        {"-L", "100", "-K", "0,3", fixedPath},
    };
    for (const auto& args : cases) {
        std::string name;
        for (const std::string& a : args) name += a.size() < 8 ? a + " " : "";
        const Outcome one = run(args, 1);
        ASSERT_EQ(one.rc, 0) << name;
        for (int32_t threads : {2, 5}) {
            const Outcome many = run(args, threads);
            EXPECT_EQ(many.rc, 0) << name << " " << threads;
            EXPECT_TRUE(many.out == one.out) << name << " " << threads;
            EXPECT_EQ(many.stats.records, one.stats.records) << name << " " << threads;
            EXPECT_EQ(many.stats.duplicates, one.stats.duplicates) << name << " " << threads;
        }
    }
    // The unique filter had groups to cut (five keys plus the long record of its own).
    const Outcome unique = run({"-K", "0,2", "-U", text}, 5);
    EXPECT_EQ(std::count(unique.out.begin(), unique.out.end(), '\n'), 6);
    EXPECT_NE(unique.out.find("q9" + std::string(1300000, 'y') + "\n"), std::string::npos);
    EXPECT_EQ(unique.stats.records, 6);
    EXPECT_EQ(unique.stats.records + unique.stats.duplicates, 90002);
}

TEST_F(Output, AFailedWriteFailsTheRunAsOnOneThread) {
    const std::string text = write("lines", lines());
    FILE* full = fopen("/dev/full", "w");
    if (full == nullptr) GTEST_SKIP() << "no /dev/full";
    const Outcome one = run({"-K", "0,2", "-U", text}, 1, full);
    EXPECT_EQ(one.rc, 1);
    EXPECT_NE(one.failure, "");
    for (int32_t threads : {2, 5}) {
        const Outcome many = run({"-K", "0,2", "-U", text}, threads, full);
        EXPECT_EQ(many.rc, 1) << threads;
        EXPECT_EQ(many.failure, one.failure) << threads;
        EXPECT_EQ(many.stats.records, one.stats.records) << threads;
        EXPECT_EQ(many.stats.duplicates, one.stats.duplicates) << threads;
    }
    fclose(full);
}

}  // namespace
