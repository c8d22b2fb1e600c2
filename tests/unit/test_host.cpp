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
    std::string failure;
};

// One quiet run on `threads` (0: the default); with ownStreams its standard input is `input` and
// its output is captured, or goes to `out` when given.
Outcome run(std::vector<std::string> args, Progress* progress, const std::string& input = "", bool ownStreams = true,
            int32_t threads = 0, FILE* out = nullptr) {
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
    if (progress != nullptr) host.progress = ZsProgressHook{Progress::report, progress};
    if (ownStreams) {
        host.in = fmemopen(const_cast<char*>(input.data()), input.size(), "r");
        host.out = out != nullptr ? out : open_memstream(&outData, &outLen);
    }
    int rc = tesra_run((int)args.size(), argv.data(), &host);
    if (ownStreams) {
        fclose(host.in);
        if (out == nullptr) fclose(host.out);
    }
    Outcome o{rc, host.stats, std::string(outData != nullptr ? outData : "", outLen), failure};
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

// The output on several threads: the same bytes, counts and failures as on one. About 8 MB of
// records under five keys, so that every group of equal keys spans several of the pieces the
// threads gather; lengths vary, and two records are longer than a piece (one equal in key to a
// group, one not).
TEST_F(Host, OutputOnThreadsIsOneThreadsBytesCountsAndFailures) {
    std::string lines;
    for (uint32_t i = 0, x = 7; i < 90000; i++, x = x * 1103515245u + 12345u)
        lines += "k" + std::to_string(x % 5) + std::string(10 + (x >> 8) % 150, (char)('a' + (x >> 4) % 26)) + "\n";
    lines += "k3" + std::string(1500000, 'z') + "\n";
    lines += "q9" + std::string(1300000, 'y') + "\n";
    std::string csv = "name,key,value,pad\n";
    for (uint32_t i = 0, x = 3; i < 80000; i++, x = x * 1103515245u + 12345u)
        csv += "\"r," + std::to_string(x % 977) + "\"," + std::to_string(x % 7) + "," + std::to_string(x >> 12) + "," +
               std::string(20 + x % 60, 'p') + "\n";
    write("lines", lines);
    write("csv", csv);
    FILE* full = fopen("/dev/full", "w");
    // Standard output is gathered through the ordered ring, the unique filter cut at its pieces.
    const std::vector<std::vector<std::string>> cases = {
        {p("lines")}, {"-K", "0,2", "-U", p("lines")}, {"-K", "0,2", "-U", "-R", p("lines")},
        {"-C", "-H", "-K", "2", "-U", p("csv")}};
    for (const auto& args : cases) {
        for (FILE* out : {(FILE*)nullptr, full}) {
            if (out == nullptr && full == nullptr) continue;
            const Outcome one = run(args, nullptr, "", true, 1, out);
            EXPECT_EQ(one.rc, out == full ? 1 : 0) << args[0];
            for (int32_t threads : {2, 5}) {
                const Outcome many = run(args, nullptr, "", true, threads, out);
                EXPECT_EQ(many.rc, one.rc) << args[0] << " " << threads;
                EXPECT_TRUE(many.out == one.out) << args[0] << " " << threads;
                EXPECT_EQ(many.failure, one.failure) << args[0] << " " << threads;
                EXPECT_EQ(many.stats.records, one.stats.records) << args[0] << " " << threads;
                EXPECT_EQ(many.stats.duplicates, one.stats.duplicates) << args[0] << " " << threads;
            }
        }
    }
    if (full != nullptr) fclose(full);
    // The unique filter had groups to cut (five keys plus the long record of its own).
    const Outcome unique = run({"-K", "0,2", "-U", p("lines")}, nullptr, "", true, 5);
    EXPECT_EQ(std::count(unique.out.begin(), unique.out.end(), '\n'), 6);
    EXPECT_NE(unique.out.find("q9" + std::string(1300000, 'y') + "\n"), std::string::npos);
    EXPECT_EQ(unique.stats.records + unique.stats.duplicates, 90002);
}

}  // namespace
