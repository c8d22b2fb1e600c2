// The run state: every process-wide variable of a sort run and the static buffers that streams
// keep while they are open, in one record.
//
// Contract
// - There is one record, `zs_run`. It is all zero when the process starts and between runs.
// - The run driver's reset (zs_run_reset) releases what the record owns (streams, blocks, pool)
//   and then calls zs_run_clear, which returns it to that initial value. Nothing else clears it.
// - Results of an operation are returned to its caller, never left here for it to pick up.
// - Runs never overlap: the module binding serialises them, so no field is guarded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

struct MemoryPool;
struct PtrList;

// Number of members of the comparator family (the records layer checks it against its table).
inline constexpr int ZS_CMP_SLOTS = 33;

struct ZsRun {
    // ---- run variables ----
    int bVerbose;          // verbose diagnostics, timings and call counters
    int processId;         // taken at the start of every run; part of the temporary file name
    long startFirst;       // clock at the verbose start block
    long phaseStart;       // clock at the start of the phase being timed
    long finish;           // clock at its end
    MemoryPool* pool;      // the run's memory pool
    PtrList* blockList;    // sorted blocks of the temporary file
    int32_t unit_cnt;      // blocks written to the temporary file
    int64_t tmpOffset;     // bytes written to the temporary file: where the next block starts
    int32_t blockBufSize;  // buffer size of every block in the merge of the temporary file
    FILE* tmpStream;       // the temporary file while it is written and read
    int bTmpCreated;       // the temporary file exists and is the run's to remove
    int32_t maxTmpRecLen;  // longest record of the temporary file, in its temporary record format
    ZsOutFile errStream;   // the error-record file, opened on first use
    ZsOutFile outStream;   // the output: a file replaced only when complete, or standard output
    FILE* diag;            // where diagnostics meant for standard output go (null: standard output)
    uint32_t cmpCalls[ZS_CMP_SLOTS];  // comparator call counters, counted while verbose
    int bInterrupted;      // an interrupt was seen: the run stops at the next safe point
    long lastInterruptCheck;
    char timeStamp[80];    // "YYYY-MM-DD hh:mm:ss "

    // ---- static buffers (kept by open streams; their content is never part of the state) ----
    char stderrBuf[16384];
    char outBuf[655360];   // records on their way to the output
    char errBuf[1 << 20];  // the error-record file's stdio buffer
    char tmpBuf[1 << 20];  // blocks on their way to the temporary file
};

extern ZsRun zs_run;

// Returns every run variable to its initial value (zero). The buffers are left alone: a stream
// may still hold one (standard error keeps its buffer after a verbose run).
void zs_run_clear();

// ---- interrupts ----
// The host (the module binding) may install a check that answers whether the user asked the run
// to stop (Ctrl-C). The engine polls it through zs_interrupted at safe points.
using ZsInterruptCheck = int (*)();
void zs_set_interrupt_check(ZsInterruptCheck check);

// True once an interrupt was seen in this run (the installed check is asked at most every
// ZS_INTERRUPT_POLL_MS milliseconds). A caller that gets true stops and fails its phase.
bool zs_interrupted();
inline constexpr long ZS_INTERRUPT_POLL_MS = 200;

// As zs_interrupted, but asks the installed check whatever the time since the last question: for
// the last safe point before a run puts its outputs in place, so that an interrupt seen by then
// never ends in a success.
bool zs_interrupted_now();
