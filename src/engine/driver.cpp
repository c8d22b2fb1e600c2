// The run driver: sequences one sort run from the command line to the end-of-run reset.
#include "engine/driver.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "base/msg.h"
#include "memory/pool.h"
#include "platform/platform.h"
#include "records/compare.h"
#include "records/records.h"
#include "settings/settings.h"
#include "sort/sort.h"
#include "sort/split.h"

namespace {

constexpr int64_t kDefaultPool = 64LL << 20;
constexpr int64_t kMinPool = 16LL << 20;
constexpr int64_t kIndexReserve = 1LL << 20;
constexpr int64_t kMergeShare = 4LL << 20;  // pool for each input of a merge: its load and its index
constexpr long kLargestPoolKb = 2097152;

int verbose_start_block() {
    // Standard error keeps this buffer after the run; it lives in the run state for good.
    if (setvbuf(stderr, nullptr, _IONBF, 0) != 0 ||
        setvbuf(stderr, zs_run.stderrBuf, _IOFBF, sizeof zs_run.stderrBuf) != 0) {
        ZS_MSG("☆ Failed to set stdout buffer!\n", "☆標準出力バッファの設定はできません！\n");
        return 1;
    }
    ZS_MSG_OUT("\n------------------------------------------------------------\n",
               "\n------------------------------------------------------------\n");
    ZS_MSG_OUT("Sort started. %s\n", "ソートが開始します。 %s\n", zs_timestamp());
    ZS_MSG_OUT("------------------------------------------------------------\n",
               "------------------------------------------------------------\n");
    fflush(zs_diag_stream());
    zs_run.startFirst = zs_plat_clock();
    return 0;
}

// Tries the fallback sizes after the first pool could not be created. 0 when a pool exists.
int pool_fallback() {
    ArgsInfo* a = &zs_args;
    int64_t failed = a->totalMemSize;
    a->bMemory = 0;
    ZS_MSG("☆ Failed to allocate [%ld]KB memory! Allocating default memory [%ld]KB.\n",
           "☆[%ld]KBメモリの割当は失敗しました！デフォルトなメモリ[%ld]KBを割当します。\n", zs_kb(failed),
           zs_kb(kDefaultPool));
    if (failed > kDefaultPool) {
        a->totalMemSize = (int32_t)kDefaultPool;
        zs_run.pool = zs_pool_create(a->totalMemSize);
        if (zs_run.pool != nullptr) return 0;
        ZS_MSG("☆ Failed to allocate [%ld]KB memory! Allocating minimum memory [%ld]KB.\n",
               "☆[%ld]KBメモリの割当は失敗しました！最小メモリ[%ld]KBを割当します。\n", zs_kb(kDefaultPool),
               zs_kb(kMinPool));
        a->totalMemSize = (int32_t)kMinPool;
        zs_run.pool = zs_pool_create(a->totalMemSize);
        if (zs_run.pool != nullptr) return 0;
        ZS_MSG("☆ Failed to allocate [%ld]KB memory, sorting cannot be performed!\n",
               "☆[%ld]KBメモリの割当は失敗しました、ソートできませんでした！\n", zs_kb(kMinPool));
        return 1;
    }
    if (failed < kMinPool) {
        ZS_MSG("☆ Cannot use memory smaller than minimum [%ld]KB! Allocating minimum memory [%ld]KB.\n",
               "☆最小メモリ[%ld]KBより小さいメモリの利用は出来ません！最小メモリ[%ld]KBを割当します。\n",
               zs_kb(failed), zs_kb(kMinPool));
        a->totalMemSize = (int32_t)kMinPool;
        zs_run.pool = zs_pool_create(a->totalMemSize);
        if (zs_run.pool != nullptr) return 0;
    }
    ZS_MSG_JP("☆[%ld]KBメモリの割当は失敗しました、ソートできませんでした！\n", zs_kb(kMinPool));
    return 1;
}

int switch_to_tmpfile_mode() {
    ArgsInfo* a = &zs_args;
    if (a->bMemory == 1) {
        ZS_MSG("☆ Insufficient memory, using temporary files for sorting.\n",
               "☆メモリ不足の為、一時ファイルを使用してソートします。\n");
        ZS_MSG("☆ Using default memory [%ld]KB.\n", "☆デフォルトなメモリ[%ld]KBを使用します。\n",
               zs_kb(a->totalMemSize));
        a->bMemory = 0;
    }
    return zs_tmpfile_mode();
}

int in_memory_mode() {
    ArgsInfo* a = &zs_args;
    ZS_VMSG("\n--- In-memory sort started.--- \n", "\n--- メモリ上でのソートは開始します。--- \n");
    char* buffer = static_cast<char*>(zs_qmalloc(zs_load_size()));
    if (buffer == nullptr) {
        ZS_MSG("☆ Failed to allocate [%ld]KB memory!\n", "☆[%ld]KBメモリの割当は失敗しました！\n",
               (long)(a->totalFileSize / 1024));
        a->totalMemSize = (int32_t)kDefaultPool;
        return switch_to_tmpfile_mode();
    }
    int32_t* fileEnds = static_cast<int32_t*>(zs_malloc(zs_run.pool, (int64_t)a->inFileNums * 4));
    if (fileEnds == nullptr) {
        ZS_MSG("☆ Failed to allocate [%ld]KB memory!\n", "☆[%ld]KBメモリの割当は失敗しました！\n",
               zs_kb((int64_t)a->inFileNums * 4));
        return 1;
    }
    zs_phase_begin();
    if (zs_load_input(buffer, fileEnds) != 0) return 1;
    if (zs_run.bVerbose) {
        zs_run.finish = zs_plat_clock();
        ZS_MSG("Input file reading took [%8.0f]ms.\n", "入力ファイルの読み込みがかかった[%8.0f]msです。\n",
               zs_ms(zs_run.phaseStart, zs_run.finish));
    }
    int rc = a->bStabilize == 1 ? zs_memsort_stable(buffer, a->totalFileSize, fileEnds, a->inFileNums)
                                : zs_memsort(buffer, a->totalFileSize, fileEnds, a->inFileNums);
    zs_free(zs_run.pool, fileEnds);
    if (rc != 0) return 1;
    ZS_VMSG("--- In-memory sort completed.--- \n", "--- メモリ上でのソートは終了しました。--- \n");
    return 0;
}

int merge_mode() {
    ZS_VMSG("\n--- File merge sort processing started.--- \n", "\n--- ファイルのマージソート処理は開始します。--- \n");
    if (zs_mergeFiles() != 0) {
        ZS_MSG("☆ File merge sort failed!\n", "☆ファイルのマージソートは失敗しました！\n");
        return 1;
    }
    ZS_VMSG("--- File merge sort processing completed.--- \n", "--- ファイルのマージソート処理は終了しました。--- \n");
    return 0;
}

int stdin_mode() {
    ZS_VMSG("\n--- Standard input sort processing started.--- \n", "\n--- 標準入力ソート処理は開始します。--- \n");
    if (zs_stdin() != 0) {
        ZS_MSG("☆ Standard input sort failed!\n", "☆標準入力のソートは失敗しました！\n");
        return 1;
    }
    ZS_VMSG("--- Standard input sort processing completed.--- \n", "--- 標準入力ソート処理は終了しました。--- \n");
    return 0;
}

// The counter report: one section per layout and one for the presorted merge, each listing the
// family members filed under it, then every equality test again.
constexpr const char* sectionTitles[] = {"\n---固定長---\n", "\n---可変長---\n", "\n---CSV---\n",
                                         "\n---ソート済みファイルのマージソート比較関数---\n"};

const char* kind_text(const ZsCmpInfo& m) {
    if (m.form == ZS_EQUAL) return "比較函数";
    return m.where == ZS_AT_UNIT ? "分割ソート比較函数" : "ソート比較函数";
}

void counter_line(int i) {
    const ZsCmpInfo& m = zs_cmp_family[i];
    ZS_MSG_JP("%s[%s]のコール回数は：%ld\n", kind_text(m), m.name, (long)zs_run.cmpCalls[i]);
}

void verbose_report() {
    for (int s = ZS_SEC_FIXED; s <= ZS_SEC_MERGE; s++) {
        ZS_MSG_JP("%s", sectionTitles[s]);
        for (int i = 0; i < ZS_CMP_COUNT; i++)
            if (zs_cmp_family[i].section == s) counter_line(i);
    }
    ZS_MSG_JP("%s", "\n---ユニック出力比較関数---\n");
    for (int i = 0; i < ZS_CMP_COUNT; i++)
        if (zs_cmp_family[i].form == ZS_EQUAL) counter_line(i);
    ZS_MSG("\nNumber of sorted records:  %ld\n", "\nソートされたレコード数:  %ld\n", (long)zs_args.totalRecNum);
    ZS_MSG_JP("%s", "\n------------------------------------------------------------\n");
    ZS_MSG("Sort completed successfully. %s \n", "ソートが正常終了しました。 %s \n", zs_timestamp());
    long finish = zs_run.finish = zs_plat_clock();
    long startFirst = zs_run.startFirst;
    ZS_MSG_JP("finish=%ld, startFirst=%ld, finish-startFirst=%ld, CLOCKS_PER_SEC=%ld, \n", finish, startFirst,
              finish - startFirst, 1000L);
    double x = (double)(finish - startFirst) / 1000.0;
    ZS_MSG("Sort took [%.0f]ms, [%.3f]s.\n", "ソートがかかった[%.0f]ms, [%.3f]sです。\n", x * 1000, x);
    ZS_MSG_JP("%s", "------------------------------------------------------------\n");
}

bool is_std_stream(FILE* f) { return f == stdin || f == stdout || f == stderr; }

void close_run_stream(FILE** f) {
    if (*f != nullptr && !is_std_stream(*f)) fclose(*f);
    *f = nullptr;
}

// Puts the error file and the output in place, now that every byte of both is written. 1 after
// printing which could not be.
int commit_outputs() {
    const ArgsInfo* a = &zs_args;
    if (zs_plat_out_commit(&zs_run.errStream) != 0) {
        ZS_MSG("☆ Cannot create error file [%s]!\n", "☆エラーファイル[%s]は作成できません！\n", zs_s(a->errFile.path));
        return 1;
    }
    if (zs_plat_out_commit(&zs_run.outStream) != 0) {
        ZS_MSG("☆ Cannot create output file [%s]!\n", "☆出力ファイル[%s]は作成できません！\n", zs_s(a->outFile.path));
        return 1;
    }
    return 0;
}

int fail_tail() {
    zs_remove_temp_file();  // never left behind by a run that returns
    ZS_MSG("\n☆ Sort failed. \n", "\n☆ソートは失敗しました。 \n");
    zs_run_reset();
    return 1;
}

int run(int argc, char** argv) {
    ArgsInfo* a = &zs_args;
    zs_plat_guard_std_fds();
    zs_getopt_reset();
    ZS_MSG_JP("%s", "☆ tesra start...\n");
    zs_run.processId = zs_plat_getpid();

    if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
        zs_print_usage();
        return 1;
    }

