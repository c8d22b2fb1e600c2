// Sorting of index items by their cached normalized keys: an MSD radix sort that permutes the
// items in place, one byte of the key at a time (bytes that every item of a group shares are
// skipped), and reads the next eight bytes of the records' keys only for groups still tied. Small
// groups are sorted by insertion. Records whose keys are tied to the end are ordered by the
// comparator of the family where the key could not say, and by input order when the sort must be
// stable (their offsets and entry indexes grow with the input).
//
// The body is compiled once per width of the items' offsets, each in a translation unit of its
// own: item_sort.cpp for the 32-bit items every buffer up to 4 GiB gets, item_sort_wide.cpp for the
// 64-bit ones. Apart, the compiler weighs the inlining of the ordinary sort as if the wide one were
// not there (compiled together, it inlined less and the sort of short records ran 15% slower).
//
// Contract
// - Included by those two files only; all here but zs_sort_wide_items is private to each of them.
#pragma once

#include <algorithm>
#include <cstring>

#include "base/msg.h"
#include "base/parallel.h"
#include "records/compare.h"
#include "records/keys.h"
#include "sort/item_sort.h"

// The sort of 64-bit items (item_sort_wide.cpp).
void zs_sort_wide_items(ZsSortRun& r, ZsIndex* idx, bool stable);

