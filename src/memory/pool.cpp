// The run's memory pool and the pointer list.
//
// Layout of the pool block: the MemoryPool header (free index record and sentinel block included),
// then the front region of header+payload blocks growing upward, then the back region growing
// downward from `end`. The top block's payload always ends at `back`.
//
// The per-object build keeps the header only: with no region, every front request takes the path
// of the heap fallback, and zs_qmalloc blocks go to a heap stack of their own (backBlocks) so that
// their order can still be checked. Everything else is the same code.
#include "memory/pool.h"

#include <cstdlib>
#include <cstring>

#include "base/msg.h"
#include "base/parallel.h"
#include "platform/platform.h"

ZsPoolCalls zs_pool_calls;

namespace {

#if defined(ZS_POOL_PER_OBJECT)
constexpr bool kPerObject = true;
#else
constexpr bool kPerObject = false;
#endif

constexpr ZsSize kListStep = 1024;

static_assert(sizeof(PoolBlock) == 32, "front block header layout");
static_assert(sizeof(MemoryPool) % 8 == 0, "the first block must stay 8-byte aligned");

// Statistics and call counts belong to a verbose run; a request without a pool is not counted.
inline bool verbose(const MemoryPool* p) { return p != nullptr && p->log != nullptr && p->log->bVerbose; }

inline void count(const MemoryPool* p, std::atomic<uint64_t>& counter) {
    if (verbose(p)) counter.fetch_add(1, std::memory_order_relaxed);
}

// malloc/realloc of 0 bytes may give null, which callers would take for a failure.
inline size_t heap_bytes(int64_t n) { return n > 0 ? (size_t)n : 1; }

constexpr uint64_t H = (uint64_t)ZS_POOL_HDR;

// Rounds a size of 0 or more up to a multiple of 8 in 64 bits, so that no request can wrap
// into a small one; 0 stays 0.
inline uint64_t round8(int64_t n) { return n == 0 ? 0 : (((uint64_t)n - 1) / 8 + 1) * 8; }

inline PoolBlock* header_of(void* payload) { return (PoolBlock*)payload - 1; }
inline void* payload_of(PoolBlock* b) { return b + 1; }
inline PoolBlock* block_at(void* payload, uint64_t offset) { return (PoolBlock*)((char*)payload + offset); }

ZsSize heap_find(const PtrList* l, const void* ptr);

// Whether the pool placed ptr in its own block (the per-object pool places nothing there). The
// payload of an empty block at the very end is the pool's end, where an allocator that keeps no
// header in front of its blocks may also place a heap block of the pool's: the heap lists tell.
inline bool in_pool(const MemoryPool* p, const void* ptr) {
    if (kPerObject) return false;
    uintptr_t a = (uintptr_t)ptr;
    if (a == (uintptr_t)p->end) return heap_find(&p->heapBlocks, ptr) < 0 && heap_find(&p->backBlocks, ptr) < 0;
    return a >= (uintptr_t)p->first && a < (uintptr_t)p->end;
}

inline bool is_free(const PoolBlock* b) { return b->status == ZS_BLOCK_FREE; }

// A front payload handed out and not yet released (never a back-region block: those lie above
// `back`). Used by the contract checks.
[[maybe_unused]] inline bool is_live_front(const MemoryPool* p, const void* ptr) {
    return (uintptr_t)ptr <= (uintptr_t)p->back && header_of(const_cast<void*>(ptr))->status == ZS_BLOCK_USED;
}

// Free-index order: size, then header address; the key is unique.
inline bool key_less(const PoolBlock* a, const PoolBlock* b) {
    return a->size < b->size || (a->size == b->size && (uintptr_t)a < (uintptr_t)b);
}

inline PoolBlock** index_items(PtrList* fi) { return (PoolBlock**)fi->items + fi->start; }

// Position (relative to start) of a free block, filed under its current size; -1 if absent.
ZsSize index_find(PtrList* fi, const PoolBlock* b) {
    PoolBlock** e = index_items(fi);
    ZsSize lo = 0, hi = fi->count - 1;
    while (lo <= hi) {
        ZsSize mid = lo + (hi - lo) / 2;
        if (e[mid] == b) return mid;
        if (key_less(e[mid], b)) lo = mid + 1;
        else hi = mid - 1;
    }
    return -1;
}

// Moves entry i to its place after its block's size changed.
void index_reposition(PtrList* fi, ZsSize i) {
    PoolBlock** e = index_items(fi);
    PoolBlock* b = e[i];
    if (i > 0 && key_less(b, e[i - 1])) {
        ZsSize lo = 0, hi = i - 1;  // first position whose key is greater than b's
        while (lo < hi) {
            ZsSize mid = lo + (hi - lo) / 2;
            if (key_less(b, e[mid])) hi = mid;
            else lo = mid + 1;
        }
        memmove(&e[lo + 1], &e[lo], (size_t)(i - lo) * sizeof *e);
        e[lo] = b;
    } else if (i < fi->count - 1 && key_less(e[i + 1], b)) {
        ZsSize lo = i + 1, hi = fi->count - 1;  // last position whose key is less than b's
        while (lo < hi) {
            ZsSize mid = lo + (hi - lo + 1) / 2;
            if (key_less(e[mid], b)) lo = mid;
            else hi = mid - 1;
        }
        memmove(&e[i], &e[i + 1], (size_t)(lo - i) * sizeof *e);
        e[lo] = b;
    }
}

inline void index_replace(PtrList* fi, ZsSize i, PoolBlock* b) {
    index_items(fi)[i] = b;
    index_reposition(fi, i);
}

// Heap blocks of the pool: every live one is listed so the pool can free it.
ZsSize heap_find(const PtrList* l, const void* ptr) {
    for (ZsSize i = l->count - 1; i >= 0; i--)  // recent blocks tend to go first
        if (l->items[l->start + i] == ptr) return i;
    return -1;
}

void* heap_listed(PtrList* l, int64_t n) {
    void* q = malloc(heap_bytes(n));
    if (q != nullptr && zs_list_append(nullptr, l, q, ZS_LIST_HEAP) != 0) {
        free(q);  // an unlisted block would outlive the pool
        return nullptr;
    }
    return q;
}

void heap_forget(MemoryPool* p, const void* ptr) {
    if (p == nullptr) return;
    ZsSize i = heap_find(&p->heapBlocks, ptr);
    if (i >= 0) zs_list_remove_at(&p->heapBlocks, i);
}

// A live zs_qmalloc block of the per-object pool (never one in the pool proper: its back blocks
// lie in its region). Used by the contract checks.
[[maybe_unused]] inline bool is_back_object(const MemoryPool* p, const void* ptr) {
    return kPerObject && p != nullptr && ptr != nullptr && heap_find(&p->backBlocks, ptr) >= 0;
}

// A front request the region cannot take. The per-object pool sends every request here by
// design, which is no fallback to count or report.
void* heap_fallback(MemoryPool* p, int64_t n) {
    if (!kPerObject) {
        p->fallbacks++;
        if (verbose(p)) {
            zs_pool_calls.heapMalloc.fetch_add(1, std::memory_order_relaxed);
            zs_pool_report(p);
            ZS_MSG_JP(*p->log, "メモリプールから[%ld]KB、[%ld]バイトが割当できなかったので、ヒップから割当てる！\n",
                      (long)((n - 1) / 1024), (long)n);
        }
    }
    return heap_listed(&p->heapBlocks, n);
}

// Splits free block b (entry i) so that it keeps r payload bytes and is allocated; the rest
// becomes a free block right behind it that takes over b's index entry.
void split_allocate(PtrList* fi, ZsSize i, PoolBlock* b, uint64_t r) {
    PoolBlock* nb = block_at(payload_of(b), r);
    nb->prev = b;
    nb->next = b->next;
    b->next->prev = nb;
    b->next = nb;
    nb->status = ZS_BLOCK_FREE;
    nb->size = (ZsSize)((uint64_t)b->size - r - H);
    b->size = (ZsSize)r;
    b->status = ZS_BLOCK_USED;
    index_replace(fi, i, nb);
}

// Returns a front payload to the free chain, coalescing with free neighbours at once.
void front_release(MemoryPool* p, void* ptr) {
    PtrList* fi = &p->freeIndex;
    PoolBlock* b = header_of(ptr);
    PoolBlock* l = b->prev;
    PoolBlock* n = b->next;
    if (is_free(l) && is_free(n)) {
        zs_list_remove_at(fi, index_find(fi, n));
        ZsSize il = index_find(fi, l);
        l->next = n->next;
        n->next->prev = l;
        l->size += ZS_POOL_HDR + b->size + ZS_POOL_HDR + n->size;
        index_reposition(fi, il);
    } else if (is_free(l)) {
        ZsSize il = index_find(fi, l);
        l->next = n;
        n->prev = l;
        l->size += ZS_POOL_HDR + b->size;
        index_reposition(fi, il);
    } else if (is_free(n)) {
        ZsSize in = index_find(fi, n);
        b->next = n->next;
        n->next->prev = b;
        b->size += ZS_POOL_HDR + n->size;
        b->status = ZS_BLOCK_FREE;
        index_replace(fi, in, b);
    } else {
        // A block the index cannot list stays allocated: unusable until the pool goes, but the
        // chain and the index keep agreeing.
        if (zs_list_append(nullptr, fi, b, ZS_LIST_HEAP) != 0) return;
        b->status = ZS_BLOCK_FREE;
        index_reposition(fi, fi->count - 1);
    }
    p->frontCount--;
}

// Frees ptr on the heap when it is not pool memory (every pointer is heap memory without a
// pool); true when it did.
bool heap_release(MemoryPool* p, void* ptr, std::atomic<uint64_t>& counter) {
    if (p != nullptr && in_pool(p, ptr)) return false;
    count(p, counter);
    heap_forget(p, ptr);
    free(ptr);
    return true;
}

}  // namespace

