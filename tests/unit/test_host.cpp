// What a host gives a run and is told: streams of its own, progress reports phase by phase in every
// mode, a stop asked at any phase, and what became of the records.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "engine/driver.h"
#include "file_text.h"

namespace fs = std::filesystem;

namespace {

struct Progress {
    std::vector<std::string> phases;  // in order, each once
    std::string stopAt;               // the first report of this phase asks the run to stop
    bool bad = false;                 // a report after the stop, or more done than the total
    bool stopped = false;
    std::vector<int64_t> last;  // per phase: done - total of its last report (0: it ended complete)

    static int report(void* user, const char* phase, int64_t done, int64_t total) {
        Progress* p = static_cast<Progress*>(user);
        if (p->phases.empty() || p->phases.back() != phase) {
            p->phases.push_back(phase);
            p->last.push_back(0);
        }
        p->last.back() = total > 0 ? done - total : 0;
        p->bad |= p->stopped || done < 0 || (total > 0 && done > total);
        p->stopped = p->stopAt == phase;
        return p->stopped;
    }
};

struct Outcome {
    int rc;
    ZsRunStats stats;
    std::string out;  // what the run wrote to its standard output
};

// One quiet run; with ownStreams its standard input is `input` and its output is captured.
Outcome run(std::vector<std::string> args, Progress* progress, const std::string& input = "", bool ownStreams = true) {
    args.insert(args.begin(), "tesra");
    std::vector<char*> argv;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    char* outData = nullptr;
    size_t outLen = 0;
    ZsHost host{{nullptr, nullptr}, nullptr, 0};
    host.quiet = true;
    host.console = ZS_CONSOLE_SILENT;
    if (progress != nullptr) host.progress = ZsProgressHook{Progress::report, progress};
    if (ownStreams) {
        host.in = fmemopen(const_cast<char*>(input.data()), input.size(), "r");
        host.out = open_memstream(&outData, &outLen);
    }
    int rc = tesra_run((int)args.size(), argv.data(), &host);
    if (ownStreams) {
        fclose(host.in);
        fclose(host.out);
    }
    Outcome o{rc, host.stats, std::string(outData != nullptr ? outData : "", outLen)};
    free(outData);
    return o;
}

class Host : public ::testing::Test {
protected:
    fs::path dir = fs::path(::testing::TempDir()) / ("tesra_host_" + std::to_string(getpid()));
    static constexpr int kBig = 150000;
    std::string big;  // 15 MB of 100-byte records: more than a 16 MB pool sorts in memory
    void SetUp() override {
        fs::create_directories(dir);
        for (uint32_t i = 0, x = 1; i < kBig; i++, x = x * 1103515245u + 12345u)
            big += std::to_string(x % 9000 + 1000) + std::string(95, 'a' + (char)(x % 26)) + "\n";
        big += "x\n";  // too short for a key of 0,4
        write("big", big);
        write("small", "c\nb\na\n");
        write("s1", "a\nc\n");
        write("s2", "b\n");
    }
    void TearDown() override { fs::remove_all(dir); }
    void write(const char* name, const std::string& data) {
        FILE* f = fopen(p(name).c_str(), "wb");
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    }
    std::string p(const char* name) { return (dir / name).string(); }
};

TEST_F(Host, EveryModeReportsItsPhasesCompleteAndStopsAtAnyOfThemLeavingNoOutput) {
    struct Mode {
        std::vector<std::string> args;
        std::string input;
        const char* name;
        std::vector<std::string> phases;
    } modes[] = {
        {{p("small")}, "", "memory", {"read", "sort", "write"}},
        {{"-W", "16M", p("big")}, "", "temporary file", {"sort", "merge"}},
        {{}, "b\na\n", "standard input", {"read", "sort", "write"}},
        {{"-W", "16M"}, big, "standard input", {"read", "sort", "merge"}},
        {{"-M", p("s1"), p("s2")}, "", "merge", {"merge"}},
    };
    for (const Mode& m : modes) {
        std::vector<std::string> args = m.args;
        args.insert(args.begin(), {"-O", p("out")});
        Progress all;
        Outcome o = run(args, &all, m.input);
        EXPECT_EQ(o.rc, 0);
        EXPECT_STREQ(o.stats.mode, m.name);
        EXPECT_EQ(all.phases, m.phases) << m.name;
        EXPECT_EQ(all.last, std::vector<int64_t>(m.phases.size(), 0)) << m.name;
        EXPECT_FALSE(all.bad) << m.name;
        ASSERT_TRUE(fs::remove(p("out"))) << m.name;
        for (const std::string& phase : m.phases) {
            Progress stop;
            stop.stopAt = phase;
            EXPECT_EQ(run(args, &stop, m.input).rc, 1) << m.name << " " << phase;
            EXPECT_FALSE(stop.bad || fs::exists(p("out"))) << m.name << " " << phase;
        }
    }
}

TEST_F(Host, RecordsWrittenRejectedAndDroppedAddUpAlikeInMemoryAndThroughTheTemporaryFile) {
    const std::vector<std::string> keyed = {"-K", "0,4", "-U", "-E", p("err")};
    Outcome memory = run(keyed, nullptr, big);
    ASSERT_TRUE(fs::remove(p("err")));
    std::vector<std::string> args = keyed;
    args.insert(args.end(), {"-W", "16M", p("big")});
    Outcome file = run(args, nullptr);
    ASSERT_EQ(memory.rc, 0);
    ASSERT_EQ(file.rc, 0);
    EXPECT_EQ(file.out, memory.out);
    EXPECT_EQ(zs_test_read_file(p("err")), "x\n");
    EXPECT_STREQ(file.stats.mode, "temporary file");
    for (const ZsRunStats& s : {memory.stats, file.stats}) {
        EXPECT_EQ(s.records, (int64_t)std::count(memory.out.begin(), memory.out.end(), '\n'));
        EXPECT_EQ(s.rejected, 1);
        EXPECT_EQ(s.records + s.rejected + s.duplicates, kBig + 1);
    }
}

// A run with streams of its own goes on while another holds the process's standard input.
TEST_F(Host, StreamsOfItsOwnNeedNotWaitForTheProcesssStandardStreams) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int savedIn = dup(0);
    dup2(fds[0], 0);
    close(fds[0]);
    auto holder = std::async(std::launch::async, [&] { return run({"-O", p("out")}, nullptr, "", false).rc; });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // reading, holding the lock
    auto own = std::async(std::launch::async, [&] { return run({}, nullptr, "b\na\n"); });
    const bool ran = own.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    close(fds[1]);  // the holder reads the end of its input and lets go
    EXPECT_TRUE(ran);
    EXPECT_EQ(own.get().out, "a\nb\n");
    EXPECT_EQ(holder.get(), 0);
    dup2(savedIn, 0);
    close(savedIn);
}

}  // namespace
