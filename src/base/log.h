// The console side of a run: the verbose flag, the console mode, the diagnostic stream, the clock
// readings of the timed phases, the interrupt state, the progress report and the text of the
// failures the run printed.
//
// Contract
// - A ZsLog belongs to one run. The run's context (one record per run, passed by hand to every
//   layer) begins with it, so every layer can print through the context it was given.
// - It is all zero before the run starts (zs_log_init sets what is not zero); nothing outside the
//   run reads or writes it, so runs side by side need no lock for it.
// - Results of an operation are returned to its caller, never left here for it to pick up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/size.h"
#include "platform/platform.h"

inline constexpr int ZS_MSG_BUF = 4096;
// Bytes of failure text a run keeps (the lines that explain a failure are short and few).
inline constexpr int ZS_FAILURE_MAX = 4096;

// The host's question whether the user asked the run to stop (Ctrl-C): non-zero for yes. It is
// asked from the thread that runs the sort, at safe points.
struct ZsInterruptHook {
    int (*ask)(void* user);
    void* user;
};

// The host's progress report: the phase ("read", "sort", "write" or "merge"), its bytes done and
// in all (0 when unknown). Non-zero asks the run to stop: it fails as after an interrupt.
struct ZsProgressHook {
    int (*report)(void* user, const char* phase, ZsSize done, ZsSize total);
    void* user;
};

// How messages reach the console (base/msg.h says what each mode prints).
enum ZsConsole : int32_t {
    ZS_CONSOLE_CP932 = 0,  // code page 932 (the default)
    ZS_CONSOLE_UTF8,       // the texts as they are, UTF-8
    ZS_CONSOLE_SILENT,     // nothing, but a verbose run's lines, UTF-8, on standard error
};

struct ZsLog {
    int bVerbose;          // verbose diagnostics, timings and call counters
    ZsConsole console;     // set by the driver from the host before anything is printed
    int processId;         // taken at the start of every run
    long startFirst;       // clock at the verbose start block
    long phaseStart;       // clock at the start of the phase being timed
    long finish;           // clock at its end
    FILE* diag;            // where diagnostics meant for standard output go (null: standard output)
    ZsInterruptHook interrupt;
    int bInterrupted;      // an interrupt was seen: the run stops at the next safe point
    int stopWorkers;       // set with it, read by the run's worker threads (atomic)
    int32_t threads;       // threads the run may use (base/parallel.h); set by the driver
    int64_t parallelMin;   // the least work an operation shares out (0: its own measure; tests
                           // set it small so that small inputs take the threaded paths)
    long lastInterruptCheck;
    ZsProgressHook progress;
    const char* phase;     // the phase being reported; null between phases
    ZsSize phaseDone;
    ZsSize phaseTotal;
    char timeStamp[80];    // "YYYY-MM-DD hh:mm:ss "
    // The error lines the run printed, in order, as formatted (UTF-8, before the code-page
    // conversion): what a caller reports when the run fails. Cut at ZS_FAILURE_MAX - 1 bytes.
    char failure[ZS_FAILURE_MAX];
    int32_t failureLen;
};

// The text of the failures a run printed ("" when none).
inline const char* zs_failure_text(const ZsLog& log) { return log.failure; }

// ---- interrupts ----
// True once an interrupt was seen in this run (the hook is asked at most every
// ZS_INTERRUPT_POLL_MS milliseconds). A caller that gets true stops and fails its phase. On a
// worker thread of the run (base/parallel.h) it asks no hook: it reads whether the run was
// stopped.
bool zs_interrupted(ZsLog& log);
inline constexpr long ZS_INTERRUPT_POLL_MS = 200;

// As zs_interrupted, but asks the hook whatever the time since the last question: for the last
// safe point before a run puts its outputs in place, so that an interrupt seen by then never ends
// in a success.
bool zs_interrupted_now(ZsLog& log);

// ---- progress ----
// A phase starts: total is its bytes (0 when unknown). While it lasts, zs_interrupted also reports
// the bytes done to the progress hook, at most every ZS_INTERRUPT_POLL_MS milliseconds.
void zs_progress_start(ZsLog& log, const char* phase, ZsSize total);
inline void zs_progress_add(ZsLog& log, ZsSize bytes) { log.phaseDone += bytes; }
// The phase ends: reported at once, done as total when the total is known. A hook that asks the
// run to stop here is seen by the next zs_interrupted (and r.bInterrupted is set).
void zs_progress_end(ZsLog& log);