// ---- pointer list ----

int zs_list_grow(MemoryPool* p, PtrList* list, int where) {
    if (list->start > 0) {  // reuse the room that removals at the front left behind
        memmove(list->items, list->items + list->start, (size_t)list->count * sizeof(void*));
        list->start = 0;
    }
    if ((int64_t)list->start + list->count + kListStep <= list->capacity) return 0;
    ZsSize capacity = list->capacity + kListStep;
    int64_t bytes = (int64_t)capacity * (int64_t)sizeof(void*);
    void* items = where == ZS_LIST_POOL ? zs_realloc(p, list->items, bytes) : realloc(list->items, (size_t)bytes);
    if (items == nullptr) return 1;  // the old array stays in place and valid
    list->items = (void**)items;
    list->capacity = capacity;
    return 0;
}

int zs_list_append(MemoryPool* p, PtrList* list, void* item, int where) {
    if (list->count >= list->capacity - list->start && zs_list_grow(p, list, where) != 0) return 1;
    list->items[list->start + list->count] = item;
    list->count++;
    return 0;
}

void zs_list_remove_at(PtrList* list, ZsSize i) {
    if (i == list->count - 1) {
        list->count--;
    } else if (i == 0) {
        list->start++;
        list->count--;
    } else {
        void** e = list->items + list->start;
        memmove(&e[i], &e[i + 1], (size_t)(list->count - i - 1) * sizeof *e);
        list->count--;
    }
}

