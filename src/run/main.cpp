// tarnwell: groups DNA reads by the barcode each read carries. The run is a
// fixed list of phases; each one ends the process itself when it fails. The
// tarnwell_reference binary is built from the same sources with the
// straightforward engine, to time the fast one against.
#include <cstdio>
#include <cstdlib>

#include "barcode/barcode_template.h"
#include "input/input_loader.h"
#include "run/engine.h"
#include "output/run_tables.h"
#include "base/messages.h"
#include "run/options.h"
#include "output/output_file.h"
#include "base/phase_clock.h"
#include "base/run_state.h"
#include "base/tracked_memory.h"
#include "run/teardown.h"

int main(int argc, char** argv) {
  atexit(release_all);
  setbuf(stderr, nullptr);
  process_options(argc, argv);
  create_output_file();
  create_table_files();
  prepare_template();

  RunState& s = run_state;
  say("Counting clusters separated by at least %d mismatch%s\n", static_cast<int>(s.distance) + 1,
      s.distance != 0 ? "es" : "");
  say("Using only sequences matching template \"%s\"\n", s.template_upper);
  mark_phase("setup");
  load_file(s.input_path);
  mark_phase("load");
#ifdef TARNWELL_STRAIGHTFORWARD_ENGINE
  run_straightforward_engine();
#else
  run_fast_engine();
#endif
  write_tables();
  return kExitSuccess;
}