    bool done = false;
    int loaded = zs_args_load(a, argc, argv, &done);
    // Diagnostics meant for standard output must not mix with records written there.
    if (a->outFile.path == nullptr) zs_run.diag = stderr;
    // -Verbose is known only now: the start block and the opening lines follow the loading.
    if (zs_run.bVerbose) {
        if (verbose_start_block() != 0) {
            zs_run_reset();
            return 1;
        }
        ZS_MSG("\n--- Argument processing started.--- \n", "\n--- 引数処理は開始します。--- \n");
        ZS_MSG("\n--- Argument loading started.--- \n", "\n--- 引数の読み込み処理は開始します。--- \n");
    }
    if (loaded == 0 && done) {
        zs_run_reset();
        return 0;
    }
    if (loaded != 0) {
        ZS_MSG("☆ Command syntax error!\n", "☆コマンドの構文は誤りがあります！\n");
        zs_print_usage();
        return fail_tail();
    }
    if (zs_run.bVerbose) {
        zs_args_dump(a);
        ZS_MSG("\n--- Argument loading completed.--- \n", "\n--- 引数の読み込み処理は完成しました。。--- \n");
        ZS_MSG("\n--- Argument checking started.--- \n", "\n--- 引数のチェック処理は開始します。--- \n");
    }
    if (zs_args_check(a) != 0) {
        ZS_MSG("☆ Error occurred during argument processing!\n", "☆引数処理中にエラーが発生しました！\n");
        return fail_tail();
    }
    if (zs_run.bVerbose) {
        zs_args_dump(a);
        ZS_MSG("\n--- Argument checking completed.--- \n", "\n--- 引数のチェック処理は完成しました。--- \n");
        ZS_MSG("--- Argument processing completed.---\n", "--- 引数処理は完成しました。---\n");
        ZS_MSG("\n--- Memory pool processing started.--- \n", "\n--- メモリプール処理は開始します。--- \n");
    }