void zs_list_destroy(MemoryPool* p, PtrList* list) {
    if (list == nullptr) return;
    zs_free(p, list->items);  // front memory of the pool, or heap memory: zs_free tells them apart
    zs_free(p, list);
}

// ---- pool ----

MemoryPool* zs_pool_create(ZsSize size, ZsLog* log) {
    // Whole 8-byte units only, so that back blocks and the top block stay aligned. The per-object
    // pool refuses the same sizes but holds its header only.
    ZsSize bytes = size & ~(ZsSize)7;
    if (bytes < (int64_t)sizeof(MemoryPool) + ZS_POOL_HDR) return nullptr;
    ZsSize held = kPerObject ? (ZsSize)sizeof(MemoryPool) : bytes;
    // malloc, not calloc or a memset: a large pool's pages stay untouched until they are used.
    MemoryPool* p = (MemoryPool*)malloc((size_t)held);
    if (p == nullptr) return nullptr;
    void** items = (void**)malloc(kListStep * sizeof(void*));
    if (items == nullptr) {
        free(p);
        return nullptr;
    }
    memset(p, 0, sizeof *p);
    p->freeIndex = PtrList{items, kListStep, 0, 0};
    p->log = log;
    p->size = bytes;
    p->first = (PoolBlock*)((char*)p + sizeof(MemoryPool));
    p->end = (char*)p + held;
    p->back = p->end;
    p->sentinel = &p->sentinelBlock;
    p->sentinel->prev = p->sentinel->next = p->sentinel;  // an empty chain until a block joins it

    if (held > (int64_t)sizeof(MemoryPool)) {
        PoolBlock* b = p->first;
        b->prev = b->next = p->sentinel;
        b->status = ZS_BLOCK_FREE;
        b->size = held - (ZsSize)sizeof(MemoryPool) - ZS_POOL_HDR;
        p->sentinel->prev = p->sentinel->next = b;
        p->freeIndex.items[0] = b;
        p->freeIndex.count = 1;
    }
    return p;
}

