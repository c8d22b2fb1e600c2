// Makes the process heap refuse new memory for a while, so that failure paths behind the pool's
// heap fallback can be exercised for real: the address-space limit is lowered to what the process
// maps now plus a little slack, and restored on scope exit. Only requests that need fresh
// mappings fail, so tests use sizes far above what the allocator keeps in reserve.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

// The sanitizer runtime maps memory of its own while it reports a refused request, so it gets
// some room; requests that are meant to fail are larger than this.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr long kHeapLimitSlack = 32L << 20;
#else
inline constexpr long kHeapLimitSlack = 0;
#endif

class ScopedHeapLimit {
public:
    explicit ScopedHeapLimit(long slackBytes = kHeapLimitSlack) {
        ok_ = getrlimit(RLIMIT_AS, &old_) == 0;
        long pages = 0;
        if (FILE* f = fopen("/proc/self/statm", "r")) {
            if (fscanf(f, "%ld", &pages) != 1) pages = 0;
            fclose(f);
        }
        ok_ = ok_ && pages > 0;
        if (!ok_) return;
        rlimit lim = old_;
        lim.rlim_cur = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + (rlim_t)slackBytes;
        if (old_.rlim_max != RLIM_INFINITY && lim.rlim_cur > old_.rlim_max) lim.rlim_cur = old_.rlim_max;
        ok_ = setrlimit(RLIMIT_AS, &lim) == 0;
    }
    ~ScopedHeapLimit() {
        if (ok_) setrlimit(RLIMIT_AS, &old_);
    }
    ScopedHeapLimit(const ScopedHeapLimit&) = delete;
    ScopedHeapLimit& operator=(const ScopedHeapLimit&) = delete;
    bool active() const { return ok_; }

private:
    rlimit old_{};
    bool ok_ = false;
};
