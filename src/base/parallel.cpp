#include "base/parallel.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <type_traits>

#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"

namespace {

thread_local bool tlWorker = false;

struct Shared {
    ZsLog* log;
    int64_t tasks;
    int (*fn)(void*, int64_t);
    void* user;
    int64_t next;        // the next task to start (atomic)
    int64_t failedTask;  // the lowest task that failed (atomic; tasks when none)
    int failedCode;      // its code (under the lowest-task rule, set with it under the mutex)
    pthread_mutex_t lock;
};

bool stopped(Shared& s) {
    return __atomic_load_n(&s.log->stopWorkers, __ATOMIC_ACQUIRE) != 0 ||
           __atomic_load_n(&s.failedTask, __ATOMIC_ACQUIRE) < s.tasks;
}

void fail(Shared& s, int64_t task, int code) {
    pthread_mutex_lock(&s.lock);
    if (task < __atomic_load_n(&s.failedTask, __ATOMIC_RELAXED)) {
        s.failedCode = code;
        __atomic_store_n(&s.failedTask, task, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&s.lock);
}

// Takes tasks until none is left or the work stops. The calling thread asks the interrupt hook
// before each of its tasks.
void take_tasks(Shared& s, bool caller) {
    for (;;) {
        if (caller && zs_interrupted(*s.log)) return;
        if (stopped(s)) return;
        const int64_t task = __atomic_fetch_add(&s.next, 1, __ATOMIC_ACQ_REL);
        if (task >= s.tasks) return;
        const int code = s.fn(s.user, task);
        if (code != 0) fail(s, task, code);
    }
}

void* worker_main(void* arg) {
    tlWorker = true;
    take_tasks(*static_cast<Shared*>(arg), false);
    return nullptr;
}

void* background_main(void* arg) {
    tlWorker = true;
    ZsBackground* bg = static_cast<ZsBackground*>(arg);
    bg->rc = bg->fn(bg->user);
    return nullptr;
}

}  // namespace

bool zs_on_worker() { return tlWorker; }

bool zs_background_start(ZsBackground* bg, int (*fn)(void*), void* user) {
    static_assert(std::is_same_v<pthread_t, unsigned long>);
    *bg = ZsBackground{0, fn, user, 0, false};
    // Started with every signal blocked, which it inherits: a Ctrl-C goes to the caller's thread.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t id;
    bg->running = pthread_create(&id, nullptr, background_main, bg) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (bg->running) bg->thread = id;
    return bg->running;
}

int zs_background_join(ZsLog& log, ZsBackground* bg) {
    if (!bg->running) return bg->rc;
    for (;;) {
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += 50 * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec++;
            until.tv_nsec -= 1000000000L;
        }
        if (pthread_timedjoin_np(bg->thread, nullptr, &until) == 0) break;
        zs_interrupted(log);  // sets the stop flag the task reads
    }
    bg->running = false;
    return bg->rc;
}

int zs_parallel_run(ZsLog& log, int64_t tasks, int (*fn)(void*, int64_t), void* user, int32_t most) {
    if (tasks <= 0) return 0;
    int32_t threads = log.threads > 0 ? log.threads : 1;
    if (most > 0 && threads > most) threads = most;
    if (threads > ZS_MAX_THREADS) threads = ZS_MAX_THREADS;
    if (threads > tasks) threads = (int32_t)tasks;
    // Nested work (a task that shares out work of its own) stays on its thread.
    if (tlWorker) threads = 1;
    Shared s{&log, tasks, fn, user, 0, tasks, 0, PTHREAD_MUTEX_INITIALIZER};
    pthread_t ids[ZS_MAX_THREADS];
    int32_t started = 0;
    for (int32_t i = 1; i < threads; i++) {
        if (pthread_create(&ids[started], nullptr, worker_main, &s) != 0) break;
        started++;
    }
    take_tasks(s, true);
    for (int32_t i = 0; i < started; i++) pthread_join(ids[i], nullptr);
    pthread_mutex_destroy(&s.lock);
    if (s.failedTask < tasks) return s.failedCode;
    if (log.bInterrupted || __atomic_load_n(&log.stopWorkers, __ATOMIC_ACQUIRE) != 0) return ZS_PAR_INTERRUPTED;
    return 0;
}

int32_t zs_threads_from_env(const char* value) {
    if (value == nullptr || *value < '0' || *value > '9') return 0;
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(value, &end, 10);
    if (errno != 0 || *end != '\0' || n < 1) return 0;
    return n > ZS_MAX_THREADS ? ZS_MAX_THREADS : (int32_t)n;
}

int64_t zs_parallel_min_from_env(const char* value) {
    if (value == nullptr || *value < '0' || *value > '9') return 0;
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(value, &end, 10);
    return errno != 0 || *end != '\0' || n < 1 ? 0 : (int64_t)n;
}

int32_t zs_default_threads() {
    const int32_t env = zs_threads_from_env(std::getenv("TESRA_THREADS"));
    if (env > 0) return env;
    const int64_t cpus = zs_plat_cpu_count();
    if (cpus < 1) return 1;
    return cpus > ZS_MAX_THREADS ? ZS_MAX_THREADS : (int32_t)cpus;
}
