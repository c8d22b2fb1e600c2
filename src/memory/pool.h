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
// - zs_qmalloc, zs_realloc and qfree work on the run's pool (zs_run.pool); the heap without one.
// - Failures return null (or 1 for the list operations) and leave the old memory untouched; the
//   pool prints only verbose statistics, never an error: the caller reports.
// - Everything the pool placed, heap fallbacks included, is released by zs_pool_destroy.
//
// Built with ZS_POOL_PER_OBJECT (CMake option TESRA_POOL_PER_OBJECT, meant for the fuzz targets)
// every request is a heap block of its own, so that a sanitizer sees the bounds of each object;
// the contracts above hold unchanged (and are asserted), only the placement and the verbose
// statistics differ. The unit tests of the layout need the pool proper.
#pragma once

#include <cstddef>
#include <cstdint>

// Growable pointer array. Live entries are items[start] .. items[start + count - 1].
struct PtrList {
    void** items;
    int32_t capacity;
    int32_t start;
    int32_t count;
};

// Header of a front-region block; the payload follows it.
struct PoolBlock {
    PoolBlock* prev;
    PoolBlock* next;
    uint32_t status;  // ZS_BLOCK_FREE, ZS_BLOCK_USED, 0 for the sentinel
    int32_t size;     // payload bytes
};

inline constexpr uint32_t ZS_BLOCK_FREE = 0x46;  // 'F'
inline constexpr uint32_t ZS_BLOCK_USED = 0x41;  // 'A'
inline constexpr int32_t ZS_POOL_HDR = (int32_t)sizeof(PoolBlock);  // H

// The pool header, stored at the start of the pool block.
struct MemoryPool {
    PoolBlock* first;
    int32_t size;
    char* end;
    char* back;
    PoolBlock* sentinel;
    PtrList freeIndex;   // free blocks sorted by (size, address); items on the heap
    uint32_t frontCount;
    int32_t backCount;
    PtrList heapBlocks;  // heap-fallback blocks still live, freed with the pool
    uint32_t fallbacks;  // requests the pool could not take, since it was made
    PoolBlock sentinelBlock;
#if defined(ZS_POOL_PER_OBJECT)
    PtrList backBlocks;  // live zs_qmalloc blocks, last one last (heapBlocks holds the others)
#endif
};

// Where a list's items array lives.
inline constexpr int ZS_LIST_POOL = 0;
inline constexpr int ZS_LIST_HEAP = 1;

MemoryPool* zs_pool_create(int32_t size);
void* zs_malloc(MemoryPool* p, int64_t size);
void* zs_malloc_hwm(MemoryPool* p, int64_t size);
// These three work on the run's pool (the process-wide `pool`); without one they use the heap.
void* zs_qmalloc(int64_t size);
void* zs_realloc(void* ptr, int64_t size);
void qfree(void* ptr);
void zs_free(MemoryPool* p, void* ptr);
void zs_pool_report(MemoryPool* p);
// Bytes the largest single request the pool's free blocks could take now; -1 when the pool does
// not keep free blocks (the per-object variant) and no bound is known.
int64_t zs_pool_largest_free(const MemoryPool* p);
void zs_pool_destroy(MemoryPool* p);

// Pointer list operations. 0 on success; growth failures keep the old array and return 1.
// The items of a list live in the pool (ZS_LIST_POOL) or on the heap (ZS_LIST_HEAP); destroy
// releases them by where the pointer lies.
int zs_list_append(PtrList* list, void* item, int where);
void zs_list_remove_at(PtrList* list, int32_t i);
int zs_list_grow(PtrList* list, int where);
void zs_list_destroy(PtrList* list);

// Pool call counters, counted while the run is verbose; they add up over the runs of a process.
struct ZsPoolCalls {
    uint32_t malloc_;
    uint32_t mallocHwm;
    uint32_t qmalloc;
    uint32_t realloc_;
    uint32_t heapMalloc;
    uint32_t heapRealloc;
    uint32_t heapFree;
    uint32_t heapQfree;
};
extern ZsPoolCalls zs_pool_calls;

#if !defined(NDEBUG) || defined(ZS_CHECKS)
// Checks every structural invariant of a pool: the chain tiles the front region, free blocks
// never touch, the top block ends at `back`, the counts agree and the free index lists exactly
// the free blocks in key order. Returns null when sound, else what is wrong.
const char* zs_pool_check(const MemoryPool* p);
#endif
