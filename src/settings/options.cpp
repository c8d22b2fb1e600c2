// Option scanning (getopt style) and loading of the options and input file names into the
// settings record. Values are stored as given; the argument check interprets them.
#include <cstdlib>
#include <cstring>

#include "base/msg.h"
#include "platform/platform.h"
#include "settings/scan.h"
#include "settings/settings.h"

namespace {

// Every letter in both cases; a letter followed by ':' takes a value.
constexpr const char optString[] = "CcSsUuAaRrNnHhMmV:v:W:w:L:l:P:p:D:d:T:t:K:k:O:o:E:e:";

// Position of c in the option string, or null for a letter we do not know.
const char* find_option(char c) {
    if (c == ':' || c == '\0') return nullptr;
    return std::strchr(optString, c);
}

// Removes leading white space by moving the rest to the start, trailing by ending early.
void trim_in_place(char* s) {
    size_t start = 0;
    while (zs_is_space(s[start])) start++;
    size_t len = std::strlen(s + start);
    if (start > 0) std::memmove(s, s + start, len + 1);
    while (len > 0 && zs_is_space(s[len - 1])) len--;
    s[len] = '\0';
}

constexpr char lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c + ('a' - 'A')) : c; }

char* copy_text(const char* s, size_t extra) {
    size_t n = std::strlen(s);
    char* p = (char*)std::malloc(n + extra + 1);
    if (p != nullptr) std::memcpy(p, s, n + 1);
    return p;
}

// Replaces an owned text; false (old value kept) when the copy cannot be made.
bool replace_text(char** field, const char* value) {
    char* p = copy_text(value, 0);
    if (p == nullptr) return false;
    std::free(*field);
    *field = p;
    return true;
}

// -W: digits alone (bytes), or digits and a unit: K or KB (KiB), M or MB (MiB), G or GB (GiB),
// any case. Returns 0 and the size, or 1 after printing why the value was refused: not a number,
// 0, or more than any machine has (ZS_MEMORY_MAX; a value that would overflow is more).
int load_buffer_size(ZsLog& log, char* arg, ZsSize* size) {
    size_t len = std::strlen(arg);
    size_t unitLen = 0;
    auto isUnit = [](char c) { return c == 'k' || c == 'm' || c == 'g'; };
    char letter = '\0';
    if (len >= 2 && lower(arg[len - 1]) == 'b' && isUnit(lower(arg[len - 2]))) {
        unitLen = 2;
        letter = lower(arg[len - 2]);
    } else if (len >= 1 && isUnit(lower(arg[len - 1]))) {
        unitLen = 1;
        letter = lower(arg[len - 1]);
    }
    const ZsSize unit = letter == 'k' ? (ZsSize)1 << 10 : letter == 'm' ? (ZsSize)1 << 20 : letter == 'g' ? (ZsSize)1 << 30 : 1;
    size_t digitsLen = len - unitLen;
    int64_t digits = 0;
    bool allDigits = digitsLen > 0 && zs_read_digits(arg, &digits) == (int)digitsLen;
    if (!allDigits) {
        // The message shows the digits part only, as the value was read.
        char saved = arg[digitsLen];
        arg[digitsLen] = '\0';
        ZS_MSG(log, "☆ Invalid option [W%s]!\n", "☆オプション[W%s]不正です！\n", arg);
        arg[digitsLen] = saved;
    }
    if (unitLen > 0) {
        // The unit as the echo and messages show it: upper case, the B kept when given.
        arg[digitsLen] = (char)(letter - ('a' - 'A'));
        if (unitLen == 2) arg[digitsLen + 1] = 'B';
    }
    if (!allDigits) return 1;
    // Compared before multiplying: a value past the bound is refused, never wrapped.
    if (digits <= 0 || digits > ZS_MEMORY_MAX / unit) {
        ZS_MSG(log, "☆ Invalid buffer size [%s]!\n", "☆バッファサイズ[%s]不正です！\n", arg);
        return 1;
    }
    *size = digits * unit;
    return 0;
}

