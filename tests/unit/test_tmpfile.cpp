// The temporary-file mode with pools far smaller than any run gets, so that small random inputs
// span many blocks, records straddle every load boundary, blocks straddle merge refills and merges
// go through passes: its output must be the in-memory sort's, byte for byte. And the temporary
// record format, the temporary files' life, the merge's buffers and its plan of passes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/msg.h"
#include "engine/driver.h"
#include "file_text.h"
#include "memory/pool.h"
#include "records/records.h"
#include "settings/settings.h"
#include "sort/merge.h"
#include "sort/split.h"
#include "sort/tmpcodec.h"

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

// A run's context with its settings loaded and checked from args; null after a failure.
std::unique_ptr<ZsRun> checked_run(const std::vector<std::string>& args) {
    Args a(args);
    auto r = std::make_unique<ZsRun>();
    bool done = false;
    if (zs_args_load(*r, &r->settings, (int)a.text.size(), a.ptr.data(), &done) != 0 ||
        zs_args_check(*r, &r->settings, &r->totals) != 0) {
        zs_run_release(*r);
        return nullptr;
    }
    r->args = &r->settings;
    return r;
}

// The temporary-file mode on a pool of poolSize bytes, as the run driver would run it; *fallbacks
// receives the requests the pool had to pass to the heap, *passes the merge passes before the last.
int run_through_file(std::vector<std::string> args, ZsSize poolSize, ZsSize* blocks, ZsSize* fallbacks,
                     ZsSize* passes = nullptr) {
    std::unique_ptr<ZsRun> r = checked_run(args);
    if (r == nullptr) return 1;
    r->pool = zs_pool_create(poolSize, r.get());
    r->totals.totalMemSize = poolSize;
    r->totals.bMemory = 0;
    int rc = r->pool != nullptr ? zs_tmpfile_mode(*r) : 1;
    *blocks = r->tmp.count;
    if (passes != nullptr) *passes = r->mergePasses;
    *fallbacks = r->pool != nullptr ? r->pool->fallbacks : 0;
    if (rc == 0) rc = zs_close_error_file(*r);
    if (rc == 0) rc = zs_plat_out_commit(&r->errStream) != 0 || zs_plat_out_commit(&r->outStream) != 0;
    zs_run_release(*r);
    return rc;
}

// Feeds a FIFO from a thread of its own: the data can be read once, as from a pipe. A reader that
// stops early ends the writes (EPIPE; SIGPIPE is ignored in the tests that use it).
class FifoFeed {
public:
    FifoFeed(const fs::path& path, std::string data) : path_(path), data_(std::move(data)) {
        if (mkfifo(path.c_str(), 0600) != 0) return;
        writer_ = std::thread([this] {
            int fd = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
            for (size_t at = 0; fd >= 0 && at < data_.size();) {
                ssize_t n = write(fd, data_.data() + at, data_.size() - at);
                if (n <= 0) break;
                at += (size_t)n;
            }
            if (fd >= 0) close(fd);
            done_ = true;
        });
    }
    ~FifoFeed() {
        // A run that never opened the FIFO, or stopped reading it, leaves the writer waiting: be
        // its reader (never blocking: it may be done already) until it is done.
        while (writer_.joinable() && !done_) {
            int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            char sink[4096];
            for (ssize_t n = 1; fd >= 0 && n != 0 && !done_;) {
                n = read(fd, sink, sizeof sink);
                if (n < 0) usleep(1000);  // the writer has not written yet
            }
            if (fd >= 0) close(fd);
            usleep(1000);
        }
        if (writer_.joinable()) writer_.join();
    }
    FifoFeed(const FifoFeed&) = delete;
    FifoFeed& operator=(const FifoFeed&) = delete;

private:
    fs::path path_;
    std::string data_;
    std::thread writer_;
    std::atomic<bool> done_{false};
};

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

class TempFolder : public ::testing::Test {
protected:
    fs::path dir;
    std::string oldTemp;
    bool hadTemp = false;
    void SetUp() override {
        setenv("LC_ALL", "C", 1);
        const char* t = getenv("TEMP");
        hadTemp = t != nullptr;
        if (hadTemp) oldTemp = t;
        char tmpl[] = "/tmp/tesra_tmpfile_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("TEMP", dir.c_str(), 1);
    }
    void TearDown() override {
        fs::remove_all(dir);
        // Later tests must not inherit a folder that is gone.
        if (hadTemp)
            setenv("TEMP", oldTemp.c_str(), 1);
        else
            unsetenv("TEMP");
    }
};

