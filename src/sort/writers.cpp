// Record writers: a sorted index to the output (plain and unique) and to the temporary file in the
// temporary record format. The index is a list of entries or the items of a sort; a source gives
// the writers one view of both.
//
// With several threads the output of an index is gathered in parallel: the sorted records are cut
// into consecutive pieces, every thread copies the records of the next pieces into a small ring of
// buffers, and the calling thread alone writes the pieces, in order, as they are ready. A piece
// decides its unique filter alone (its first record compares with the record before it, the last of
// the piece before), so the bytes, counts and progress are those of one thread.
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/msg.h"
#include "base/parallel.h"
#include "records/compare.h"
#include "sort/sort.h"
#include "sort/tmpcodec.h"
#include "sort/writer.h"

namespace {

// An interrupt is looked for once per this many records.
constexpr ZsSize kInterruptStride = 1 << 16;

// The records of a list of entries (fixed-length: record addresses; else VarEntry / CsvEntry).
template <ZsLayout L>
struct ListSource {
    const PtrList* list;
    const ArgsInfo& a;
    void* env;
    ZsSize count() const { return list != nullptr ? list->count : 0; }
    const void* entry(ZsSize i) const { return list->items[list->start + i]; }
    const char* data(ZsSize i) const { return ZsEntryOf<L>::data(entry(i)); }
    int32_t len(ZsSize i) const { return ZsEntryOf<L>::len(entry(i), a); }
    const CsvEntry* csv(ZsSize i) const { return static_cast<const CsvEntry*>(entry(i)); }
    // The equality test of the unique filter on records i - 1 and i: 0 when their keys are equal.
    int differs(ZsCmp equal, ZsSize i) const { return equal(entry(i - 1), entry(i), env); }
};

// The records of sort items whose offsets are of width At.
template <ZsLayout L, class At>
struct ItemSource {
    const ZsIndex* idx;
    const ArgsInfo& a;
    void* env;
    const ZsItemOf<L, At>* items;
    ZsSize count() const { return idx != nullptr ? idx->count : 0; }
    const char* data(ZsSize i) const {
        if constexpr (L == ZS_CSV) return csv(i)->data;
        return idx->base + items[i].at;
    }
    int32_t len(ZsSize i) const {
        if constexpr (L == ZS_FIXED) return a.recLen;
        else return items[i].len;
    }
    const CsvEntry* csv(ZsSize i) const {
        if constexpr (L == ZS_CSV) return zs_item_entry(*idx, items[i]);
        else return nullptr;
    }
    int differs(ZsCmp equal, ZsSize i) const {
        if constexpr (L == ZS_VARIABLE) {
            VarEntry x{len(i - 1), data(i - 1)}, y{len(i), data(i)};
            return equal(&x, &y, env);
        } else if constexpr (L == ZS_CSV) {
            return equal(csv(i - 1), csv(i), env);
        } else {
            return equal(data(i - 1), data(i), env);
        }
    }
};

// Bytes of the CSV header line the output starts with.
int64_t header_bytes(const ZsSortRun& r) {
    return r.args->layout == ZS_CSV && r.args->bHeader ? r.totals.headerLen : 0;
}

// Bytes of the records of a source.
template <class Source>
int64_t source_bytes(const Source& s) {
    int64_t bytes = 0;
    for (ZsSize i = 0; i < s.count(); i++) bytes += s.len(i);
    return bytes;
}

// Writes the records in order, skipping (with unique) every record whose keys equal those of the
// record before it; counts both, and the bytes passed as the phase's progress.
template <ZsLayout L, class Source>
void put_records(ZsSortRun& r, ZsWriter* w, const Source& s, bool unique) {
    const ZsSize count = s.count();
    ZsCmp equal = unique ? zs_cmp_fn(zs_eq_of(L, ZS_AT_ENTRY)) : nullptr;
    ZsSize skipped = 0, bytes = 0;
    ZsSize i = 0;
    for (; i < count; i++) {
        // Sorted records lie at random places: ask for the next ones while writing these.
        if (i + 6 < count) __builtin_prefetch(s.data(i + 6));
        if (i % kInterruptStride == 0) {
            zs_progress_add(r, bytes);
            bytes = 0;
            if (zs_interrupted(r)) break;
        }
        bytes += s.len(i);
        if (unique && i > 0 && s.differs(equal, i) == 0) {
            skipped++;
            continue;
        }
        zs_put(w, s.data(i), s.len(i));
    }
    zs_progress_add(r, bytes);
    r.totals.dupRecNum += skipped;
    r.totals.outRecNum += i - skipped;
}

// A block's records cut into pieces of about this many bytes of the format, encoded by the run's
// threads into buffers of their own and written at their places of the file.
constexpr ZsSize kBlockPiece = 1 << 20;
// Threads that encode pieces at once: each holds a piece's buffer, outside the pool (at most
// kBlockThreads * (kBlockPiece + the longest record) = 16 MB).
constexpr int32_t kBlockThreads = 8;
// A piece: its first record and where its bytes go (from the write's start).
struct BlockPiece {
    ZsSize first;
    ZsSize at;
};

// Cuts records [0, count) into pieces of about pieceBytes, in order; bytes(i) gives the bytes
// record i takes (and may note the record as it goes), or -1 for one that cannot be written. The
// bytes of all records, -1 after such a record, or -2 without memory for the table (*piece
// malloc'ed, the caller frees it).
template <class Bytes>
ZsSize cut_at(ZsSize count, ZsSize pieceBytes, BlockPiece** piece, int64_t* pieces, Bytes bytes) {
    int64_t cap = 64;
    *pieces = 0;
    *piece = static_cast<BlockPiece*>(std::malloc((size_t)cap * sizeof(BlockPiece)));
    if (*piece == nullptr) return -2;
    ZsSize at = 0;
    for (ZsSize i = 0; i < count; i++) {
        if (*pieces == 0 || at - (*piece)[*pieces - 1].at >= pieceBytes) {
            if (*pieces == cap) {
                void* grown = std::realloc(*piece, (size_t)(cap * 2) * sizeof(BlockPiece));
                if (grown == nullptr) return -2;
                *piece = static_cast<BlockPiece*>(grown);
                cap *= 2;
            }
            (*piece)[(*pieces)++] = BlockPiece{i, at};
        }
        const ZsSize n = bytes(i);
        if (n < 0) return -1;
        at += n;
    }
    return at;
}

// Writes the pieces of records [0, count), total bytes, at base + their places of the stream's
// file on the run's threads: each thread puts a piece's records (put(writer, i)) into a buffer of
// its own, exactly the piece's size, and writes it there; then the stream is placed behind them.
// 0; ZS_PAR_INTERRUPTED; 2 after a failed write or without a piece's memory.
template <class Put>
int write_pieces_at(ZsSortRun& r, FILE* stream, int64_t base, const BlockPiece* piece, int64_t pieces,
                    ZsSize count, ZsSize total, Put put) {
    const int rc = zs_parallel(r, pieces, [&](int64_t k) {
        const ZsSize end = k + 1 < pieces ? piece[k + 1].first : count;
        const ZsSize n = (k + 1 < pieces ? piece[k + 1].at : total) - piece[k].at;
        char* buf = static_cast<char*>(std::malloc((size_t)(n > 0 ? n : 1)));
        if (buf == nullptr) return 2;
        ZsWriter w = zs_writer(nullptr, buf, n);
        for (ZsSize i = piece[k].first; i < end; i++) put(&w, i, end);
        ZS_ASSERT(w.used == n && !w.failed);
        const int wrote = zs_plat_write_at(stream, buf, n, base + piece[k].at);
        std::free(buf);
        return wrote != 0 ? 2 : 0;
    }, kBlockThreads);
    if (rc == 0 && zs_plat_seek(stream, base + total) != 0) return 2;
    return rc == 0 || rc == ZS_PAR_INTERRUPTED ? rc : 2;
}

// Bytes of a piece's buffer, and the buffers per thread: the ring the pieces pass through, enough
// that a thread slowed by other work does not hold the others up at once.
constexpr int64_t kPieceBytes = 256 << 10;
constexpr int32_t kSlotsPerThread = 4;
// Gathering is bound by the memory's bandwidth long before this many threads share it; the ring
// (outside the pool) stays within kMostThreads * kSlotsPerThread * kPieceBytes = 8 MB.
constexpr int32_t kMostThreads = 8;

// Consecutive sorted records [first, end), gathered into a buffer of the ring.
struct Piece {
    ZsSize first;
    ZsSize end;
    ZsSize bytes;    // of all its records, skipped ones too: the progress it makes
    bool direct;     // one record longer than a buffer: written from where it lies
    bool gathered;   // under the ring's lock
    int64_t used;    // bytes gathered
    ZsSize skipped;  // records the unique filter dropped
};

// Cuts the records into pieces of at most kPieceBytes (a longer record is a piece of its own).
// Two pieces in a row hold more than kPieceBytes, so there are at most 2 * bytes / kPieceBytes + 1.
template <class Source>
int64_t cut_pieces(const Source& s, Piece* pieces, [[maybe_unused]] int64_t most) {
    const ZsSize count = s.count();
    int64_t made = 0;
    for (ZsSize i = 0; i < count; made++) {
        ZS_ASSERT(made < most);
        Piece& p = pieces[made];
        p = Piece{i, i, 0, false, false, 0, 0};
        for (; i < count && p.bytes + s.len(i) <= kPieceBytes; i++) p.bytes += s.len(i);
        p.direct = i == p.first;
        if (p.direct) p.bytes = s.len(i++);
        p.end = i;
    }
    return made;
}

// Gathers a piece's records into buf (on any thread: it reads the index and writes only the piece;
// counted in locals, as pieces of other threads share its cache lines). 1 when the run was
// interrupted.
template <class Source>
int gather_piece(ZsSortRun& r, const Source& s, ZsCmp equal, Piece* p, char* buf) {
    const ZsSize first = p->first, end = p->end;
    const bool direct = p->direct;
    int64_t used = 0;
    ZsSize skipped = 0;
    for (ZsSize i = first; i < end; i++) {
        if (i + 6 < end) __builtin_prefetch(s.data(i + 6));
        if ((i - first) % kInterruptStride == 0 && zs_interrupted(r)) return 1;
        if (equal != nullptr && i > 0 && s.differs(equal, i) == 0) {
            skipped++;
            continue;
        }
        const int32_t len = s.len(i);
        if (!direct) std::memcpy(buf + used, s.data(i), (size_t)len);
        used += len;
    }
    p->used = used;
    p->skipped = skipped;
    return 0;
}

// The ring of buffers pieces pass through: piece k is gathered into slot k % slots once piece
// k - slots has been written. Pieces are claimed in order by any thread; the calling thread alone
// writes them, in order, as they are gathered.
template <class Source>
struct Ring {
    ZsSortRun& r;
    const Source& s;
    ZsCmp equal;
    Piece* pieces;
    int64_t count;
    char* bufs;
    int64_t slots;
    int64_t claimed = 0;   // pieces taken by a thread
    int64_t written = 0;   // pieces written (by the calling thread)
    bool stop = false;     // the work ends unfinished (an interrupt): no thread waits any more
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;  // a piece gathered or written, or stop