void* zs_malloc(MemoryPool* p, int64_t n) {
    count(p, zs_pool_calls.malloc_);
    if (n < 0) return nullptr;
    if (p == nullptr) return malloc(heap_bytes(n));
    uint64_t r = round8(n);
    PtrList* fi = &p->freeIndex;
    PoolBlock** e = index_items(fi);
    if (fi->count == 0 || (uint64_t)e[fi->count - 1]->size < r) return heap_fallback(p, n);

    ZsSize i = 0;
    while ((uint64_t)e[i]->size < r) i++;  // best fit: smallest size, then lowest address
    PoolBlock* b = e[i];
    if ((uint64_t)b->size < r + H) {
        b->status = ZS_BLOCK_USED;
        zs_list_remove_at(fi, i);
    } else {
        split_allocate(fi, i, b, r);
    }
    p->frontCount++;
    return payload_of(b);
}

void* zs_malloc_hwm(MemoryPool* p, int64_t n) {
    count(p, zs_pool_calls.mallocHwm);
    if (n < 0) return nullptr;
    if (p == nullptr) return malloc(heap_bytes(n));
    uint64_t r = round8(n);
    PoolBlock* t = p->sentinel->prev;  // the sentinel itself (never free) when the chain is empty
    if (is_free(t) && (uint64_t)t->size >= r) {
        PtrList* fi = &p->freeIndex;
        ZsSize i = index_find(fi, t);
        if ((uint64_t)t->size >= r + H + 8) {
            split_allocate(fi, i, t, r);  // the remainder becomes the new top block
        } else {
            t->status = ZS_BLOCK_USED;
            zs_list_remove_at(fi, i);
        }
        p->frontCount++;
        return payload_of(t);
    }
    return zs_malloc(p, n);
}

void* zs_qmalloc(MemoryPool* p, int64_t n) {
    count(p, zs_pool_calls.qmalloc);
    if (n < 0) return nullptr;
    if (p == nullptr) return malloc(heap_bytes(n));
    if (kPerObject) {
        void* q = heap_listed(&p->backBlocks, n);
        if (q != nullptr) p->backCount++;
        return q;
    }
    uint64_t r = round8(n);
    PoolBlock* t = p->sentinel->prev;
    if (is_free(t) && (uint64_t)t->size >= r + 8) {
        PtrList* fi = &p->freeIndex;
        ZsSize i = index_find(fi, t);
        // A back block's 8-byte header holds its whole length.
        uint64_t len = r + 8;
        p->back -= len;
        memcpy(p->back, &len, sizeof len);
        t->size -= (ZsSize)len;
        index_reposition(fi, i);
        p->backCount++;
        return p->back + 8;
    }
    return zs_malloc(p, n);
}

void* zs_realloc(MemoryPool* p, void* ptr, int64_t n) {
    count(p, zs_pool_calls.realloc_);
    if (n < 0) return nullptr;
    if (p == nullptr) return realloc(ptr, heap_bytes(n));
    uint64_t r = round8(n);
    if (ptr == nullptr) return zs_malloc_hwm(p, n);
    ZS_ASSERT(!in_pool(p, ptr) || is_live_front(p, ptr));
    ZS_ASSERT(!is_back_object(p, ptr));
    if (!in_pool(p, ptr)) {
        if (!kPerObject && verbose(p)) {
            zs_pool_calls.heapRealloc.fetch_add(1, std::memory_order_relaxed);
            zs_pool_report(p);
            ZS_MSG_JP(*p->log, "メモリプールから[%ld]KB、[%ld]バイトが再割当できなかったので、ヒップから再割当てる！\n",
                      (long)((n - 1) / 1024), (long)n);
        }
        // A heap block may shrink here, unlike a pool block: in the per-object pool its new size
        // is the bound the sanitizer checks.
        ZsSize i = heap_find(&p->heapBlocks, ptr);
        void* q = realloc(ptr, heap_bytes(n));
        if (q != nullptr && i >= 0) p->heapBlocks.items[p->heapBlocks.start + i] = q;
        return q;
    }

    PoolBlock* b = header_of(ptr);
    uint64_t s = (uint64_t)b->size;
    if (r <= s) return ptr;  // a block never shrinks
    PoolBlock* nx = b->next;
    if (is_free(nx) && (uint64_t)nx->size + H + s > r) {
        PtrList* fi = &p->freeIndex;
        ZsSize i = index_find(fi, nx);
        // The new block's header may overlap nx's: read nx before writing it.
        PoolBlock* after = nx->next;
        uint64_t nsize = (uint64_t)nx->size;
        if (nsize < r - s + 8) {
            b->size = (ZsSize)(nsize + H + s);
            b->next = after;
            after->prev = b;
            zs_list_remove_at(fi, i);
        } else {
            PoolBlock* nb = block_at(ptr, r);
            nb->prev = b;
            nb->next = after;
            after->prev = nb;
            nb->status = ZS_BLOCK_FREE;
            nb->size = (ZsSize)(nsize + s - r);
            b->next = nb;
            b->size = (ZsSize)r;
            index_replace(fi, i, nb);
        }
        return ptr;
    }
    void* q = zs_malloc_hwm(p, r > (uint64_t)INT64_MAX ? n : (int64_t)r);
    if (q == nullptr) return nullptr;
    memcpy(q, ptr, (size_t)s);
    zs_free(p, ptr);
    return q;
}

