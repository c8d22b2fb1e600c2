// Loading input files into the in-memory buffer on several threads: the same failure as one thread
// finds when a file is not the size it was found to have (the differential test checks the bytes
// loaded on threads, the CSV header cut first included).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/log.h"
#include "sort/sort.h"
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

}  // namespace