    char* buf(int64_t k) const { return bufs + (k % slots) * kPieceBytes; }
    // Under the lock: the next piece's slot is free.
    bool can_claim() const { return claimed < count && claimed - written < slots; }

    // Gathers a claimed piece; called and returns with the lock held.
    int gather(int64_t k) {
        pthread_mutex_unlock(&lock);
        const int rc = gather_piece(r, s, equal, &pieces[k], buf(k));
        pthread_mutex_lock(&lock);
        if (rc != 0) stop = true;
        pieces[k].gathered = rc == 0;
        pthread_cond_broadcast(&changed);
        return rc;
    }

    // A worker: gathers pieces while there are any. 1 when interrupted.
    int work() {
        int rc = 0;
        pthread_mutex_lock(&lock);
        while (!stop && rc == 0 && claimed < count) {
            if (can_claim()) rc = gather(claimed++);
            else pthread_cond_wait(&changed, &lock);
        }
        pthread_mutex_unlock(&lock);
        return rc;
    }

    // The calling thread: writes the pieces in order as they are gathered, gathering itself when a
    // slot is free. 1 when interrupted (then no thread waits any more).
    int drain(ZsWriter* w, ZsSize* done, ZsSize* skipped) {
        pthread_mutex_lock(&lock);
        while (written < count && !stop) {
            if (pieces[written].gathered) {
                const Piece& p = pieces[written];
                pthread_mutex_unlock(&lock);
                if (!p.direct) zs_put(w, buf(written), p.used);
                else if (p.used > 0) zs_put(w, s.data(p.first), p.used);
                zs_progress_add(r, p.bytes);
                *skipped += p.skipped;
                *done += p.end - p.first;
                const bool interrupted = zs_interrupted(r);
                pthread_mutex_lock(&lock);
                if (interrupted) stop = true;
                written++;
                pthread_cond_broadcast(&changed);
            } else if (can_claim()) {
                gather(claimed++);
            } else {
                // A while at most, to ask for an interrupt while a worker gathers.
                timespec until;
                clock_gettime(CLOCK_REALTIME, &until);
                until.tv_nsec += 20 * 1000 * 1000;
                if (until.tv_nsec >= 1000000000) {
                    until.tv_sec++;
                    until.tv_nsec -= 1000000000;
                }
                pthread_cond_timedwait(&changed, &lock, &until);
                pthread_mutex_unlock(&lock);
                const bool interrupted = zs_interrupted(r);
                pthread_mutex_lock(&lock);
                if (interrupted) stop = true;
            }
        }
        const bool stopped = stop;
        stop = true;  // written or not, nothing is left to wait for
        pthread_cond_broadcast(&changed);
        pthread_mutex_unlock(&lock);
        return stopped ? 1 : 0;
    }
};

// put_records on the run's threads. False, having written nothing, when its memory cannot be had:
// the caller writes on one thread.
template <ZsLayout L, class Source>
bool put_records_parallel(ZsSortRun& r, ZsWriter* w, const Source& s, bool unique, int64_t bytes) {
    const int32_t threads = std::min<int32_t>(r.threads, kMostThreads);
    const int64_t slots = (int64_t)threads * kSlotsPerThread;
    const int64_t most = 2 * bytes / kPieceBytes + 1;
    char* bufs = static_cast<char*>(std::malloc((size_t)slots * (size_t)kPieceBytes));
    Piece* pieces = static_cast<Piece*>(std::malloc((size_t)most * sizeof(Piece)));
    if (bufs == nullptr || pieces == nullptr) {
        std::free(bufs);
        std::free(pieces);
        return false;
    }
    const int64_t count = cut_pieces(s, pieces, most);
    Ring<Source> ring{r, s, unique ? zs_cmp_fn(zs_eq_of(L, ZS_AT_ENTRY)) : nullptr, pieces, count, bufs, slots};
    ZsSize done = 0, skipped = 0;
    bool drained = false;
    // Every thread gathers; the calling thread, in the first task it takes, also writes. Tasks
    // left when it has drained the ring find nothing to do; when the workers took every task
    // before it, it drains once they are done.
    zs_parallel(r, threads, [&](int64_t) {
        if (zs_on_worker()) return ring.work();
        if (drained) return 0;
        drained = true;
        return ring.drain(w, &done, &skipped);
    });
    if (!drained) ring.drain(w, &done, &skipped);
    pthread_cond_destroy(&ring.changed);
    pthread_mutex_destroy(&ring.lock);
    std::free(bufs);
    std::free(pieces);
    r.totals.dupRecNum += skipped;
    r.totals.outRecNum += done - skipped;
    return true;
}

// The records gathered on the run's threads straight into a new output file of the run's: every
// piece's place is known from the records' lengths (no unique filter), so each thread gathers a
// piece into a buffer of its own and writes it there, the kernel's copies side by side too; the
// stream is then placed behind the records. False, having written nothing, when its memory cannot
// be had or the file's position cannot be read: the caller writes otherwise.
template <ZsLayout L, class Source>
bool put_records_at(ZsSortRun& r, ZsWriter* w, const Source& s, int64_t bytes) {
    FILE* out = r.outStream.stream;
    zs_writer_flush(w);  // the header line
    const int64_t base = w->failed || !zs_plat_positional(out) ? -1 : zs_plat_tell(out);
    if (base < 0 || r.totals.maxRecLen > kBlockPiece) return w->failed;
    const ZsSize count = s.count();
    BlockPiece* piece;
    int64_t pieces;
    const ZsSize cut = cut_at(count, zs_par_min(r, kBlockPiece), &piece, &pieces, [&](ZsSize i) { return s.len(i); });
    if (cut < 0) {
        std::free(piece);
        return false;
    }
    ZS_ASSERT(cut == bytes);
    const int rc = write_pieces_at(r, out, base, piece, pieces, count, bytes, [&](ZsWriter* pw, ZsSize i, ZsSize end) {
        if (i + 6 < end) __builtin_prefetch(s.data(i + 6));
        zs_put(pw, s.data(i), s.len(i));
    });
    std::free(piece);
    if (rc == 0) {
        zs_progress_add(r, bytes);
        r.totals.outRecNum += count;
    } else if (rc != ZS_PAR_INTERRUPTED) {
        w->failed = true;  // a failed write, or a piece's memory: the output is not whole
    }
    return true;
}

template <class Source>
int write_output(ZsSortRun& r, const Source& source, bool unique, const ZsText& cannotCreate) {
    const ArgsInfo& a = *r.args;
    if (zs_open_output(r, cannotCreate) != 0) return 1;
    ZsWriter w = zs_writer(r.outStream.stream, r.outBuf, sizeof r.outBuf);
    source.with(
        a,
        [&](auto tag, const auto& s) {
            constexpr ZsLayout L = decltype(tag)::value;
            const int64_t bytes = source_bytes(s);
            if (!unique) zs_output_reserve(r, bytes);
            zs_progress_start(r, "write", header_bytes(r) + bytes);
            zs_put_header(r, &w);
            zs_progress_add(r, header_bytes(r));
            // Fewer bytes than a few rounds' are not worth the threads.
            const bool parallel = zs_par_worth(r, bytes, 4 * kPieceBytes) && !zs_on_worker();
            // A new file of the run's takes the pieces at their places; another output (standard
            // output, a device) and the unique filter get them in order through the ring.
            const bool at = parallel && !unique && r.outStream.temp != nullptr && !r.outStream.borrowed;
            if (at && put_records_at<L>(r, &w, s, bytes)) return;
            if (!parallel || !put_records_parallel<L>(r, &w, s, unique, bytes)) put_records<L>(r, &w, s, unique);
        },
        zs_cmp_env(r));
    zs_writer_flush(&w);
    if (zs_close_output(r, w.failed) != 0) return 1;
    zs_progress_end(r);
    return 0;
}

// One record in the temporary record format; returns the bytes it takes (-1: not encoded).
template <ZsLayout L, class Source>
ZsSize put_block_record(ZsWriter* w, const ArgsInfo& a, const Source& s, ZsSize i) {
    if constexpr (L == ZS_CSV) {
        const CsvEntry* e = s.csv(i);
        return zs_tmp_put<L>(w, a, e->data, e->len, e->cols, e->colNum);
    } else {
        return zs_tmp_put<L>(w, a, s.data(i), s.len(i), nullptr, 0);
    }
}

// False when a record could not be encoded (its length does not fit the format's fields).
template <ZsLayout L, class Source>
bool put_block(ZsSortRun& r, ZsWriter* w, const Source& s, ZsBlock* block, bool unique) {
    const ArgsInfo& a = *r.args;
    const ZsSize count = s.count();
    ZsCmp equal = unique ? zs_cmp_fn(zs_eq_of(L, ZS_AT_ENTRY)) : nullptr;
    for (ZsSize i = 0; i < count; i++) {
        if (i + 6 < count) __builtin_prefetch(s.data(i + 6));
        if (unique && i > 0 && s.differs(equal, i) == 0) {
            r.totals.dupRecNum++;
            continue;
        }
        const ZsSize bytes = put_block_record<L>(w, a, s, i);
        if (bytes < 0) return false;
        // The merge sizes its block buffers from the longest record it will read back.
        if (bytes > r.tmp.maxRecLen) r.tmp.maxRecLen = bytes;
        if (block != nullptr) zs_block_add(block, bytes, s.len(i));
    }
    return true;
}

// put_block on the run's threads, for a block without the unique filter: one pass notes every
// record in the block's record as put_block does (the samples, sizes and longest record need the
// records in order) and cuts the pieces; then the pieces are encoded side by side and written with
// positional writes, and the stream is placed behind the block. 1 when a record does not fit the
// format, 2 after a failed write, 3 when the work is not worth sharing out or its memory cannot be
// had (nothing written: the caller writes on one thread), 4 after an interrupt.
template <ZsLayout L, class Source>
int put_block_parallel(ZsSortRun& r, FILE* stream, const Source& s, ZsBlock* block) {
    const ArgsInfo& a = *r.args;
    // Pieces hold whole records: a record longer than a piece would need a buffer of its size.
    if (block == nullptr || r.totals.maxRecLen > kBlockPiece || !zs_plat_positional(stream) || fflush(stream) != 0)
        return 3;
    const int64_t base = zs_plat_tell(stream);
    if (base != block->offset) return 3;
    const ZsSize count = s.count();
    BlockPiece* piece;
    int64_t pieces;
    const ZsSize total = cut_at(count, zs_par_min(r, kBlockPiece), &piece, &pieces, [&](ZsSize i) {
        ZsSize bytes;
        if constexpr (L == ZS_CSV)
            bytes = zs_tmp_bytes<L>(a, s.len(i), s.csv(i)->colNum);
        else
            bytes = zs_tmp_bytes<L>(a, s.len(i), 0);
        if (bytes < 0) return bytes;
        if (bytes > r.tmp.maxRecLen) r.tmp.maxRecLen = bytes;
        zs_block_add(block, bytes, s.len(i));
        return bytes;
    });
    if (total < 0) {
        std::free(piece);
        zs_block_reset(block, block->offset);
        return total == -1 ? 1 : 3;
    }
    ZS_ASSERT(total == block->size);
    const int rc = write_pieces_at(r, stream, base, piece, pieces, count, total, [&](ZsWriter* w, ZsSize i, ZsSize end) {
        if (i + 6 < end) __builtin_prefetch(s.data(i + 6));
        put_block_record<L>(w, a, s, i);
    });
    std::free(piece);
    // A piece's memory that could not be had fails the block as a failed write: the run cannot go
    // on with part of a block written.
    return rc == ZS_PAR_INTERRUPTED ? 4 : rc == 0 ? 0 : 2;
}

template <class Source>
int write_block(ZsSortRun& r, const Source& source, FILE* stream, ZsBlock* block, bool unique) {
    const ArgsInfo& a = *r.args;
    if (block != nullptr) zs_block_reset(block, block->offset);
    ZsWriter w = zs_writer(stream, r.tmpBuf, sizeof r.tmpBuf);
    bool encoded = true, interrupted = false;
    source.with(
        a,
        [&](auto tag, const auto& s) {
            constexpr ZsLayout L = decltype(tag)::value;
            if (!unique && zs_par_worth(r, s.count(), 64 << 10) && !zs_on_worker()) {
                const int rc = put_block_parallel<L>(r, stream, s, block);
                if (rc == 1) encoded = false;
                if (rc == 2) w.failed = true;
                if (rc == 4) interrupted = true;
                if (rc != 3) return;
            }
            encoded = put_block<L>(r, &w, s, block, unique);
        },
        zs_cmp_env(r));
    zs_writer_flush(&w);
    if (interrupted) return 1;  // the interrupt has been reported
    if (!encoded) {
        // Never reached from the builders, which refuse such records: the format's own check.
        if (a.layout == ZS_CSV)
            ZS_MSG_JP(r, "☆不正なレコード長を検知しました！ \n");
        else
            ZS_MSG(r, "☆ Invalid record length detected! \n", "☆不正なレコード長を検知しました！ \n");
        return 1;
    }
    if (!w.failed) return 0;
    ZS_MSG(r, "☆ Error occurred while writing to output file during split sort!\n",
           "☆分割ソートでは、出力ファイルの書き込み中にエラーが発生しました！\n");
    return 1;
}

// Which source a writer reads, before the layout (and the items' width) is known: with() calls f
// with the layout's tag and the source compiled for it, switching once.
struct Lists {
    const PtrList* index;
    template <class F>
    void with(const ArgsInfo& a, F&& f, void* env) const {
        zs_with_layout(a.layout, [&](auto tag) { f(tag, ListSource<tag.value>{index, a, env}); });
    }
};
struct Items {
    const ZsIndex* index;
    template <class F>
    void with(const ArgsInfo& a, F&& f, void* env) const {
        zs_with_layout(a.layout, [&](auto tag) {
            constexpr ZsLayout L = decltype(tag)::value;
            const bool wide = index != nullptr && index->wide;
            zs_with_item_width(wide, [&](auto w) {
                using At = typename decltype(w)::type;
                const auto* items = index != nullptr ? static_cast<const ZsItemOf<L, At>*>(index->items) : nullptr;
                f(tag, ItemSource<L, At>{index, a, env, items});
            });
        });
    }
};

}  // namespace

