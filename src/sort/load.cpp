// Loads every input file, back to back, into the one in-memory buffer.
#include <cstring>

#include "base/msg.h"
#include "sort/sort.h"

namespace {

constexpr int32_t kHeaderScanLimit = 1048576;
// Reads are cut into pieces of this size so that an interrupt is noticed during a large file.
constexpr int64_t kReadPiece = 64LL << 20;

// Reads exactly n bytes; false on a short read or an interrupt.
bool read_exact(FILE* in, char* dst, int64_t n) {
    while (n > 0) {
        if (zs_interrupted()) return false;
        int64_t piece = n < kReadPiece ? n : kReadPiece;
        if (zs_plat_read(in, dst, piece) != piece) return false;
        dst += piece;
        n -= piece;
    }
    return true;
}

// True when the file holds nothing beyond what was read: a file that grew since its size was
// checked would otherwise be sorted without its new bytes.
bool at_end(FILE* in) {
    char probe;
    return zs_plat_read(in, &probe, 1) == 0;
}

int read_failed(const char* path) {
    if (zs_run.bInterrupted) return 1;  // the interrupt has been reported
    ZS_MSG("☆ Error occurred while reading input file [%s]!\n", "☆入力ファイル[%s]の読み込み中にエラーが発生しました！\n",
           path);
    return 1;
}

int header_failed(bool japaneseOnly) {
    if (japaneseOnly)
        ZS_MSG_JP("☆CSVファイルのヘッダ読み込み中にエラーが発生しました！\n");
    else
        ZS_MSG("☆ Error occurred while reading CSV file header!\n", "☆CSVファイルのヘッダ読み込み中にエラーが発生しました！\n");
    return 1;
}

// First position of sep in p[0..n), or -1.
int64_t find_sep(const char* p, int64_t n, const char* sep, int32_t sepLen) {
    for (int64_t i = 0; i + sepLen <= n; i++)
        if (p[i] == sep[0] && std::memcmp(p + i, sep, (size_t)sepLen) == 0) return i;
    return -1;
}

bool ends_with(const char* data, int64_t len, const char* sep, int32_t sepLen) {
    return len >= sepLen && std::memcmp(data + len - sepLen, sep, (size_t)sepLen) == 0;
}

}  // namespace

int zs_keep_header(const char* line, int32_t lineLen, bool complete) {
    ArgsInfo* a = &zs_args;
    int32_t headerLen = lineLen + (complete ? a->sepLen : 0);
    a->header = static_cast<char*>(zs_malloc(zs_run.pool, headerLen));
    if (a->header == nullptr) {
        ZS_MSG("☆ Failed to allocate [%ld]KB memory!\n", "☆[%ld]KBメモリの割当は失敗しました！\n",
               (long)((headerLen - 1) / 1024 + 1));
        return 1;
    }
    std::memcpy(a->header, line, (size_t)lineLen);
    if (complete) std::memcpy(a->header + lineLen, a->sep, (size_t)a->sepLen);
    a->headerLen = headerLen;
    return 0;
}

int zs_read_header(FILE* in, const InputFile* file, bool first, bool japaneseOnly, ZsHeaderChunk* h) {
    const ArgsInfo* a = &zs_args;
    *h = ZsHeaderChunk{nullptr, file->size < kHeaderScanLimit ? file->size : kHeaderScanLimit, 0};
    h->chunk = h->chunkLen > 0 ? static_cast<char*>(zs_qmalloc(h->chunkLen)) : nullptr;
    if (h->chunk == nullptr) return header_failed(japaneseOnly);
    int rc = 0;
    int64_t at = -1;
    if (!read_exact(in, h->chunk, h->chunkLen)) {
        rc = read_failed(file->path);
    } else if ((at = find_sep(h->chunk, h->chunkLen, a->sep, a->sepLen)) < 0 && h->chunkLen < file->size) {
        // A file that is one line without its newline code is all header; anything else without
        // a newline code in the first 1 MiB has no header line.
        rc = header_failed(japaneseOnly);
    } else {
        h->lineLen = at >= 0 ? (int32_t)at + a->sepLen : h->chunkLen;
        if (first) rc = zs_keep_header(h->chunk, h->lineLen, at < 0);
    }
    if (rc != 0) {
        qfree(h->chunk);
        h->chunk = nullptr;
    }
    return rc;
}

namespace {

// Reads the first 1 MiB of a CSV file, keeps the first file's header line and copies the bytes
// after it to dst. 0 with the bytes of the file consumed in *consumed and the bytes placed at dst
// in *copied; 1 after a failure message.
int strip_header(FILE* in, const InputFile* file, bool first, char* dst, int64_t* consumed, int64_t* copied) {
    ZsHeaderChunk h;
    if (zs_read_header(in, file, first, false, &h) != 0) return 1;
    *consumed = h.chunkLen;
    *copied = h.chunkLen - h.lineLen;
    std::memcpy(dst, h.chunk + h.lineLen, (size_t)*copied);
    qfree(h.chunk);
    return 0;
}

// Reads one open input file to *offset in buffer. 1 after a failure message.
int read_file(FILE* in, const InputFile* file, bool first, char* buffer, int64_t* offset) {
    const ArgsInfo* a = &zs_args;
    // Unbuffered: each read goes straight into the destination.
    if (setvbuf(in, nullptr, _IONBF, 0) != 0) {
        ZS_MSG("☆ Failed to set input buffer!\n", "☆入力バッファの設定はできません！\n");
        return 1;
    }
    const int64_t fileStart = *offset;
    int64_t rest = file->size;
    if (a->layout == ZS_CSV && a->bHeader) {
        int64_t consumed = 0, copied = 0;
        if (strip_header(in, file, first, buffer + *offset, &consumed, &copied) != 0) return 1;
        *offset += copied;
        rest -= consumed;
    }
    if (!read_exact(in, buffer + *offset, rest) || !at_end(in)) return read_failed(file->path);
    *offset += rest;
    // Every file's data ends with the newline code: its last record never runs into the next
    // file's first.
    if (a->layout != ZS_FIXED && *offset > fileStart &&
        !ends_with(buffer + fileStart, *offset - fileStart, a->sep, a->sepLen)) {
        std::memcpy(buffer + *offset, a->sep, (size_t)a->sepLen);
        *offset += a->sepLen;
    }
    return 0;
}

}  // namespace

int64_t zs_load_size() {
    const ArgsInfo* a = &zs_args;
    return (int64_t)a->totalFileSize + (int64_t)a->inFileNums * a->sepLen;
}

int zs_load_input(char* buffer, int32_t* fileEnds) {
    ArgsInfo* a = &zs_args;
    int64_t offset = 0;
    for (int32_t f = 0; f < a->inFileNums; f++) {
        const InputFile* file = &a->arrInFile[f];
        FILE* in = fopen(file->path, "rb");
        if (in == nullptr) {
            ZS_MSG("☆ Cannot open input file [%s]!\n", "☆入力ファイル[%s]は開くことはできません！\n", file->path);
            return 1;
        }
        int rc = read_file(in, file, f == 0, buffer, &offset);
        fclose(in);
        if (rc != 0) return 1;
        fileEnds[f] = (int32_t)offset;
        ZS_VMSG_JP("入力ファイル[%s]の読み込みは完了しました。\n", file->path);
    }
    a->totalFileSize = (int32_t)offset;
    return 0;
}
