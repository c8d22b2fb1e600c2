#include "base/log.h"

#include "base/msg.h"
#include "base/parallel.h"
#include "platform/platform.h"

namespace {

void stop(ZsLog& log) {
    if (log.bInterrupted) return;
    log.bInterrupted = 1;
    __atomic_store_n(&log.stopWorkers, 1, __ATOMIC_RELEASE);
    ZS_MSG(log, "\n☆ Sort interrupted!\n", "\n☆ソートは中断されました！\n");
}

// Tells the host how far the phase is; its wish to stop is an interrupt.
void report(ZsLog& log, ZsSize done) {
    if (log.phaseTotal > 0 && done > log.phaseTotal) done = log.phaseTotal;
    if (log.progress.report(log.progress.user, log.phase, done, log.phaseTotal) != 0) stop(log);
}

bool poll(ZsLog& log, bool withProgress) {
    if (zs_on_worker()) return __atomic_load_n(&log.stopWorkers, __ATOMIC_ACQUIRE) != 0;
    if (log.bInterrupted) return true;
    const bool reporting = withProgress && log.progress.report != nullptr && log.phase != nullptr;
    if (log.interrupt.ask == nullptr && !reporting) return false;
    long now = zs_plat_clock();
    if (log.lastInterruptCheck != 0 && now - log.lastInterruptCheck < ZS_INTERRUPT_POLL_MS) return false;
    log.lastInterruptCheck = now != 0 ? now : 1;
    if (log.interrupt.ask != nullptr && log.interrupt.ask(log.interrupt.user) != 0) stop(log);
    if (reporting && !log.bInterrupted) report(log, log.phaseDone);
    return log.bInterrupted != 0;
}

}  // namespace

bool zs_interrupted(ZsLog& log) { return poll(log, true); }

bool zs_interrupted_now(ZsLog& log) {
    log.lastInterruptCheck = 0;
    return poll(log, false);
}

void zs_progress_start(ZsLog& log, const char* phase, ZsSize total) {
    ZS_ASSERT(phase != nullptr && total >= 0);
    log.phase = phase;
    log.phaseDone = 0;
    log.phaseTotal = total;
}

void zs_progress_end(ZsLog& log) {
    if (log.phase == nullptr) return;
    if (log.progress.report != nullptr && !log.bInterrupted)
        report(log, log.phaseTotal > 0 ? log.phaseTotal : log.phaseDone);
    log.phase = nullptr;
}
