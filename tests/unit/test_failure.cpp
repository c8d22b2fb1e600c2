// A failed run keeps the text of the error lines it printed, so that a caller can say why; notes
// (start and end lines, fallbacks, the closing "Sort failed" line) are not part of it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "engine/driver.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int rc;
    std::string failure;
};

int ask_yes(void*) { return 1; }

Outcome run(std::vector<std::string> args, bool interrupt = false) {
    args.insert(args.begin(), "tesra");
    std::vector<char*> argv;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    char text[ZS_FAILURE_MAX];
    ZsHost host{{interrupt ? ask_yes : nullptr, nullptr}, text, sizeof text};
    int rc = tesra_run((int)args.size(), argv.data(), &host);
    return {rc, text};
}

class FailureText : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override {
        dir = fs::path(::testing::TempDir()) / ("tesra_failure_" + std::to_string(getpid()));
        fs::create_directories(dir);
        write("in", "b\na\n");
        write("unsorted", "b\na\n");
    }
    void TearDown() override { fs::remove_all(dir); }
    void write(const char* name, const std::string& data) {
        FILE* f = fopen((dir / name).c_str(), "wb");
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    }
    std::string p(const char* name) { return (dir / name).string(); }
};

TEST_F(FailureText, EachFamilyKeepsItsOwnLinesInOrder) {
    const std::string missing = p("missing");
    struct Case {
        std::vector<std::string> args;
        std::string text;
    } cases[] = {
        {{"-Q"}, "☆ Command syntax error!\n"},
        {{"-O", p("out"), missing}, "☆ Failed to stat input file 1 [" + missing +
                                        "]!\n☆ Error occurred during argument processing!\n"},
        {{"-C", "-K", "0", "-O", p("out"), p("in")}, "☆ Sort key 1 is invalid!\n☆ Error occurred during argument processing!\n"},
        {{"-O", "/dev/full", p("in")}, "☆ Error occurred while writing output file [/dev/full]!\n"},
        {{"-M", "-O", p("out"), p("unsorted")},
         "☆ Input file [" + p("unsorted") + "] is not sorted by the sort keys!\n☆ File merge sort failed!\n"},
        {{"-T", p("nofolder"), "-O", p("out"), p("in")},
         "☆ Temporary folder [" + p("nofolder") + "/] does not exist or insufficient permissions!\n"
         "☆ Error occurred during argument processing!\n"},
    };
    for (const Case& c : cases) {
        Outcome o = run(c.args);
        EXPECT_EQ(o.rc, 1) << c.args[0];
        EXPECT_NE(o.failure.find(c.text), std::string::npos) << o.failure;
        EXPECT_EQ(o.failure.find("Sort failed"), std::string::npos) << o.failure;
        EXPECT_EQ(o.failure.find("tesra start"), std::string::npos) << o.failure;
    }
}

TEST_F(FailureText, InterruptIsTheReasonAndSuccessHasNone) {
    Outcome o = run({"-O", p("out"), p("in")}, true);
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.failure, "\n☆ Sort interrupted!\n");
    EXPECT_FALSE(fs::exists(dir / "out"));
    o = run({"-O", p("out"), p("in")});
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.failure, "");
}

TEST_F(FailureText, RunsSideBySideKeepTheirOwnOutcome) {
    // Each thread's run has its own context: outputs, failure texts and temporary files never
    // mix (run under ThreadSanitizer by the thread build of the tests).
    std::string data;
    for (int i = 0; i < 200000; i++) data += std::to_string((i * 7919) % 100003) + "\n";
    write("big", data);
    Outcome good[2], bad[2];
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; t++) {
        threads.emplace_back([&, t] {
            std::string out = p(t == 0 ? "out0" : "out1");
            good[t] = run({"-W", t == 0 ? "1K" : "64M", "-T", dir.string(), "-O", out, p("big")});
        });
        threads.emplace_back([&, t] { bad[t] = run({"-M", "-O", p(t == 0 ? "m0" : "m1"), p("unsorted")}); });
    }
    for (auto& th : threads) th.join();
    std::vector<std::string> lines;
    std::istringstream in(data);
    for (std::string l; std::getline(in, l);) lines.push_back(l + "\n");
    std::sort(lines.begin(), lines.end());
    std::string sorted;
    for (auto& l : lines) sorted += l;
    for (int t = 0; t < 2; t++) {
        EXPECT_EQ(good[t].rc, 0);
        EXPECT_EQ(good[t].failure, "");
        std::ifstream f(p(t == 0 ? "out0" : "out1"), std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}), sorted);
        EXPECT_EQ(bad[t].rc, 1);
        EXPECT_EQ(bad[t].failure,
                  "☆ Input file [" + p("unsorted") + "] is not sorted by the sort keys!\n☆ File merge sort failed!\n");
    }
    for (auto& e : fs::directory_iterator(dir)) EXPECT_EQ(e.path().filename().string().rfind("tesra_", 0), std::string::npos);
}

}  // namespace
