// Memory pool and pointer list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/msg.h"
#include "heap_limit.h"
#include "memory/pool.h"

#if defined(__SANITIZE_ADDRESS__)
// A refused heap request must come back as null, as it does without the sanitizer, instead of
// ending the process: the tests below make the heap refuse on purpose.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {

constexpr ZsSize H = ZS_POOL_HDR;
constexpr ZsSize kPoolHdr = (ZsSize)sizeof(MemoryPool);

PoolBlock* hdr(void* payload) { return (PoolBlock*)payload - 1; }
bool inside(const MemoryPool* p, const void* ptr) {
    // A heap block may start where the pool ends (an allocator without block headers puts it there).
    if ((uintptr_t)ptr == (uintptr_t)p->end) {
        for (ZsSize i = 0; i < p->heapBlocks.count; i++)
            if (p->heapBlocks.items[p->heapBlocks.start + i] == ptr) return false;
        return true;
    }
    return (uintptr_t)ptr >= (uintptr_t)p->first && (uintptr_t)ptr < (uintptr_t)p->end;
}
PoolBlock* top(const MemoryPool* p) { return p->sentinel->prev; }
PoolBlock* index_at(const MemoryPool* p, ZsSize i) { return (PoolBlock*)p->freeIndex.items[p->freeIndex.start + i]; }
bool indexed(const MemoryPool* p, const PoolBlock* b) {
    for (ZsSize i = 0; i < p->freeIndex.count; i++)
        if (index_at(p, i) == b) return true;
    return false;
}

// Every structural invariant of the pool, as the pool itself checks them.
testing::AssertionResult pool_ok(const MemoryPool* p) {
    const char* why = zs_pool_check(p);
    if (why == nullptr) return testing::AssertionSuccess();
    return testing::AssertionFailure() << why;
}

// The call counters as plain numbers, to compare before and after.
struct Calls {
    uint64_t malloc_, mallocHwm, qmalloc, realloc_, heapMalloc, heapRealloc, heapFree, heapQfree;
    bool operator==(const Calls&) const = default;
};
Calls calls() {
    const ZsPoolCalls& c = zs_pool_calls;
    return Calls{c.malloc_.load(), c.mallocHwm.load(), c.qmalloc.load(),  c.realloc_.load(),
                 c.heapMalloc.load(), c.heapRealloc.load(), c.heapFree.load(), c.heapQfree.load()};
}

// A pool per case, made for the case's own log (quiet unless a case turns it verbose).
class PoolTest : public testing::Test {
protected:
    ZsLog log{};
    MemoryPool* pool = nullptr;
    void TearDown() override { zs_pool_destroy(pool); }
    MemoryPool* make(ZsSize size) {
        pool = zs_pool_create(size, &log);
        return pool;
    }
};

// ---- creation and destruction ----

TEST_F(PoolTest, CreateLaysOutOneFreeBlockAndKeepsAlignment) {
    MemoryPool* p = make(65536);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ((char*)p->first, (char*)p + kPoolHdr);
    EXPECT_EQ(p->end, (char*)p + 65536);
    EXPECT_EQ(p->back, p->end);
    EXPECT_EQ(p->first->size, 65536 - kPoolHdr - H);
    EXPECT_EQ(p->freeIndex.count, 1);
    EXPECT_TRUE(pool_ok(p));
    zs_pool_destroy(p);

    p = make(4099);  // odd sizes lose their tail, so back blocks stay 8-byte aligned
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->size, 4096);
    void* q = zs_qmalloc(p, 8);
    EXPECT_EQ((uintptr_t)q % 8, 0u);
    qfree(p, q);
    EXPECT_EQ(zs_pool_create(kPoolHdr + H - 1, &log), nullptr);
    EXPECT_EQ(zs_pool_create(-5, &log), nullptr);
    zs_pool_destroy(nullptr);
}

// ---- sizes ----

