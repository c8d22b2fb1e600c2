// The comparator family (qsort contract over list slots) and the equality tests of -U.
#pragma once

#include <cstdint>

// Numeric value of a field of n bytes: blanks, an optional sign, decimal digits (32-bit wrap).
int32_t zs_get_number(const char* p, int32_t n);

// Comparators: arguments are addresses of list slots; results are exactly -1, 0 or +1.
int _cmpList(const void* a, const void* b);
int _cmpList_totalRec(const void* a, const void* b);
int _cmpList_variable(const void* a, const void* b);
int _cmpList_totalRec_variable(const void* a, const void* b);
int _cmpList_csv(const void* a, const void* b);
int _cmpList_totalRec_csv(const void* a, const void* b);
int _cmpList_unit(const void* a, const void* b);
int _cmpList_unit_stabilize(const void* a, const void* b);
int _cmpList_unit_totalRec(const void* a, const void* b);
int _cmpList_unit_totalRec_stabilize(const void* a, const void* b);
int _cmpList_unit_variable(const void* a, const void* b);
int _cmpList_unit_variable_stabilize(const void* a, const void* b);
int _cmpList_unit_totalRec_variable(const void* a, const void* b);
int _cmpList_unit_totalRec_variable_stabilize(const void* a, const void* b);
int _cmpList_unit_csv(const void* a, const void* b);
int _cmpList_unit_csv_stabilize(const void* a, const void* b);
int _cmpList_unit_totalRec_csv(const void* a, const void* b);
int _cmpList_unit_totalRec_csv_stabilize(const void* a, const void* b);
int _cmpList_merge_variable(const void* a, const void* b);
int _cmpList_merge_variable_stabilize(const void* a, const void* b);
int _cmpList_merge_totalRec_variable(const void* a, const void* b);
int _cmpList_merge_totalRec_variable_stabilize(const void* a, const void* b);
int _cmpList_merge_csv(const void* a, const void* b);
int _cmpList_merge_csv_stabilize(const void* a, const void* b);
int _cmpList_merge_totalRec_csv(const void* a, const void* b);
int _cmpList_merge_totalRec_csv_stabilize(const void* a, const void* b);

// Equality tests: 0 when the keys (or whole records) are equal, 1 otherwise. Plain forms take
// two records (fixed: record addresses; variable: VarEntry*; CSV: CsvEntry*); the _unit and
// _merge forms take the UnitDataInfo of the previous output record and of the candidate.
int _cmpIfEqual(const void* a, const void* b);
int _cmpIfEqual_variable(const void* a, const void* b);
int _cmpIfEqual_csv(const void* a, const void* b);
int _cmpIfEqual_unit_variable(const void* a, const void* b);
int _cmpIfEqual_unit_csv(const void* a, const void* b);
int _cmpIfEqual_merge_variable(const void* a, const void* b);
int _cmpIfEqual_merge_csv(const void* a, const void* b);

// Call counters, one per member, counted while the run is verbose.
enum ZsCmpId : int {
    ZS_CMP_LIST,
    ZS_CMP_LIST_TOTALREC,
    ZS_CMP_LIST_VARIABLE,
    ZS_CMP_LIST_TOTALREC_VARIABLE,
    ZS_CMP_LIST_CSV,
    ZS_CMP_LIST_TOTALREC_CSV,
    ZS_CMP_UNIT,
    ZS_CMP_UNIT_STABILIZE,
    ZS_CMP_UNIT_TOTALREC,
    ZS_CMP_UNIT_TOTALREC_STABILIZE,
    ZS_CMP_UNIT_VARIABLE,
    ZS_CMP_UNIT_VARIABLE_STABILIZE,
    ZS_CMP_UNIT_TOTALREC_VARIABLE,
    ZS_CMP_UNIT_TOTALREC_VARIABLE_STABILIZE,
    ZS_CMP_UNIT_CSV,
    ZS_CMP_UNIT_CSV_STABILIZE,
    ZS_CMP_UNIT_TOTALREC_CSV,
    ZS_CMP_UNIT_TOTALREC_CSV_STABILIZE,
    ZS_CMP_MERGE_VARIABLE,
    ZS_CMP_MERGE_VARIABLE_STABILIZE,
    ZS_CMP_MERGE_TOTALREC_VARIABLE,
    ZS_CMP_MERGE_TOTALREC_VARIABLE_STABILIZE,
    ZS_CMP_MERGE_CSV,
    ZS_CMP_MERGE_CSV_STABILIZE,
    ZS_CMP_MERGE_TOTALREC_CSV,
    ZS_CMP_MERGE_TOTALREC_CSV_STABILIZE,
    ZS_EQ,
    ZS_EQ_VARIABLE,
    ZS_EQ_CSV,
    ZS_EQ_UNIT_VARIABLE,
    ZS_EQ_UNIT_CSV,
    ZS_EQ_MERGE_VARIABLE,
    ZS_EQ_MERGE_CSV,
    ZS_CMP_COUNT
};
extern uint32_t zs_cmp_calls[ZS_CMP_COUNT];
// Names as the report prints them.
extern const char* const zs_cmp_names[ZS_CMP_COUNT];
