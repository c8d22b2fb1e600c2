#pragma once

// Runs one complete sort for a command line; 0 success, 1 failure.
int tesra_main(int argc, char** argv);
// Pool size for the run (also decides in-memory or temporary-file sorting).
int zs_pool_size();
// Returns the process to its state before the run (except the timestamp text).
void zs_run_reset();
// Sorting through the temporary file, for input files that do not fit the pool.
int zs_tmpfile_mode();
