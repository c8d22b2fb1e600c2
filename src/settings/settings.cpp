// The settings record, its dump and its release.
#include "settings/settings.h"

#include <cstdlib>
#include <cstring>

#include "base/msg.h"

ArgsInfo zs_args;

void zs_file_dump(const char* label, const InputFile* f) {
    zs_dump("\n--- %s ---\n", zs_s(label));
    if (f == nullptr) {
        zs_dump("  (null)\n");
        return;
    }
    zs_dump("  path          = %s\n", zs_s(f->path));
    zs_dump("  dir           = %s\n", zs_s(f->dir));
    zs_dump("  fileName      = %s\n", zs_s(f->fileName));
    zs_dump("  size          = %ld\n", (long)f->size);
    zs_dump("  outSize       = %ld\n", (long)f->outSize);
    zs_dump("  file          = %p\n", (void*)f->file);
    zs_dump("  outBuf        = %p\n", (void*)f->outBuf);
    zs_dump("  outBufSize    = %ld\n", (long)f->outBufSize);
    zs_dump("  outBufOffset  = %ld\n", (long)f->outBufOffset);
    zs_dump("  unitDataInfo  = %p\n", (void*)f->unitDataInfo);
}

void zs_args_dump(const ArgsInfo* a) {
    if (a == nullptr) {
        zs_dump("ArgsInfo = NULL\n");
        return;
    }
    static constexpr const char* blockFormats[10] = {
        "bMerge          = %ld\n", "bCsv            = %ld\n", "bMemory         = %ld\n",
        "bFixVar         = %ld\n", "bStabilize      = %ld\n", "bUnique         = %ld\n",
        "recLen          = %ld\n", "maxRecLen       = %ld\n", "maxCsvNum       = %ld\n",
        "totalMemSize    = %ld\n",
    };
    const int32_t blockValues[10] = {a->bMerge, a->bCsv,   a->bMemory,   a->bFixVar,    a->bStabilize,
                                     a->bUnique, a->recLen, a->maxRecLen, a->maxCsvNum, a->totalMemSize};

    zs_dump("\n==================== ArgsInfo ====================\n");
    for (int i = 0; i < 10; i++) zs_raw(zs_diag_stream(), blockFormats[i], (long)blockValues[i]);
    zs_dump("inFileNums      = %ld\n", (long)a->inFileNums);
    zs_dump("totalFileSize   = %ld\n", (long)a->totalFileSize);
    zs_dump("totalRecNum     = %ld\n", (long)a->totalRecNum);
    zs_dump("bRecSort        = %ld\n", (long)a->bRecSort);
    zs_dump("keyNums         = %ld\n", (long)a->keyNums);
    zs_dump("keyMaxPos       = %ld\n", (long)a->keyMaxPos);
    zs_file_dump("tmpFile", &a->tmpFile);
    zs_file_dump("outFile", &a->outFile);
    zs_file_dump("errFile", &a->errFile);

    zs_dump("\n--- Input Files (arrInFile) ---\n");
    if (a->arrInFile != nullptr) {
        for (int32_t i = 0; i < a->inFileNums; i++) {
            zs_dump("  [%ld]\n", (long)i);
            zs_file_dump("InputFile", &a->arrInFile[i]);
        }
    } else {
        zs_dump("  NULL\n");
    }

    zs_dump("\n--- Sort Keys (arrSortKey) ---\n");
    if (a->arrSortKey != nullptr) {
        for (int32_t i = 0; i < a->keyNums; i++) {
            const SortKey& k = a->arrSortKey[i];
            zs_dump("  [%ld] cmt=\"%s\", pos=%d, len=%d, type=%d, seq=%d\n", (long)i, zs_s(k.cmt), k.pos, k.len,
                    k.type, k.seq);
        }
    } else {
        zs_dump("  NULL\n");
    }

    zs_dump("\n--- CSV / Variable settings ---\n");
    zs_dump("sep            = \"%s\" (len=%ld)\n", zs_s(a->sep), (long)a->sepLen);
    zs_dump("delimiter      = \"%s\" (len=%ld)\n", zs_s(a->delimiter), (long)a->delimLen);
    zs_dump("bHeader        = %ld\n", (long)a->bHeader);
    if (a->header != nullptr)
        zs_dump("header         = \"%.*s\" (len=%ld)\n", (int)a->headerLen, a->header, (long)a->headerLen);
    else
        zs_dump("header         = \"%s\" (len=%ld)\n", zs_s(nullptr), (long)a->headerLen);
    zs_dump("quote          = '%c'\n", a->quote);
    zs_dump("bNullLastOut   = %ld\n", (long)a->bNullLastOut);
    zs_dump("\n================ End ArgsInfo ====================\n\n");
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
    a->outFile.outBuf = nullptr;  // pool memory, released with the pool
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
