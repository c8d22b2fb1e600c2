// Loads every input file, back to back, into the one in-memory buffer; the reads, the CSV header
// line and the sample of the input that the other modes share.
//
// With several threads a large read of a file (a whole file here, a load of the split sort) is
// done in pieces at their own offsets, each thread reading its pieces straight to their place in
// the buffer (page-cache copies and the first touch of the buffer's pages share out); the calling
// thread counts the progress.
#include <cstdlib>
#include <algorithm>
#include <cstring>

#include "base/msg.h"
#include "base/parallel.h"
#include "sort/sort.h"

namespace {

// Reads are cut into pieces of this size so that an interrupt is noticed during a large file.
constexpr int64_t kReadPiece = 64LL << 20;

// Reads of this size on are done on the run's threads, in pieces of kParallelPiece.
constexpr int64_t kParallelReadMin = 32LL << 20;
constexpr int64_t kParallelPiece = 8LL << 20;

// Reads exactly n bytes, counted as the phase's progress; false on a short read or an interrupt.
bool read_exact(ZsSortRun& r, FILE* in, char* dst, int64_t n) {
    while (n > 0) {
        if (zs_interrupted(r)) return false;
        int64_t piece = n < kReadPiece ? n : kReadPiece;
        if (zs_plat_read(in, dst, piece) != piece) return false;
        zs_progress_add(r, piece);
        dst += piece;
        n -= piece;
    }
    return true;
}

// n bytes of the file from offset `at` on, on the run's threads, each piece read straight to its
// place. False on a short read, a read error or an interrupt.
bool read_parallel(ZsSortRun& r, FILE* in, char* dst, ZsSize at, ZsSize n) {
    ZsSize unreported = 0;  // read by any thread, not yet counted as progress (atomic)
    auto count = [&]() { zs_progress_add(r, __atomic_exchange_n(&unreported, 0, __ATOMIC_RELAXED)); };
    const int rc = zs_parallel_pieces(r, n, kParallelPiece, [&](ZsSize from, ZsSize len) {
        if (!zs_on_worker()) count();
        if (zs_interrupted(r)) return 1;
        if (zs_plat_read_at(in, dst + from, len, at + from) != len) return 1;
        __atomic_add_fetch(&unreported, len, __ATOMIC_RELAXED);
        return 0;
    });
    count();
    return rc == 0;
}

// Keeps line (lineLen bytes) as the run's header, completed with the newline code when asked.
// 1 after a failure message.
int keep_header(ZsSortRun& r, const char* line, int32_t lineLen, bool complete) {
    const ArgsInfo& a = *r.args;
    const int32_t headerLen = lineLen + (complete ? a.sepLen : 0);
    char* header = static_cast<char*>(zs_malloc(r.pool, headerLen));
    if (header == nullptr) {
        ZS_MSG(r, "☆ Failed to allocate [%ld]KB memory!\n", "☆[%ld]KBメモリの割当は失敗しました！\n", zs_kb(headerLen));
        return 1;
    }
    std::memcpy(header, line, (size_t)lineLen);
    if (complete) std::memcpy(header + lineLen, a.sep, (size_t)a.sepLen);
    r.totals.header = header;
    r.totals.headerLen = headerLen;
    return 0;
}

// Reads one open input file to *offset in buffer. 1 after a failure message.
int read_file(ZsSortRun& r, FILE* in, const InputFile* file, char* buffer, ZsSize* offset) {
    const ArgsInfo& a = *r.args;
    const ZsSize fileStart = *offset;
    ZsSize rest = file->size;
    if (a.layout == ZS_CSV && a.bHeader) {
        // The first bytes go where the records go; the header line is cut from their front.
        const ZsSize chunkLen = file->size < ZS_HEADER_SCAN_LIMIT ? file->size : ZS_HEADER_SCAN_LIMIT;
        char* chunk = buffer + *offset;
        if (!read_exact(r, in, chunk, chunkLen)) return zs_input_read_failed(r, file->path);
        int32_t lineLen = 0;
        if (zs_header_take(r, chunk, chunkLen, chunkLen == file->size, ZS_TEXT_HEADER_FAILED, &lineLen) != 0) return 1;
        std::memmove(chunk, chunk + lineLen, (size_t)(chunkLen - lineLen));
        *offset += chunkLen - lineLen;
        rest -= chunkLen;
    }
    ZsSize left = rest;
    bool atEnd;
    if (!zs_read_sized(r, in, buffer + *offset, rest, &left, &atEnd)) return zs_input_read_failed(r, file->path);
    *offset += rest;
    // Every file's data ends with the newline code: its last record never runs into the next
    // file's first.
    *offset += zs_end_with_sep(r, buffer + fileStart, *offset - fileStart);
    return 0;
}

}  // namespace