TEST_F(PoolTest, ZeroNegativeAndHugeSizes) {
    MemoryPool* p = make(4096);
    void* z = zs_malloc(p, 0);
    ASSERT_NE(z, nullptr);
    EXPECT_TRUE(inside(p, z));
    EXPECT_EQ(hdr(z)->size, 0);
    EXPECT_EQ(hdr(zs_malloc(p, 1))->size, 8);
    EXPECT_EQ(hdr(zs_malloc(p, 9))->size, 16);

    EXPECT_EQ(zs_malloc(p, -1), nullptr);
    EXPECT_EQ(zs_malloc_hwm(p, -1), nullptr);
    EXPECT_EQ(zs_qmalloc(p, -8), nullptr);
    EXPECT_EQ(zs_realloc(p, z, -1), nullptr);
    EXPECT_EQ(hdr(z)->status, ZS_BLOCK_USED);

    // Sizes that would wrap to small ones in 32 bits (or in the rounding) must not be served
    // by the pool; with the heap refusing as well they give null and change nothing.
    ZsSize before = p->frontCount;
    ZsSize topSize = top(p)->size;
    {
        ScopedHeapLimit limit;
        ASSERT_TRUE(limit.active());
        EXPECT_EQ(zs_malloc(p, (1LL << 32) + 1), nullptr);
        EXPECT_EQ(zs_malloc_hwm(p, (1LL << 32) - 7), nullptr);
        EXPECT_EQ(zs_qmalloc(p, (1LL << 32) - 8), nullptr);
        EXPECT_EQ(zs_malloc(p, INT64_MAX), nullptr);
        EXPECT_EQ(zs_realloc(p, z, INT64_MAX - 3), nullptr);
    }
    EXPECT_EQ(p->frontCount, before);
    EXPECT_EQ(top(p)->size, topSize);
    EXPECT_EQ(p->heapBlocks.count, 0);
    EXPECT_TRUE(pool_ok(p));
}

// A pool of 8 GiB keeps its sizes whole: blocks of 2^31 bytes and more at the front, one past 2^32
// at the back. Nothing is filled, so only the pages of the headers are ever touched.
TEST_F(PoolTest, SizesPast4GiBAreKeptWhole) {
    const ZsSize size = ((ZsSize)8 << 30) + 4096;
    MemoryPool* p = make(size);
    if (p == nullptr) GTEST_SKIP() << "no 8 GiB of address space for the pool";
    EXPECT_EQ(p->size, size);
    EXPECT_EQ(p->end - (char*)p, size);
    const ZsSize whole = size - kPoolHdr - H;
    EXPECT_EQ(p->first->size, whole);

    const ZsSize backBytes = ((ZsSize)1 << 32) + 24;  // its header holds more than 32 bits
    char* q = (char*)zs_qmalloc(p, backBytes);
    ASSERT_EQ(q, p->back + 8);
    uint64_t len;
    memcpy(&len, p->back, 8);
    EXPECT_EQ(len, (uint64_t)backBytes + 8);
    EXPECT_EQ(top(p)->size, whole - backBytes - 8);

    const ZsSize frontBytes = ((ZsSize)1 << 31) + 8;
    void* f = zs_malloc(p, frontBytes);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(inside(p, f));
    EXPECT_EQ(hdr(f)->size, frontBytes);
    EXPECT_EQ(zs_pool_largest_free(p), whole - backBytes - 8 - frontBytes - H);
    // Grown in place into the free block behind it, past 2^31 + 2^30.
    const ZsSize grown = ((ZsSize)3 << 30) + 16;
    ASSERT_EQ(zs_realloc(p, f, grown), f);
    EXPECT_EQ(hdr(f)->size, grown);
    EXPECT_EQ(zs_pool_largest_free(p), whole - backBytes - 8 - grown - H);
    EXPECT_TRUE(pool_ok(p));

    qfree(p, q);
    EXPECT_EQ(p->back, p->end);
    zs_free(p, f);
    EXPECT_EQ(p->first->size, whole);
    EXPECT_EQ(p->frontCount, 0);
    EXPECT_EQ(p->backCount, 0);
    EXPECT_EQ(p->fallbacks, 0);
    EXPECT_TRUE(pool_ok(p));
}

// ---- zs_malloc: best fit and splitting ----