namespace {

constexpr int64_t kInsertion = 24;  // groups this small are sorted by insertion

// What a sort of one layout and key form (F: records/keys.h ZsKeyForm) reads besides its items.
template <class F>
struct Ctx {
    static constexpr ZsLayout L = F::layout;
    static constexpr bool kWhole = F::whole;
    // The keys are the records' bytes (whole fixed-length or newline-ended records).
    static constexpr bool kRawKeys = L != ZS_CSV && F::whole;
    ZsSortRun& r;
    const ArgsInfo& a;
    const ZsIndex* idx;
    ZsCmp cmp;             // the comparator of the layout, for what the keys leave undecided
    void* env;             // its environment: the run's records context
    bool byInput;          // ties in input order (stable sorts and -U)
    bool whole;            // whole-record sort: ties of one length are equal bytes
    int32_t chunkLimit;
    int64_t keyWidth;      // fixed-length and keyed newline-ended: bytes of every normalized key
    // CSV: the second chunk of every record's key and a bit for whether the key goes on past it,
    // by entry (null when not read ahead; see read_second).
    const uint64_t* second = nullptr;
    const uint8_t* secondMore = nullptr;
};

template <class C, class At>
int32_t len_of(const C& c, const ZsFixedItemT<At>&) {
    return c.a.recLen;
}
template <class C, class At>
int32_t len_of(const C&, const ZsItemT<At>& it) {
    return it.len;
}

// True when the records of a group tied to the end of their keys may differ: a keyed sort, or
// whole records of different lengths (one without its newline code).
template <class C, class Item>
bool ties_may_differ(const C& c, const Item* a, int64_t n) {
    if (!c.whole) return true;
    for (int64_t i = 1; i < n; i++)
        if (len_of(c, a[i]) != len_of(c, a[0])) return true;
    return false;
}

template <class C, class At>
ZsKeyRecord record_of(const C& c, const ZsFixedItemT<At>& it) {
    return ZsKeyRecord{c.idx->base + it.at, c.a.recLen, nullptr, 0};
}

template <class C, class At>
ZsKeyRecord record_of(const C& c, const ZsItemT<At>& it) {
    if constexpr (C::L == ZS_CSV) {
        const CsvEntry* e = zs_item_entry(*c.idx, it);
        return ZsKeyRecord{e->data, e->len, e->cols, e->colNum};
    } else {
        return ZsKeyRecord{c.idx->base + it.at, it.len, nullptr, 0};
    }
}

// The comparator of the family on two items, through the list slots it expects.
template <class C, class At>
int compare_records(const C& c, const ZsFixedItemT<At>& x, const ZsFixedItemT<At>& y) {
    const void* a = c.idx->base + x.at;
    const void* b = c.idx->base + y.at;
    return c.cmp(&a, &b, c.env);
}

template <class C, class At>
int compare_records(const C& c, const ZsItemT<At>& x, const ZsItemT<At>& y) {
    if constexpr (C::L == ZS_CSV) {
        const void* a = zs_item_entry(*c.idx, x);
        const void* b = zs_item_entry(*c.idx, y);
        return c.cmp(&a, &b, c.env);
    } else {
        VarEntry ex{x.len, c.idx->base + x.at}, ey{y.len, c.idx->base + y.at};
        const void* a = &ex;
        const void* b = &ey;
        return c.cmp(&a, &b, c.env);
    }
}

// Reads the next chunk of every item's key. The records lie at random places: the loop asks for
// the records some items ahead (their entries further ahead still) while it reads these. Short
// distances measured best: the address of a record's prefetch is itself a load from its entry.
template <class C, class Item>
bool reread(const C& c, Item* a, int64_t n, int32_t chunk) {
    constexpr int64_t kEntryAhead = 4, kDataAhead = 2;
    bool anyMore = false;
    if (C::L == ZS_CSV && chunk == 1 && c.second != nullptr) {
        // Read ahead in input order: one load an item, whose address the items give.
        constexpr int64_t kAhead = 16;
        for (int64_t i = 0; i < n; i++) {
            if (i + kAhead < n) __builtin_prefetch(&c.second[a[i + kAhead].at]);
            a[i].key = c.second[a[i].at];
            anyMore |= (c.secondMore[a[i].at / 8] >> (a[i].at % 8) & 1) != 0;
        }
        return anyMore;
    }
    for (int64_t i = 0; i < n; i++) {
        if constexpr (C::L == ZS_CSV) {
            if (i + kEntryAhead < n) __builtin_prefetch(zs_item_entry(*c.idx, a[i + kEntryAhead]));
            if (i + kDataAhead < n) {
                const CsvEntry* e = zs_item_entry(*c.idx, a[i + kDataAhead]);
                __builtin_prefetch(e->data);
                __builtin_prefetch(e->cols);
            }
            bool more;
            a[i].key = zs_key_chunk<C::L, C::kWhole>(c.a, record_of(c, a[i]), chunk, &more);
            anyMore |= more;
            continue;
        }
        if (i + kDataAhead < n) {
            __builtin_prefetch(c.idx->base + a[i + kDataAhead].at);
        }
        bool more;
        a[i].key = zs_key_chunk<C::L, C::kWhole>(c.a, record_of(c, a[i]), chunk, &more);
        anyMore |= more;
    }
    return anyMore;
}

// For keys that are the records' bytes: reads chunk + 1 of every item's key as reread does and, in
// the same pass over the records, measures the prefix all of them share. Returns the chunk the
// group's keys now hold: when they share more than chunk + 1, the group is read once more at the
// first chunk where they may differ, so that a long shared prefix costs two passes over the group
// instead of one per chunk.
template <class C, class Item>
int32_t reread_shared(const C& c, Item* a, int64_t n, int32_t chunk) {
    constexpr int64_t kDataAhead = 8;
    const int32_t next = chunk + 1;
    const char* first = c.idx->base + a[0].at;
    int64_t shared = len_of(c, a[0]);  // bytes every record read so far shares with the first
    const int64_t from = (int64_t)next * 8;  // the bytes before are known to be shared
    const bool desc = c.a.bRecSort == 2;
    a[0].key = zs_raw_key_chunk(first, len_of(c, a[0]), next, desc);
    for (int64_t i = 1; i < n; i++) {
        if (i + kDataAhead < n) __builtin_prefetch(c.idx->base + a[i + kDataAhead].at);
        const char* p = c.idx->base + a[i].at;
        a[i].key = zs_raw_key_chunk(p, len_of(c, a[i]), next, desc);
        const int64_t limit = std::min<int64_t>(shared, len_of(c, a[i]));
        int64_t k = from;
        while (k + 8 <= limit && std::memcmp(p + k, first + k, 8) == 0) k += 8;
        while (k < limit && p[k] == first[k]) k++;
        shared = std::max(k, from);
    }
    const int32_t at = (int32_t)std::min<int64_t>(shared / 8, INT32_MAX);
    if (at <= next) return next;
    for (int64_t i = 0; i < n; i++) {
        if (i + kDataAhead < n) __builtin_prefetch(c.idx->base + a[i + kDataAhead].at);
        a[i].key = zs_raw_key_chunk(c.idx->base + a[i].at, len_of(c, a[i]), at, desc);
    }
    return at;
}

// Whether some key of the group goes on past `chunk`: known from the lengths for fixed-length and
// newline-ended records; for CSV what the last reading of the group found (csvMore). A key that
// ended may look, padded, like the start of a longer one, so every item counts.
template <class C, class Item>
bool group_more(const C& c, const Item* a, int64_t n, int32_t chunk, bool csvMore) {
    const int64_t read = (int64_t)(chunk + 1) * 8;
    if constexpr (C::L == ZS_CSV) return csvMore;
    if (c.keyWidth >= 0) return c.keyWidth > read;
    for (int64_t i = 0; i < n; i++)
        if (len_of(c, a[i]) > read) return true;
    return false;
}

// Orders a small group by its cached keys alone (stable); ties are left to the caller.
template <class Item>
void insertion_sort(Item* a, int64_t n) {
    for (int64_t i = 1; i < n; i++) {
        Item x = a[i];
        int64_t j = i;
        while (j > 0 && x.key < a[j - 1].key) {
            a[j] = a[j - 1];
            j--;
        }
        a[j] = x;
    }
}

// The in-place permutation of a distribution whose bucket sizes are counted (American flag sort);
// bounds receives the 257 bucket starts. Where each item lands depends on this order of swaps
// alone: the sort of several threads counts in parallel but permutes here, as one thread does.
template <class Item, class Digit>
void permute(Item* a, Digit digit, const int64_t* count, int64_t* bounds) {
    int64_t next[256];
    bounds[0] = 0;
    for (int d = 0; d < 256; d++) {
        next[d] = bounds[d];
        bounds[d + 1] = bounds[d] + count[d];
    }
    for (int d = 0; d < 256; d++) {
        while (next[d] < bounds[d + 1]) {
            Item x = a[next[d]];
            int dx = digit(x);
            while (dx != d) {  // carry x to its bucket, taking the item found there
                std::swap(x, a[next[dx]++]);
                dx = digit(x);
            }
            a[next[d]++] = x;
        }
    }
}

// One in-place distribution of a group by the byte digit() gives (American flag sort); bounds
// receives the 257 bucket starts.
template <class Item, class Digit>
void distribute(Item* a, int64_t n, Digit digit, int64_t* bounds) {
    int64_t count[256] = {};
    for (int64_t i = 0; i < n; i++) count[digit(a[i])]++;
    permute(a, digit, count, bounds);
}

// Orders a group whose keys are all equal to the end by input order.
template <class Item>
void sort_by_input(Item* a, int64_t n) {
    while (n > kInsertion) {
        uint64_t diff = 0;
        for (int64_t i = 1; i < n; i++) diff |= (uint64_t)(a[i].at ^ a[0].at);
        if (diff == 0) return;
        const int shift = (63 - __builtin_clzll(diff)) / 8 * 8;
        int64_t bounds[257];
        distribute(a, n, [shift](const Item& x) { return (int)(((uint64_t)x.at >> shift) & 0xFF); }, bounds);
        for (int d = 0; d < 255; d++)
            if (bounds[d + 1] - bounds[d] > 1) sort_by_input(a + bounds[d], bounds[d + 1] - bounds[d]);
        // The last bucket in the loop, without recursion.
        int64_t first = bounds[255];
        a += first;
        n -= first;
    }
    std::sort(a, a + n, [](const Item& x, const Item& y) { return x.at < y.at; });
}

// Orders a group by the comparator of the family, equal records in input order.
template <class C, class Item>
void sort_by_comparator(const C& c, Item* a, int64_t n) {
    std::sort(a, a + n, [&c](const Item& x, const Item& y) {
        int r = compare_records(c, x, y);
        return r != 0 ? r < 0 : x.at < y.at;
    });
}

// A group whose keys are tied on `chunk`: when they cannot say more (they end here, or may not be
// read further) orders it and returns true; false when the next chunk is to be read.
template <class C, class Item>
bool order_tied(const C& c, Item* a, int64_t n, int32_t chunk, bool csvMore) {
    if (!group_more(c, a, n, chunk, csvMore)) {
        // Equal bytes cannot show their order. Whole records of different lengths may still
        // differ where a key's padding met bytes of a longer one (a record without its newline
        // code): the comparator decides those; keyed ties keep input order.
        if (!ties_may_differ(c, a, n)) return true;
        if (c.whole)
            sort_by_comparator(c, a, n);
        else if (c.byInput)
            sort_by_input(a, n);
        return true;
    }
    if (chunk + 1 >= c.chunkLimit) {
        sort_by_comparator(c, a, n);
        return true;
    }
    return false;
}

// csvMore: for CSV records, whether some key of the group may go on past `chunk` (true when not
// known).
template <class C, class Item>
void sort_group(const C& c, Item* a, int64_t n, int32_t chunk, bool csvMore) {
    while (n > 1) {
        uint64_t diff = 0;
        for (int64_t i = 1; i < n; i++) diff |= a[i].key ^ a[0].key;
        if (diff == 0) {
            // Tied on this chunk: read the next one, unless the keys end here or may not be read
            // further. Each record is read once per chunk, however large the group.
            if (order_tied(c, a, n, chunk, csvMore)) return;
            if constexpr (C::kRawKeys) {
                chunk = reread_shared(c, a, n, chunk);
            } else {
                chunk++;
                csvMore = reread(c, a, n, chunk);
            }
            continue;
        }
        if (n <= kInsertion) {
            insertion_sort(a, n);
            // Runs of tied keys go on to the next chunk: the longest in this loop, the others by
            // recursion, so that records sharing ever longer prefixes do not take a frame per chunk.
            int64_t longestAt = 0, longest = 0;
            for (int64_t i = 0, j; i < n; i = j) {
                for (j = i + 1; j < n && a[j].key == a[i].key;) j++;
                if (j - i > longest) {
                    longestAt = i;
                    longest = j - i;
                }
            }
            for (int64_t i = 0, j; i < n; i = j) {
                for (j = i + 1; j < n && a[j].key == a[i].key;) j++;
                if (j - i > 1 && i != longestAt) sort_group(c, a + i, j - i, chunk, csvMore);
            }
            a += longestAt;
            n = longest;
            continue;
        }
        // The first byte some items differ in; the ones before it are common to the group.
        const int shift = (63 - __builtin_clzll(diff)) / 8 * 8;
        int64_t bounds[257];
        distribute(a, n, [shift](const Item& x) { return (int)((x.key >> shift) & 0xFF); }, bounds);
        if (n > (1 << 20) && zs_interrupted(c.r)) return;
        // The largest bucket goes on in this loop, the others by recursion: the depth stays
        // logarithmic however the keys fall (records sharing ever longer prefixes).
        int largest = 0;
        for (int d = 1; d < 256; d++)
            if (bounds[d + 1] - bounds[d] > bounds[largest + 1] - bounds[largest]) largest = d;
        for (int d = 0; d < 256; d++) {
            int64_t size = bounds[d + 1] - bounds[d];
            if (d != largest && size > 1) sort_group(c, a + bounds[d], size, chunk, csvMore);
        }
        n = bounds[largest + 1] - bounds[largest];
        a += bounds[largest];
    }
}

// ---- A large group on several threads ----
// The passes over a whole group (the OR of the keys' differences, the counts of a distribution,
// the rereads of tied keys) are shared out over slices of it; the permutation stays one thread's,
// so that every item lands where one thread puts it, ties of an unstable sort included. The
// buckets are then sorted as tasks, largest first, each by the very sort_group call one thread
// makes for it: the order is one thread's whatever the timing. A bucket too large for one thread
// to carry is split again the same way first.

constexpr int64_t kParallelGroup = 64 << 10;  // groups from this size share their passes out
constexpr int64_t kSliceItems = 16 << 10;      // a slice of a pass holds at least this many items
constexpr int64_t kMaxSlices = 64;
constexpr int32_t kMaxTasks = 512;  // tasks gathered before they run (on the stack: ~12 KB)

// Items one thread sorts: one group (shift < 0), or consecutive buckets of one distribution by the
// byte at shift, each sorted apart as one thread sorts it.
struct ParTask {
    int64_t at;  // first item, from the start of the items
    int64_t n;
    int32_t chunk;
    int8_t shift;
    bool csvMore;
};

template <class C, class Item>
struct ParSort {
    const C& c;
    Item* items;        // all items of the sort
    int64_t splitOver;  // groups larger than this are split before the tasks run
    int64_t minGroup;   // groups smaller than this are sorted by one thread (kParallelGroup, or the
                        // run's smaller measure when the tests ask for one)
    int64_t sliceItems; // a slice of a pass holds at least this many items
    int64_t batch;      // consecutive small buckets are gathered into tasks of about this size
    int32_t slices;     // most slices of a pass
    int32_t tasks;
    bool stopped;       // an interrupt was seen: the items are left in some order
    ParTask task[kMaxTasks];
};

// Calls fn(lo, hi, slice) over the slices of [0, n) on the run's threads; returns their count, 0
// after an interrupt (the results are then incomplete).
template <class C, class Item, class F>
int64_t par_slices(ParSort<C, Item>& p, int64_t n, F fn) {
    const int64_t slices = std::max<int64_t>(1, std::min<int64_t>(p.slices, n / p.sliceItems));
    ZS_ASSERT(slices <= kMaxSlices);
    const int rc = zs_parallel(p.c.r, slices, [&](int64_t s) {
        fn(n * s / slices, n * (s + 1) / slices, s);
        return 0;
    });
    if (rc != 0) p.stopped = true;
    return rc != 0 ? 0 : slices;
}

// The tasks gathered run, largest first.
template <class C, class Item>
void par_run(ParSort<C, Item>& p) {
    std::sort(p.task, p.task + p.tasks,
              [](const ParTask& x, const ParTask& y) { return x.n != y.n ? x.n > y.n : x.at < y.at; });
    const int rc = zs_parallel(p.c.r, p.tasks, [&p](int64_t t) {
        const ParTask& k = p.task[t];
        Item* a = p.items + k.at;
        if (k.shift < 0) {
            sort_group(p.c, a, k.n, k.chunk, k.csvMore);
            return 0;
        }
        const int shift = k.shift;
        auto digit = [shift](const Item& x) { return (int)((x.key >> shift) & 0xFF); };
        for (int64_t i = 0, j; i < k.n; i = j) {
            const int d = digit(a[i]);
            for (j = i + 1; j < k.n && digit(a[j]) == d;) j++;
            if (j - i > 1) sort_group(p.c, a + i, j - i, k.chunk, k.csvMore);
        }
        return 0;
    });
    if (rc != 0) p.stopped = true;
    p.tasks = 0;
}

template <class C, class Item>
void par_push(ParSort<C, Item>& p, const Item* a, int64_t n, int32_t chunk, bool csvMore, int shift) {
    if (n < 2 || p.stopped) return;
    if (p.tasks == kMaxTasks) par_run(p);
    p.task[p.tasks++] = ParTask{a - p.items, n, chunk, (int8_t)shift, csvMore};
}

// reread over slices: the same keys, and whether some key goes on.
template <class C, class Item>
bool par_reread(ParSort<C, Item>& p, Item* a, int64_t n, int32_t chunk) {
    bool more[kMaxSlices];
    const int64_t slices =
        par_slices(p, n, [&](int64_t lo, int64_t hi, int64_t s) { more[s] = reread(p.c, a + lo, hi - lo, chunk); });
    bool any = false;
    for (int64_t s = 0; s < slices; s++) any |= more[s];
    return any;
}

// reread_shared over slices. A slice measures the prefix its records share with the group's first
// as the one pass does; the group's is the least of the slices' (each is at least `from`, and
// the first's length bounds all).
template <class C, class Item>
int32_t par_reread_shared(ParSort<C, Item>& p, Item* a, int64_t n, int32_t chunk) {
    const C& c = p.c;
    constexpr int64_t kDataAhead = 8;
    const int32_t next = chunk + 1;
    const char* first = c.idx->base + a[0].at;
    const int64_t from = (int64_t)next * 8;
    const bool desc = c.a.bRecSort == 2;
    int64_t part[kMaxSlices];
    const int64_t slices = par_slices(p, n, [&](int64_t lo, int64_t hi, int64_t s) {
        int64_t shared = len_of(c, a[0]);
        if (lo == 0) {
            a[0].key = zs_raw_key_chunk(first, len_of(c, a[0]), next, desc);
            lo = 1;
        }
        for (int64_t i = lo; i < hi; i++) {
            if (i + kDataAhead < hi) __builtin_prefetch(c.idx->base + a[i + kDataAhead].at);
            const char* q = c.idx->base + a[i].at;
            a[i].key = zs_raw_key_chunk(q, len_of(c, a[i]), next, desc);
            const int64_t limit = std::min<int64_t>(shared, len_of(c, a[i]));
            int64_t k = from;
            while (k + 8 <= limit && std::memcmp(q + k, first + k, 8) == 0) k += 8;
            while (k < limit && q[k] == first[k]) k++;
            shared = std::max(k, from);
        }
        part[s] = shared;
    });
    if (slices == 0) return next;
    int64_t shared = part[0];
    for (int64_t s = 1; s < slices; s++) shared = std::min(shared, part[s]);
    const int32_t at = (int32_t)std::min<int64_t>(shared / 8, INT32_MAX);
    if (at <= next) return next;
    par_slices(p, n, [&](int64_t lo, int64_t hi, int64_t) {
        for (int64_t i = lo; i < hi; i++) {
            if (i + kDataAhead < hi) __builtin_prefetch(c.idx->base + a[i + kDataAhead].at);
            a[i].key = zs_raw_key_chunk(c.idx->base + a[i].at, len_of(c, a[i]), at, desc);
        }
    });
    return at;
}

// The steps of sort_group for a large group, its passes over slices; the buckets are split again
// or gathered as tasks.
template <class C, class Item>
void par_split(ParSort<C, Item>& p, Item* a, int64_t n, int32_t chunk, bool csvMore) {
    const C& c = p.c;
    for (;;) {
        if (p.stopped) return;
        // Small groups go by insertion in sort_group: they are its to sort.
        if (n <= p.splitOver || n < p.minGroup || n <= kInsertion) {
            par_push(p, a, n, chunk, csvMore, -1);
            return;
        }
        uint64_t part[kMaxSlices];
        const uint64_t key0 = a[0].key;
        const int64_t slices = par_slices(p, n, [&](int64_t lo, int64_t hi, int64_t s) {
            uint64_t d = 0;
            for (int64_t i = lo; i < hi; i++) d |= a[i].key ^ key0;
            part[s] = d;
        });
        if (slices == 0) return;
        uint64_t diff = 0;
        for (int64_t s = 0; s < slices; s++) diff |= part[s];
        if (diff == 0) {
            // As sort_group does; the ties of a group this large are ordered on this thread.
            if (order_tied(c, a, n, chunk, csvMore)) return;
            if constexpr (C::kRawKeys) {
                chunk = par_reread_shared(p, a, n, chunk);
            } else {
                chunk++;
                csvMore = par_reread(p, a, n, chunk);
            }
            continue;
        }
        const int shift = (63 - __builtin_clzll(diff)) / 8 * 8;
        auto digit = [shift](const Item& x) { return (int)((x.key >> shift) & 0xFF); };
        int64_t count[256] = {};
        if (par_slices(p, n, [&](int64_t lo, int64_t hi, int64_t) {
                int64_t mine[256] = {};
                for (int64_t i = lo; i < hi; i++) mine[digit(a[i])]++;
                for (int d = 0; d < 256; d++)
                    if (mine[d] != 0) __atomic_fetch_add(&count[d], mine[d], __ATOMIC_RELAXED);
            }) == 0)
            return;
        int64_t bounds[257];
        permute(a, digit, count, bounds);
        if (n > (1 << 20) && zs_interrupted(c.r)) {
            p.stopped = true;
            return;
        }
        // Buckets too large for one thread are split again (the largest in this loop, so that the
        // depth stays logarithmic); small consecutive ones make one task.
        int largest = 0;
        for (int d = 1; d < 256; d++)
            if (bounds[d + 1] - bounds[d] > bounds[largest + 1] - bounds[largest]) largest = d;
        int64_t batchAt = 0, batchN = 0;
        for (int d = 0; d < 256; d++) {
            const int64_t size = bounds[d + 1] - bounds[d];
            const bool split = size > p.splitOver && size >= p.minGroup && size > kInsertion;
            if (split || size >= p.batch) {
                par_push(p, a + batchAt, batchN, chunk, csvMore, shift);
                batchN = 0;
                if (d == largest && split) continue;
                if (split)
                    par_split(p, a + bounds[d], size, chunk, csvMore);
                else
                    par_push(p, a + bounds[d], size, chunk, csvMore, -1);
                continue;
            }
            if (batchN == 0) batchAt = bounds[d];
            batchN += size;
            if (batchN >= p.batch) {
                par_push(p, a + batchAt, batchN, chunk, csvMore, shift);
                batchN = 0;
            }
        }
        par_push(p, a + batchAt, batchN, chunk, csvMore, shift);
        const int64_t size = bounds[largest + 1] - bounds[largest];
        if (!(size > p.splitOver && size >= p.minGroup && size > kInsertion)) return;
        a += bounds[largest];
        n = size;
    }
}

// Sorts a large group on the run's threads, in the order sort_group gives it.
template <class C, class Item>
void par_sort(const C& c, Item* a, int64_t n) {
    const int32_t threads = std::min<int32_t>(c.r.threads, ZS_MAX_THREADS);
    ParSort<C, Item> p{c, a, n / threads, zs_par_min(c.r, kParallelGroup), zs_par_min(c.r, kSliceItems),
                       std::max<int64_t>(4096, n / ((int64_t)threads * 32)),
                       (int32_t)std::min<int64_t>(kMaxSlices, (int64_t)threads * 4), 0, false, {}};
    par_split(p, a, n, 0, true);
    if (!p.stopped) par_run(p);
}

// CSV keys: most groups tied on the first chunk read the second, and a record's key is reached
// through its entry, its column table and its bytes, all at random places once the items are
// permuted. So the second chunk of every key is read before, in one pass over the records in input
// order (on the threads), into an array by entry that the sort reads instead, with a bit for
// whether the key goes on. Only with room for it in the pool beside the index (the plans count
// it: zs_index_cost), for items numbered as their entries, from kSecondMin records on; the block
// (null: none) is the caller's to free.
constexpr int64_t kSecondMin = 1 << 16;
template <class C, class Item>
void* read_second(C& c, const Item* items, int64_t n) {
    ZsSortRun& r = c.r;
    // The builds number items in input order by their entries, an error record's leaving a gap:
    // without gaps the last is n - 1.
    if (n < zs_par_min(r, kSecondMin) || zs_on_worker() || c.chunkLimit < 2 || (int64_t)items[n - 1].at != n - 1)
        return nullptr;
    ZS_ASSERT((int64_t)items[0].at == 0 && (int64_t)items[n / 2].at == n / 2);
    const int64_t bytes = n * 8 + n / 8 + 8;
    static_assert(ZS_CSV_SECOND_BYTES * 8 >= 8 * 8 + 1);
    if (zs_pool_largest_free(r.pool) < bytes + (64 << 10)) return nullptr;
    void* block = zs_malloc(r.pool, bytes);
    if (block == nullptr) return nullptr;
    uint64_t* keys = static_cast<uint64_t*>(block);
    uint8_t* more = reinterpret_cast<uint8_t*>(keys + n);
    // Slices of whole bytes of the bits, each a thread's.
    const int64_t parts = std::clamp<int64_t>(n / kSecondMin, 1, 4 * (int64_t)std::max(r.threads, 1));
    const int rc = zs_parallel(r, parts, [&](int64_t k) {
        const int64_t to = k + 1 == parts ? n : n * (k + 1) / parts / 8 * 8;
        for (int64_t i = n * k / parts / 8 * 8; i < to; i++) {
            if (i % 8 == 0) more[i / 8] = 0;
            bool goesOn;
            keys[i] = zs_key_chunk<ZS_CSV, C::kWhole>(c.a, record_of(c, items[i]), 1, &goesOn);
            more[i / 8] |= (uint8_t)((goesOn ? 1 : 0) << (i % 8));
        }
        return 0;
    });
    if (rc != 0) {  // interrupted: the sort stops anyway
        zs_free(r.pool, block);
        return nullptr;
    }
    c.second = keys;
    c.secondMore = more;
    return block;
}

// Sorts the items of an index whose offsets have the width At: a body compiled for the run's
// layout and key form, chosen once.
template <class At>
void sort_items(ZsSortRun& r, ZsIndex* idx, bool stable) {
    const ArgsInfo& a = *r.args;
    zs_with_key_form(a, [&](auto form) {
        using C = Ctx<decltype(form)>;
        C c{r,
            a,
            idx,
            zs_cmp_fn(zs_cmp_of(a, a.layout, ZS_AT_ENTRY, false)),
            zs_cmp_env(r),
            stable || a.bUnique == 1,
            zs_key_ties_identical(a),
            zs_key_chunk_limit(a),
            zs_key_width(a)};
        auto* items = zs_index_items<C::L, At>(*idx);
        void* block = nullptr;
        if constexpr (C::L == ZS_CSV) block = read_second(c, items, idx->count);
        // On a worker of another parallel step the threads are taken: one thread's sort.
        if (zs_par_worth(r, idx->count, kParallelGroup) && !zs_on_worker())
            par_sort(c, items, idx->count);
        else
            sort_group(c, items, idx->count, 0, true);
        zs_free(r.pool, block);
    });
}

}  // namespace