class TmpfileTest : public TempFolder, public ::testing::WithParamInterface<int> {};

TEST_P(TmpfileTest, ManyBlocksGiveTheInMemoryOutput) {
    const int layout = GetParam();  // 0 fixed, 1 newline-ended, 2 CSV
    std::mt19937 rng(4242 + layout);
    std::mt19937 streams(77 + layout);  // apart from rng, whose draws shape the data and the pools
    ZsSize mostPasses = 0;
    bool onePassOfSeveral = false;
    signal(SIGPIPE, SIG_IGN);
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
        if (csv && streams() % 2) opts.push_back("-H");  // the first line of every file
        std::vector<std::string> inputs, streamed;
        // Some inputs reach the sort through a FIFO, read once and to its end.
        std::vector<std::unique_ptr<FifoFeed>> feeds;
        for (int f = 0; f < files; f++) {
            fs::path p = dir / ("in" + std::to_string(f));
            FILE* out = fopen(p.c_str(), "wb");
            fwrite(contents[f].data(), 1, contents[f].size(), out);
            fclose(out);
            inputs.push_back(p);
            streamed.push_back(p);
            if (streams() % 3 == 0) {
                streamed.back() = dir / ("fifo" + std::to_string(f));
                feeds.push_back(std::make_unique<FifoFeed>(streamed.back(), contents[f]));
            }
        }
        auto with = [&](const char* out, const std::vector<std::string>& in) {
            std::vector<std::string> v = opts;
            v.insert(v.end(), {"-O", (dir / out).string()});
            v.insert(v.end(), in.begin(), in.end());
            return v;
        };
        testing::internal::CaptureStderr();
        int memory = run_in_memory(with("memory.out", inputs));
        // Between one and two MiB: a few KB to a few hundred KB per load.
        ZsSize poolSize = (ZsSize)((1 << 20) + 80000 + rng() % 600000);
        ZsSize blocks = 0, fallbacks = 0, passes = 0;
        int through = run_through_file(with("file.out", streamed), poolSize, &blocks, &fallbacks, &passes);
        feeds.clear();
        for (const std::string& p : streamed)
            if (p.find("fifo") != std::string::npos) fs::remove(p);
        mostPasses = std::max(mostPasses, passes);
        if (passes == 0 && blocks >= 2) onePassOfSeveral = true;
        std::string err = testing::internal::GetCapturedStderr();
        ASSERT_EQ(memory, 0) << err;
        ASSERT_EQ(through, 0) << err;
        EXPECT_EQ(fallbacks, 0) << "the blocks must be planned within the pool";
        ASSERT_EQ(zs_test_read_file(dir / "file.out"), zs_test_read_file(dir / "memory.out"));
        for (const auto& e : fs::directory_iterator(dir))
            ASSERT_EQ(e.path().filename().string().rfind("tesra_", 0), std::string::npos) << "left behind: " << e.path();
    }
    EXPECT_GE(mostPasses, 2) << "the blocks must be too many for one merge in some rounds";
    EXPECT_TRUE(onePassOfSeveral) << "and few enough in others";
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, TmpfileTest, ::testing::Values(0, 1, 2));

// ---- The temporary record format ----