TEST_F(PoolTest, MallocBestFitAndSplitThreshold) {
    MemoryPool* p = make(8192);
    void* a = zs_malloc(p, 64);
    void* g1 = zs_malloc(p, 8);
    void* b = zs_malloc(p, 64);
    void* g2 = zs_malloc(p, 8);
    void* c = zs_malloc(p, 96);
    void* g3 = zs_malloc(p, 8);
    zs_free(p, c);
    zs_free(p, b);
    zs_free(p, a);
    ASSERT_TRUE(pool_ok(p));
    ASSERT_EQ(p->freeIndex.count, 4);  // 64 at a, 64 at b, 96 at c, the top

    // 64 exceeds r = 48 by less than H: handed out whole, lowest address among equal sizes.
    void* x = zs_malloc(p, 41);
    EXPECT_EQ(x, a);
    EXPECT_EQ(hdr(x)->size, 64);
    EXPECT_EQ(p->freeIndex.count, 3);
    // 64 exceeds r = 64 - H by exactly H: split, leaving a zero-size free block.
    void* y = zs_malloc(p, 64 - H);
    EXPECT_EQ(y, b);
    EXPECT_EQ(hdr(y)->size, 64 - H);
    PoolBlock* rest = (PoolBlock*)((char*)y + (64 - H));
    EXPECT_EQ(rest->status, ZS_BLOCK_FREE);
    EXPECT_EQ(rest->size, 0);
    EXPECT_TRUE(indexed(p, rest));
    EXPECT_EQ(index_at(p, 0), rest);
    // Best fit: 72 goes to the 96 hole, not the larger top.
    EXPECT_EQ(zs_malloc(p, 72), c);
    EXPECT_TRUE(pool_ok(p));
    (void)g1, (void)g2, (void)g3;
}

// ---- zs_malloc_hwm ----

TEST_F(PoolTest, HwmTakesSmallTopWholeEvenWithLargerHoles) {
    MemoryPool* p = make(8192);
    void* big = zs_malloc(p, 1000);
    zs_malloc(p, 8);
    ZsSize t0 = top(p)->size;
    zs_malloc_hwm(p, t0 - H - 104);  // leaves a 104-byte top
    ASSERT_EQ(top(p)->size, 104);
    zs_free(p, big);
    ASSERT_EQ(p->freeIndex.count, 2);
    PoolBlock* oldTop = top(p);

    void* q = zs_malloc_hwm(p, 96);  // 96 <= 104 < 96 + H + 8
    EXPECT_EQ(hdr(q), oldTop);
    EXPECT_EQ(hdr(q)->size, 104);
    ASSERT_EQ(p->freeIndex.count, 1);
    EXPECT_EQ(index_at(p, 0), hdr(big));
    EXPECT_TRUE(pool_ok(p));
}

TEST_F(PoolTest, HwmSplitsOnlyWhenEightBytesRemain) {
    MemoryPool* p = make(4096);
    ZsSize t0 = top(p)->size;
    // Remainder of exactly H: zs_malloc would split, zs_malloc_hwm takes the block whole.
    void* q = zs_malloc_hwm(p, t0 - H);
    EXPECT_EQ(hdr(q)->size, t0);
    EXPECT_EQ(p->freeIndex.count, 0);
    zs_free(p, q);
    // Remainder of H + 8: split, the new top keeps 8 bytes.
    q = zs_malloc_hwm(p, t0 - H - 8);
    EXPECT_EQ(hdr(q)->size, t0 - H - 8);
    EXPECT_EQ(top(p)->size, 8);
    EXPECT_EQ(top(p)->status, ZS_BLOCK_FREE);
    EXPECT_TRUE(pool_ok(p));
}

// ---- back region ----

TEST_F(PoolTest, QmallocStackRestoresBackAndTop) {
    MemoryPool* p = make(16384);
    zs_malloc(p, 100);
    ZsSize topSize = top(p)->size;
    std::vector<char*> stack;
    for (int64_t n : {0, 1, 8, 100, 333, 1024}) {
        char* q = (char*)zs_qmalloc(p, n);
        ASSERT_EQ(q, p->back + 8);
        uint64_t len;  // a back block's header: its whole length, 64-bit
        memcpy(&len, p->back, 8);
        EXPECT_EQ(len, (uint64_t)(n == 0 ? 8 : (n + 7) / 8 * 8 + 8));
        memset(q, 0xAB, (size_t)n);
        stack.push_back(q);
        ASSERT_TRUE(pool_ok(p));
    }
    EXPECT_EQ(p->backCount, 6);
    while (!stack.empty()) {
        qfree(p, stack.back());
        stack.pop_back();
        ASSERT_TRUE(pool_ok(p));
    }
    EXPECT_EQ(p->back, p->end);
    EXPECT_EQ(top(p)->size, topSize);
    EXPECT_EQ(p->backCount, 0);
}