    a->totalMemSize = zs_pool_size();
    zs_run.pool = zs_pool_create(a->totalMemSize);
    if (zs_run.pool == nullptr && pool_fallback() != 0) return fail_tail();
    if (zs_run.bVerbose) {
        ZS_MSG("Memory pool size is [%ld]KB.\n", "メモリプールのサイズは[%ld]KBです。\n", zs_kb(a->totalMemSize));
        zs_pool_report(zs_run.pool);
        ZS_MSG("--- Memory pool processing completed.--- \n", "--- メモリプール処理は終了しました。--- \n");
    }

    PtrList* blockList = static_cast<PtrList*>(zs_malloc(zs_run.pool, sizeof(PtrList)));
    if (blockList == nullptr) {
        ZS_MSG("☆ Failed to allocate [%ld]KB memory!\n", "☆[%ld]KBメモリの割当は失敗しました！\n",
               zs_kb(sizeof(PtrList)));
        return fail_tail();
    }
    *blockList = PtrList{};
    zs_run.blockList = blockList;

    int rc;
    if (a->bMerge == 1)
        rc = merge_mode();
    else if (a->inFileNums > 0 && a->bMemory == 1)
        rc = in_memory_mode();
    else if (a->inFileNums > 0)
        rc = zs_tmpfile_mode();
    else
        rc = stdin_mode();
    // An interrupt seen before the outputs are in place fails the run: the caller raises
    // KeyboardInterrupt, which must not come with a success.
    if (rc != 0 || zs_interrupted_now() || zs_close_error_file() != 0 || commit_outputs() != 0)
        return fail_tail();