void zs_free(MemoryPool* p, void* ptr) {
    ZS_ASSERT(ptr == nullptr || p == nullptr || !in_pool(p, ptr) || is_live_front(p, ptr));
    ZS_ASSERT(!is_back_object(p, ptr));  // back blocks go to qfree only
    if (ptr != nullptr && !heap_release(p, ptr, zs_pool_calls.heapFree)) front_release(p, ptr);
}

void qfree(MemoryPool* p, void* ptr) {
    if (ptr == nullptr) return;
    if (kPerObject && p != nullptr) {
        ZsSize i = heap_find(&p->backBlocks, ptr);
        if (i >= 0) {
            ZS_ASSERT(i == p->backBlocks.count - 1);  // back blocks go last in, first out
            zs_list_remove_at(&p->backBlocks, i);
            p->backCount--;
            free(ptr);
            return;
        }
    }
    if (heap_release(p, ptr, zs_pool_calls.heapQfree)) return;
    if ((uintptr_t)ptr > (uintptr_t)p->back) {  // back payloads lie above `back`, front ones never
        ZS_ASSERT(ptr == p->back + 8);               // back blocks go last in, first out
        uint64_t len;
        memcpy(&len, (char*)ptr - 8, sizeof len);
        p->back += len;
        PoolBlock* t = p->sentinel->prev;
        if (is_free(t)) {
            ZsSize i = index_find(&p->freeIndex, t);
            t->size += (ZsSize)len;
            index_reposition(&p->freeIndex, i);
        } else {
            t->size += (ZsSize)len;
        }
        p->backCount--;
        return;
    }
    ZS_ASSERT(is_live_front(p, ptr));
    front_release(p, ptr);
}

int64_t zs_pool_largest_free(const MemoryPool* p) {
    if (kPerObject) return -1;  // it keeps no free blocks: no bound is known
    // The free index is sorted by size: the last block is the largest.
    const PtrList* fi = &p->freeIndex;
    if (fi->count == 0) return 0;
    return ((const PoolBlock*)fi->items[fi->start + fi->count - 1])->size;
}

void zs_pool_report(MemoryPool* p) {
    if (!verbose(p)) return;
    ZsLog& log = *p->log;
    const PtrList* fi = &p->freeIndex;
    int64_t sum = 0, largest = 0;
    for (ZsSize i = 0; i < fi->count; i++) {
        int64_t s = ((PoolBlock*)fi->items[fi->start + i])->size;
        sum += s;
        if (s > largest) largest = s;
    }
    // Kilobytes rounded up; nothing free shows as 0 rather than 1.
    auto kb = [](int64_t bytes) { return (long)(bytes == 0 ? 0 : (bytes - 1) / 1024 + 1); };
    auto n = [](const std::atomic<uint64_t>& c) { return (long)c.load(std::memory_order_relaxed); };
    const ZsPoolCalls& c = zs_pool_calls;
    ZS_MSG_JP(log, "\n###メモリ割当函数[zs_malloc]のコール回数は：%ld\n", n(c.malloc_));
    ZS_MSG_JP(log, "###メモリ快速割当函数[zs_malloc_hwm]のコール回数は：%ld\n", n(c.mallocHwm));
    ZS_MSG_JP(log, "###メモリ最快速割当函数[zs_qmalloc]のコール回数は：%ld\n", n(c.qmalloc));
    ZS_MSG_JP(log, "###メモリ再割当函数[zs_realloc]のコール回数は：%ld\n", n(c.realloc_));
    ZS_MSG_JP(log, "###メモリ割当函数[malloc]のコール回数は：%ld\n", n(c.heapMalloc));
    ZS_MSG_JP(log, "###メモリ再割当函数[realloc]のコール回数は：%ld\n", n(c.heapRealloc));
    ZS_MSG_JP(log, "###メモリ解放函数[free]のコール回数は：%ld\n", n(c.heapFree));
    ZS_MSG_JP(log, "###メモリ解放函数[qfree]のコール回数は：%ld\n", n(c.heapQfree));
    ZS_MSG_JP(log, "###フロント側の割当済みメモリブロックは[%ld]個、バック側の割当済みメモリブロックは[%ld]個です。\n",
              (long)p->frontCount, (long)p->backCount);
    ZS_MSG_JP(log, "###トータルフリーメモリ数[%ld]個、サイズは[%ld]KB、最大フリーメモリブロックサイズは[%ld]KBです。\n",
              (long)fi->count, kb(sum), kb(largest));
}

