// Input loading, the in-memory sorts, the record writers and the sort modes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "memory/pool.h"
#include "records/records.h"

// Loads every input file back to back into buffer (totalFileSize + sepLen bytes).
int zs_load_input(char* buffer);

// Index, sort and write a buffer of whole records; they take ownership of the buffer.
int zs_memsort(char* data, int32_t length);
int zs_memsort_stable(char* data, int32_t length);

// Output writers: the whole index to the output file or standard output.
int zs_write_output(PtrList* list);
int zs_write_output_unique(PtrList* list);
// Block writers: the index to the temporary file in the temporary record format.
int zs_write_block(PtrList* list, FILE* stream, UnitDataInfo* unit);
int zs_write_block_unique(PtrList* list, FILE* stream, UnitDataInfo* unit);

// Sort modes of later stages: merge of presorted files and the standard-input sort.
int zs_mergeFiles();
int zs_stdin();
