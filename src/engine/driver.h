// The run driver: one complete sort run from a command line.
//
// Contract
// - tesra_main returns 0 after a successful sort and 1 after a failure or --help; it never ends
//   the process. Every path that got past the --help test resets the run before returning, so
//   the next call starts from the same state.
// - Runs must not overlap: the caller serialises them (the engine's state is process-wide).
#pragma once

int tesra_main(int argc, char** argv);
// Pool size for the run (also decides in-memory or temporary-file sorting).
int zs_pool_size();
// Releases everything the run holds and returns the run state to its initial value.
void zs_run_reset();
// Sorting through the temporary file, for input files that do not fit the pool. 0 when the output
// is written and the temporary file removed; 1 after printing why not.
int zs_tmpfile_mode();
