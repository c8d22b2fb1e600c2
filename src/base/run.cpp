#include "base/run.h"

#include <cstring>

#include "base/msg.h"
#include "platform/platform.h"

ZsRun zs_run;

namespace {
ZsInterruptCheck interruptCheck;
}

void zs_run_clear() { std::memset(&zs_run, 0, offsetof(ZsRun, stderrBuf)); }

void zs_set_interrupt_check(ZsInterruptCheck check) { interruptCheck = check; }

bool zs_interrupted() {
    if (zs_run.bInterrupted) return true;
    if (interruptCheck == nullptr) return false;
    long now = zs_plat_clock();
    if (zs_run.lastInterruptCheck != 0 && now - zs_run.lastInterruptCheck < ZS_INTERRUPT_POLL_MS) return false;
    zs_run.lastInterruptCheck = now != 0 ? now : 1;
    if (interruptCheck() != 0) {
        zs_run.bInterrupted = 1;
        ZS_MSG("\n☆ Sort interrupted!\n", "\n☆ソートは中断されました！\n");
    }
    return zs_run.bInterrupted != 0;
}

bool zs_interrupted_now() {
    zs_run.lastInterruptCheck = 0;
    return zs_interrupted();
}
