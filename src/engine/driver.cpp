// The run driver: sequences one sort run from the command line to the release of what it took.
#include "engine/driver.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <pthread.h>

#include "base/msg.h"
#include "base/parallel.h"
#include "memory/pool.h"
#include "platform/platform.h"
#include "records/compare.h"
#include "records/records.h"
#include "settings/settings.h"
#include "sort/sort.h"
#include "sort/split.h"

namespace {

constexpr ZsSize kDefaultPool = 64LL << 20;
constexpr ZsSize kMinPool = 16LL << 20;
constexpr ZsSize kIndexReserve = 1LL << 20;
constexpr ZsSize kMergeShare = 4LL << 20;  // pool for each input of a merge: its load and its index

// Standard input and output belong to the process: one run at a time reads or writes records
// there. A child forked while a run held the lock gets it free (the run is not in the child).
pthread_mutex_t stdStreamsLock = PTHREAD_MUTEX_INITIALIZER;
void std_streams_lock_reset() { pthread_mutex_init(&stdStreamsLock, nullptr); }
const int forkHandlerSet = pthread_atfork(nullptr, nullptr, std_streams_lock_reset);

int verbose_start_block(ZsRun& r) {
    // Standard error keeps this buffer after the run: it belongs to the stream.
    if (setvbuf(stderr, nullptr, _IONBF, 0) != 0 || setvbuf(stderr, zs_stderr_buffer(), _IOFBF, ZS_STDERR_BUF) != 0) {
        ZS_MSG(r, "☆ Failed to set stdout buffer!\n", "☆標準出力バッファの設定はできません！\n");
        return 1;
    }
    ZS_MSG_OUT(r, "\n------------------------------------------------------------\n",
               "\n------------------------------------------------------------\n");
    ZS_MSG_OUT(r, "Sort started. %s\n", "ソートが開始します。 %s\n", zs_timestamp(r));
    ZS_MSG_OUT(r, "------------------------------------------------------------\n",
               "------------------------------------------------------------\n");
    fflush(zs_diag_stream(r));
    r.startFirst = zs_plat_clock();
    return 0;
}

// Tries the fallback sizes after the first pool could not be created. 0 when a pool exists.
int pool_fallback(ZsRun& r) {
    ZsTotals& t = r.totals;
    const ZsSize failed = t.totalMemSize;
    t.bMemory = 0;
    ZS_NOTE(r, "☆ Failed to allocate [%ld]KB memory! Allocating default memory [%ld]KB.\n",
            "☆[%ld]KBメモリの割当は失敗しました！デフォルトなメモリ[%ld]KBを割当します。\n", zs_kb(failed),
            zs_kb(kDefaultPool));
    if (failed > kDefaultPool) {
        t.totalMemSize = kDefaultPool;
        r.pool = zs_pool_create(t.totalMemSize, &r);
        if (r.pool != nullptr) return 0;
        ZS_NOTE(r, "☆ Failed to allocate [%ld]KB memory! Allocating minimum memory [%ld]KB.\n",
                "☆[%ld]KBメモリの割当は失敗しました！最小メモリ[%ld]KBを割当します。\n", zs_kb(kDefaultPool),
                zs_kb(kMinPool));
        t.totalMemSize = kMinPool;
        r.pool = zs_pool_create(t.totalMemSize, &r);
        if (r.pool != nullptr) return 0;
        ZS_MSG(r, "☆ Failed to allocate [%ld]KB memory, sorting cannot be performed!\n",
               "☆[%ld]KBメモリの割当は失敗しました、ソートできませんでした！\n", zs_kb(kMinPool));
        return 1;
    }
    if (failed < kMinPool) {
        ZS_NOTE(r, "☆ Cannot use memory smaller than minimum [%ld]KB! Allocating minimum memory [%ld]KB.\n",
                "☆最小メモリ[%ld]KBより小さいメモリの利用は出来ません！最小メモリ[%ld]KBを割当します。\n",
                zs_kb(failed), zs_kb(kMinPool));
        t.totalMemSize = kMinPool;
        r.pool = zs_pool_create(t.totalMemSize, &r);
        if (r.pool != nullptr) return 0;
    }
    ZS_MSG_JP(r, "☆[%ld]KBメモリの割当は失敗しました、ソートできませんでした！\n", zs_kb(kMinPool));
    return 1;
}

int switch_to_tmpfile_mode(ZsRun& r) {
    ZsTotals& t = r.totals;
    r.mode = "temporary file";
    if (t.bMemory == 1) {
        ZS_NOTE(r, "☆ Insufficient memory, using temporary files for sorting.\n",
                "☆メモリ不足の為、一時ファイルを使用してソートします。\n");
        ZS_NOTE(r, "☆ Using default memory [%ld]KB.\n", "☆デフォルトなメモリ[%ld]KBを使用します。\n",
                zs_kb(t.totalMemSize));
        t.bMemory = 0;
    }
    return zs_tmpfile_mode(r);
}

int in_memory_mode(ZsRun& r) {
    const ArgsInfo& a = *r.args;
    ZsTotals& t = r.totals;
    r.mode = "memory";
    ZS_VMSG(r, "\n--- In-memory sort started.--- \n", "\n--- メモリ上でのソートは開始します。--- \n");
    char* buffer = static_cast<char*>(zs_qmalloc(r.pool, zs_load_size(r)));
    if (buffer == nullptr) {
        // Not a failure yet: the temporary file takes over.
        ZS_NOTE(r, "☆ Failed to allocate [%ld]KB memory!\n", "☆[%ld]KBメモリの割当は失敗しました！\n",
                (long)(t.totalFileSize / 1024));
        t.totalMemSize = kDefaultPool;
        return switch_to_tmpfile_mode(r);
    }
    const ZsSize endsBytes = (ZsSize)a.inFileNums * (ZsSize)sizeof(ZsSize);
    ZsSize* fileEnds = static_cast<ZsSize*>(zs_malloc(r.pool, endsBytes));
    if (fileEnds == nullptr) {
        ZS_MSG(r, "☆ Failed to allocate [%ld]KB memory!\n", "☆[%ld]KBメモリの割当は失敗しました！\n", zs_kb(endsBytes));
        return 1;
    }
    zs_phase_begin(r);
    zs_progress_start(r, "read", t.totalFileSize);
    if (zs_load_input(r, buffer, fileEnds) != 0) return 1;
    zs_progress_end(r);
    if (r.bVerbose) {
        r.finish = zs_plat_clock();
        ZS_MSG(r, "Input file reading took [%8.0f]ms.\n", "入力ファイルの読み込みがかかった[%8.0f]msです。\n",
               zs_ms(r.phaseStart, r.finish));
    }
    int rc = a.bStabilize == 1 ? zs_memsort_stable(r, buffer, t.totalFileSize, fileEnds, a.inFileNums)
                               : zs_memsort(r, buffer, t.totalFileSize, fileEnds, a.inFileNums);
    zs_free(r.pool, fileEnds);
    if (rc != 0) return 1;
    ZS_VMSG(r, "--- In-memory sort completed.--- \n", "--- メモリ上でのソートは終了しました。--- \n");
    return 0;
}

int merge_mode(ZsRun& r) {
    r.mode = "merge";
    ZS_VMSG(r, "\n--- File merge sort processing started.--- \n", "\n--- ファイルのマージソート処理は開始します。--- \n");
    // Bytes of the inputs read; a pipe or FIFO among them leaves the total unknown.
    zs_progress_start(r, "merge", r.totals.bStreams ? 0 : r.totals.totalFileSize);
    if (zs_mergeFiles(r) != 0) {
        ZS_MSG(r, "☆ File merge sort failed!\n", "☆ファイルのマージソートは失敗しました！\n");
        return 1;
    }
    zs_progress_end(r);
    ZS_VMSG(r, "--- File merge sort processing completed.--- \n", "--- ファイルのマージソート処理は終了しました。--- \n");
    return 0;
}

int stdin_mode(ZsRun& r) {
    r.mode = "standard input";
    ZS_VMSG(r, "\n--- Standard input sort processing started.--- \n", "\n--- 標準入力ソート処理は開始します。--- \n");
    if (zs_stdin(r) != 0) {
        ZS_MSG(r, "☆ Standard input sort failed!\n", "☆標準入力のソートは失敗しました！\n");
        return 1;
    }
    ZS_VMSG(r, "--- Standard input sort processing completed.--- \n", "--- 標準入力ソート処理は終了しました。--- \n");
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

void counter_line(ZsRun& r, int i) {
    const ZsCmpInfo& m = zs_cmp_family[i];
    ZS_NOTE_JP(r, "%s[%s]のコール回数は：%ld\n", kind_text(m), m.name, (long)r.cmpCalls[i]);
}

void verbose_report(ZsRun& r) {
    for (int s = ZS_SEC_FIXED; s <= ZS_SEC_MERGE; s++) {
        ZS_NOTE_JP(r, "%s", sectionTitles[s]);
        for (int i = 0; i < ZS_CMP_COUNT; i++)
            if (zs_cmp_family[i].section == s) counter_line(r, i);
    }
    ZS_NOTE_JP(r, "%s", "\n---ユニック出力比較関数---\n");
    for (int i = 0; i < ZS_CMP_COUNT; i++)
        if (zs_cmp_family[i].form == ZS_EQUAL) counter_line(r, i);
    ZS_NOTE(r, "\nNumber of sorted records:  %ld\n", "\nソートされたレコード数:  %ld\n", (long)r.totals.totalRecNum);
    ZS_NOTE_JP(r, "%s", "\n------------------------------------------------------------\n");
    ZS_NOTE(r, "Sort completed successfully. %s \n", "ソートが正常終了しました。 %s \n", zs_timestamp(r));
    long finish = r.finish = zs_plat_clock();
    long startFirst = r.startFirst;
    ZS_NOTE_JP(r, "finish=%ld, startFirst=%ld, finish-startFirst=%ld, CLOCKS_PER_SEC=%ld, \n", finish, startFirst,
               finish - startFirst, 1000L);
    double x = (double)(finish - startFirst) / 1000.0;
    ZS_NOTE(r, "Sort took [%.0f]ms, [%.3f]s.\n", "ソートがかかった[%.0f]ms, [%.3f]sです。\n", x * 1000, x);
    ZS_NOTE_JP(r, "%s", "------------------------------------------------------------\n");
}

// Puts the error file and the output in place, now that every byte of both is written. 1 after
// printing which could not be.
int commit_outputs(ZsRun& r) {
    const ArgsInfo& a = *r.args;
    if (zs_plat_out_commit(&r.errStream) != 0) {
        ZS_MSG(r, "☆ Cannot create error file [%s]!\n", "☆エラーファイル[%s]は作成できません！\n", zs_s(a.errFile.path));
        return 1;
    }
    if (zs_plat_out_commit(&r.outStream) != 0) {
        ZS_MSG(r, "☆ Cannot create output file [%s]!\n", "☆出力ファイル[%s]は作成できません！\n", zs_s(a.outFile.path));
        return 1;
    }
    return 0;
}

int fail_tail(ZsRun& r) {
    zs_temp_close(r);  // gone before the run says it failed
    ZS_NOTE(r, "\n☆ Sort failed. \n", "\n☆ソートは失敗しました。 \n");
    return 1;
}

// The sort itself, once the settings are checked: the pool, then the mode.
int sort_phase(ZsRun& r) {
    ZsTotals& t = r.totals;
    const ArgsInfo& a = *r.args;
    t.totalMemSize = zs_pool_size(r);
    r.pool = zs_pool_create(t.totalMemSize, &r);
    if (r.pool == nullptr && pool_fallback(r) != 0) return 1;
    if (r.bVerbose) {
        ZS_MSG(r, "Memory pool size is [%ld]KB.\n", "メモリプールのサイズは[%ld]KBです。\n", zs_kb(t.totalMemSize));
        zs_pool_report(r.pool);
        ZS_MSG(r, "--- Memory pool processing completed.--- \n", "--- メモリプール処理は終了しました。--- \n");
    }

    PtrList* blocks = static_cast<PtrList*>(zs_malloc(r.pool, sizeof(PtrList)));
    if (blocks == nullptr) {
        ZS_MSG(r, "☆ Failed to allocate [%ld]KB memory!\n", "☆[%ld]KBメモリの割当は失敗しました！\n",
               zs_kb(sizeof(PtrList)));
        return 1;
    }
    *blocks = PtrList{};
    r.tmp.blocks = blocks;

    int rc;
    if (a.bMerge == 1)
        rc = merge_mode(r);
    else if (a.inFileNums > 0 && t.bMemory == 1)
        rc = in_memory_mode(r);
    else if (a.inFileNums > 0)
        rc = switch_to_tmpfile_mode(r);
    else
        rc = stdin_mode(r);
    // An interrupt seen before the outputs are in place fails the run: the caller raises
    // KeyboardInterrupt, which must not come with a success.
    if (rc != 0 || zs_interrupted_now(r) || zs_close_error_file(r) != 0 || commit_outputs(r) != 0) return 1;
    return 0;
}

// A run that reads the process's standard input or writes its records to its standard output.
bool uses_std_streams(const ZsRun& r) {
    const ArgsInfo& a = *r.args;
    return (a.outFile.path == nullptr && zs_std_out(r) == stdout) ||
           (a.inFileNums == 0 && a.bMerge != 1 && zs_std_in(r) == stdin);
}

int run(ZsRun& r, int argc, char** argv, bool quiet) {
    ArgsInfo* a = &r.settings;
    zs_plat_guard_std_fds();
    if (!quiet) ZS_NOTE_JP(r, "%s", "☆ tesra start...\n");
    r.processId = zs_plat_getpid();

    if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
        zs_print_usage(r);
        return 1;
    }

    bool done = false;
    int loaded = zs_args_load(r, a, argc, argv, &done);
    r.totals.totalMemSize = a->totalMemSize;
    // Diagnostics meant for standard output must not mix with records written there.
    if (a->outFile.path == nullptr) r.diag = stderr;
    // -Verbose is known only now: the start block and the opening lines follow the loading.
    if (r.bVerbose) {
        if (verbose_start_block(r) != 0) return 1;
        ZS_MSG(r, "\n--- Argument processing started.--- \n", "\n--- 引数処理は開始します。--- \n");
        ZS_MSG(r, "\n--- Argument loading started.--- \n", "\n--- 引数の読み込み処理は開始します。--- \n");
    }
    if (loaded == 0 && done) return 0;
    if (loaded != 0) {
        ZS_MSG(r, "☆ Command syntax error!\n", "☆コマンドの構文は誤りがあります！\n");
        zs_print_usage(r);
        return fail_tail(r);
    }
    if (r.bVerbose) {
        zs_args_dump(r, a, &r.totals);
        ZS_MSG(r, "\n--- Argument loading completed.--- \n", "\n--- 引数の読み込み処理は完成しました。。--- \n");
        ZS_MSG(r, "\n--- Argument checking started.--- \n", "\n--- 引数のチェック処理は開始します。--- \n");
    }
    if (zs_args_check(r, a, &r.totals) != 0) {
        ZS_MSG(r, "☆ Error occurred during argument processing!\n", "☆引数処理中にエラーが発生しました！\n");
        return fail_tail(r);
    }
    r.args = a;  // read-only from here on
    if (r.bVerbose) {
        zs_args_dump(r, r.args, &r.totals);
        ZS_MSG(r, "\n--- Argument checking completed.--- \n", "\n--- 引数のチェック処理は完成しました。--- \n");
        ZS_MSG(r, "--- Argument processing completed.---\n", "--- 引数処理は完成しました。---\n");
        ZS_MSG(r, "\n--- Memory pool processing started.--- \n", "\n--- メモリプール処理は開始します。--- \n");
    }

    const bool stdStreams = uses_std_streams(r);
    if (stdStreams) pthread_mutex_lock(&stdStreamsLock);
    int rc = sort_phase(r);
    if (rc == 0 && r.bVerbose) verbose_report(r);
    if (rc != 0) fail_tail(r);
    // Standard output is flushed before another run may write there.
    if (stdStreams) {
        fflush(stdout);
        pthread_mutex_unlock(&stdStreamsLock);
    }
    if (rc != 0) return 1;
    if (!quiet) ZS_NOTE_JP(r, "%s", "☆ tesra end.\n");
    return 0;
}

// Pool bytes an in-memory sort of all inputs needs, from the records of a sample of the first file
// that holds any: the data, a newline code per file, the index of every record and the reserve.
ZsSize sampled_need(ZsRun& r) {
    const ArgsInfo& a = *r.args;
    const ZsTotals& t = r.totals;
    const ZsSize total = t.totalFileSize;
    const ZsSize loaded = total + (ZsSize)a.inFileNums * a.sepLen;
    const ZsInputSample s = zs_sample_files(r, loaded);
    const ZsSize records = a.layout == ZS_FIXED ? t.totalRecNum : (ZsSize)((double)total / s.recordBytes) + a.inFileNums;
    return loaded + records * s.perRecord + kIndexReserve;
}

}  // namespace

