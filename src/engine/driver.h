// The run driver: one complete sort run from a command line.
//
// Contract
// - A run's whole state is one context (ZsRun), made by the driver for the call and passed by
//   hand to every layer; nothing of a run outlives it, so runs may go side by side in one process
//   (from several threads). What a process shares by nature is guarded: a run that reads the
//   process's standard input or writes its records to the process's standard output holds the
//   standard-streams lock for its data phases (a run given streams of its own by the host does
//   not), and every console line is written in one locked operation.
// - tesra_main returns 0 after a successful sort and 1 after a failure or --help; it never ends
//   the process. Every path releases what the run took before returning.
// - tesra_run with a host: the host's options default to tesra_main's behaviour. Its streams stay
//   open and the host's; its hooks are called from the thread that runs the sort. A progress hook
//   that asks the run to stop fails it as an interrupt does: no output is left.
#pragma once

#include <cstddef>

#include "base/log.h"
#include "base/size.h"
#include "settings/settings.h"
#include "sort/run.h"

// The run's context: the sort layer's and below, and the settings record it owns (read through
// args, const, once checked).
struct ZsRun : ZsSortRun {
    ArgsInfo settings;
    const char* mode;  // how the records are sorted (ZsRunStats.mode), once the driver chose
};

// What a run did, for the host.
struct ZsRunStats {
    ZsSize records;      // written to the output
    ZsSize rejected;     // too short for the keys: written to -E or dropped
    ZsSize duplicates;   // dropped by -U
    const char* mode;    // "memory", "temporary file", "standard input" or "merge"; null: no sort
    double seconds;      // the run's duration
};

// What the host (the module binding) brings to a run and takes from it.
struct ZsHost {
    ZsInterruptHook interrupt;  // asked at safe points; none: the run is never interrupted
    char* failure;              // receives the run's failure text (may be null)
    size_t failureCap;
    bool quiet = false;                    // no start and end lines
    ZsConsole console = ZS_CONSOLE_CP932;  // what reaches the console (base/msg.h)
    ZsProgressHook progress{};             // phases and bytes done (base/log.h); none: no reports
    FILE* in = nullptr;                    // the run's standard input; null: the process's
    FILE* out = nullptr;                   // the run's standard output; null: the process's
    int32_t threads = 0;                   // threads the run may use; 0: zs_default_threads()
    ZsRunStats stats{};                    // set when tesra_run returns
};

int tesra_main(int argc, char** argv);
int tesra_run(int argc, char** argv, ZsHost* host);

// Pool size for the run (also decides in-memory or temporary-file sorting, in r.totals).
ZsSize zs_pool_size(ZsRun& r);

// The pool of a run that needs `need` bytes to sort in memory (-1: not known ahead, a stream),
// under -W `limit` (0: none) or, without it, a budget (half of what the process may have; 0: not
// known, 64 MB taken): the need, in memory, when it fits; else the limit, through the temporary
// file. Pure arithmetic, so that it can be tried at any size.
struct ZsPoolPlan {
    ZsSize size;
    bool inMemory;
};
ZsPoolPlan zs_pool_plan(ZsSize need, ZsSize limit, ZsSize budget);
// Half of the memory the process may have (platform/platform.h zs_plat_memory_limit).
ZsSize zs_pool_budget();
// Releases everything the run holds; the context can then be freed.
void zs_run_release(ZsRun& r);
// Sorting through the temporary file, for input files that do not fit the pool or whose size is
// not known (pipes and FIFOs). 0 when the output is written; 1 after printing why not.
int zs_tmpfile_mode(ZsSortRun& r);
