// Loading input files into the in-memory buffer on several threads: the same failure as one thread
// finds when a file is not the size it was found to have (the differential test checks the bytes
// loaded on threads, the CSV header cut first included). And the split sort's loads read ahead on
// a thread of their own: the same bytes, and the end seen at the same load, as one thread's.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "sort/sort.h"
#include "sort/split.h"
#include "support.h"

namespace {

class Load : public EngineTest {
protected:
    std::string path = temp_path("load");
    std::string data;
    void SetUp() override {
        EngineTest::SetUp();
        r->console = ZS_CONSOLE_SILENT;
        // Read in pieces of a few KB (r->parallelMin); no newline at its end, which the load adds.
        r->parallelMin = 4096;
        for (uint32_t i = 0, x = 11; data.size() < (1u << 20); i++, x = x * 1103515245u + 12345u)
            data += std::to_string(x) + std::string(x % 90, (char)('a' + x % 26)) + "\n";
        data.pop_back();
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    }
    void TearDown() override {
        std::remove(path.c_str());
        EngineTest::TearDown();
    }

    struct Loaded {
        int rc;
        std::string bytes;  // the buffer up to the file's end
        std::string failure;
    };
    // Loads the file, said to be `size` bytes, on `threads` threads.
    Loaded load(int32_t threads, ZsSize size) {
        r->threads = threads;
        r->failure[0] = '\0';
        r->failureLen = 0;
        InputFile file{path.data(), nullptr, nullptr, size, 0};
        args.arrInFile = &file;
        args.inFileNums = 1;
        r->totals = ZsTotals{};
        r->totals.totalFileSize = size;
        std::vector<char> buffer((size_t)zs_load_size(*r) + 16, '\0');
        ZsSize end = 0;
        const int rc = zs_load_input(*r, buffer.data(), &end);
        args.arrInFile = nullptr;
        return Loaded{rc, std::string(buffer.data(), rc == 0 ? (size_t)end : 0), zs_failure_text(*r)};
    }
};

TEST_F(Load, EveryThreadCountReadsTheBytesOrFindsTheFileChangedAsOneDoes) {
    variable();
    const ZsSize size = (ZsSize)data.size();
    for (int32_t threads : {1, 2, 5}) {
        const Loaded whole = load(threads, size);
        EXPECT_EQ(whole.rc, 0) << threads;
        EXPECT_TRUE(whole.bytes == data + "\n") << threads;
        // Bytes beyond the size found at the start (the file grew), or fewer (it shrank).
        for (ZsSize said : {size - 1, size - (300 << 10), size + 1}) {
            const Loaded changed = load(threads, said);
            EXPECT_EQ(changed.rc, 1) << threads << " " << said;
            EXPECT_NE(changed.failure.find(path), std::string::npos) << threads << " " << said << changed.failure;
        }
    }
}

// The loads of a split sort (capacity cap) as zs_split_all takes them, each block keeping a carry
// of its own choice: every load's bytes and whether it saw the end. From a file of known size, or
// from a pipe fed in small pieces.
std::vector<std::pair<std::string, bool>> loads(ZsSortRun& r, const std::string& data, bool pipe, ZsSize cap,
                                                 const std::string& path, ZsSize aheadMost = ZS_AHEAD_MOST) {
    std::vector<std::pair<std::string, bool>> seen;
    FILE* in = nullptr;
    std::thread writer;
    int fds[2] = {-1, -1};
    if (pipe) {
        if (::pipe(fds) != 0) return seen;
        in = fdopen(fds[0], "rb");
        writer = std::thread([&data, fd = fds[1]] {
            for (size_t at = 0; at < data.size(); at += 3000)
                if (write(fd, data.data() + at, std::min<size_t>(3000, data.size() - at)) < 0) break;
            close(fd);
        });
    } else {
        FILE* f = fopen(path.c_str(), "wb");
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
        in = fopen(path.c_str(), "rb");
        setvbuf(in, nullptr, _IONBF, 0);
    }
    ZsSplit s;
    if (zs_split_open(r, &s, in, pipe ? -1 : (ZsSize)data.size()) == 0) {
        s.cap = std::max(cap, s.len);
        s.aheadMost = aheadMost;
        if (zs_split_buffer(r, &s) == 0) {
            for (int step = 0; zs_split_fill(r, &s) == 0 && s.len > 0; step++) {
                seen.emplace_back(std::string(s.buf, (size_t)s.len), s.atEnd);
                zs_split_read_ahead(r, &s);
                const ZsSize carry = s.atEnd || step % 3 == 0 ? 0 : s.len * (step % 5) / 7;
                std::memmove(s.buf, s.buf + s.len - carry, (size_t)carry);
                s.len = carry;
                if (s.atEnd && carry == 0) break;
            }
        }
    }
    zs_split_close(r, &s);
    fclose(in);
    if (writer.joinable()) writer.join();
    return seen;
}

TEST_F(Load, ReadAheadGivesTheLoadsOfOneThread) {
    variable();
    r->totals.totalMemSize = 16 << 20;
    const ZsSize cap = ZS_SAMPLE_BYTES + 5000;
    std::vector<ZsSize> sizes;
    for (ZsSize end : {2 * cap, 3 * cap, 3 * cap - cap / 7})
        for (ZsSize d = -12; d <= 12; d += 3) sizes.push_back(end + d);
    for (bool pipe : {false, true}) {
        // Ends around whole loads and where the third load ends after the second's carry (cap / 7):
        // the data ends where a load or a read-ahead does.
        for (ZsSize size : sizes) {
            const std::string bytes = data.substr(0, (size_t)size);
            r->threads = 1;
            const auto one = loads(*r, bytes, pipe, cap, path);
            ASSERT_FALSE(one.empty());
            EXPECT_TRUE(one.back().second) << "the last load sees the end";
            r->threads = 2;
            EXPECT_TRUE(one == loads(*r, bytes, pipe, cap, path)) << (pipe ? "pipe " : "file ") << size;
            // A read-ahead of part of a load: the rest is read after it (a file's at its offsets,
            // on the threads).
            r->parallelMin = 1000;
            EXPECT_TRUE(one == loads(*r, bytes, pipe, cap, path, cap / 3)) << (pipe ? "pipe " : "file ") << size;
            r->parallelMin = 0;
        }
    }
}

}  // namespace