namespace {

struct Rec {
    std::string data;
    std::vector<CsvColumn> cols;
};

// The records written through the codec, as the block writers write them.
template <ZsLayout L>
std::string encode(const ArgsInfo& a, const std::vector<Rec>& recs, int64_t* total) {
    char* mem = nullptr;
    size_t memLen = 0;
    FILE* stream = open_memstream(&mem, &memLen);
    char buf[64];  // smaller than some records: they go straight to the stream
    ZsWriter w = zs_writer(stream, buf, sizeof buf);
    *total = 0;
    for (const Rec& r : recs)
        *total += zs_tmp_put<L>(&w, a, r.data.data(), (ZsSize)r.data.size(), r.cols.data(), (ZsSize)r.cols.size());
    zs_writer_flush(&w);
    fclose(stream);
    std::string out(mem, memLen);
    free(mem);
    return out;
}

// Walks a block as the merge does; false at the first record the codec refuses.
template <ZsLayout L>
bool decode(const ArgsInfo& a, const std::string& block, std::vector<Rec>* recs) {
    for (size_t at = 0; at < block.size();) {
        const int64_t remain = (int64_t)(block.size() - at);
        if (remain < zs_tmp_prefix<L>(a)) return false;
        const int64_t size = zs_tmp_size<L>(a, block.data() + at, remain);
        if (size < 0) return false;
        ZsHead h = zs_tmp_head<L>(a, block.data() + at, 7);
        EXPECT_EQ(h.unitNo, 7);
        Rec r{std::string(h.data, (size_t)h.len), std::vector<CsvColumn>((size_t)h.colNum)};
        if (h.colNum > 0) std::memcpy(r.cols.data(), h.cols, (size_t)h.colNum * sizeof(CsvColumn));
        recs->push_back(r);
        at += (size_t)size;
    }
    return true;
}

bool operator==(const Rec& x, const Rec& y) {
    return x.data == y.data && x.cols.size() == y.cols.size() &&
           std::equal(x.cols.begin(), x.cols.end(), y.cols.begin(),
                      [](const CsvColumn& p, const CsvColumn& q) { return p.off == q.off && p.len == q.len; });
}

void put_i32(std::string* s, size_t at, int32_t v) { std::memcpy(s->data() + at, &v, sizeof v); }

}  // namespace

TEST(TmpCodec, RecordsComeBackAsWritten) {
    ArgsInfo a{};
    a.recLen = 5;
    std::vector<Rec> fixed = {{"abcde", {}}, {"\0\1\2\3\4", {}}, {"zzzzz", {}}};
    fixed[1].data.assign("\0\1\2\3\4", 5);
    int64_t total = 0;
    std::string b = encode<ZS_FIXED>(a, fixed, &total);
    EXPECT_EQ(b, "abcde" + fixed[1].data + "zzzzz");
    std::vector<Rec> back;
    ASSERT_TRUE(decode<ZS_FIXED>(a, b, &back));
    EXPECT_EQ(back, fixed);

    std::vector<Rec> lines = {{"a\n", {}}, {"", {}}, {std::string(200, 'x') + "\n", {}}};
    b = encode<ZS_VARIABLE>(a, lines, &total);
    EXPECT_EQ(total, (int64_t)b.size());
    EXPECT_EQ(b.size(), 4 * 3 + 2 + 0 + 201u);
    back.clear();
    ASSERT_TRUE(decode<ZS_VARIABLE>(a, b, &back));
    EXPECT_EQ(back, lines);

    std::vector<Rec> csv = {{"k,v\n", {{0, 1}, {2, 1}}}, {"\n", {{0, 0}}}, {std::string(100, 'q') + ",\n", {{0, 100}, {101, 0}}}};
    b = encode<ZS_CSV>(a, csv, &total);
    EXPECT_EQ(total, (int64_t)b.size());
    EXPECT_EQ(b.substr(0, 8 + 16), std::string("\4\0\0\0\2\0\0\0\0\0\0\0\1\0\0\0\2\0\0\0\1\0\0\0", 24));
    back.clear();
    ASSERT_TRUE(decode<ZS_CSV>(a, b, &back));
    EXPECT_EQ(back, csv);
}

