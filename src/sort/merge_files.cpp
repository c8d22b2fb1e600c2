// Merge of presorted input files (-M).
#include "base/msg.h"
#include "sort/sort.h"

// Not part of this version yet: the run fails instead of writing an incomplete output.
int zs_mergeFiles() {
    ZS_MSG("☆ Merging presorted files is not available in this version!\n",
           "☆ソート済みファイルのマージはこのバージョンでは利用できません！\n");
    return 1;
}
