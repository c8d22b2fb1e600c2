// Sort of standard input.
#include "base/msg.h"
#include "sort/sort.h"

// Not part of this version yet: the run fails instead of writing an incomplete output.
int zs_stdin() {
    ZS_MSG("☆ Sorting standard input is not available in this version!\n",
           "☆標準入力のソートはこのバージョンでは利用できません！\n");
    return 1;
}
