// Loads every input file, back to back, into the one in-memory buffer.
#include <cstring>

#include "engine/msg.h"
#include "sort/sort.h"

namespace {

constexpr int32_t kHeaderScanLimit = 1048576;

// Reads exactly n bytes; false on a short read.
bool read_exact(FILE* in, char* dst, int64_t n) {
    return n <= 0 || fread(dst, 1, (size_t)n, in) == (size_t)n;
}

// True when the file holds nothing beyond what was read: a file that grew since its size was
// checked would otherwise be sorted without its new bytes.
bool at_end(FILE* in) {
    char probe;
    return fread(&probe, 1, 1, in) == 0 && !ferror(in);
}

int read_failed(FILE* in, const char* path) {
    fclose(in);
    ZS_MSG("☆ Error occurred while reading input file [%s]!\n", "☆入力ファイル[%s]の読み込み中にエラーが発生しました！\n",
           path);
    return 1;
}

int header_failed(FILE* in) {
    fclose(in);
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

int zs_load_input(char* buffer) {
    ArgsInfo* a = &zs_args;
    const bool stripHeader = zs_is_csv(a) && a->bHeader;
    int64_t offset = 0;

    for (int32_t f = 0; f < a->inFileNums; f++) {
        const InputFile* file = &a->arrInFile[f];
        FILE* in = fopen(file->path, "rb");
        if (in == nullptr) {
            ZS_MSG("☆ Cannot open input file [%s]!\n", "☆入力ファイル[%s]は開くことはできません！\n", file->path);
            return 1;
        }
        // Unbuffered: each read goes straight into the destination.
        if (setvbuf(in, nullptr, _IONBF, 0) != 0) {
            fclose(in);
            ZS_MSG("☆ Failed to set input buffer!\n", "☆入力バッファの設定はできません！\n");
            return 1;
        }
        int64_t rest = file->size;
        if (stripHeader) {
            int32_t chunkLen = file->size < kHeaderScanLimit ? file->size : kHeaderScanLimit;
            char* chunk = chunkLen > 0 ? static_cast<char*>(zs_qmalloc(chunkLen)) : nullptr;
            if (chunk == nullptr || a->sep == nullptr || a->sepLen <= 0) {
                if (chunk != nullptr) qfree(chunk);
                return header_failed(in);
            }
            if (!read_exact(in, chunk, chunkLen)) {
                qfree(chunk);
                return read_failed(in, file->path);
            }
            int64_t at = find_sep(chunk, chunkLen, a->sep, a->sepLen);
            if (at < 0) {
                qfree(chunk);
                return header_failed(in);
            }
            int32_t headerLen = (int32_t)at + a->sepLen;
            if (f == 0) {
                a->header = static_cast<char*>(zs_malloc(pool, headerLen));
                if (a->header == nullptr) {
                    qfree(chunk);
                    fclose(in);
                    ZS_MSG("☆ Failed to allocate [%ld]KB memory!\n", "☆[%ld]KBメモリの割当は失敗しました！\n",
                           (long)((headerLen - 1) / 1024 + 1));
                    return 1;
                }
                std::memcpy(a->header, chunk, (size_t)headerLen);
                a->headerLen = headerLen;
            }
            std::memcpy(buffer + offset, chunk + headerLen, (size_t)(chunkLen - headerLen));
            offset += chunkLen - headerLen;
            rest -= chunkLen;
            qfree(chunk);
        }
        if (!read_exact(in, buffer + offset, rest) || !at_end(in)) return read_failed(in, file->path);
        offset += rest;
        fclose(in);
        ZS_VMSG_JP("入力ファイル[%s]の読み込みは完了しました。\n", file->path);
    }

    // Newline-ended data always ends with a newline code; nothing is appended to no data.
    if (a->bFixVar == 2 && offset > 0) {
        bool endsWithSep = offset >= a->sepLen &&
                           std::memcmp(buffer + offset - a->sepLen, a->sep, (size_t)a->sepLen) == 0;
        if (!endsWithSep) {
            std::memcpy(buffer + offset, a->sep, (size_t)a->sepLen);
            offset += a->sepLen;
        }
    }
    a->totalFileSize = (int32_t)offset;
    return 0;
}