int zs_header_take(ZsSortRun& r, const char* data, ZsSize have, bool allData, const ZsText& failed,
                   int32_t* lineLen) {
    const ArgsInfo& a = *r.args;
    const ZsSize scanned = have < ZS_HEADER_SCAN_LIMIT ? have : ZS_HEADER_SCAN_LIMIT;
    const ZsSize at = zs_find_sep(data, scanned, a.sep, a.sepLen);
    // Data that is one line without its newline code is all header; anything else without a
    // newline code in the first 1 MiB has no header line.
    if (at < 0 && (!allData || have > scanned || scanned == 0)) {
        zs_msg_text(r, failed);
        return 1;
    }
    const bool complete = at < 0;
    *lineLen = (int32_t)(at >= 0 ? at + a.sepLen : scanned);
    // The first input's header is the run's.
    if (r.totals.header == nullptr) return keep_header(r, data, *lineLen, complete);
    return 0;
}

int zs_header_file(ZsSortRun& r, FILE* in, const InputFile* file, const ZsText& failed, int32_t* lineLen) {
    const ZsSize chunkLen = file->size < ZS_HEADER_SCAN_LIMIT ? file->size : ZS_HEADER_SCAN_LIMIT;
    char* chunk = chunkLen > 0 ? static_cast<char*>(zs_qmalloc(r.pool, chunkLen)) : nullptr;
    if (chunk == nullptr) {
        zs_msg_text(r, failed);
        return 1;
    }
    int rc = read_exact(r, in, chunk, chunkLen)
                 ? zs_header_take(r, chunk, chunkLen, chunkLen == file->size, failed, lineLen)
                 : zs_input_read_failed(r, file->path);
    qfree(r.pool, chunk);
    // The caller reads on from the end of the line: what follows it counts when read again.
    if (rc == 0) zs_progress_add(r, *lineLen - chunkLen);
    return rc;
}

int32_t zs_end_with_sep(ZsSortRun& r, char* data, ZsSize len) {
    const ArgsInfo& a = *r.args;
    if (a.layout == ZS_FIXED || len == 0) return 0;
    if (len >= a.sepLen && std::memcmp(data + len - a.sepLen, a.sep, (size_t)a.sepLen) == 0) return 0;
    std::memcpy(data + len, a.sep, (size_t)a.sepLen);
    return a.sepLen;
}

ZsSize zs_read_stream(ZsSortRun& r, FILE* in, char* dst, ZsSize n) {
    // Piece by piece as the stream delivers them, so that an interrupt (which may also end the
    // wait) and the progress are seen while a slow writer feeds it.
    ZsSize got = 0;
    while (got < n) {
        if (zs_interrupted(r)) return -1;
        const ZsSize read = zs_plat_read_some(in, dst + got, n - got);
        if (read == -2) {
            if (zs_interrupted_now(r)) return -1;
            continue;
        }
        if (read < 0) return -1;
        if (read == 0) break;  // the end of the data
        got += read;
        zs_progress_add(r, read);
    }
    return got;
}

int zs_input_read_failed(ZsSortRun& r, const char* path) {
    if (r.bInterrupted) return 1;  // the interrupt has been reported
    ZS_MSG(r, "☆ Error occurred while reading input file [%s]!\n", "☆入力ファイル[%s]の読み込み中にエラーが発生しました！\n",
           path);
    return 1;
}

