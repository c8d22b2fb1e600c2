// The settings record, its dump and its release.
#include "settings/settings.h"

#include <cstdlib>
#include <cstring>

#include "base/msg.h"

void zs_file_dump(ZsLog& log, const char* label, const InputFile* f) {
    zs_dump(log, "\n--- %s ---\n", zs_s(label));
    if (f == nullptr) {
        zs_dump(log, "  (null)\n");
        return;
    }
    zs_dump(log, "  path          = %s\n", zs_s(f->path));
    zs_dump(log, "  dir           = %s\n", zs_s(f->dir));
    zs_dump(log, "  fileName      = %s\n", zs_s(f->fileName));
    zs_dump(log, "  size          = %ld\n", (long)f->size);
    // Streams, buffers and cursors belong to the operations that use a file; the dumps (after
    // loading, after checking) come before any of them exists, so these show what they always
    // showed then: nothing.
    zs_dump(log, "  outSize       = %ld\n", 0L);
    zs_dump(log, "  file          = %p\n", (void*)nullptr);
    zs_dump(log, "  outBuf        = %p\n", (void*)nullptr);
    zs_dump(log, "  outBufSize    = %ld\n", 0L);
    zs_dump(log, "  outBufOffset  = %ld\n", 0L);
    zs_dump(log, "  unitDataInfo  = %p\n", (void*)nullptr);
}

void zs_args_dump(ZsLog& log, const ArgsInfo* a, const ZsTotals* totals) {
    if (a == nullptr) {
        zs_dump(log, "ArgsInfo = NULL\n");
        return;
    }
    const ZsTotals none{};
    const ZsTotals& t = totals != nullptr ? *totals : none;
    static constexpr const char* blockFormats[10] = {
        "bMerge          = %ld\n", "bCsv            = %ld\n", "bMemory         = %ld\n",
        "bFixVar         = %ld\n", "bStabilize      = %ld\n", "bUnique         = %ld\n",
        "recLen          = %ld\n", "maxRecLen       = %ld\n", "maxCsvNum       = %ld\n",
        "totalMemSize    = %ld\n",
    };
    // The run's totals among the settings, where the dump has always shown them.
    const int64_t blockValues[10] = {a->bMerge,  a->bCsv,   t.bMemory,   a->bFixVar,    a->bStabilize,
                                     a->bUnique, a->recLen, t.maxRecLen, a->maxCsvNum, t.totalMemSize};

    zs_dump(log, "\n==================== ArgsInfo ====================\n");
    for (int i = 0; i < 10; i++) zs_raw(zs_diag_stream(log), blockFormats[i], (long)blockValues[i]);
    zs_dump(log, "inFileNums      = %ld\n", (long)a->inFileNums);
    zs_dump(log, "totalFileSize   = %ld\n", (long)t.totalFileSize);
    zs_dump(log, "totalRecNum     = %ld\n", (long)t.totalRecNum);
    zs_dump(log, "bRecSort        = %ld\n", (long)a->bRecSort);
    zs_dump(log, "keyNums         = %ld\n", (long)a->keyNums);
    zs_dump(log, "keyMaxPos       = %ld\n", (long)a->keyMaxPos);
    zs_file_dump(log, "tmpFile", &a->tmpFile);
    zs_file_dump(log, "outFile", &a->outFile);
    zs_file_dump(log, "errFile", &a->errFile);

    zs_dump(log, "\n--- Input Files (arrInFile) ---\n");
    if (a->arrInFile != nullptr) {
        for (int32_t i = 0; i < a->inFileNums; i++) {
            zs_dump(log, "  [%ld]\n", (long)i);
            zs_file_dump(log, "InputFile", &a->arrInFile[i]);
        }
    } else {
        zs_dump(log, "  NULL\n");
    }

    zs_dump(log, "\n--- Sort Keys (arrSortKey) ---\n");
    if (a->arrSortKey != nullptr) {
        for (int32_t i = 0; i < a->keyNums; i++) {
            const SortKey& k = a->arrSortKey[i];
            zs_dump(log, "  [%ld] cmt=\"%s\", pos=%d, len=%d, type=%d, seq=%d\n", (long)i, zs_s(k.cmt), k.pos, k.len,
                    k.type, k.seq);
        }
    } else {
        zs_dump(log, "  NULL\n");
    }

    zs_dump(log, "\n--- CSV / Variable settings ---\n");
    zs_dump(log, "sep            = \"%s\" (len=%ld)\n", zs_s(a->sep), (long)a->sepLen);
    zs_dump(log, "delimiter      = \"%s\" (len=%ld)\n", zs_s(a->delimiter), (long)a->delimLen);
    zs_dump(log, "bHeader        = %ld\n", (long)a->bHeader);
    if (t.header != nullptr)
        zs_dump(log, "header         = \"%.*s\" (len=%ld)\n", (int)t.headerLen, t.header, (long)t.headerLen);
    else
        zs_dump(log, "header         = \"%s\" (len=%ld)\n", zs_s(nullptr), (long)t.headerLen);
    zs_dump(log, "quote          = '%c'\n", a->quote);
    zs_dump(log, "bNullLastOut   = %ld\n", (long)a->bNullLastOut);
    zs_dump(log, "\n================ End ArgsInfo ====================\n\n");
}

namespace {

void free_file(InputFile* f, bool nameIsOwned) {
    std::free(f->path);
    std::free(f->dir);
    if (nameIsOwned) std::free(f->fileName);
    f->path = f->dir = f->fileName = nullptr;
}

}  // namespace

void zs_args_free(ArgsInfo* a) {
    if (a == nullptr) return;
    free_file(&a->tmpFile, false);  // the temporary file name points into its path
    free_file(&a->outFile, true);
    free_file(&a->errFile, true);
    if (a->arrInFile != nullptr) {
        for (int32_t i = 0; i < a->inFileNums; i++) free_file(&a->arrInFile[i], true);
        std::free(a->arrInFile);
    }
    a->inFileNums = 0;
    if (a->arrSortKey != nullptr) {
        // Every key that -K created, also when -A or -R set the key count to 0.
        for (int32_t i = 0; i < a->keyAlloc; i++) std::free(a->arrSortKey[i].cmt);
        std::free(a->arrSortKey);
    }
    std::memset(a, 0, sizeof *a);
}