TEST_F(PoolTest, QmallocFallsBackToFrontAndHeapAndQfreeTellsThemApart) {
    MemoryPool* p = make(8192);
    void* hole = zs_malloc(p, 512);
    zs_malloc(p, 8);
    zs_malloc_hwm(p, top(p)->size - H - 64);  // top too small for the requests below
    zs_free(p, hole);
    ZsSize freeBefore = p->freeIndex.count;

    char* front = (char*)zs_qmalloc(p, 200);
    EXPECT_EQ(front, hole);
    char* heap = (char*)zs_qmalloc(p, 100000);
    ASSERT_NE(heap, nullptr);
    EXPECT_FALSE(inside(p, heap));
    EXPECT_EQ(p->heapBlocks.count, 1);
    EXPECT_EQ(p->backCount, 0);
    qfree(p, heap);
    qfree(p, front);
    EXPECT_EQ(p->heapBlocks.count, 0);
    EXPECT_EQ(p->freeIndex.count, freeBefore);
    EXPECT_EQ(hdr(hole)->size, 512);
    EXPECT_TRUE(pool_ok(p));
}

TEST_F(PoolTest, QfreeGrowsAnAllocatedTopBlock) {
    MemoryPool* p = make(4096);
    ZsSize t0 = top(p)->size;
    void* q = zs_qmalloc(p, 64);
    void* t = zs_malloc_hwm(p, top(p)->size);  // the whole remaining top, allocated
    EXPECT_EQ(p->freeIndex.count, 0);
    qfree(p, q);
    EXPECT_EQ(hdr(t)->size, t0);
    EXPECT_TRUE(pool_ok(p));
    zs_free(p, t);
    EXPECT_EQ(top(p)->size, t0);
    EXPECT_TRUE(pool_ok(p));
}

// ---- zs_free coalescing ----

TEST_F(PoolTest, FreeCoalescesAllFourWays) {
    MemoryPool* p = make(8192);
    void* b[6];
    for (int i = 0; i < 6; i++) b[i] = zs_malloc(p, 32 + 8 * i);
    zs_free(p, b[1]);
    zs_free(p, b[3]);  // neither neighbour free: a new entry
    ASSERT_EQ(p->freeIndex.count, 3);
    ZsSize total = hdr(b[1])->size + hdr(b[2])->size + hdr(b[3])->size + 2 * H;
    zs_free(p, b[2]);  // both free: three payloads and two headers, one entry fewer
    EXPECT_EQ(p->freeIndex.count, 2);
    EXPECT_EQ(hdr(b[1])->size, total);
    EXPECT_EQ(hdr(b[1])->next, hdr(b[4]));
    EXPECT_TRUE(pool_ok(p));
    zs_free(p, b[4]);  // only the lower one free
    EXPECT_EQ(hdr(b[1])->size, total + H + 64);
    EXPECT_EQ(p->freeIndex.count, 2);
    zs_free(p, b[0]);  // only the upper one free: b0 takes over its entry
    EXPECT_EQ(index_at(p, 0), hdr(b[0]));
    EXPECT_EQ(p->freeIndex.count, 2);
    EXPECT_TRUE(pool_ok(p));
    zs_free(p, b[5]);
    EXPECT_EQ(p->freeIndex.count, 1);
    EXPECT_EQ(p->first->size, 8192 - kPoolHdr - H);
    EXPECT_EQ(p->frontCount, 0u);
    EXPECT_TRUE(pool_ok(p));
}

// ---- zs_realloc ----

TEST_F(PoolTest, ReallocNullShrinkAndInPlaceGrowth) {
    MemoryPool* p = make(8192);
    PoolBlock* t = top(p);
    void* a = zs_realloc(p, nullptr, 40);  // as zs_malloc_hwm: carved from the top block
    EXPECT_EQ(hdr(a), t);
    EXPECT_EQ(zs_realloc(p, a, 40), a);
    EXPECT_EQ(zs_realloc(p, a, 1), a);
    EXPECT_EQ(zs_realloc(p, a, 0), a);
    EXPECT_EQ(hdr(a)->size, 40);

    // Growth into the free top, split: the new header overlaps the old top header.
    memset(a, 0x5A, 40);
    EXPECT_EQ(zs_realloc(p, a, 48), a);
    EXPECT_EQ(hdr(a)->size, 48);
    EXPECT_TRUE(pool_ok(p));
    EXPECT_EQ(std::count((char*)a, (char*)a + 40, 0x5A), 40);

    // Growth that leaves fewer than 8 payload bytes of the next block: absorbed whole.
    void* b = zs_malloc(p, 8);
    void* hole = zs_malloc(p, 64);
    zs_malloc(p, 8);
    zs_free(p, hole);
    EXPECT_EQ(zs_realloc(p, b, 8 + H + 64 - 15), b);  // r = 88: no room left for an 8-byte block
    EXPECT_EQ(hdr(b)->size, 8 + H + 64);
    EXPECT_TRUE(pool_ok(p));
}