bool zs_read_sized(ZsSortRun& r, FILE* in, char* dst, ZsSize n, ZsSize* left, bool* atEnd) {
    ZS_ASSERT(n <= *left);
    *atEnd = false;
    // A large read of a regular file is shared out over the threads at its offsets; the stream
    // is then moved past what they read.
    if (zs_par_worth(r, n, kParallelReadMin) && !zs_on_worker() && zs_plat_positional(in)) {
        const int64_t at = zs_plat_read_position(in);
        if (at < 0 || !read_parallel(r, in, dst, at, n) || zs_plat_read_seek(in, at + n) != 0) return false;
    } else if (!read_exact(r, in, dst, n)) {
        return false;
    }
    *left -= n;
    if (*left == 0) {
        // Bytes beyond the size checked at the start would not be sorted: the file changed.
        char probe;
        if (zs_plat_read(in, &probe, 1) != 0) return false;
        *atEnd = true;
    }
    return true;
}

FILE* zs_open_input(ZsSortRun& r, const InputFile* file) {
    FILE* in = fopen(file->path, "rb");
    if (in == nullptr) {
        ZS_MSG(r, "☆ Cannot open input file [%s]!\n", "☆入力ファイル[%s]は開くことはできません！\n", file->path);
        return nullptr;
    }
    // Unbuffered: each read goes straight into the destination.
    if (setvbuf(in, nullptr, _IONBF, 0) != 0) {
        ZS_MSG(r, "☆ Failed to set input buffer!\n", "☆入力バッファの設定はできません！\n");
        fclose(in);
        return nullptr;
    }
    return in;
}

ZsInputSample zs_sample_input(ZsSortRun& r, const char* data, ZsSize n, ZsSize bufferBytes) {
    const ArgsInfo& a = *r.args;
    const ZsSample s = zs_index_sample(a, data, n);
    return ZsInputSample{s.recordBytes, zs_index_cost(a, s.columns, bufferBytes)};
}

ZsInputSample zs_sample_files(ZsSortRun& r, ZsSize bufferBytes) {
    const ArgsInfo& a = *r.args;
    char* buf = nullptr;
    ZsSize n = 0;
    // Fixed-length records are their length whatever the bytes. A stream is never read here: its
    // data can be read only once, by the sort.
    for (int32_t f = 0; f < a.inFileNums && a.layout != ZS_FIXED; f++) {
        if (a.arrInFile[f].size == 0 || a.arrInFile[f].bStream) continue;
        FILE* in = fopen(a.arrInFile[f].path, "rb");
        buf = static_cast<char*>(std::malloc(ZS_SAMPLE_BYTES));
        n = in != nullptr && buf != nullptr ? zs_plat_read(in, buf, ZS_SAMPLE_BYTES) : -1;
        if (in != nullptr) fclose(in);
        break;
    }
    const ZsInputSample s = zs_sample_input(r, buf, n > 0 ? n : 0, bufferBytes);
    std::free(buf);
    return s;
}

ZsSize zs_load_size(ZsSortRun& r) {
    const ArgsInfo& a = *r.args;
    return r.totals.totalFileSize + (ZsSize)a.inFileNums * a.sepLen;
}

int zs_load_input(ZsSortRun& r, char* buffer, ZsSize* fileEnds) {
    const ArgsInfo& a = *r.args;
    ZsSize offset = 0;
    for (int32_t f = 0; f < a.inFileNums; f++) {
        const InputFile* file = &a.arrInFile[f];
        ZS_ASSERT(!file->bStream);
        FILE* in = zs_open_input(r, file);
        if (in == nullptr) return 1;
        int rc = read_file(r, in, file, buffer, &offset);
        fclose(in);
        if (rc != 0) return 1;
        fileEnds[f] = offset;
        ZS_VMSG_JP(r, "入力ファイル[%s]の読み込みは完了しました。\n", file->path);
    }
    r.totals.totalFileSize = offset;
    return 0;
}
