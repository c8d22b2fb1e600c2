// Sorting through a temporary file, for input files that do not fit the pool.
#include "engine/driver.h"
#include "engine/msg.h"

// The split sort and the merge of its blocks are not part of this version yet; a run that
// needs them fails instead of writing an incomplete output.
int zs_tmpfile_mode() {
    ZS_MSG("☆ Sorting through temporary files is not available in this version!\n",
           "☆一時ファイルによるソートはこのバージョンでは利用できません！\n");
    return 1;
}
