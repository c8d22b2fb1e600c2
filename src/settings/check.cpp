// Completes the loaded settings: record layout, newline code and delimiter, input sizes,
// folder and name of every file, the temporary file name's pattern and the parsed sort keys.
// Every file and folder is tested before any data is read; nothing is created on disk.
#include <cstdlib>
#include <cstring>

#include "base/msg.h"
#include "platform/platform.h"
#include "settings/scan.h"
#include "settings/settings.h"

namespace {

char* copy_prefix(const char* s, size_t n, const char* append) {
    size_t m = std::strlen(append);
    char* p = (char*)std::malloc(n + m + 1);
    if (p == nullptr) return nullptr;
    std::memcpy(p, s, n);
    std::memcpy(p + n, append, m + 1);
    return p;
}

// fileName = the text after the last separator (all of path without one); dir = the path
// up to and including it, or null. False when a copy cannot be made.
bool split_path(InputFile* f) {
    const char* sep = std::strrchr(f->path, ZS_PATH_SEP);
    const char* name = sep != nullptr ? sep + 1 : f->path;
    char* fileName = copy_prefix(name, std::strlen(name), "");
    char* dir = sep != nullptr ? copy_prefix(f->path, (size_t)(sep - f->path + 1), "") : nullptr;
    if (fileName == nullptr || (sep != nullptr && dir == nullptr)) {
        std::free(fileName);
        std::free(dir);
        return false;
    }
    std::free(f->fileName);
    std::free(f->dir);
    f->fileName = fileName;
    f->dir = dir;
    return true;
}

bool folder_usable(const char* dir) { return zs_plat_access(dir, 0) == 0 && zs_plat_access(dir, 6) == 0; }

// True when path names one of the input files (through links too).
bool names_an_input(const ArgsInfo* args, const char* path) {
    for (int32_t i = 0; i < args->inFileNums; i++)
        if (zs_plat_same_file(path, args->arrInFile[i].path)) return true;
    return false;
}

int check_newline(ZsLog& log, ArgsInfo* args) {
    if (args->sep == nullptr) {
        args->sep = "\n";
    } else if (std::strcmp(args->sep, "\\r\\n") == 0) {
        args->sep = "\r\n";
    } else if (std::strcmp(args->sep, "\\n") == 0) {
        args->sep = "\n";
    } else if (std::strcmp(args->sep, "\\r") == 0) {
        args->sep = "\r";
    } else {
        ZS_MSG(log, "☆ Invalid newline code [%s]!\n", "☆改行コード[%s]は不正です！\n", args->sep);
        return 1;
    }
    args->sepLen = (int32_t)std::strlen(args->sep);
    return 0;
}

int check_inputs(ZsLog& log, ArgsInfo* args, ZsTotals* totals) {
    ZsSize total = 0, records = 0;
    int32_t streams = 0;
    for (int32_t i = 0; i < args->inFileNums; i++) {
        InputFile* f = &args->arrInFile[i];
        long n = (long)i + 1;
        if (!split_path(f)) return 1;
        int64_t size = 0;
        // A pipe or FIFO is not opened here: its data can be read once only, by the sort.
        const ZsFileKind kind = zs_plat_file_kind(f->path, &size);
        if (kind == ZS_FILE_NONE) {
            ZS_MSG(log, "☆ Failed to stat input file %ld [%s]!\n", "☆入力ファイル%ld[%s]のstatを参照失敗しました！\n", n,
                   f->path);
            return 1;
        }
        f->bStream = kind == ZS_FILE_STREAM ? 1 : 0;
        if (f->bStream) {
            streams++;
            f->size = 0;
            continue;
        }
        total += size;
        if (args->bFixVar == 1) {
            if (size % args->recLen != 0) {
                // The Japanese text names the file first, so the arguments differ in order.
                if (zs_is_japanese())
                    ZS_MSG_JP(log, "☆入力ファイル%ldのサイズ[%ld]は不正です！\n", n, (long)size);
                else
                    ZS_MSG_JP(log, "☆ Invalid size [%ld] for input file %ld!\n", (long)size, n);
                return 1;
            }
            records += size / args->recLen;
        }
        f->size = size;
    }
    totals->totalRecNum = records;  // counted here for fixed-length files only (streams: by the sort)
    totals->totalFileSize = total;
    totals->bStreams = streams > 0 ? 1 : 0;
    return 0;
}

int check_output(ZsLog& log, ArgsInfo* args) {
    InputFile* o = &args->outFile;
    if (o->path != nullptr && !split_path(o)) return 1;
    // A merge reads its inputs while it writes: an output naming one would destroy it first.
    if (args->bMerge && o->path != nullptr && names_an_input(args, o->path)) {
        ZS_MSG(log, "☆ Cannot create output file [%s]!\n", "☆出力ファイル[%s]は作成できません！\n", o->path);
        return 1;
    }
    ZS_VMSG_JP(log, "出力フォルダ: %s\n", zs_s(o->dir));
    ZS_VMSG_JP(log, "出力ファイル名: %s\n", zs_s(o->fileName));
    if (o->dir != nullptr && !folder_usable(o->dir)) {
        ZS_MSG(log, "☆ Output folder [%s] does not exist or insufficient permissions!\n",
               "☆出力フォルダ[%s]は存在しません、又は権限不足です！\n", o->dir);
        return 1;
    }
    return 0;
}

void echo_error_file(ZsLog& log, const InputFile* e) {
    ZS_VMSG(log, "Error folder: %s\n", "エラーフォルダ: %s\n", zs_s(e->dir));
    ZS_VMSG(log, "Error file name: %s\n", "エラーファイル名: %s\n", zs_s(e->fileName));
}

int check_error_file(ZsLog& log, ArgsInfo* args) {
    InputFile* e = &args->errFile;
    if (e->path != nullptr) {
        if (!split_path(e)) return 1;
        echo_error_file(log, e);
        if (e->dir != nullptr && !folder_usable(e->dir)) {
            ZS_MSG(log, "☆ Error folder [%s] does not exist or insufficient permissions!\n",
                   "☆エラーフォルダ[%s]は存在しません、又は権限不足です！\n", e->dir);
            return 1;
        }
        // Error records are written over the file named by -E: it must not be an input
        // or the output, or their data would be destroyed.
        if ((args->outFile.path != nullptr && zs_plat_same_file(e->path, args->outFile.path)) ||
            names_an_input(args, e->path)) {
            ZS_MSG(log, "☆ Cannot create error file [%s]!\n", "☆エラーファイル[%s]は作成できません！\n", e->path);
            return 1;
        }
    }
    echo_error_file(log, e);
    return 0;
}

int check_temp(ZsLog& log, ArgsInfo* args) {
    InputFile* t = &args->tmpFile;
    if (t->dir == nullptr) {
        const char* value = zs_plat_temp_dir();
        ZS_VMSG(log, "Temporary folder: %s\n", "一時フォルダ: %s\n", zs_s(value));
        if (value == nullptr) {
            ZS_MSG(log, "☆ Temporary folder is not specified!\n", "☆一時フォルダは未指定です！\n");
            return 1;
        }
        const char sep[2] = {ZS_PATH_SEP, '\0'};
        t->dir = copy_prefix(value, std::strlen(value), sep);
        if (t->dir == nullptr) return 1;
        ZS_VMSG(log, "Temporary folder not specified, using system temporary folder [%s].\n",
                "一時フォルダは未指定の為、システムの一時フォルダ[%s]を使用する。\n", t->dir);
    }
    // The loader makes a lone separator of an empty -T value (a folder named "/" shows as "//"):
    // no folder was named, and the root folder is no stand-in for one.
    bool named = !(t->dir[0] == ZS_PATH_SEP && t->dir[1] == '\0');
    if (!named || !folder_usable(t->dir)) {
        ZS_MSG(log, "☆ Temporary folder [%s] does not exist or insufficient permissions!\n",
               "☆一時フォルダ[%s]は存在しません、又は権限不足です！\n", t->dir);
        return 1;
    }
    // The name's pattern: the sort layer puts a unique part in front of ".tmp" when it creates
    // the file, so that no other run's file and nothing planted there is ever taken for it.
    int len = snprintf(nullptr, 0, "%s%s%ld%s", t->dir, "tesra_", (long)log.processId, ".tmp");
    char* path = len < 0 ? nullptr : (char*)std::malloc((size_t)len + 1);
    if (path == nullptr) return 1;
    snprintf(path, (size_t)len + 1, "%s%s%ld%s", t->dir, "tesra_", (long)log.processId, ".tmp");
    std::free(t->path);
    t->path = path;
    t->fileName = path + std::strlen(t->dir);
    ZS_VMSG_JP(log, "一時パス: %s\n", path);
    return 0;
}

// Reads and cuts the suffix letters at the end of cmt: [t][n][a|d]. Returns the order name.
const char* cut_suffix(SortKey* k) {
    char* s = k->cmt;
    size_t len = std::strlen(s);
    auto lastIs = [&](char upper) { return len > 0 && (s[len - 1] == upper || s[len - 1] == upper + ('a' - 'A')); };
    auto cut = [&] { s[--len] = '\0'; };
    const char* order = "Asc";
    k->seq = ZS_ASC;
    if (lastIs('D')) {
        k->seq = ZS_DESC;
        order = "Desc";
        cut();
    } else if (lastIs('A')) {
        cut();
    }
    k->type = ZS_KEY_BYTES;
    if (lastIs('N')) {
        k->type = ZS_KEY_NUMERIC;
        cut();
    }
    if (lastIs('T')) {
        k->type = ZS_KEY_TEXT;
        cut();
    }
    return order;
}

void key_invalid(ZsLog& log, long n) { ZS_MSG(log, "☆ Sort key %ld is invalid!\n", "☆ソートキー%ldは不正です！\n", n); }

// CSV key: a column number from 1.
int parse_csv_key(ZsLog& log, SortKey* k, long n) {
    const char* order = cut_suffix(k);
    int64_t pos = 0;
    zs_read_digits(k->cmt, &pos);
    if (pos == 0 || pos > INT32_MAX) {
        key_invalid(log, n);
        return 1;
    }
    k->pos = (int32_t)pos;
    k->len = 0;
    ZS_VMSG_JP(log, "ソートキー%ld(%s)の位置は: %ld\n", n, order, (long)k->pos);
    return 0;
}

// Fixed-length and variable-length key: start,length in bytes.
int parse_byte_key(ZsLog& log, SortKey* k, long n) {
    char* comma = std::strchr(k->cmt, ',');
    if (comma == nullptr) {
        ZS_MSG_JP(log, "ソートキー[%s]指定不正！\n", k->cmt);
        return 1;
    }
    const char* order = cut_suffix(k);  // in place: the length text ends where the letters were
    int64_t pos = 0, len = 0;
    zs_read_digits(k->cmt, &pos);
    zs_read_digits(comma + 1, &len);
    if (pos + len > INT32_MAX) {  // also catches either number alone out of range
        key_invalid(log, n);
        return 1;
    }
    k->pos = (int32_t)pos;
    k->len = (int32_t)len;
    ZS_VMSG_JP(log, "ソートキー%ld(%s)は: %s\n", n, order, k->cmt);
    ZS_VMSG_JP(log, "ソートキー%ld(%s)の開始位置は: %ld\n", n, order, (long)k->pos);
    ZS_VMSG_JP(log, "ソートキー%ld(%s)の長さは: %ld\n", n, order, (long)k->len);
    return 0;
}

int check_keys(ZsLog& log, ArgsInfo* args) {
    if (args->bRecSort != 0) args->keyNums = 0;  // -A / -R: the whole record, keys ignored
    if (args->keyNums == 0) {
        if (args->bRecSort == 0) {
            args->bRecSort = 1;
            ZS_VMSG(log, "☆ Sort all records in ascending order\n", "☆全レコードを昇順ソート\n");
        }
        return 0;
    }
    bool csv = args->layout == ZS_CSV;
    for (int32_t i = 0; i < args->keyNums; i++) {
        SortKey* k = &args->arrSortKey[i];
        int rc = csv ? parse_csv_key(log, k, (long)i + 1) : parse_byte_key(log, k, (long)i + 1);
        if (rc != 0) return 1;
    }
    if (args->bRecSort == 0 && args->bFixVar == 1) {
        for (int32_t i = 0; i < args->keyNums; i++) {
            const SortKey& k = args->arrSortKey[i];
            if ((int64_t)k.pos + k.len > args->recLen) {
                key_invalid(log, (long)i + 1);
                return 1;
            }
        }
    }
    int32_t maxPos = 0;
    for (int32_t i = 0; i < args->keyNums; i++) {
        const SortKey& k = args->arrSortKey[i];
        if (k.len > 0 && k.pos + k.len > maxPos) maxPos = k.pos + k.len;
    }
    args->keyMaxPos = maxPos;
    return 0;
}

}  // namespace

