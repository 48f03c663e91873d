// tarnwell: groups DNA reads by the barcode each read carries. The run is a
// fixed list of phases; each one ends the process itself when it fails. The
// tarnwell_reference binary is built from the same sources with the
// straightforward engine, to time the fast one against.
#include <cstdio>
#include <cstdlib>

#include "run/engine.h"
#include "cluster/known_assignment.h"
#include "output/run_tables.h"
#include "base/messages.h"
#include "run/options.h"
#include "output/output_file.h"
#include "base/run_statistics.h"
#include "run/teardown.h"
#include "base/tracked_memory.h"

int main(int argc, char** argv) {
  begin_phase(Phase::setup);
  atexit(release_all);
  setbuf(stderr, nullptr);
  reserve_main_stack();
  process_options(argc, argv);
  load_known_barcodes();
  create_output_file();
  create_table_files();
#ifdef TARNWELL_STRAIGHTFORWARD_ENGINE
  run_phases(run_straightforward_engine);
#else
  run_phases(run_fast_engine);
#endif
  begin_phase(Phase::tables);
  write_tables();
  keep_outputs();
  return kExitSuccess;
}
