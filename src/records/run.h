// The records layer's part of a run's context: the checked settings, the run's totals and pool,
// the error-record file and the comparator call counters.
//
// Contract
// - One per run, made by the run driver as part of the run's context (the sort layer's context
//   extends it) and passed by hand to every operation of this layer; its log comes first, so the
//   context prints wherever it is passed.
// - args is read-only; totals, the error stream and the counters are written only by the thread
//   that runs the sort.
#pragma once

#include <cstdint>

#include "base/log.h"
#include "memory/pool.h"
#include "platform/platform.h"
#include "records/compare.h"
#include "settings/settings.h"

inline constexpr int64_t ZS_ERR_BUF = 1 << 20;

struct ZsRecRun : ZsLog {
    const ArgsInfo* args;            // the checked settings
    ZsTotals totals;                 // what the run finds out
    MemoryPool* pool;                // every buffer, list and entry of the sort
    ZsOutFile errStream;             // the error-record file, opened on first use
    uint64_t cmpCalls[ZS_CMP_COUNT]; // comparator call counters, counted while verbose
    char errBuf[ZS_ERR_BUF];         // the error-record file's stdio buffer
};

inline uint64_t zs_cmp_calls(const ZsRecRun& r, ZsCmpId id) { return r.cmpCalls[(int)id]; }