    if (zs_run.bVerbose) verbose_report();
    zs_run_reset();
    ZS_MSG_JP("%s", "☆ tesra end.\n");
    return 0;
}

// Pool bytes an in-memory sort of all inputs needs, from the records of a sample of the first file
// that holds any: the data, a newline code per file, the index of every record and the reserve.
int64_t sampled_need() {
    const ArgsInfo* a = &zs_args;
    constexpr int64_t kSample = 64 << 10;
    ZsSample sample{(double)(a->recLen > 0 ? a->recLen : 1), 1.0};
    for (int32_t f = 0; f < a->inFileNums && a->layout != ZS_FIXED; f++) {
        if (a->arrInFile[f].size == 0) continue;
        FILE* in = fopen(a->arrInFile[f].path, "rb");
        char* buf = static_cast<char*>(std::malloc(kSample));
        int64_t n = in != nullptr && buf != nullptr ? zs_plat_read(in, buf, kSample) : -1;
        if (n > 0) sample = zs_index_sample(buf, n);
        std::free(buf);
        if (in != nullptr) fclose(in);
        break;
    }
    int64_t total = a->totalFileSize;
    int64_t records =
        a->layout == ZS_FIXED ? a->totalRecNum : (int64_t)((double)total / sample.recordBytes) + a->inFileNums;
    return total + (int64_t)a->inFileNums * a->sepLen + records * zs_index_cost(sample.columns) + kIndexReserve;
}

}  // namespace

