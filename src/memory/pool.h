// The run's memory pool: one heap block serving a best-fit front region, a stack-like back
// region and a counted heap fallback; plus the pointer list used throughout the engine.
//
// Contract (what callers must and must not do; debug builds assert the checkable rules)
// - Front memory (zs_malloc, zs_malloc_hwm, zs_realloc) is released with zs_free or qfree, in
//   any order, once.
// - Back memory (zs_qmalloc) is a stack: release it only with qfree, last in first out. Never
//   give a back-region block to zs_free or zs_realloc: they would treat it as a front block.
// - A pointer the pool did not place (a heap fallback, or any block while no pool exists) is
//   accepted by every release operation and goes to the heap. Null is accepted everywhere.
// - Every operation takes the pool it works on (the run's, passed by hand); a null pool means the
//   heap.
// - Failures return null (or 1 for the list operations) and leave the old memory untouched; the
//   pool prints only verbose statistics, never an error: the caller reports.
// - Everything the pool placed, heap fallbacks included, is released by zs_pool_destroy.
//
// Built with ZS_POOL_PER_OBJECT (CMake option TESRA_POOL_PER_OBJECT, meant for the fuzz targets)
// the pool keeps no region of its own, so every request is a heap block of its own (listed as
// the pool proper lists its heap fallbacks; zs_qmalloc blocks on a stack of their own) and a
// sanitizer sees the bounds of each object. The same pool serves them: the contracts above hold
// unchanged (and are asserted), only the placement and the verbose statistics differ. The unit
// tests of the layout need the pool proper.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/log.h"
#include "base/size.h"

// Growable pointer array. Live entries are items[start] .. items[start + count - 1].
struct PtrList {
    void** items;
    ZsSize capacity;
    ZsSize start;
    ZsSize count;
};

// Header of a front-region block; the payload follows it.
struct PoolBlock {
    PoolBlock* prev;
    PoolBlock* next;
    uint32_t status;  // ZS_BLOCK_FREE, ZS_BLOCK_USED, 0 for the sentinel
    ZsSize size;      // payload bytes
};

inline constexpr uint32_t ZS_BLOCK_FREE = 0x46;  // 'F'
inline constexpr uint32_t ZS_BLOCK_USED = 0x41;  // 'A'
inline constexpr ZsSize ZS_POOL_HDR = (ZsSize)sizeof(PoolBlock);  // H

// The pool header, stored at the start of the pool block.
struct MemoryPool {
    PoolBlock* first;
    ZsSize size;       // bytes of the pool block (the pool's pages are touched only as they are used)
    char* end;
    char* back;
    PoolBlock* sentinel;
    PtrList freeIndex;   // free blocks sorted by (size, address); items on the heap
    ZsSize frontCount;
    ZsSize backCount;
    PtrList heapBlocks;  // heap-fallback blocks still live, freed with the pool
    ZsSize fallbacks;    // requests the pool could not take, since it was made (per-object: none)
    ZsLog* log;          // the run's log: verbose statistics and call counts while it is verbose
    PoolBlock sentinelBlock;
    // Per-object build: the live zs_qmalloc blocks, last one last (heapBlocks holds the others).
    // Always empty in the pool proper, whose back blocks lie in its region.
    PtrList backBlocks;
};

// Where a list's items array lives.
inline constexpr int ZS_LIST_POOL = 0;
inline constexpr int ZS_LIST_HEAP = 1;

// A pool of size bytes for the run whose log is given (may be null: no statistics, no counts).
// Only the pool's header is written: the rest of its pages are touched as they are used, so a
// large pool costs little until it holds data.
MemoryPool* zs_pool_create(ZsSize size, ZsLog* log);
void* zs_malloc(MemoryPool* p, int64_t size);
void* zs_malloc_hwm(MemoryPool* p, int64_t size);
void* zs_qmalloc(MemoryPool* p, int64_t size);
void* zs_realloc(MemoryPool* p, void* ptr, int64_t size);
void qfree(MemoryPool* p, void* ptr);
void zs_free(MemoryPool* p, void* ptr);
// Verbose statistics of the pool and the call counts (nothing unless the pool's log is verbose).
void zs_pool_report(MemoryPool* p);
// Bytes the largest single request the pool's free blocks could take now; -1 when the pool does
// not keep free blocks (the per-object variant) and no bound is known.
int64_t zs_pool_largest_free(const MemoryPool* p);
void zs_pool_destroy(MemoryPool* p);
// Before zs_pool_destroy, with threads > 1: gives the pool's pages back to the system in pieces
// on that many threads (one free of a large pool returns them page by page on one thread), asking
// the host nothing. The pool's memory reads as zeros afterwards: nothing may use it but
// zs_pool_destroy.
void zs_pool_discard(MemoryPool* p, int32_t threads);

// Pointer list operations. 0 on success; growth failures keep the old array and return 1.
// The items of a list live in the pool (ZS_LIST_POOL) or on the heap (ZS_LIST_HEAP); destroy
// releases them by where the pointer lies.
// The pool given is the one a ZS_LIST_POOL list's items come from (null for heap lists).
int zs_list_append(MemoryPool* p, PtrList* list, void* item, int where);
void zs_list_remove_at(PtrList* list, ZsSize i);
int zs_list_grow(MemoryPool* p, PtrList* list, int where);
void zs_list_destroy(MemoryPool* p, PtrList* list);

// Pool call counters, counted while the log of the pool called is verbose (a call without a pool
// is not counted); they add up over the runs of a process, so they are shared by runs side by
// side (relaxed atomic counts).
struct ZsPoolCalls {
    std::atomic<uint64_t> malloc_;
    std::atomic<uint64_t> mallocHwm;
    std::atomic<uint64_t> qmalloc;
    std::atomic<uint64_t> realloc_;
    std::atomic<uint64_t> heapMalloc;
    std::atomic<uint64_t> heapRealloc;
    std::atomic<uint64_t> heapFree;
    std::atomic<uint64_t> heapQfree;
};
extern ZsPoolCalls zs_pool_calls;

#if !defined(NDEBUG) || defined(ZS_CHECKS)
// Checks every structural invariant of a pool: the chain tiles the front region, free blocks
// never touch, the top block ends at `back`, the counts agree and the free index lists exactly
// the free blocks in key order. Returns null when sound, else what is wrong.
const char* zs_pool_check(const MemoryPool* p);
#endif