int zs_args_check(ZsLog& log, ArgsInfo* args, ZsTotals* totals) {
    ZS_VMSG_JP(log, "\n--- 引数のチェック処理は開始します。--- \n");
    totals->totalMemSize = args->totalMemSize;
    totals->bMemory = args->totalMemSize == 0 ? 1 : 0;  // the first guess; the driver decides

    // Fixed-length wins over -C: no newline code and no delimiter for fixed-length records.
    if (args->recLen != 0) {
        args->bFixVar = 1;  // sep stays as given, sepLen 0
        args->layout = ZS_FIXED;
    } else {
        args->bFixVar = 2;
        args->layout = args->bCsv ? ZS_CSV : ZS_VARIABLE;
        if (check_newline(log, args) != 0) return 1;
    }
    if (args->layout == ZS_CSV) {
        if (args->delimiter == nullptr)
            args->delimiter = ",";
        else if (std::strcmp(args->delimiter, "\\t") == 0)
            args->delimiter = "\t";
        args->delimLen = (int32_t)std::strlen(args->delimiter);
    }

    if (check_inputs(log, args, totals) != 0) return 1;
    if (check_output(log, args) != 0) return 1;
    if (check_error_file(log, args) != 0) return 1;
    if (check_temp(log, args) != 0) return 1;
    if (check_keys(log, args) != 0) return 1;
    return 0;
}