TEST(TmpCodec, LengthsAreCheckedAgainstWhatRemains) {
    ArgsInfo a{};
    a.recLen = 4;
    int64_t total = 0;
    std::string v = encode<ZS_VARIABLE>(a, {{"abc\n", {}}}, &total);
    EXPECT_EQ(zs_tmp_size<ZS_VARIABLE>(a, v.data(), (int64_t)v.size()), 8);
    EXPECT_EQ(zs_tmp_size<ZS_VARIABLE>(a, v.data(), (int64_t)v.size() - 1), -1);  // the block ends inside it
    put_i32(&v, 0, -1);
    EXPECT_EQ(zs_tmp_size<ZS_VARIABLE>(a, v.data(), (int64_t)v.size()), -1);
    // The longest record: its bytes in the format pass 2^31, counted in 64 bits.
    put_i32(&v, 0, INT32_MAX);
    EXPECT_EQ(zs_tmp_size<ZS_VARIABLE>(a, v.data(), INT64_MAX), 4 + (int64_t)INT32_MAX);
    EXPECT_EQ(zs_tmp_size<ZS_VARIABLE>(a, v.data(), 2 + (int64_t)INT32_MAX), -1);

    std::string c = encode<ZS_CSV>(a, {{"a,b\n", {{0, 1}, {2, 1}}}}, &total);
    EXPECT_EQ(zs_tmp_size<ZS_CSV>(a, c.data(), (int64_t)c.size()), 8 + 16 + 4);
    EXPECT_EQ(zs_tmp_size<ZS_CSV>(a, c.data(), (int64_t)c.size() - 1), -1);
    put_i32(&c, 4, -2);  // column count
    EXPECT_EQ(zs_tmp_size<ZS_CSV>(a, c.data(), (int64_t)c.size()), -1);
    put_i32(&c, 4, 2);
    put_i32(&c, 0, -4);  // length
    EXPECT_EQ(zs_tmp_size<ZS_CSV>(a, c.data(), (int64_t)c.size()), -1);
    // A column table of 2^29 entries is 2^32 bytes: no 32-bit wrap to a small record.
    put_i32(&c, 0, INT32_MAX);
    put_i32(&c, 4, 1 << 29);
    const int64_t huge = 8 + ((int64_t)1 << 32) + INT32_MAX;
    EXPECT_EQ(zs_tmp_size<ZS_CSV>(a, c.data(), INT64_MAX), huge);
    EXPECT_EQ(zs_tmp_size<ZS_CSV>(a, c.data(), huge - 1), -1);

    EXPECT_EQ(zs_tmp_size<ZS_FIXED>(a, "abcd", 4), 4);
    EXPECT_EQ(zs_tmp_size<ZS_FIXED>(a, "abcd", 3), -1);
}

// Where a record is encoded its length and column count are checked against the 32-bit fields:
// nothing of a record that does not fit reaches the stream (the records are never read).
TEST(TmpCodec, RecordsLongerThanTheFieldsAreRefused) {
    const ZsSize limit = (ZsSize)1 << 31;
    EXPECT_TRUE(zs_tmp_fits(limit - 1, limit - 1));
    EXPECT_FALSE(zs_tmp_fits(limit, 0));
    EXPECT_FALSE(zs_tmp_fits(0, limit));
    EXPECT_FALSE(zs_tmp_fits((ZsSize)1 << 32, 0));  // would look like 0 in 32 bits
    EXPECT_FALSE(zs_tmp_fits(-1, 0));

    ArgsInfo a{};
    char buf[16];
    ZsWriter w = zs_writer(nullptr, buf, sizeof buf);  // a write to the stream would crash
    const CsvColumn col{0, 1};
    EXPECT_EQ(zs_tmp_put<ZS_VARIABLE>(&w, a, "x", limit, nullptr, 0), -1);
    EXPECT_EQ(zs_tmp_put<ZS_VARIABLE>(&w, a, "x", (ZsSize)1 << 32, nullptr, 0), -1);
    EXPECT_EQ(zs_tmp_put<ZS_CSV>(&w, a, "x", limit, &col, 1), -1);
    EXPECT_EQ(zs_tmp_put<ZS_CSV>(&w, a, "x", 1, &col, limit), -1);
    EXPECT_EQ(w.used, 0);
    EXPECT_EQ(zs_tmp_put<ZS_VARIABLE>(&w, a, "x", 1, nullptr, 0), 5);
    EXPECT_EQ(w.used, 5);
}

// ---- The temporary file's life ----

TEST_F(TempFolder, TemporaryFileHasNoNameWhileInUse) {
    fs::create_directory(dir / "t");
    std::ofstream(dir / "in") << "b\na\n";
    std::unique_ptr<ZsRun> r = checked_run({"-T", (dir / "t").string(), (dir / "in").string()});
    ASSERT_NE(r, nullptr);
    r->pool = zs_pool_create(1 << 20, r.get());
    ASSERT_EQ(zs_temp_create(*r), 0);
    ASSERT_NE(r->tmp.stream, nullptr);
    ASSERT_NE(r->tmp.blocks, nullptr);  // made with the file
    EXPECT_TRUE(fs::is_empty(dir / "t")) << "the name goes as soon as the file is open";
    ASSERT_EQ(fwrite("block", 1, 5, r->tmp.stream), 5u);
    ASSERT_EQ(zs_finish_temp_writes(*r), 0);
    char back[5];
    EXPECT_EQ(zs_plat_read_at(r->tmp.stream, back, 5, 0), 5);
    EXPECT_EQ(std::string(back, 5), "block");
    zs_temp_close(*r);
    EXPECT_EQ(r->tmp.stream, nullptr);
    zs_temp_close(*r);  // the cleanup may come again
    zs_run_release(*r);
}