TEST_F(PoolTest, ReallocMovesAndFailsWithoutLosingTheBlock) {
    MemoryPool* p = make(8192);
    char* a = (char*)zs_malloc(p, 32);
    zs_malloc(p, 8);  // a cannot grow in place
    for (int i = 0; i < 32; i++) a[i] = (char)i;
    char* m = (char*)zs_realloc(p, a, 200);
    ASSERT_NE(m, a);
    EXPECT_TRUE(inside(p, m));
    for (int i = 0; i < 32; i++) EXPECT_EQ(m[i], (char)i);
    EXPECT_EQ(hdr(a)->status, ZS_BLOCK_FREE);
    EXPECT_TRUE(pool_ok(p));

    // Neither the pool nor the heap can serve: null, the old block intact.
    zs_malloc(p, 8);
    ZsSize before = p->frontCount;
    {
        ScopedHeapLimit limit;
        ASSERT_TRUE(limit.active());
        EXPECT_EQ(zs_realloc(p, m, 1LL << 30), nullptr);
    }
    EXPECT_EQ(hdr(m)->status, ZS_BLOCK_USED);
    EXPECT_EQ(p->frontCount, before);
    for (int i = 0; i < 32; i++) EXPECT_EQ(m[i], (char)i);
    EXPECT_TRUE(pool_ok(p));
}

// ---- heap fallback ----

TEST_F(PoolTest, HeapBlocksAreTrackedAndFreedWithThePool) {
    for (int run = 0; run < 3; run++) {
        MemoryPool* p = make(4096);
        char* h1 = (char*)zs_malloc(p, 10000);
        char* h2 = (char*)zs_malloc_hwm(p, 20000);
        char* h3 = (char*)zs_realloc(p, nullptr, 30000);
        ASSERT_TRUE(h1 && h2 && h3);
        EXPECT_FALSE(inside(p, h1) || inside(p, h2) || inside(p, h3));
        EXPECT_EQ(p->heapBlocks.count, 3);
        memset(h2, 7, 20000);
        char* h2m = (char*)zs_realloc(p, h2, 4000000);  // moves on the heap: the record follows
        ASSERT_NE(h2m, nullptr);
        EXPECT_EQ(h2m[19999], 7);
        EXPECT_EQ(p->heapBlocks.count, 3);
        bool listed = false;
        for (ZsSize i = 0; i < p->heapBlocks.count; i++) listed |= p->heapBlocks.items[p->heapBlocks.start + i] == h2m;
        EXPECT_TRUE(listed);
        zs_free(p, h1);
        EXPECT_EQ(p->heapBlocks.count, 2);
        // A block growing out of the pool lands on the heap and is tracked too.
        void* a = zs_malloc(p, 16);
        void* ah = zs_realloc(p, a, 50000);
        EXPECT_FALSE(inside(p, ah));
        EXPECT_EQ(p->heapBlocks.count, 3);
        EXPECT_TRUE(pool_ok(p));
        // h2m, h3 and ah are left live: destroying the pool frees them (the leak checker
        // of the sanitizer build watches this).
        zs_pool_destroy(p);
        pool = nullptr;
    }
}

TEST_F(PoolTest, DiscardKeepsWhatDestroyFrees) {
    // A pool large enough to be discarded on two threads, with a heap block and a back block live:
    // destroy still finds and frees them (the sanitizer build's leak checker watches).
    MemoryPool* p = make(64 << 20);
    ASSERT_NE(p, nullptr);
    char* front = (char*)zs_malloc(p, 40 << 20);
    char* back = (char*)zs_qmalloc(p, 1 << 20);
    char* heap = (char*)zs_malloc(p, 30 << 20);
    ASSERT_TRUE(front && back && heap);
    std::memset(front, 1, 40 << 20);
    zs_pool_discard(p, 2);
    EXPECT_EQ(front[(20 << 20) + 5], 0) << "the pages went back";
    EXPECT_EQ(p->heapBlocks.count, 1);
    EXPECT_EQ(p->backCount, 1);
}

TEST_F(PoolTest, WithoutAPoolTheOperationsUseTheHeap) {
    MemoryPool* none = nullptr;
    char* q = (char*)zs_qmalloc(none, 100);
    ASSERT_NE(q, nullptr);
    memset(q, 3, 100);
    q = (char*)zs_realloc(none, q, 5000);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q[99], 3);
    void* z = zs_realloc(none, nullptr, 0);
    EXPECT_NE(z, nullptr);
    void* m = zs_malloc_hwm(none, 0);
    EXPECT_NE(m, nullptr);
    qfree(none, z);
    qfree(none, q);
    qfree(none, nullptr);
    zs_free(none, m);
    zs_free(nullptr, nullptr);
}