void zs_put_header(ZsSortRun& r, ZsWriter* w) {
    if (header_bytes(r) > 0) zs_put(w, r.totals.header, r.totals.headerLen);
}

int zs_open_output(ZsSortRun& r, const ZsText& cannotCreate) {
    const ArgsInfo& a = *r.args;
    if (a.outFile.path == nullptr) {
        clearerr(zs_std_out(r));  // an error of an earlier run must not fail this one
        r.outStream = zs_plat_out_borrow(zs_std_out(r));
        return 0;
    }
    if (zs_plat_out_open(a.outFile.path, &r.outStream) != 0) {
        zs_text_msg(r, cannotCreate, a.outFile.path);
        return 1;
    }
    // The writers buffer whole chunks themselves: the stream passes them straight on.
    if (setvbuf(r.outStream.stream, nullptr, _IONBF, 0) != 0) {
        ZS_MSG(r, "☆ Failed to set output buffer!\n", "☆出力バッファの設定はできません！\n");
        return 1;  // the run's cleanup removes the new file
    }
    return 0;
}

void zs_output_reserve(ZsSortRun& r, ZsSize recordBytes) {
    // Never another's file (standard output): space it holds beyond its end would stay reserved.
    if (r.outStream.temp != nullptr && !r.outStream.borrowed)
        zs_plat_reserve(r.outStream.stream, header_bytes(r) + recordBytes);
}