TEST_F(TempFolder, MissingTemporaryFolderIsReportedBeforeCreating) {
    std::ofstream(dir / "in") << "b\na\n";
    fs::create_directory(dir / "gone");
    std::unique_ptr<ZsRun> r = checked_run({"-T", (dir / "gone").string(), (dir / "in").string()});
    ASSERT_NE(r, nullptr);
    fs::remove(dir / "gone");  // after the check, before the file
    r->pool = zs_pool_create(1 << 20, r.get());
    testing::internal::CaptureStderr();
    EXPECT_EQ(zs_temp_create(*r), 1);
    std::string err = testing::internal::GetCapturedStderr();
    std::string want = "☆ Temporary folder [" + (dir / "gone").string() + "/] does not exist or insufficient permissions!\n";
    char con[ZS_MSG_BUF];
    zs_to_console(want.c_str(), con);  // as the console gets it
    EXPECT_EQ(err, con);
    EXPECT_EQ(r->tmp.stream, nullptr);
    zs_run_release(*r);
}

// ---- Block buffers ----

class LongRecords : public TempFolder, public ::testing::WithParamInterface<bool> {};

TEST_P(LongRecords, OnlyTheirBlocksBuffersGrowAndTheMergeStaysInThePool) {
    // A few records of 100 to 300 KB among short ones: every block gets its share, and only a block
    // whose record does not fit grows. Buffers of the longest record for every block would not fit
    // this pool.
    const bool csv = GetParam();
    std::mt19937 rng(77 + csv);
    int64_t mostPasses = 0;
    for (int round = 0; round < 4; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::string content;
        for (int i = 0; i < 60000; i++) {
            std::string key = std::to_string(rng() % 500);
            std::string rest = rng() % 4000 == 0 ? std::string(100000 + rng() % 200000, 'a' + (char)(rng() % 3))
                                                 : std::to_string(rng() % 1000);
            content += csv ? key + ",\"" + rest + "\"\n" : key + " " + rest + "\n";
        }
        std::ofstream(dir / "in", std::ios::binary) << content;
        std::vector<std::string> opts = csv ? std::vector<std::string>{"-C", "-K", "1n"}
                                            : std::vector<std::string>{"-K", "0,3n"};
        opts.push_back(round % 2 ? "-S" : "-U");
        if (round == 3) opts.push_back("-S");
        auto with = [&](const char* out) {
            std::vector<std::string> v = opts;
            v.insert(v.end(), {"-O", (dir / out).string(), (dir / "in").string()});
            return v;
        };
        testing::internal::CaptureStderr();
        int memory = run_in_memory(with("memory.out"));
        ZsSize blocks = 0;
        ZsSize fallbacks = 0;
        ZsSize passes = 0;
        int through = run_through_file(with("file.out"), 3 << 20, &blocks, &fallbacks, &passes);
        std::string err = testing::internal::GetCapturedStderr();
        ASSERT_EQ(memory, 0) << err;
        ASSERT_EQ(through, 0) << err;
        EXPECT_EQ(fallbacks, 0u) << "the merge's buffers must stay in the pool";
        ASSERT_EQ(zs_test_read_file(dir / "file.out"), zs_test_read_file(dir / "memory.out"));
        mostPasses = std::max(mostPasses, passes);
    }
    EXPECT_GE(mostPasses, 1) << "blocks with long records must be too many for one merge";
}

INSTANTIATE_TEST_SUITE_P(LinesAndCsv, LongRecords, ::testing::Bool());