ZsPoolPlan zs_pool_plan(ZsSize need, ZsSize limit, ZsSize budget) {
    if (limit == 0) limit = budget > 0 ? budget : kDefaultPool;
    if (need >= 0 && need <= limit) return ZsPoolPlan{need, true};
    return ZsPoolPlan{limit, false};
}

ZsSize zs_pool_budget() { return zs_plat_memory_limit() / 2; }

ZsSize zs_pool_size(ZsRun& r) {
    const ArgsInfo& a = *r.args;
    ZsTotals& t = r.totals;
    ZsSize size;
    if (a.bMerge == 1 && t.totalMemSize == 0) {
        // A merge holds one load of every input, never the input itself: a few MB an input.
        size = (ZsSize)a.inFileNums * kMergeShare + kIndexReserve;
    } else if (a.inFileNums == 0 || t.bStreams) {
        // Standard input, a pipe or a FIFO: the size is known only once it is read, through the
        // split sort, whose first load is as large as the budget allows (a stream that ends in it
        // is sorted in memory). The pool's pages are touched only as the data fills them.
        const ZsPoolPlan plan = zs_pool_plan(-1, t.totalMemSize, zs_pool_budget());
        t.bMemory = 0;
        size = plan.size;
    } else if (t.totalFileSize == 0) {
        // Empty input files fit any pool: they are sorted in memory, also under -W.
        t.bMemory = 1;
        if (t.totalMemSize == 0) return kDefaultPool;
        size = t.totalMemSize;
    } else {
        const ZsSize total = t.totalFileSize;
        const ZsSize index = a.layout == ZS_FIXED ? t.totalRecNum * 8
                             : a.layout == ZS_CSV ? (a.keyNums <= 0 ? total : total / 2)
                                                  : total / 4;
        ZsSize needed = total + (a.bStabilize ? 2 * index : index) + kIndexReserve;
        // The pool must also hold the index the records really need: short records need more
        // than the rule above allows for, and an index outside the pool would escape -W.
        if (t.totalMemSize == 0 || needed <= t.totalMemSize) {
            const ZsSize sampled = sampled_need(r);
            if (sampled > needed) needed = sampled;
        }
        // Without -W the need is taken while it is at most the budget (half of the memory the
        // process may have); beyond it the temporary file sorts with a pool of the budget.
        const ZsPoolPlan plan = zs_pool_plan(needed, t.totalMemSize, t.totalMemSize == 0 ? zs_pool_budget() : 0);
        size = plan.size;
        t.bMemory = plan.inMemory ? 1 : 0;
    }
    if (size >= kMinPool) return size;
    ZS_VMSG_JP(r, "最小メモリサイズ[%ld]KBを使用する。\n", zs_kb(kMinPool));
    return kMinPool;
}

