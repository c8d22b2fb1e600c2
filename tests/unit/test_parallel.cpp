// The shared-out work of a run: every task once, failures and interrupts reported as one thread
// would, the thread count read from the environment.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "base/parallel.h"

namespace {


TEST(Parallel, EveryTaskRunsOnceOnEveryThreadCount) {
    for (int32_t threads : {1, 2, 5, 300}) {
        ZsLog log{};
        log.threads = threads;
        std::vector<std::atomic<int>> seen(1000);
        std::atomic<int> workers{0};
        EXPECT_EQ(zs_parallel(log, 1000,
                              [&](int64_t t) {
                                  seen[(size_t)t]++;
                                  if (zs_on_worker()) workers++;
                                  return 0;
                              }),
                  0);
        for (auto& s : seen) EXPECT_EQ(s.load(), 1);
        if (threads == 1) {
            EXPECT_EQ(workers.load(), 0);
        }
    }
}

TEST(Parallel, TheLowestFailedTaskIsTheOneReported) {
    for (int32_t threads : {1, 3}) {
        ZsLog log{};
        log.threads = threads;
        // Tasks 7 and 40 fail; 7 starts first, so whatever the timing its code is the answer.
        EXPECT_EQ(zs_parallel(log, 100, [](int64_t t) { return t == 7 ? 2 : t == 40 ? 3 : 0; }), 2);
    }
}

TEST(Parallel, AnInterruptStopsTheTasksNotYetStarted) {
    for (int32_t threads : {1, 4}) {
        ZsLog log{};
        log.threads = threads;
        log.interrupt = ZsInterruptHook{[](void*) { return 1; }, nullptr};
        std::atomic<int> ran{0};
        EXPECT_EQ(zs_parallel(log, 1 << 20,
                              [&](int64_t) {
                                  ran++;
                                  // A worker's safe point sees the stop without asking the hook.
                                  while (zs_on_worker() && !zs_interrupted(log)) {
                                  }
                                  return 0;
                              }),
                  ZS_PAR_INTERRUPTED);
        EXPECT_LT(ran.load(), 1 << 20);
        EXPECT_TRUE(log.bInterrupted);
    }
}

TEST(Parallel, TheThreadCountOfTheEnvironment) {
    EXPECT_EQ(zs_threads_from_env("3"), 3);
    EXPECT_EQ(zs_threads_from_env("100000"), ZS_MAX_THREADS);
    for (const char* bad : {"", "0", "-2", "two", "2x", " 2"}) EXPECT_EQ(zs_threads_from_env(bad), 0) << bad;
    EXPECT_EQ(zs_threads_from_env(nullptr), 0);
    EXPECT_GE(zs_default_threads(), 1);
}

}  // namespace