// ---- verbose statistics ----

std::string console(const char* fmt, long a, long b = 0, long c = 0) {
    char f[ZS_MSG_BUF], con[ZS_MSG_BUF];
    snprintf(f, sizeof f, fmt, a, b, c);
    zs_to_console(f, con);
    return con;
}

TEST_F(PoolTest, VerboseFallbackPrintsTableThenLine) {
    MemoryPool* p = make(65536);
    log.bVerbose = 1;
    Calls c0 = calls();
    ZsSize freeSize = p->first->size;
    testing::internal::CaptureStderr();
    void* h = zs_malloc(p, 100000);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(calls().malloc_, c0.malloc_ + 1);
    EXPECT_EQ(calls().heapMalloc, c0.heapMalloc + 1);

    size_t first = err.find(console("\n###メモリ割当函数[zs_malloc]のコール回数は：%ld\n", (long)c0.malloc_ + 1));
    size_t heap = err.find(console("###メモリ割当函数[malloc]のコール回数は：%ld\n", (long)c0.heapMalloc + 1));
    size_t last = err.find(console(
        "###トータルフリーメモリ数[%ld]個、サイズは[%ld]KB、最大フリーメモリブロックサイズは[%ld]KBです。\n", 1L,
        (long)((freeSize - 1) / 1024 + 1), (long)((freeSize - 1) / 1024 + 1)));
    size_t line = err.find(console(
        "メモリプールから[%ld]KB、[%ld]バイトが割当できなかったので、ヒップから割当てる！\n", 97L, 100000L));
    ASSERT_NE(first, std::string::npos) << err;
    ASSERT_NE(heap, std::string::npos);
    ASSERT_NE(last, std::string::npos);
    ASSERT_NE(line, std::string::npos);
    EXPECT_LT(first, heap);
    EXPECT_LT(heap, last);
    EXPECT_LT(last, line);

    testing::internal::CaptureStderr();
    void* r = zs_realloc(p, h, 200000);
    err = testing::internal::GetCapturedStderr();
    ASSERT_NE(r, nullptr);
    EXPECT_NE(err.find(console(
                  "メモリプールから[%ld]KB、[%ld]バイトが再割当できなかったので、ヒップから再割当てる！\n", 195L, 200000L)),
              std::string::npos);
    zs_free(p, r);
    EXPECT_EQ(calls().heapFree, c0.heapFree + 1);
}

TEST_F(PoolTest, CountersCountOnlyWhileVerboseAndSurviveThePool) {
    MemoryPool* p = make(65536);
    Calls c0 = calls();
    testing::internal::CaptureStderr();
    void* h = zs_malloc(p, 100000);
    zs_qmalloc(p, 8);
    zs_free(p, h);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(calls(), c0);

    // Only the verbose pool's log counts: not another run's, not a request without a pool.
    log.bVerbose = 1;
    MemoryPool* other = zs_pool_create(4096, nullptr);
    ASSERT_NE(other, nullptr);
    testing::internal::CaptureStderr();
    zs_free(other, zs_malloc(other, 100000));  // a fallback: no report either
    zs_pool_report(other);
    qfree(nullptr, zs_qmalloc(nullptr, 8));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    zs_pool_destroy(other);
    EXPECT_EQ(calls(), c0);

    testing::internal::CaptureStderr();
    zs_qmalloc(p, 8);                      // a back block, left for the pool's destruction
    zs_malloc_hwm(p, p->first->size + 8);  // no top fit: zs_malloc, then the heap
    zs_realloc(p, nullptr, 8);             // zs_malloc_hwm
    testing::internal::GetCapturedStderr();
    zs_pool_destroy(p);
    make(4096);  // a new run: the counters go on
    EXPECT_EQ(calls().qmalloc, c0.qmalloc + 1);
    EXPECT_EQ(calls().mallocHwm, c0.mallocHwm + 2);
    EXPECT_EQ(calls().malloc_, c0.malloc_ + 1);
    EXPECT_EQ(calls().realloc_, c0.realloc_ + 1);
    EXPECT_EQ(calls().heapMalloc, c0.heapMalloc + 1);
}

// ---- pointer list ----