void zs_run_release(ZsRun& r) {
    // Outputs not committed are removed: the files they would replace keep their content.
    zs_plat_out_abort(&r.outStream);
    zs_plat_out_abort(&r.errStream);
    zs_temp_close(r);
    zs_args_free(&r.settings);
    r.args = nullptr;
    // Every block of the run, index stores and block records included, goes with the pool.
    zs_list_destroy(r.pool, r.tmp.blocks);
    r.tmp.blocks = nullptr;
    zs_pool_discard(r.pool, r.threads);
    zs_pool_destroy(r.pool);
    r.pool = nullptr;
}

int tesra_run(int argc, char** argv, ZsHost* host) {
    (void)forkHandlerSet;
    const long started = zs_plat_clock();
    const ZsHost defaults{};
    const ZsHost& h = host != nullptr ? *host : defaults;
    // The context is large (the run's stream buffers): it lives on the heap, zeroed.
    ZsRun* r = static_cast<ZsRun*>(std::calloc(1, sizeof(ZsRun)));
    if (r == nullptr) {
        // Said through a log of its own, as any failure of the run.
        ZsLog log{};
        log.console = h.console;
        ZS_MSG(log, "☆ Failed to allocate [%ld]KB memory!\n", "☆[%ld]KBメモリの割当は失敗しました！\n", zs_kb(sizeof(ZsRun)));
        ZS_NOTE(log, "\n☆ Sort failed. \n", "\n☆ソートは失敗しました。 \n");
        if (host != nullptr && host->failure != nullptr && host->failureCap > 0)
            snprintf(host->failure, host->failureCap, "%s", zs_failure_text(log));
        return 1;
    }
    r->interrupt = h.interrupt;
    r->console = h.console;
    r->progress = h.progress;
    r->stdIn = h.in;
    r->stdOut = h.out;
    r->parallelMin = zs_parallel_min_from_env(std::getenv("TESRA_PARALLEL_MIN"));
    r->threads = h.threads > 0 ? (h.threads < ZS_MAX_THREADS ? h.threads : ZS_MAX_THREADS) : zs_default_threads();
    int rc = run(*r, argc, argv, h.quiet);
    zs_run_release(*r);
    if (host != nullptr) {
        if (host->failure != nullptr && host->failureCap > 0)
            snprintf(host->failure, host->failureCap, "%s", rc != 0 ? zs_failure_text(*r) : "");
        const ZsTotals& t = r->totals;
        host->stats = ZsRunStats{t.outRecNum, t.errRecNum, t.dupRecNum, r->mode,
                                 (double)(zs_plat_clock() - started) / 1000.0};
    }
    std::free(r);
    fflush(stdout);
    fflush(stderr);
    return rc;
}

int tesra_main(int argc, char** argv) { return tesra_run(argc, argv, nullptr); }