// -L: one or more digits that fit a 32-bit int; "0" means not fixed-length.
int load_record_length(ZsLog& log, const char* arg, int32_t* recLen) {
    int64_t v = 0;
    size_t len = std::strlen(arg);
    if (len == 0 || zs_read_digits(arg, &v) != (int)len || v > INT32_MAX) {
        ZS_MSG_JP(log, "☆オプション[W%s]不正です！\n", arg);
        return 1;
    }
    *recLen = (int32_t)v;
    return 0;
}

// -P and -D refuse an empty value (also one that was all white space before trimming).
int load_nonempty(ZsLog& log, const char* arg, const char** field) {
    if (arg[0] == '\0') {
        ZS_MSG(log, "☆ Invalid option [%s]!\n", "☆オプション[%s]不正です！\n", arg);
        return 1;
    }
    *field = arg;
    return 0;
}

int load_temp_folder(ZsLog& log, ArgsInfo* args, const char* arg) {
    size_t n = std::strlen(arg);
    char* dir = copy_text(arg, 1);
    if (dir == nullptr) return 1;
    dir[n] = ZS_PATH_SEP;
    dir[n + 1] = '\0';
    std::free(args->tmpFile.dir);
    args->tmpFile.dir = dir;
    ZS_VMSG_JP(log, "一時フォルダは: %s\n", dir);
    return 0;
}

int load_key(ZsLog& log, ArgsInfo* args, const char* arg) {
    // keyNums equals keyAlloc while loading; the array grows one key at a time.
    SortKey* keys = (SortKey*)std::realloc(args->arrSortKey, sizeof(SortKey) * (size_t)(args->keyAlloc + 1));
    if (keys == nullptr) return 1;
    args->arrSortKey = keys;
    char* cmt = copy_text(arg, 0);
    if (cmt == nullptr) return 1;
    SortKey* k = &keys[args->keyAlloc];
    std::memset(k, 0, sizeof *k);
    k->cmt = cmt;
    args->keyAlloc++;
    args->keyNums++;
    ZS_VMSG_JP(log, "ソートキー%ldは:%s\n", (long)args->keyNums, arg);
    return 0;
}

int load_input_file(ZsLog& log, ArgsInfo* args, const char* arg) {
    InputFile* files =
        (InputFile*)std::realloc(args->arrInFile, sizeof(InputFile) * (size_t)(args->inFileNums + 1));
    if (files == nullptr) return 1;
    args->arrInFile = files;
    char* path = copy_text(arg, 0);
    if (path == nullptr) return 1;
    InputFile* f = &files[args->inFileNums];
    std::memset(f, 0, sizeof *f);
    f->path = path;
    args->inFileNums++;
    ZS_VMSG_JP(log, "入力ファイル%ldのパスは: %s\n", (long)args->inFileNums, path);
    return 0;
}

// Flags whose verbose echo is the option itself.
struct EchoedFlag {
    char letter;
    int32_t ArgsInfo::*field;
};
constexpr EchoedFlag echoedFlags[] = {{'c', &ArgsInfo::bCsv},
                                      {'s', &ArgsInfo::bStabilize},
                                      {'u', &ArgsInfo::bUnique},
                                      {'n', &ArgsInfo::bNullLastOut},
                                      {'m', &ArgsInfo::bMerge}};

