// Work shared out over a run's threads.
//
// Contract
// - zs_parallel(log, tasks, fn) calls fn(task) once for every task number in [0, tasks) on up to
//   log.threads threads: the calling thread and threads started for the call, every one joined
//   before it returns, so no thread outlives the call (nor the run). Tasks start in the order of
//   their numbers: a caller that wants the largest first numbers them so.
// - fn runs on several threads at once: it reads what the run holds read-only and writes only what
//   its task owns. It never prints, reports progress or asks the host anything; its safe points
//   ask zs_interrupted (base/log.h), which on a worker thread only reads the run's stop flag.
// - The calling thread asks the interrupt hook between its tasks; once the run is interrupted, or
//   a task failed (fn returned non-zero), no further task starts.
// - Returns 0 when every task ran and returned 0; ZS_PAR_INTERRUPTED when an interrupt stopped
//   the work; else the code of the failed task with the lowest number (the same failure whatever
//   the timing, so that the caller prints one message, as one thread would have).
// - A thread that cannot be started is no failure: the threads there are do the tasks.
// - log.threads <= 1, or a single task, runs every task on the calling thread, in order.
#pragma once

#include <algorithm>
#include <cstdint>

#include "base/log.h"

inline constexpr int ZS_PAR_INTERRUPTED = -1;
// Threads a run may use at most, whatever it is asked.
inline constexpr int32_t ZS_MAX_THREADS = 256;

// Calls fn(void* user, int64_t task) for every task, on at most `most` threads when it is not 0
// (work whose threads each hold a buffer of their own).
int zs_parallel_run(ZsLog& log, int64_t tasks, int (*fn)(void*, int64_t), void* user, int32_t most = 0);

template <class F>
int zs_parallel(ZsLog& log, int64_t tasks, F&& fn, int32_t most = 0) {
    auto call = [](void* user, int64_t task) -> int { return (*static_cast<F*>(user))(task); };
    return zs_parallel_run(log, tasks, +call, &fn, most);
}

// Calls fn(from, len) for the pieces of [0, n) (bytes, or the caller's unit) on the log's threads:
// pieces of `piece`, the last shorter; smaller ones, a few a call whatever n, when the run's
// measure is set (TESRA_PARALLEL_MIN, for tests). Returns as zs_parallel.
template <class F>
int zs_parallel_pieces(ZsLog& log, int64_t n, int64_t piece, F&& fn) {
    if (log.parallelMin > 0) piece = std::max<int64_t>(log.parallelMin, n / 7 + 1);
    return zs_parallel(log, (n + piece - 1) / piece, [&](int64_t k) {
        const int64_t from = k * piece;
        return fn(from, std::min(piece, n - from));
    });
}

// The threads a run of this process uses by default: the value of TESRA_THREADS when it is a whole
// number from 1, else the processors the process may run on (at most ZS_MAX_THREADS).
int32_t zs_default_threads();
// TESRA_THREADS read as a thread count: 0 when unset or not a whole number of at least 1.
int32_t zs_threads_from_env(const char* value);

// The least work (items, records, bytes: the caller's unit) worth sharing out: the caller's own
// measure, or the run's when one is set (TESRA_PARALLEL_MIN, for tests: the threaded paths then
// take small inputs too).
inline int64_t zs_par_min(const ZsLog& log, int64_t least) { return log.parallelMin > 0 ? log.parallelMin : least; }
// Whether work of `size` units is shared out: more than one thread, and at least zs_par_min.
inline bool zs_par_worth(const ZsLog& log, int64_t size, int64_t least) {
    return log.threads > 1 && size >= zs_par_min(log, least);
}
// TESRA_PARALLEL_MIN: a whole number from 1, else 0.
int64_t zs_parallel_min_from_env(const char* value);

// True on a thread started by zs_parallel_run or zs_background_start.
bool zs_on_worker();

// ---- One task beside the calling thread ----
// zs_background_start runs fn(user) on a thread of its own while the caller goes on with other
// work (zs_parallel included); the caller ends it with zs_background_join on every path before the
// operation returns, so that it never outlives the operation. The task is a worker: it never
// prints, reports progress or asks the host anything, zs_interrupted on it reads the run's stop
// flag, and signals go to the other threads. It reads and writes only what the caller leaves to
// it until the join.
struct ZsBackground {
    unsigned long thread;  // pthread_t
    int (*fn)(void*);
    void* user;
    int rc;
    bool running;
};
// False when no thread could be started: nothing runs, the caller does the work itself.
bool zs_background_start(ZsBackground* bg, int (*fn)(void*), void* user);
// Waits for the task, asking the interrupt hook while it waits (an interrupt sets the stop flag
// that ends the task at its next safe point); returns the task's code. Harmless when not running.
int zs_background_join(ZsLog& log, ZsBackground* bg);