int zs_close_output(ZsSortRun& r, bool failed) {
    if (zs_plat_out_close(&r.outStream) != 0) failed = true;
    if (r.bInterrupted) return 1;  // reported already; the output is incomplete
    return failed ? zs_write_failed(r, r.args->outFile.path) : 0;
}

// The plain writer names the likely cause when the output cannot be created.
int zs_write_output(ZsSortRun& r, const ZsIndex* idx) {
    return write_output(r, Items{idx}, false, ZS_TEXT_OUT_CREATE_CHECK);
}

int zs_write_output_unique(ZsSortRun& r, const ZsIndex* idx) {
    return write_output(r, Items{idx}, true, ZS_TEXT_OUT_CREATE);
}

int zs_write_block(ZsSortRun& r, const ZsIndex* idx, FILE* stream, ZsBlock* block) {
    return write_block(r, Items{idx}, stream, block, false);
}

int zs_write_block_unique(ZsSortRun& r, const ZsIndex* idx, FILE* stream, ZsBlock* block) {
    return write_block(r, Items{idx}, stream, block, true);
}

int zs_write_block(ZsSortRun& r, const PtrList* list, FILE* stream, ZsBlock* block) {
    return write_block(r, Lists{list}, stream, block, false);
}

int zs_write_block_unique(ZsSortRun& r, const PtrList* list, FILE* stream, ZsBlock* block) {
    return write_block(r, Lists{list}, stream, block, true);
}
