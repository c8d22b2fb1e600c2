// Size arithmetic at the edges of 32 bits (2^31, 2^32), without buffers of that size: the pool
// plan, the load size, the items' width and what it costs, the record bound, the memory limit read
// from the cgroup files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "engine/driver.h"
#include "platform/platform.h"
#include "records/records.h"
#include "sort/sort.h"
#include "support.h"

namespace {

constexpr ZsSize k2G = (ZsSize)1 << 31;
constexpr ZsSize k4G = (ZsSize)1 << 32;

}  // namespace

TEST(PoolPlan, NeedBudgetAndLimitPast32Bits) {
    // Without -W: the need while it is at most the budget, else the budget through the file.
    for (ZsSize need : {k2G - 1, k2G, k4G, k4G + 1, (ZsSize)12 << 30}) {
        const ZsPoolPlan fits = zs_pool_plan(need, 0, need);
        EXPECT_TRUE(fits.inMemory) << need;
        EXPECT_EQ(fits.size, need);
        const ZsPoolPlan over = zs_pool_plan(need + 1, 0, need);
        EXPECT_FALSE(over.inMemory) << need;
        EXPECT_EQ(over.size, need);
    }
    // -W decides over the budget, also past 4 GiB.
    EXPECT_EQ(zs_pool_plan(k4G + 5, k4G, (ZsSize)1 << 40).size, k4G);
    EXPECT_FALSE(zs_pool_plan(k4G + 5, k4G, (ZsSize)1 << 40).inMemory);
    EXPECT_TRUE(zs_pool_plan(k4G, k4G + 5, 1).inMemory);
    EXPECT_EQ(zs_pool_plan(k4G, k4G + 5, 1).size, k4G);
    // A stream's need is not known: the budget (or -W), never in memory from the start.
    EXPECT_EQ(zs_pool_plan(-1, 0, k4G + 8).size, k4G + 8);
    EXPECT_FALSE(zs_pool_plan(-1, 0, k4G + 8).inMemory);
    EXPECT_EQ(zs_pool_plan(-1, k2G, k4G).size, k2G);
    // No budget known: 64 MB, as before there was one.
    EXPECT_EQ(zs_pool_plan(-1, 0, 0).size, (ZsSize)64 << 20);
    EXPECT_EQ(zs_pool_plan(k2G, 0, 0).size, (ZsSize)64 << 20);
}

TEST(ItemWidth, OffsetsPast4GiBTakeWideItems) {
    EXPECT_FALSE(zs_items_wide(k4G - 1));
    EXPECT_TRUE(zs_items_wide(k4G));
    ArgsInfo a{};
    a.layout = ZS_VARIABLE;
    EXPECT_EQ(zs_index_cost(a, 1, k4G - 1), (int64_t)sizeof(ZsItem));
    EXPECT_EQ(zs_index_cost(a, 1, k4G), (int64_t)sizeof(ZsWideItem));
    a.layout = ZS_FIXED;
    EXPECT_EQ(zs_index_cost(a, 1, k4G - 1), 12);
    EXPECT_EQ(zs_index_cost(a, 1, k4G), 16);
    // The wide items hold offsets a 32-bit one would lose.
    ZsWideItem it{0, k4G + 3, 7};
    EXPECT_EQ(it.at, (uint64_t)k4G + 3);
    ZsWideFixedItem f{0, (uint64_t)k4G * 3};
    EXPECT_EQ(f.at, (uint64_t)k4G * 3);
}

TEST(RecordBound, LengthsBelow2GiBOnly) {
    EXPECT_TRUE(zs_record_fits(k2G - 1));
    EXPECT_FALSE(zs_record_fits(k2G));
    EXPECT_FALSE(zs_record_fits(k4G));  // would look like 0 in 32 bits
}

// A file of 2^31 - 1 bytes and its newline code: the load size passes 2^31 without wrapping.
TEST_F(EngineTest, LoadSizeAddsTheNewlineCodesIn64Bits) {
    variable("\r\n");
    args.inFileNums = 3;
    r->totals.totalFileSize = k2G - 1;
    EXPECT_EQ(zs_load_size(*r), k2G - 1 + 6);
    r->totals.totalFileSize = k4G;
    EXPECT_EQ(zs_load_size(*r), k4G + 6);
}

TEST(MemoryLimit, CgroupFilesAndTheMachine) {
    char path[] = "/tmp/tesra_limit_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    auto with = [&](const char* text) {
        FILE* f = fopen(path, "w");
        fputs(text, f);
        fclose(f);
        return zs_plat_read_limit(path);
    };
    EXPECT_EQ(with("max\n"), -1);  // v2: no limit
    EXPECT_EQ(with("4294967296\n"), k4G);
    EXPECT_EQ(with("2147483648"), k2G);
    EXPECT_EQ(with("9223372036854771712\n"), -1);  // v1: no limit
    EXPECT_EQ(with(""), -1);
    EXPECT_EQ(with("12ab\n"), -1);
    unlink(path);
    EXPECT_EQ(zs_plat_read_limit(path), -1);  // no such file: no limit

    // Whatever the machine, some memory and no more than it has.
    const int64_t limit = zs_plat_memory_limit();
    EXPECT_GT(limit, 0);
    EXPECT_LE(limit, (int64_t)sysconf(_SC_PHYS_PAGES) * sysconf(_SC_PAGESIZE));
    EXPECT_EQ(zs_pool_budget(), limit / 2);
}

// The driver's sizing of a run's pool from its totals, at sizes no test could read: 2^32 records
// of one byte are priced at 64-bit items (16 bytes each past 4 GiB), in 64 bits throughout.
TEST(PoolSize, FromTotalsPast4GiB) {
    auto run = std::make_unique<ZsRun>();
    ZsRun& r = *run;
    InputFile file{};
    r.settings.layout = ZS_FIXED;
    r.settings.bFixVar = 1;
    r.settings.recLen = 1;
    r.settings.inFileNums = 1;
    r.settings.arrInFile = &file;
    r.args = &r.settings;
    const ZsSize need = k4G + k4G * 16 + ((ZsSize)1 << 20);
    auto size = [&](ZsSize w, bool streams) {
        r.totals = ZsTotals{};
        r.totals.totalFileSize = r.totals.totalRecNum = k4G;
        r.totals.totalMemSize = w;
        r.totals.bStreams = streams ? 1 : 0;
        return zs_pool_size(r);
    };
    EXPECT_EQ(size(need, false), need);
    EXPECT_EQ(r.totals.bMemory, 1);
    EXPECT_EQ(size(need - 1, false), need - 1);  // below the need: the temporary file, with -W
    EXPECT_EQ(r.totals.bMemory, 0);
    EXPECT_EQ(size((ZsSize)5 << 30, true), (ZsSize)5 << 30);  // a stream: never in memory first
    EXPECT_EQ(r.totals.bMemory, 0);
    r.settings.arrInFile = nullptr;  // not the settings' to free
    r.settings.inFileNums = 0;
}
