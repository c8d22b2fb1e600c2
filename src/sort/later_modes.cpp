// Sort modes that this version does not provide yet: they fail with a clear message instead of
// writing an incomplete output.
#include "engine/msg.h"
#include "sort/sort.h"

int zs_mergeFiles() {
    ZS_MSG("☆ Merging presorted files is not available in this version!\n",
           "☆ソート済みファイルのマージはこのバージョンでは利用できません！\n");
    return 1;
}

int zs_stdin() {
    ZS_MSG("☆ Sorting standard input is not available in this version!\n",
           "☆標準入力のソートはこのバージョンでは利用できません！\n");
    return 1;
}
