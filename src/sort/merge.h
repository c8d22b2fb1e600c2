// Pieces shared by the merges (of the temporary file's blocks, of presorted inputs): the work list
// that keeps the sources ordered by their current records, the previous output record of the
// unique filter, and the merge's output.
//
// Contract
// - Operations return 0, or 1 after printing why they failed (a failed stable sort of the work
//   list prints nothing: the caller's phase line says the merge failed).
// - The work list holds UnitDataInfo pointers; its comparators are members of the family for the
//   place the records are seen (ZS_AT_UNIT, ZS_AT_MERGE).
#pragma once

#include <cstdint>
#include <cstdio>

#include "records/compare.h"
#include "sort/sort.h"
#include "sort/writer.h"

// A copy of a list that can be reordered while the original keeps its order, taken from the pool.
PtrList* zs_work_list(const PtrList* from);

// Sorts the live entries of the work list by the plain comparator (stable: equal records stay in
// source order).
int zs_work_sort(PtrList* work, ZsCmp plain);
// Puts entry 0, whose source has moved on, back in order: it goes behind every entry that must
// come before it (cmp gives exactly 1), in front of the first that need not.
void zs_work_reinsert(PtrList* work, ZsCmp cmp);

// Orders the work list before a record is taken: the first time a full sort by the plain
// comparator, then only entry 0 put back in place with `place`. Nothing to do for one source.
int zs_work_order(PtrList* work, int32_t open, bool* sorted, ZsCmp plain, ZsCmp place);

// The previous output record of the unique filter, copied into memory of its own so that it
// outlives the buffer it came from. Its `last` record is what the equality tests read.
struct ZsPrevRecord {
    UnitDataInfo last;  // lastData, lastLen, lastCols, lastColNum
    int64_t dataCap;
    int32_t colsCap;
};
// Takes the copy's memory before the merge takes the rest, so that it stays low in the pool: a
// copy made later would sit above what the merge releases and keep it from being reused.
int zs_prev_reserve(ZsPrevRecord* prev);
int zs_prev_set(ZsPrevRecord* prev, const char* data, int32_t len, const char* packedCols, int32_t colNum);
void zs_prev_release(ZsPrevRecord* prev);

// The output of a merge: records go through a buffered writer, with -U over a buffer of its own
// (outFile.outBuf, from the pool).
struct ZsMergeOut {
    ZsWriter w;
    bool unique;
    bool failed() const { return w.failed; }
};
// Sets the output up; fixed-length records get a unique buffer of whole records.
int zs_merge_out_open(ZsMergeOut* m, FILE* out, bool unique, int32_t recLen);
void zs_merge_out_put(ZsMergeOut* m, const char* data, int32_t len);
// Writes what is pending and returns the unique buffer; 1 after printing a write error.
int zs_merge_out_close(ZsMergeOut* m);

// Puts the CSV header line kept by -H, when there is one, ahead of the records.
void zs_put_header(ZsWriter* w);

// The merge of the temporary file's blocks into the output, one variant per layout;
// zs_merge_tmp picks the run's. tmp is the temporary file (read by position), out the output.
template <ZsLayout L>
int zs_mergeTmpFile(FILE* tmp, FILE* out);
int zs_merge_tmp(FILE* tmp, FILE* out);

// Releases one block record: its buffer, its column copy, then the record.
void zs_unit_free(UnitDataInfo* unit);