TEST_F(TempFolder, ABlockIsNeverReadBeyondItsLongestRecord) {
    // Blocks written by hand: a record longer than its block says its records are is damage, not a
    // reason to grow the buffer.
    std::ofstream(dir / "in") << "x\n";
    for (bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "damaged" : "sound");
        std::unique_ptr<ZsRun> r = checked_run({"-O", (dir / "out").string(), (dir / "in").string()});
        ASSERT_NE(r, nullptr);
        // Shares of this pool are shorter than the long record: its buffer must grow.
        r->pool = zs_pool_create(3 << 19, r.get());
        r->totals.totalMemSize = 3 << 19;
        ASSERT_EQ(zs_temp_create(*r), 0);
        std::vector<std::vector<std::string>> recs = {{"b\n", std::string(300000, 'c') + "\n"},
                                                      std::vector<std::string>(50000, "a\n")};
        recs[1].push_back("d\n");
        for (const auto& block : recs) {
            ZsBlock* b = zs_new_block(*r);
            ASSERT_NE(b, nullptr);
            *b = ZsBlock{r->tmp.offset, 0, 0, 0};
            char buf[4096];
            ZsWriter w = zs_writer(r->tmp.stream, buf, sizeof buf);
            for (const std::string& rec : block) {
                int64_t bytes = zs_tmp_put<ZS_VARIABLE>(&w, *r->args, rec.data(), (int32_t)rec.size(), nullptr, 0);
                b->size += bytes;
                b->recNum++;
                b->maxRecLen = std::max(b->maxRecLen, bytes);
            }
            zs_writer_flush(&w);
            if (damaged) b->maxRecLen = 1000;  // claims shorter records than it holds
            ASSERT_EQ(zs_list_append(r->pool, r->tmp.blocks, b, ZS_LIST_POOL), 0);
            r->tmp.count++;
            r->tmp.offset += b->size;
        }
        ASSERT_EQ(zs_finish_temp_writes(*r), 0);
        testing::internal::CaptureStderr();
        int rc = zs_merge_to_output(*r);
        std::string err = testing::internal::GetCapturedStderr();
        if (!damaged) {
            EXPECT_EQ(rc, 0) << err;
            EXPECT_EQ(zs_plat_out_commit(&r->outStream), 0);
            std::string a;
            for (int i = 0; i < 50000; i++) a += "a\n";
            EXPECT_EQ(zs_test_read_file(dir / "out"), a + "b\n" + recs[0][1] + "d\n");
        } else {
            EXPECT_EQ(rc, 1);
            char con[ZS_MSG_BUF];
            zs_to_console("☆一時ファイルの読み込み中にエラーが発生しました！\n", con);
            EXPECT_NE(err.find(con), std::string::npos) << err;
        }
        EXPECT_EQ(r->pool->fallbacks, 0u);
        zs_run_release(*r);
    }
}

// ---- Merges in passes ----

namespace {

// A block list over blocks of the given sizes and longest records, as a merge plans it.
struct BlockList {
    std::vector<ZsBlock> blocks;
    std::vector<void*> items;
    PtrList list{};
    void add(int64_t n, int64_t size, int64_t longest) {
        for (int64_t i = 0; i < n; i++) blocks.push_back(ZsBlock{0, size, 1, longest});
        items.clear();
        for (ZsBlock& b : blocks) items.push_back(&b);
        list = PtrList{items.data(), (int32_t)items.size(), 0, (int32_t)items.size()};
    }
};

constexpr int64_t kKB = 1024;

}  // namespace

TEST(MergePlan, AMergeTakesTheBlocksWhoseLeastBuffersFitTheBudget) {
    // Blocks of 1 MB with short records need an efficient read each; what else a source takes is
    // far less than 1 KB.
    BlockList big;
    big.add(40, 1 << 20, 100);
    EXPECT_EQ(zs_merge_group_end(&big.list, 0, 10 * (64 * kKB + kKB)), 10);
    EXPECT_EQ(zs_merge_group_end(&big.list, 0, 10 * 64 * kKB), 9);
    EXPECT_EQ(zs_merge_group_end(&big.list, 35, 10 * (64 * kKB + kKB)), 40);
    // Never fewer than two, however small the budget: a merge of one block gets nowhere. The last
    // block may be left alone.
    EXPECT_EQ(zs_merge_group_end(&big.list, 0, 0), 2);
    EXPECT_EQ(zs_merge_group_end(&big.list, 39, 0), 40);

    // A block smaller than an efficient read needs only its bytes.
    BlockList small;
    small.add(100, 1000, 40);
    EXPECT_EQ(zs_merge_group_end(&small.list, 0, 100 * (1000 + kKB)), 100);

    // A block whose longest record is longer than an efficient read needs room for it.
    BlockList mixed;
    mixed.add(3, 1 << 20, 100);
    mixed.add(1, 1 << 20, 512 * kKB);
    mixed.add(10, 1 << 20, 100);
    EXPECT_EQ(zs_merge_group_end(&mixed.list, 0, 3 * 64 * kKB + 512 * kKB + 4 * kKB), 4);
}