// Applies one option. 0 applied (*done set when the version was shown), 1 failed.
int apply_option(ZsLog& log, ArgsInfo* args, int c, char* arg, bool* done) {
    char letter = lower((char)c);
    for (const EchoedFlag& f : echoedFlags) {
        if (f.letter == letter) {
            args->*f.field = 1;
            ZS_VMSG_JP(log, "-%c\n", c);  // the letter as typed
            return 0;
        }
    }
    switch (letter) {
        case 'a':
            if (args->bRecSort == 0) args->bRecSort = 1;  // the first of -A and -R wins
            ZS_VMSG(log, "☆ Sort all records in ascending order\n", "☆全レコードを昇順ソート\n");
            return 0;
        case 'r':
            if (args->bRecSort == 0) args->bRecSort = 2;
            ZS_VMSG(log, "☆ Sort all records in descending order\n", "☆全レコードを降順ソート\n");
            return 0;
        case 'h':
            args->bHeader = 1;
            ZS_VMSG(log, "☆ Treat first line as header\n", "☆先頭の行をヘッダとして扱う\n");
            return 0;
        case 'v':
            if (arg[0] == '\0') {
                zs_print_version(log);
                *done = true;
                return 0;
            }
            if (std::strcmp(arg, "erbose") == 0) log.bVerbose = 1;
            return 0;  // any other value is ignored
        case 'w':
            if (load_buffer_size(log, arg, &args->totalMemSize) != 0) return 1;
            ZS_VMSG_JP(log, "バッファサイズ：[%ldMB]\n", (long)((args->totalMemSize - 1) / 1048576 + 1));
            return 0;
        case 'l':
            if (load_record_length(log, arg, &args->recLen) != 0) return 1;
            ZS_VMSG_JP(log, "レコード長は: %ld\n", (long)args->recLen);
            return 0;
        case 'p':
            if (load_nonempty(log, arg, &args->sep) != 0) return 1;
            ZS_VMSG_JP(log, "入力データの改行コードは: %s\n", arg);
            return 0;
        case 'd':
            if (load_nonempty(log, arg, &args->delimiter) != 0) return 1;
            ZS_VMSG_JP(log, "ソートの区切りとしてのデリミタは: %s\n", arg);
            return 0;
        case 't':
            return load_temp_folder(log, args, arg);
        case 'k':
            return load_key(log, args, arg);
        case 'o':
            if (!replace_text(&args->outFile.path, arg)) return 1;
            ZS_VMSG_JP(log, "出力ファイルは: %s\n", arg);
            return 0;
        case 'e':
            if (!replace_text(&args->errFile.path, arg)) return 1;
            ZS_VMSG_JP(log, "エラーファイルは: %s\n", arg);
            return 0;
        default:
            return 1;  // '?': the scanner printed its line
    }
}

}  // namespace

void zs_getopt_reset(ZsOptState* s) { *s = ZsOptState{1, 1, nullptr}; }

int zs_getopt(ZsOptState* s, ZsLog& log, int argc, char** argv) {
    (void)log;  // its complaints are written raw to standard error, as a C library scanner writes them
    s->optarg = nullptr;
    const char* prog = zs_s(argc > 0 ? argv[0] : nullptr);
    if (s->optpos == 1) {
        if (s->optind >= argc) return -1;
        const char* a = argv[s->optind];
        // The first argument that is not an option ends the options; it is an input file.
        if (a == nullptr || a[0] != '-' || a[1] == '\0') return -1;
        if (std::strcmp(a, "--") == 0) {
            s->optind++;
            return -1;
        }
    }
    char* cur = argv[s->optind];
    char c = cur[s->optpos];
    const char* opt = find_option(c);
    if (opt == nullptr) {
        zs_line(log, "%s: %s\n", prog, ": illegal option -- ");
        // Step past the letter so that a caller that goes on cannot loop on it.
        if (cur[++s->optpos] == '\0') {
            s->optpos = 1;
            s->optind++;
        }
        return '?';
    }
    if (opt[1] == ':') {
        char* value = cur + s->optpos + 1;
        if (*value == '\0') {
            s->optind++;
            if (s->optind >= argc || argv[s->optind] == nullptr) {
                s->optpos = 1;
                zs_line(log, "%s: %s\n", prog, ": option requires an argument -- ");
                return '?';
            }
            value = argv[s->optind];
        }
        s->optind++;
        s->optpos = 1;
        trim_in_place(value);
        s->optarg = value;
        return (unsigned char)c;
    }
    if (cur[++s->optpos] == '\0') {
        s->optpos = 1;
        s->optind++;
    }
    return (unsigned char)c;
}

int zs_args_load(ZsLog& log, ArgsInfo* args, int argc, char** argv, bool* done) {
    *done = false;
    ZsOptState scan;
    zs_getopt_reset(&scan);
    for (;;) {
        int c = zs_getopt(&scan, log, argc, argv);
        if (c == -1) break;
        if (apply_option(log, args, c, scan.optarg, done) != 0) return 1;
        if (*done) return 0;
    }
    args->quote = '"';
    for (int i = scan.optind; i < argc; i++) {
        if (argv[i] == nullptr) continue;
        if (load_input_file(log, args, argv[i]) != 0) return 1;
    }
    return 0;
}
