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

// A record of a block noted while the block is written, so that a merge can find its way into the
// block without reading it from the start: where the record starts in the block, its index, and
// the output bytes (record lengths) of the records before it.
struct ZsBlockSample {
    ZsSize at;
    ZsSize idx;
    ZsSize outAt;
};
// Samples a block keeps at most: they stay evenly spread (every sampleStride bytes or more) by
// dropping every other one and doubling the stride when they are full.
inline constexpr int32_t ZS_BLOCK_SAMPLES = 64;
inline constexpr ZsSize ZS_SAMPLE_STRIDE = 4096;

// Where one sorted block lies in the temporary file.
struct ZsBlock {
    ZsSize offset;     // first byte of the block
    ZsSize size;       // bytes of the block
    ZsSize recNum;     // records in the block
    ZsSize maxRecLen;  // its longest record in the temporary record format
    ZsSize outBytes = 0;  // bytes its records take in the output (their lengths)
    ZsBlockSample* samples = nullptr;  // room for ZS_BLOCK_SAMPLES (pool memory with the block's record); null: none
    int32_t sampleNum = 0;
    ZsSize sampleStride = ZS_SAMPLE_STRIDE;
    ZsSize nextSample = 0;  // the block's size at which the next sample is due
};

// A block about to be written from `offset`: empty, its samples (if it has room for them) none.
inline void zs_block_reset(ZsBlock* b, ZsSize offset) {
    ZsBlockSample* samples = b->samples;
    *b = ZsBlock{offset, 0, 0, 0, 0, samples, 0, ZS_SAMPLE_STRIDE, 0};
}

// Notes a record of the temporary record format taking `bytes` there and `len` in the output,
// appended to the block: a sample when one is due, then the block's sizes.
inline void zs_block_add(ZsBlock* b, ZsSize bytes, ZsSize len) {
    if (b->samples != nullptr && b->size >= b->nextSample) {
        if (b->sampleNum == ZS_BLOCK_SAMPLES) {
            for (int32_t i = 0; i < ZS_BLOCK_SAMPLES / 2; i++) b->samples[i] = b->samples[2 * i];
            b->sampleNum = ZS_BLOCK_SAMPLES / 2;
            b->sampleStride *= 2;
            b->nextSample = b->samples[b->sampleNum - 1].at + b->sampleStride;
        }
        if (b->size >= b->nextSample) {
            b->samples[b->sampleNum++] = ZsBlockSample{b->size, b->recNum, b->outBytes};
            b->nextSample = b->size + b->sampleStride;
        }
    }
    b->size += bytes;
    b->recNum++;
    b->outBytes += len;
    if (bytes > b->maxRecLen) b->maxRecLen = bytes;
}

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