TEST(PtrListTest, AppendRemoveAndCompaction) {
    PtrList l{nullptr, 0, 0, 0};
    uintptr_t v = 1;
    for (int i = 0; i < 1024; i++) ASSERT_EQ(zs_list_append(nullptr, &l, (void*)v++, ZS_LIST_HEAP), 0);
    EXPECT_EQ(l.capacity, 1024);
    for (int i = 0; i < 10; i++) zs_list_remove_at(&l, 0);  // the start creeps forward
    EXPECT_EQ(l.start, 10);
    zs_list_remove_at(&l, l.count - 1);
    zs_list_remove_at(&l, 5);
    EXPECT_EQ(l.count, 1012);
    EXPECT_EQ((uintptr_t)l.items[l.start + 5], 17u);
    for (int i = 0; i < 3; i++) ASSERT_EQ(zs_list_append(nullptr, &l, (void*)v++, ZS_LIST_HEAP), 0);
    // Growth moved the live entries down to index 0 first, order unchanged.
    EXPECT_EQ(l.start, 0);
    EXPECT_EQ(l.capacity, 2048);
    EXPECT_EQ((uintptr_t)l.items[0], 11u);
    EXPECT_EQ((uintptr_t)l.items[l.count - 1], 1027u);
    EXPECT_EQ((uintptr_t)l.items[l.count - 4], 1023u);
    free(l.items);
}

TEST(PtrListTest, FailedGrowthKeepsTheOldArray) {
    const int32_t cap = 16 * 1024 * 1024;  // the grown array needs a fresh mapping
    PtrList l{(void**)malloc((size_t)cap * sizeof(void*)), cap, 0, cap};
    ASSERT_NE(l.items, nullptr);
    for (int32_t i = 0; i < cap; i++) l.items[i] = (void*)(uintptr_t)i;
    void** old = l.items;
    int r1, r2;
    {
        ScopedHeapLimit limit;
        ASSERT_TRUE(limit.active());
        r1 = zs_list_grow(nullptr, &l, ZS_LIST_HEAP);
        r2 = zs_list_append(nullptr, &l, (void*)1, ZS_LIST_HEAP);
    }
    EXPECT_EQ(r1, 1);
    EXPECT_EQ(r2, 1);
    EXPECT_EQ(l.items, old);
    EXPECT_EQ(l.capacity, cap);
    EXPECT_EQ(l.count, cap);
    EXPECT_EQ(l.items[cap - 1], (void*)(uintptr_t)(cap - 1));
    free(l.items);
}

TEST_F(PoolTest, PoolListLivesInThePoolAndIsReturnedToIt) {
    MemoryPool* p = make(65536);
    PtrList* l = (PtrList*)zs_malloc(p, sizeof(PtrList));
    *l = PtrList{nullptr, 0, 0, 0};
    for (uintptr_t i = 1; i <= 1500; i++) ASSERT_EQ(zs_list_append(p, l, (void*)i, ZS_LIST_POOL), 0);
    EXPECT_TRUE(inside(p, l->items));
    EXPECT_EQ(l->capacity, 2048);
    EXPECT_EQ((uintptr_t)l->items[1499], 1500u);
    zs_list_destroy(p, l);
    zs_list_destroy(p, nullptr);
    EXPECT_EQ(p->frontCount, 0u);
    EXPECT_EQ(p->freeIndex.count, 1);
    EXPECT_TRUE(pool_ok(p));

    // A list whose record and items went to the heap is released there and forgotten.
    PtrList* hl = (PtrList*)zs_malloc(p, 70000);
    *hl = PtrList{nullptr, 0, 0, 0};
    ASSERT_EQ(zs_list_append(p, hl, hl, ZS_LIST_HEAP), 0);
    EXPECT_EQ(p->heapBlocks.count, 1);
    zs_list_destroy(p, hl);
    EXPECT_EQ(p->heapBlocks.count, 0);
}

// ---- randomized ----

struct Live {
    char* ptr;
    int64_t n;
    uint8_t seed;
};

void fill(const Live& b) {
    for (int64_t i = 0; i < b.n; i++) b.ptr[i] = (char)(b.seed + i * 31);
}
// Full check of a payload, or of its two ends for large ones (the bytes next to neighbouring
// headers are where pool damage shows).
bool intact(const Live& b, bool full) {
    auto ok = [&](int64_t i) { return b.ptr[i] == (char)(b.seed + i * 31); };
    if (full || b.n <= 512) {
        for (int64_t i = 0; i < b.n; i++)
            if (!ok(i)) return false;
        return true;
    }
    for (int64_t i = 0; i < 256; i++)
        if (!ok(i) || !ok(b.n - 1 - i)) return false;
    return true;
}

