// Sorting through a temporary file, for input files that do not fit the pool.
#include "base/msg.h"
#include "engine/driver.h"

// Not part of this version yet: the run fails instead of writing an incomplete output.
int zs_tmpfile_mode() {
    ZS_MSG("☆ Sorting through temporary files is not available in this version!\n",
           "☆一時ファイルによるソートはこのバージョンでは利用できません！\n");
    return 1;
}