void zs_pool_destroy(MemoryPool* p) {
    if (p == nullptr) return;
    PtrList* lists[] = {&p->heapBlocks, &p->backBlocks};
    for (PtrList* l : lists) {
        for (ZsSize i = 0; i < l->count; i++) free(l->items[l->start + i]);
        free(l->items);
    }
    free(p->freeIndex.items);
    free(p);
}

void zs_pool_discard(MemoryPool* p, int32_t threads) {
    constexpr ZsSize kPiece = 8 << 20;
    // The run is over: its own log would ask the host about interrupts and progress. This one
    // only shares the work out.
    ZsLog log{};
    log.threads = threads;
    if (p == nullptr || kPerObject || !zs_par_worth(log, p->size, 4 * kPiece) || zs_on_worker()) return;
    // The header stays: destroy reads its lists.
    char* const base = reinterpret_cast<char*>(p) + sizeof(MemoryPool);
    const ZsSize bytes = p->end - base;
    zs_parallel_pieces(log, bytes, kPiece, [&](ZsSize from, ZsSize len) {
        zs_plat_discard(base + from, len);
        return 0;
    });
}

#if !defined(NDEBUG) || defined(ZS_CHECKS)
const char* zs_pool_check(const MemoryPool* p) {
    if (p == nullptr) return nullptr;
    const PoolBlock* s = p->sentinel;
    if (s != &p->sentinelBlock || s->status != 0) return "sentinel";
    if (s->next == s) {  // no region: nothing in the chain, nothing behind it
        if (s->prev != s || (const char*)p->first != p->back) return "first block link";
    } else if (s->next != p->first || p->first->prev != s) {
        return "first block link";
    }
    if (p->back > p->end || p->backCount < 0) return "back region";
    ZsSize used = 0;
    int64_t freeBlocks = 0;
    const char* expect = (const char*)p->first;
    int64_t guard = (int64_t)p->size / ZS_POOL_HDR + 2;
    for (const PoolBlock* b = s->next; b != s; b = b->next) {
        if (--guard < 0) return "chain does not end";
        if ((const char*)b != expect) return "gap or overlap in the chain";
        if (b->next->prev != b) return "prev/next mismatch";
        if (b->size < 0) return "negative size";
        if (b->status == ZS_BLOCK_FREE) {
            if (b->prev->status == ZS_BLOCK_FREE) return "adjacent free blocks";
            freeBlocks++;
        } else if (b->status == ZS_BLOCK_USED) {
            used++;
        } else {
            return "bad block status";
        }
        expect = (const char*)(b + 1) + b->size;
    }
    if (expect != p->back) return "top payload does not end at back";
    if (used != p->frontCount) return "frontCount disagrees with the chain";
    const PtrList* lists[] = {&p->freeIndex, &p->heapBlocks, &p->backBlocks};
    for (const PtrList* l : lists)
        if (l->start < 0 || l->count < 0 || (int64_t)l->start + l->count > l->capacity) return "list bounds";
    if (kPerObject ? p->backCount != p->backBlocks.count : p->backBlocks.count != 0)
        return "backCount disagrees with the back stack";
    const PtrList& fi = p->freeIndex;
    if (fi.count != freeBlocks) return "free index and chain disagree";
    for (ZsSize i = 0; i < fi.count; i++) {
        const PoolBlock* e = (const PoolBlock*)fi.items[fi.start + i];
        if (e->status != ZS_BLOCK_FREE) return "index entry not a free block";
        if (i > 0 && !key_less((const PoolBlock*)fi.items[fi.start + i - 1], e)) return "free index unsorted";
    }
    return nullptr;
}
#endif