int zs_pool_size() {
    ArgsInfo* a = &zs_args;
    int64_t size;
    if (a->bMerge == 1 && a->totalMemSize == 0) {
        // A merge holds one load of every input, never the input itself: a few MB an input.
        size = (int64_t)a->inFileNums * kMergeShare + kIndexReserve;
    } else if (a->totalFileSize == 0) {
        // Empty input files fit any pool: they are sorted in memory, also under -W.
        if (a->inFileNums > 0) a->bMemory = 1;
        if (a->totalMemSize == 0) return (int)kDefaultPool;
        size = a->totalMemSize;
    } else {
        // Computed in 64 bits: an estimate above the 32-bit range must not wrap to a small size.
        int64_t total = a->totalFileSize;
        int64_t index = a->layout == ZS_FIXED ? (int64_t)a->totalRecNum * 8
                        : a->layout == ZS_CSV ? (a->keyNums <= 0 ? total : total / 2)
                                              : total / 4;
        int64_t needed = total + (a->bStabilize ? 2 * index : index) + kIndexReserve;
        // The pool must also hold the index the records really need: short records need more
        // than the rule above allows for, and an index outside the pool would escape -W.
        if (a->totalMemSize == 0 || needed <= a->totalMemSize) {
            int64_t sampled = sampled_need();
            if (sampled > needed) needed = sampled;
        }
        if (a->totalMemSize != 0 && needed > a->totalMemSize) {
            size = a->totalMemSize;
            a->bMemory = 0;
        } else {
            size = needed;
            a->bMemory = 1;
        }
    }
    if (size > INT32_MAX) {
        ZS_VMSG_JP("最大メモリサイズ[%ld]KBを超えたので、デフォルトメモリサイズを使用する。\n", kLargestPoolKb);
        a->bMemory = 0;
        return (int)kDefaultPool;
    }
    if (size >= kMinPool) return (int)size;
    ZS_VMSG_JP("最小メモリサイズ[%ld]KBを使用する。\n", zs_kb(kMinPool));
    return (int)kMinPool;
}

void zs_run_reset() {
    ArgsInfo* a = &zs_args;
    // Outputs not committed are removed: the files they would replace keep their content.
    zs_plat_out_abort(&zs_run.outStream);
    zs_plat_out_abort(&zs_run.errStream);
    close_run_stream(&zs_run.tmpStream);
    if (zs_run.bTmpCreated) zs_plat_unlink(a->tmpFile.path);
    close_run_stream(&a->outFile.file);
    for (int32_t i = 0; a->arrInFile != nullptr && i < a->inFileNums; i++) close_run_stream(&a->arrInFile[i].file);
    zs_args_free(a);
    // Every block of the run, index stores and block records included, goes with the pool.
    zs_list_destroy(zs_run.blockList);
    zs_pool_destroy(zs_run.pool);
    zs_getopt_reset();
    // A later run in the same process is verbose only when it asks to be.
    zs_run_clear();
}

int tesra_main(int argc, char** argv) {
    int rc = run(argc, argv);
    fflush(stdout);
    fflush(stderr);
    return rc;
}
