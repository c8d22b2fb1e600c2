#include "base/log.h"

#include "base/msg.h"
#include "platform/platform.h"

bool zs_interrupted(ZsLog& log) {
    if (log.bInterrupted) return true;
    if (log.interrupt.ask == nullptr) return false;
    long now = zs_plat_clock();
    if (log.lastInterruptCheck != 0 && now - log.lastInterruptCheck < ZS_INTERRUPT_POLL_MS) return false;
    log.lastInterruptCheck = now != 0 ? now : 1;
    if (log.interrupt.ask(log.interrupt.user) != 0) {
        log.bInterrupted = 1;
        ZS_MSG(log, "\n☆ Sort interrupted!\n", "\n☆ソートは中断されました！\n");
    }
    return log.bInterrupted != 0;
}

bool zs_interrupted_now(ZsLog& log) {
    log.lastInterruptCheck = 0;
    return zs_interrupted(log);
}
