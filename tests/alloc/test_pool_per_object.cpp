// The per-object pool (TESRA_POOL_PER_OBJECT): the pool's contracts with every request a heap
// block of its own, whose end a sanitizer sees.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "memory/pool.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

class PerObjectPool : public testing::Test {
protected:
    ZsLog log{};
    MemoryPool* p = nullptr;
    void SetUp() override { p = zs_pool_create(1 << 20, &log); }
    void TearDown() override { zs_pool_destroy(p); }
};

TEST_F(PerObjectPool, RequestsKeepTheirContentAndAreCounted) {
    EXPECT_EQ(zs_pool_create(8, &log), nullptr);  // the same sizes are refused as by the pool proper
    char* a = (char*)zs_malloc(p, 100);
    char* b = (char*)zs_malloc_hwm(p, 0);  // a zero-size request is no failure
    char* q = (char*)zs_qmalloc(p, 50);
    ASSERT_TRUE(a && b && q);
    EXPECT_EQ(zs_malloc(p, -1), nullptr);
    EXPECT_EQ(zs_qmalloc(p, -1), nullptr);
    std::memset(a, 'a', 100);
    a = (char*)zs_realloc(p, a, 5000);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a[0], 'a');
    EXPECT_EQ(a[99], 'a');
    EXPECT_EQ(p->heapBlocks.count, 2);  // front requests are listed as the pool's heap blocks
    EXPECT_EQ(p->backCount, 1);
    EXPECT_EQ(zs_pool_largest_free(p), -1);
    EXPECT_EQ(zs_pool_check(p), nullptr);
    qfree(p, q);
    qfree(p, a);  // front memory may go to qfree as well
    zs_free(p, b);
    EXPECT_EQ(p->heapBlocks.count, 0);
    EXPECT_EQ(p->backCount, 0);
    EXPECT_EQ(zs_pool_check(p), nullptr);
}

TEST_F(PerObjectPool, ForeignPointersAndNullGoToTheHeap) {
    void* f = malloc(10);
    f = zs_realloc(p, f, 20);  // not the pool's: stays unlisted
    ASSERT_NE(f, nullptr);
    zs_free(p, f);
    qfree(p, malloc(10));
    zs_free(p, nullptr);
    qfree(p, nullptr);
    EXPECT_EQ(p->heapBlocks.count, 0);
    EXPECT_EQ(zs_pool_check(p), nullptr);
}

TEST_F(PerObjectPool, PoolListsAreReleasedIntoIt) {
    PtrList* l = (PtrList*)zs_malloc(p, sizeof(PtrList));
    *l = PtrList{nullptr, 0, 0, 0};
    for (uintptr_t i = 1; i <= 1500; i++) ASSERT_EQ(zs_list_append(p, l, (void*)i, ZS_LIST_POOL), 0);
    EXPECT_EQ((uintptr_t)l->items[1499], 1500u);
    EXPECT_EQ(p->heapBlocks.count, 2);
    zs_list_destroy(p, l);
    EXPECT_EQ(p->heapBlocks.count, 0);
}

TEST_F(PerObjectPool, DestroyFreesWhatIsStillLive) {
    zs_malloc(p, 10);
    zs_realloc(p, zs_malloc_hwm(p, 10), 100000);
    zs_qmalloc(p, 30);
    zs_qmalloc(p, 40);
    PtrList* l = (PtrList*)zs_malloc(p, sizeof(PtrList));
    *l = PtrList{nullptr, 0, 0, 0};
    ASSERT_EQ(zs_list_append(p, l, l, ZS_LIST_POOL), 0);
    zs_pool_destroy(p);
    p = nullptr;
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

using PerObjectPoolDeathTest = PerObjectPool;

TEST_F(PerObjectPoolDeathTest, BackBlocksGoLastInFirstOutToQfreeOnly) {
    void* first = zs_qmalloc(p, 8);
    void* second = zs_qmalloc(p, 8);
    EXPECT_DEATH(qfree(p, first), "internal check failed");
    EXPECT_DEATH(zs_free(p, second), "internal check failed");
    EXPECT_DEATH(zs_realloc(p, second, 64), "internal check failed");
    qfree(p, second);
    qfree(p, first);
    EXPECT_EQ(p->backCount, 0);
}

TEST_F(PerObjectPoolDeathTest, TheSanitizerSeesTheEndOfEachObject) {
#if defined(__SANITIZE_ADDRESS__)
    volatile char* a = (char*)zs_malloc(p, 10);
    EXPECT_DEATH(a[10] = 1, "heap-buffer-overflow");
    volatile char* q = (char*)zs_qmalloc(p, 3);
    EXPECT_DEATH(q[3] = 1, "heap-buffer-overflow");
    volatile char* r = (char*)zs_realloc(p, zs_malloc(p, 64), 16);  // a block may shrink here
    EXPECT_DEATH(r[16] = 1, "heap-buffer-overflow");
#else
    GTEST_SKIP() << "needs AddressSanitizer";
#endif
}

}  // namespace
