// The phases from the parse to the report, in two engines that write the same
// bytes: the straightforward one, phase for phase as the tool was first built
// (the yardstick the tests compare against), and the fast one that runs by
// default. Both work on the input buffer that load_file left in run_state.
#pragma once

// Parse, screening, buckets, forest, passes and report, one thread, the
// straightforward loops.
void run_straightforward_engine();

// The same phases and messages on run_state.jobs threads: distinct barcodes
// only after the distance-0 pass, union-find, indexed candidate pairs and
// buffered output.
void run_fast_engine();

// The run once the command line is accepted and the output files exist: the
// template and its settings lines, the load, then the engine's phases up to
// the report. The driver and the pipeline fuzz target both run this list.
void run_phases(void (*engine)());