TEST_F(TempFolder, AnInterruptStopsTheMergePassesAndBothFilesAreClosed) {
    std::string content;
    std::mt19937 rng(5);
    for (int i = 0; i < 30000; i++) content += std::to_string(rng() % 100000) + "\n";
    std::ofstream(dir / "in", std::ios::binary) << content;
    auto open_fds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()); };
    const auto fdsBefore = open_fds();
    std::unique_ptr<ZsRun> r = checked_run({"-O", (dir / "out").string(), (dir / "in").string()});
    ASSERT_NE(r, nullptr);
    r->pool = zs_pool_create(1200000, r.get());
    r->totals.totalMemSize = 1200000;
    // A host asked at every safe point, that answers yes once the spare file exists.
    r->interrupt = ZsInterruptHook{[](void* user) {
                                       ZsRun* run = static_cast<ZsRun*>(user);
                                       run->lastInterruptCheck = 0;
                                       return run->spare.stream != nullptr ? 1 : 0;
                                   },
                                   r.get()};
    testing::internal::CaptureStderr();
    int rc = zs_tmpfile_mode(*r);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 1);
    EXPECT_NE(err.find("Sort interrupted!"), std::string::npos) << err;
    EXPECT_EQ(r->mergePasses, 0) << "stopped in the first pass";
    zs_run_release(*r);
    EXPECT_EQ(open_fds(), fdsBefore) << "both temporary files are closed";
    for (const auto& e : fs::directory_iterator(dir)) EXPECT_EQ(e.path().filename(), "in");
}

// Through merge passes, from a FIFO: what became of the records is counted once, where it is
// written to the output or dropped for good; the read's size is unknown, and every merge pass and
// the last merge report the merge's progress up to their whole.
TEST_F(TempFolder, MergePassesCountTheRecordsOnceAndReportTheirProgress) {
    std::string content;
    std::mt19937 rng(7);
    for (int i = 0; i < 30000; i++) content += std::to_string(rng() % 5000) + "\n";
    struct Report {
        std::string phase;
        ZsSize done, total;
    };
    for (bool unique : {false, true}) {
        FifoFeed feed(dir / "fifo", content);
        std::vector<std::string> args = {"-O", (dir / "out").string(), (dir / "fifo").string()};
        if (unique) args.insert(args.begin(), "-U");
        std::unique_ptr<ZsRun> r = checked_run(args);
        ASSERT_NE(r, nullptr);
        r->pool = zs_pool_create(1200000, r.get());
        r->totals.totalMemSize = 1200000;
        r->console = ZS_CONSOLE_SILENT;
        std::vector<Report> reports;
        r->progress = ZsProgressHook{[](void* user, const char* phase, ZsSize done, ZsSize total) {
                                         static_cast<std::vector<Report>*>(user)->push_back({phase, done, total});
                                         return 0;
                                     },
                                     &reports};
        ASSERT_EQ(zs_tmpfile_mode(*r), 0);
        ASSERT_EQ(zs_plat_out_commit(&r->outStream), 0);
        EXPECT_GT(r->mergePasses, 0);
        const std::string out = zs_test_read_file(dir / "out");
        const ZsSize lines = (ZsSize)std::count(out.begin(), out.end(), '\n');
        EXPECT_EQ(r->totals.outRecNum, lines) << unique;
        EXPECT_EQ(r->totals.dupRecNum, 30000 - lines) << unique;
        EXPECT_EQ(unique ? lines < 5000 : lines == 30000, true) << lines;
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.front().phase, "sort");
        ZsSize ends = 0, read = 0;
        for (const Report& p : reports) {
            if (p.phase == "sort") {
                EXPECT_EQ(p.total, 0) << "a FIFO's size is not known";
                read = p.done;
                continue;
            }
            ASSERT_EQ(p.phase, "merge");
            EXPECT_LE(p.done, p.total);
            ends += p.done == p.total;  // every pass ends complete, and the last merge
        }
        EXPECT_EQ(read, (ZsSize)content.size()) << "every byte of the FIFO is counted as it is read";
        EXPECT_EQ(reports.back().done, reports.back().total);
        EXPECT_GE(ends, r->mergePasses + 1);
        zs_run_release(*r);
        fs::remove(dir / "fifo");
    }
}
