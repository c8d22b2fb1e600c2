// The sort layer's part of a run's context: the temporary file and its blocks, the output and the
// buffers records pass through on their way out.
//
// Contract
// - One per run, made by the run driver as part of the run's context and passed by hand to every
//   operation of this layer; it extends the records layer's context (records/run.h).
// - The temporary files are the run's alone: created under a name of their own (O_EXCL), unlinked
//   as soon as they are open and never reopened by name, so no way the process ends leaves one
//   behind. They are closed in one place, the run's cleanup (zs_temp_close).
// - The second file (spare) is created only when a merge goes in passes; after each pass the two
//   trade places, so that tmp always describes the blocks the next merge reads.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/size.h"
#include "memory/pool.h"
#include "platform/platform.h"
#include "records/run.h"

// Where one sorted block lies in the temporary file.
struct ZsBlock {
    ZsSize offset;     // first byte of the block
    ZsSize size;       // bytes of the block
    ZsSize recNum;     // records in the block
    ZsSize maxRecLen;  // its longest record in the temporary record format
};

struct ZsTempFile {
    FILE* stream;      // open for reading and writing while the run uses it
    ZsSize offset;     // bytes written: where the next block starts
    PtrList* blocks;   // ZsBlock records in input order (pool memory)
    ZsSize count;      // blocks written
    ZsSize maxRecLen;  // longest record in the temporary record format (bytes it takes there)
};

inline constexpr int64_t ZS_OUT_BUF = 655360;
inline constexpr int64_t ZS_TMP_BUF = 1 << 20;

struct ZsSortRun : ZsRecRun {
    FILE* stdIn;   // the run's standard input and output: streams of the host, or null for the
    FILE* stdOut;  // process's (read through zs_std_in, zs_std_out); the run closes neither
    ZsTempFile tmp;
    ZsTempFile spare;         // where a pass of the merge writes its runs (no stream until one does)
    int64_t mergePasses;      // passes before the merge that writes the output
    ZsOutFile outStream;      // the output: a file replaced only when complete, or standard output
    char outBuf[ZS_OUT_BUF];  // records on their way to the output
    char tmpBuf[ZS_TMP_BUF];  // blocks on their way to the temporary file
};

inline FILE* zs_std_in(const ZsSortRun& r) { return r.stdIn != nullptr ? r.stdIn : stdin; }
inline FILE* zs_std_out(const ZsSortRun& r) { return r.stdOut != nullptr ? r.stdOut : stdout; }

// The environment the comparator family takes: the run's records context (a sort context passed
// as void* would not be one).
inline void* zs_cmp_env(ZsRecRun& r) { return &r; }
