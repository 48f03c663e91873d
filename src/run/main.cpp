// tarnwell: groups DNA reads by the barcode each read carries. The run is a
// fixed list of phases; each one ends the process itself when it fails.
#include <cstdio>
#include <cstdlib>

#include "barcode/barcode_packing.h"
#include "barcode/barcode_template.h"
#include "cluster/cluster_forest.h"
#include "cluster/distance_pass.h"
#include "cluster/prefix_buckets.h"
#include "input/fastq_parser.h"
#include "input/input_loader.h"
#include "output/cluster_report.h"
#include "output/run_tables.h"
#include "run/messages.h"
#include "run/options.h"
#include "run/output_file.h"
#include "run/run_state.h"
#include "run/tracked_memory.h"

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
  load_file(s.input_path);
  parse_records(s.input_buffer, s.input_size);
  convert_barcodes();
  bucket_records();

  if (s.distance == 0 && s.remove_duplicates) {
    write_buckets_as_clusters();
    write_tables();
    return kExitSuccess;
  }
  create_clusters();
  // With duplicates removed no two barcodes are equal, so the distance-0 pass could join nothing.
  for (uint32_t d = s.remove_duplicates ? 1 : 0; d <= s.distance; ++d) cluster_at_distance(d);
  write_clusters();
  write_tables();
  return kExitSuccess;
}
