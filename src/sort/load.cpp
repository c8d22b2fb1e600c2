// Loads every input file, back to back, into the one in-memory buffer.
#include <cstring>

#include "base/msg.h"
#include "sort/sort.h"

namespace {

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

}  // namespace

int zs_keep_header(const char* line, int32_t lineLen, bool complete) {
    ArgsInfo* a = &zs_args;
    int32_t headerLen = lineLen + (complete ? a->sepLen : 0);
    a->header = static_cast<char*>(zs_malloc(zs_run.pool, headerLen));
    if (a->header == nullptr) {
        ZS_MSG("☆ Failed to allocate [%ld]KB memory!\n", "☆[%ld]KBメモリの割当は失敗しました！\n",
               zs_kb(headerLen));
        return 1;
    }
    std::memcpy(a->header, line, (size_t)lineLen);
    if (complete) std::memcpy(a->header + lineLen, a->sep, (size_t)a->sepLen);
    a->headerLen = headerLen;
    return 0;
}

int zs_header_line(const char* data, int32_t scanned, bool allData, bool japaneseOnly, int32_t* lineLen,
                   bool* complete) {
    const ArgsInfo* a = &zs_args;
    int64_t at = find_sep(data, scanned, a->sep, a->sepLen);
    // Data that is one line without its newline code is all header; anything else without a
    // newline code in the first 1 MiB has no header line.
    if (at < 0 && (!allData || scanned == 0)) return header_failed(japaneseOnly);
    *complete = at < 0;
    *lineLen = at >= 0 ? (int32_t)at + a->sepLen : scanned;
    return 0;
}

int32_t zs_end_with_sep(char* data, int64_t len) {
    const ArgsInfo* a = &zs_args;
    if (a->layout == ZS_FIXED || len == 0) return 0;
    if (len >= a->sepLen && std::memcmp(data + len - a->sepLen, a->sep, (size_t)a->sepLen) == 0) return 0;
    std::memcpy(data + len, a->sep, (size_t)a->sepLen);
    return a->sepLen;
}

int zs_read_header(FILE* in, const InputFile* file, bool first, bool japaneseOnly, ZsHeaderChunk* h) {
    *h = ZsHeaderChunk{nullptr, file->size < ZS_HEADER_SCAN_LIMIT ? file->size : ZS_HEADER_SCAN_LIMIT, 0};
    h->chunk = h->chunkLen > 0 ? static_cast<char*>(zs_qmalloc(h->chunkLen)) : nullptr;
    if (h->chunk == nullptr) return header_failed(japaneseOnly);
    int rc = 0;
    bool complete = false;
    if (!read_exact(in, h->chunk, h->chunkLen)) {
        rc = zs_input_read_failed(file->path);
    } else {
        rc = zs_header_line(h->chunk, h->chunkLen, h->chunkLen == file->size, japaneseOnly, &h->lineLen, &complete);
        if (rc == 0 && first) rc = zs_keep_header(h->chunk, h->lineLen, complete);
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
    const int64_t fileStart = *offset;
    int64_t rest = file->size;
    if (a->layout == ZS_CSV && a->bHeader) {
        int64_t consumed = 0, copied = 0;
        if (strip_header(in, file, first, buffer + *offset, &consumed, &copied) != 0) return 1;
        *offset += copied;
        rest -= consumed;
    }
    int64_t left = rest;
    bool atEnd;
    if (!zs_read_sized(in, buffer + *offset, rest, &left, &atEnd)) return zs_input_read_failed(file->path);
    *offset += rest;
    // Every file's data ends with the newline code: its last record never runs into the next
    // file's first.
    *offset += zs_end_with_sep(buffer + fileStart, *offset - fileStart);
    return 0;
}

}  // namespace

int zs_input_read_failed(const char* path) {
    if (zs_run.bInterrupted) return 1;  // the interrupt has been reported
    ZS_MSG("☆ Error occurred while reading input file [%s]!\n", "☆入力ファイル[%s]の読み込み中にエラーが発生しました！\n",
           path);
    return 1;
}

bool zs_read_sized(FILE* in, char* dst, int64_t n, int64_t* left, bool* atEnd) {
    ZS_ASSERT(n <= *left);
    *atEnd = false;
    if (!read_exact(in, dst, n)) return false;
    *left -= n;
    if (*left == 0) {
        // Bytes beyond the size checked at the start would not be sorted: the file changed.
        char probe;
        if (zs_plat_read(in, &probe, 1) != 0) return false;
        *atEnd = true;
    }
    return true;
}

FILE* zs_open_input(const InputFile* file) {
    FILE* in = fopen(file->path, "rb");
    if (in == nullptr) {
        ZS_MSG("☆ Cannot open input file [%s]!\n", "☆入力ファイル[%s]は開くことはできません！\n", file->path);
        return nullptr;
    }
    // Unbuffered: each read goes straight into the destination.
    if (setvbuf(in, nullptr, _IONBF, 0) != 0) {
        ZS_MSG("☆ Failed to set input buffer!\n", "☆入力バッファの設定はできません！\n");
        fclose(in);
        return nullptr;
    }
    return in;
}

int64_t zs_load_size() {
    const ArgsInfo* a = &zs_args;
    return (int64_t)a->totalFileSize + (int64_t)a->inFileNums * a->sepLen;
}

int zs_load_input(char* buffer, int32_t* fileEnds) {
    ArgsInfo* a = &zs_args;
    int64_t offset = 0;
    for (int32_t f = 0; f < a->inFileNums; f++) {
        const InputFile* file = &a->arrInFile[f];
        FILE* in = zs_open_input(file);
        if (in == nullptr) return 1;
        int rc = read_file(in, file, f == 0, buffer, &offset);
        fclose(in);
        if (rc != 0) return 1;
        fileEnds[f] = (int32_t)offset;
        ZS_VMSG_JP("入力ファイル[%s]の読み込みは完了しました。\n", file->path);
    }
    a->totalFileSize = (int32_t)offset;
    return 0;
}
