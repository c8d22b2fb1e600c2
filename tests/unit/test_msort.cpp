// Stable list merge sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "heap_limit.h"
#include "memory/msort.h"
#include "memory/pool.h"

namespace {

struct Rec {
    int key;
    int seq;  // input position, to see stability
};

long gCalls;
int gMaxBackBlocks;

// The tests hand the sort their pool as the comparators' environment.
void observe(void* env) {
    gCalls++;
    const MemoryPool* pool = (const MemoryPool*)env;
    if (pool != nullptr) gMaxBackBlocks = std::max(gMaxBackBlocks, (int)pool->backCount);
}
const Rec* rec(const void* e) { return *(const Rec* const*)e; }
int cmpAsc(const void* a, const void* b, void* env) {
    observe(env);
    return rec(a)->key < rec(b)->key ? -1 : rec(a)->key > rec(b)->key;
}
int cmpDesc(const void* a, const void* b, void* env) {
    observe(env);
    return rec(b)->key - rec(a)->key;  // keys are small: no overflow
}
int cmpCoarse(const void* a, const void* b, void* env) {  // many ties
    observe(env);
    return rec(a)->key / 100 - rec(b)->key / 100;
}

// Every pool call counted so far.
uint64_t pool_calls() {
    const ZsPoolCalls& c = zs_pool_calls;
    return (uint64_t)c.malloc_ + c.mallocHwm + c.qmalloc + c.realloc_ + c.heapMalloc + c.heapRealloc + c.heapFree +
           c.heapQfree;
}

class MsortTest : public testing::Test {
protected:
    ZsLog log{};
    MemoryPool* pool = nullptr;
    void SetUp() override {
        pool = zs_pool_create(16 << 20, &log);
        ASSERT_NE(pool, nullptr);
        gCalls = 0;
        gMaxBackBlocks = 0;
    }
    void TearDown() override { zs_pool_destroy(pool); }
    std::vector<Rec> recs;
    std::vector<Rec*> ptrs;
    void make(size_t n, int keyRange, uint32_t seed) {
        std::mt19937 rng(seed);
        recs.resize(n);
        ptrs.resize(n);
        for (size_t i = 0; i < n; i++) {
            recs[i] = Rec{(int)(rng() % (uint32_t)keyRange), (int)i};
            ptrs[i] = &recs[i];
        }
    }
    int sort(int32_t lo, int32_t hi, ZsCmp cmp) {
        return zs_list_msort(pool, (void**)ptrs.data(), lo, hi, sizeof(void*), cmp, pool);
    }
    void expect_scratch_returned() {
        EXPECT_EQ(pool->back, pool->end);
        EXPECT_EQ(pool->backCount, 0);
        EXPECT_EQ(pool->frontCount, 0u);
        EXPECT_EQ(pool->heapBlocks.count, 0);
    }
};

TEST_F(MsortTest, SingleElementNeitherComparesNorAllocates) {
    make(3, 10, 1);
    log.bVerbose = 1;  // so that the pool counts allocation calls
    uint64_t c0 = pool_calls();
    std::vector<Rec*> before = ptrs;
    EXPECT_EQ(sort(1, 1, cmpAsc), 0);
    EXPECT_EQ(gCalls, 0);
    EXPECT_EQ(pool_calls(), c0);
    EXPECT_EQ(ptrs, before);
}

TEST_F(MsortTest, TwoElementsAndAllEqual) {
    recs = {{5, 0}, {5, 1}};
    ptrs = {&recs[0], &recs[1]};
    EXPECT_EQ(sort(0, 1, cmpAsc), 0);
    EXPECT_EQ(ptrs[0], &recs[0]);  // a result of 0 keeps the order
    recs = {{7, 0}, {3, 1}};
    ptrs = {&recs[0], &recs[1]};
    EXPECT_EQ(sort(0, 1, cmpAsc), 0);
    EXPECT_EQ(ptrs[0], &recs[1]);  // a positive result swaps
    EXPECT_EQ(ptrs[1], &recs[0]);

    for (size_t n : {5, 13, 1000}) {
        make(n, 1, 2);
        std::vector<Rec*> before = ptrs;
        EXPECT_EQ(sort(0, (int32_t)n - 1, cmpAsc), 0);
        EXPECT_EQ(ptrs, before) << n;
    }
    expect_scratch_returned();
}

TEST_F(MsortTest, AgreesWithStableSortOnRandomData) {
    struct Case {
        ZsCmp cmp;
        bool (*less)(const Rec*, const Rec*);
        int keyRange;
    };
    const Case cases[] = {
        {cmpAsc, [](const Rec* a, const Rec* b) { return a->key < b->key; }, 1000000},
        {cmpDesc, [](const Rec* a, const Rec* b) { return a->key > b->key; }, 1000000},
        {cmpAsc, [](const Rec* a, const Rec* b) { return a->key < b->key; }, 7},
        {cmpCoarse, [](const Rec* a, const Rec* b) { return a->key / 100 < b->key / 100; }, 3000},
    };
    uint32_t seed = 100;
    for (const Case& c : cases) {
        for (size_t n : {2, 3, 12, 13, 14, 25, 100, 1023, 4097, 50000}) {
            make(n, c.keyRange, seed++);
            std::vector<Rec*> want = ptrs;
            std::stable_sort(want.begin(), want.end(), c.less);
            gCalls = 0;
            ASSERT_EQ(sort(0, (int32_t)n - 1, c.cmp), 0);
            ASSERT_EQ(ptrs, want) << "n " << n << " range " << c.keyRange;
            expect_scratch_returned();
            EXPECT_LE(gCalls, (long)(n * 20));  // n log n, not quadratic
        }
    }
}

TEST_F(MsortTest, StableOnSubrangeWithPresortedAndReversedRuns) {
    make(3000, 50, 7);
    std::sort(ptrs.begin() + 500, ptrs.begin() + 1500, [](Rec* a, Rec* b) { return a->key > b->key; });
    for (size_t i = 0; i < ptrs.size(); i++) ptrs[i]->seq = (int)i;  // input order after the shuffle
    std::vector<Rec*> want = ptrs;
    std::stable_sort(want.begin() + 100, want.begin() + 2801, [](Rec* a, Rec* b) { return a->key < b->key; });
    ASSERT_EQ(sort(100, 2800, cmpAsc), 0);
    EXPECT_EQ(ptrs, want);  // also: nothing outside 100..2800 moved
    for (size_t i = 101; i <= 2800; i++) {
        if (ptrs[i - 1]->key == ptrs[i]->key) {
            ASSERT_LT(ptrs[i - 1]->seq, ptrs[i]->seq);
        }
    }
    expect_scratch_returned();
}

TEST_F(MsortTest, OneScratchBufferFromTheBackRegion) {
    make(20000, 1000, 9);
    ASSERT_EQ(sort(0, 19999, cmpAsc), 0);
    EXPECT_EQ(gMaxBackBlocks, 1);  // the merge buffer lived on the back stack, alone
    expect_scratch_returned();
}

TEST_F(MsortTest, NoBufferReturnsOneAndKeepsTheEntries) {
    // The pool is used up, so the scratch request falls through to the heap, which refuses.
    zs_malloc_hwm(pool, pool->first->size);
    ASSERT_EQ(pool->freeIndex.count, 0);
    const size_t n = 16u << 20;  // the scratch needed is larger than the heap limit's slack
    make(n, 1000, 13);
    std::vector<Rec*> before = ptrs;
    int r;
    {
        ScopedHeapLimit limit;
        ASSERT_TRUE(limit.active());
        r = sort(0, (int32_t)n - 1, cmpAsc);
    }
    EXPECT_EQ(r, 1);
    EXPECT_TRUE(ptrs == before);
    EXPECT_EQ(pool->back, pool->end);
    EXPECT_EQ(pool->backCount, 0);
    EXPECT_EQ(pool->heapBlocks.count, 0);
    // With the heap back, scratch from the heap serves.
    ASSERT_EQ(sort(0, 9999, cmpAsc), 0);
    EXPECT_TRUE(std::is_sorted(ptrs.begin(), ptrs.begin() + 10000, [](Rec* a, Rec* b) { return a->key < b->key; }));
    EXPECT_EQ(pool->heapBlocks.count, 0);
}

}  // namespace