// The pool is made in `made` so that the caller destroys it also after a failed assertion.
void random_run(MemoryPool*& made, int32_t poolSize, uint32_t seed, int steps, bool releaseAll) {
    std::mt19937 rng(seed);
    MemoryPool* p = made = zs_pool_create(poolSize, nullptr);
    ASSERT_NE(p, nullptr);
    std::vector<Live> front, stack;  // zs_malloc/hwm/realloc blocks; zs_qmalloc blocks (LIFO)
    auto pick = [&](int bound) { return (int)(rng() % (uint32_t)bound); };
    auto size = [&]() -> int64_t {
        int k = pick(100);
        if (k < 10) return 0;
        if (k < 70) return pick(128);
        if (k < 95) return pick(poolSize / 16 + 1);
        return poolSize + pick(4096);  // larger than the pool
    };
    auto add = [&](std::vector<Live>& to, void* q, int64_t n) {
        ASSERT_NE(q, nullptr);
        ASSERT_EQ((uintptr_t)q % 8, 0u);
        Live b{(char*)q, n, (uint8_t)rng()};
        fill(b);
        to.push_back(b);
    };
    for (int step = 0; step < steps; step++) {
        int op = pick(100);
        if (op < 18) {
            int64_t n = size();
            add(front, zs_malloc(p, n), n);
        } else if (op < 30) {
            int64_t n = size();
            add(front, zs_malloc_hwm(p, n), n);
        } else if (op < 44) {
            int64_t n = size();
            add(stack, zs_qmalloc(p, n), n);
        } else if (op < 58) {
            if (!stack.empty()) {
                ASSERT_TRUE(intact(stack.back(), true));
                qfree(p, stack.back().ptr);
                stack.pop_back();
            }
        } else if (op < 74) {
            if (!front.empty()) {
                size_t i = (size_t)pick((int)front.size());
                ASSERT_TRUE(intact(front[i], true));
                if (pick(4) == 0) qfree(p, front[i].ptr);
                else zs_free(p, front[i].ptr);
                front[i] = front.back();
                front.pop_back();
            }
        } else if (op < 94) {
            if (!front.empty()) {
                size_t i = (size_t)pick((int)front.size());
                Live& b = front[i];
                int64_t n = pick(3) == 0 ? pick((int)b.n + 1) : b.n + size();
                char* q = (char*)zs_realloc(p, b.ptr, n);
                ASSERT_NE(q, nullptr);
                ASSERT_EQ((uintptr_t)q % 8, 0u);
                Live moved{q, std::min(n, b.n), b.seed};
                ASSERT_TRUE(intact(moved, true)) << "step " << step;
                b = Live{q, n, (uint8_t)rng()};
                fill(b);
            }
        } else {
            int64_t n = size();
            add(front, zs_realloc(p, nullptr, n), n);
        }
        ASSERT_TRUE(pool_ok(p)) << "step " << step;
        ZsSize heapLive = 0;
        for (const auto* v : {&front, &stack})
            for (const Live& b : *v) {
                ASSERT_TRUE(intact(b, false)) << "step " << step;
                heapLive += !inside(p, b.ptr);
            }
        ASSERT_EQ(p->heapBlocks.count, heapLive) << "step " << step;
    }
    if (releaseAll) {
        while (!stack.empty()) {
            qfree(p, stack.back().ptr);
            stack.pop_back();
        }
        for (const Live& b : front) zs_free(p, b.ptr);
        EXPECT_TRUE(pool_ok(p));
        EXPECT_EQ(p->back, p->end);
        EXPECT_EQ(p->freeIndex.count, 1);
        EXPECT_EQ(p->first->size, p->size - kPoolHdr - H);
        EXPECT_EQ(p->heapBlocks.count, 0);
        EXPECT_EQ(p->backCount, 0);
    }
    // Otherwise live front, back and heap blocks are left for the pool's destruction.
}

TEST_F(PoolTest, RandomizedOperationsKeepEveryInvariant) {
    const int32_t sizes[] = {4096, 20005, 262144};
    uint32_t seed = 12345;
    for (int32_t s : sizes) {
        for (bool releaseAll : {true, false}) {
            SCOPED_TRACE(testing::Message() << "pool " << s << " seed " << seed);
            random_run(pool, s, seed++, 3000, releaseAll);
            zs_pool_destroy(pool);
            pool = nullptr;
            if (HasFatalFailure()) return;
        }
    }
}

}  // namespace
