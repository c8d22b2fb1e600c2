// Fuzz target: the option scanner, the option loader and the argument check. The input is an
// argument vector, its texts separated by NUL bytes; the working folder holds a few small files
// for the arguments to name. Whatever the check accepts must be complete and consistent.
#include <climits>

#include "base/log.h"
#include "base/size.h"
#include "fuzz_support.h"
#include "settings/settings.h"

namespace {

using zs_fuzz::Argv;

bool one_of(const char* s, std::initializer_list<const char*> texts) {
    for (const char* t : texts)
        if (std::strcmp(s, t) == 0) return true;
    return false;
}

// fileName is the text after the last separator, dir everything up to it (null without one).
void check_split(const InputFile& f) {
    ZS_FUZZ_CHECK(f.path != nullptr && f.fileName != nullptr);
    const char* slash = std::strrchr(f.path, '/');
    ZS_FUZZ_CHECK(std::strcmp(f.fileName, slash != nullptr ? slash + 1 : f.path) == 0);
    if (slash == nullptr) {
        ZS_FUZZ_CHECK(f.dir == nullptr);
    } else {
        size_t n = (size_t)(slash - f.path) + 1;
        ZS_FUZZ_CHECK(f.dir != nullptr && std::strlen(f.dir) == n && std::memcmp(f.dir, f.path, n) == 0);
    }
}

// What every later phase relies on once the check has passed.
void check_completed(const ArgsInfo& a, const ZsTotals& totals) {
    if (a.recLen != 0) {
        ZS_FUZZ_CHECK(a.recLen > 0 && a.layout == ZS_FIXED && a.bFixVar == 1);
    } else {
        ZS_FUZZ_CHECK(a.bFixVar == 2 && a.layout == (a.bCsv ? ZS_CSV : ZS_VARIABLE));
        ZS_FUZZ_CHECK(a.sep != nullptr && one_of(a.sep, {"\n", "\r", "\r\n"}));
        ZS_FUZZ_CHECK(a.sepLen == (int32_t)std::strlen(a.sep));
    }
    if (a.layout == ZS_CSV) {
        ZS_FUZZ_CHECK(a.delimiter != nullptr && a.delimLen > 0 && a.delimLen == (int32_t)std::strlen(a.delimiter));
        ZS_FUZZ_CHECK(a.quote == '"');
    }
    ZS_FUZZ_CHECK(totals.bMemory == (a.totalMemSize == 0 ? 1 : 0));
    ZS_FUZZ_CHECK(a.totalMemSize >= 0 && a.totalMemSize <= ZS_MEMORY_MAX && totals.totalMemSize == a.totalMemSize);

    // A FIFO is a stream: no size, and never opened by the check (the check would hang).
    int64_t total = 0;
    bool streams = false;
    for (int32_t i = 0; i < a.inFileNums; i++) {
        const InputFile& f = a.arrInFile[i];
        check_split(f);
        ZS_FUZZ_CHECK(f.size >= 0 && (f.bStream == 0 || f.bStream == 1));
        struct stat st;
        ZS_FUZZ_CHECK(stat(f.path, &st) == 0 && (f.bStream == 1) == S_ISFIFO(st.st_mode));
        if (f.bStream) ZS_FUZZ_CHECK(f.size == 0);
        streams |= f.bStream == 1;
        if (a.layout == ZS_FIXED) ZS_FUZZ_CHECK(f.size % a.recLen == 0);
        total += f.size;
    }
    ZS_FUZZ_CHECK(total == totals.totalFileSize && totals.bStreams == (streams ? 1 : 0));
    ZS_FUZZ_CHECK(a.layout == ZS_FIXED ? (int64_t)totals.totalRecNum * a.recLen == total : totals.totalRecNum == 0);
    if (a.outFile.path != nullptr) check_split(a.outFile);
    if (a.errFile.path != nullptr) check_split(a.errFile);

    const InputFile& t = a.tmpFile;
    ZS_FUZZ_CHECK(t.path != nullptr && t.dir != nullptr && t.fileName != nullptr);
    size_t dirLen = std::strlen(t.dir);
    ZS_FUZZ_CHECK(dirLen > 0 && t.dir[dirLen - 1] == '/' && std::strncmp(t.path, t.dir, dirLen) == 0);
    ZS_FUZZ_CHECK(dirLen > 1);  // never the root folder for want of a named one
    // The name's pattern, "tesra_<process id>.tmp": the sort layer puts a unique part into it.
    ZS_FUZZ_CHECK(t.fileName == t.path + dirLen && std::strncmp(t.fileName, "tesra_", 6) == 0);
    const size_t digits = std::strspn(t.fileName + 6, "0123456789");
    ZS_FUZZ_CHECK(digits > 0 && std::strcmp(t.fileName + 6 + digits, ".tmp") == 0);

    // Keys, or the whole record: exactly one of them.
    ZS_FUZZ_CHECK(a.bRecSort >= 0 && a.bRecSort <= 2);
    ZS_FUZZ_CHECK((a.keyNums == 0) == (a.bRecSort != 0));
    ZS_FUZZ_CHECK(a.keyNums <= a.keyAlloc);
    int32_t maxPos = 0;
    for (int32_t i = 0; i < a.keyNums; i++) {
        const SortKey& k = a.arrSortKey[i];
        ZS_FUZZ_CHECK(k.type == ZS_KEY_BYTES || k.type == ZS_KEY_NUMERIC || k.type == ZS_KEY_TEXT);
        ZS_FUZZ_CHECK(k.seq == ZS_ASC || k.seq == ZS_DESC);
        if (a.layout == ZS_CSV) {
            ZS_FUZZ_CHECK(k.pos >= 1 && k.len == 0);
        } else {
            ZS_FUZZ_CHECK(k.pos >= 0 && k.len >= 0 && (int64_t)k.pos + k.len <= INT32_MAX);
            if (a.layout == ZS_FIXED) ZS_FUZZ_CHECK(k.pos + k.len <= a.recLen);
        }
        if (k.len > 0 && k.pos + k.len > maxPos) maxPos = k.pos + k.len;
    }
    ZS_FUZZ_CHECK(a.keyMaxPos == maxPos);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zs_fuzz::setup();
    zs_fuzz::write_file("a.txt", "b\na\r\nc");
    zs_fuzz::write_file("b.csv", "k,v\n\"x,1\",2\ny,\"\"\"3\"\n");
    zs_fuzz::write_file("f8.dat", "0123456789abcdef");
    zs_fuzz::write_file("empty", "");
    mkdir("d", 0700);
    mkfifo("p", 0600);  // an input that is a stream; nothing ever writes to it
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    Argv args;
    zs_fuzz::split_args(data, size, &args, 64);
    if (!zs_fuzz::stays_inside(args)) return 0;
    char** argv = args.build();
    const int argc = args.argc();
    ZsLog log{};
    log.processId = 4242;
    ArgsInfo settings{};
    ZsTotals totals{};
    {
        zs_fuzz::Quiet quiet;
        // The scanner alone, on a copy (it trims values in place), through every complaint.
        Argv scanned = args;
        char** sv = scanned.build();
        ZsOptState scan;
        zs_getopt_reset(&scan);
        for (int steps = 0;; steps++) {
            int c = zs_getopt(&scan, log, argc, sv);
            ZS_FUZZ_CHECK(scan.optind >= 1 && scan.optind <= argc);
            ZS_FUZZ_CHECK(steps <= (int)size + argc);  // every call moves on, so the scan ends
            if (c == -1 || c == '?') ZS_FUZZ_CHECK(scan.optarg == nullptr);
            if (c == -1) break;
        }
        bool done = false;
        int loaded = zs_args_load(log, &settings, argc, argv, &done);
        ZS_FUZZ_CHECK(loaded == 0 || loaded == 1);
        if (loaded == 0 && !done && zs_args_check(log, &settings, &totals) == 0) check_completed(settings, totals);
        zs_args_free(&settings);
    }
    ZS_FUZZ_CHECK(zs_fuzz::all_zero(&settings));
    return 0;
}
