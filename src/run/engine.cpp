#include "run/engine.h"

#include "barcode/barcode_packing.h"
#include "cluster/cluster_forest.h"
#include "cluster/distance_pass.h"
#include "cluster/prefix_buckets.h"
#include "cluster/representative_passes.h"
#include "input/fastq_parser.h"
#include "output/cluster_report.h"
#include "base/phase_clock.h"
#include "base/run_state.h"

namespace {

// Distance 0 with duplicates removed leaves nothing to join: every bucket entry is a cluster of its own.
bool reports_buckets_directly() { return run_state.distance == 0 && run_state.remove_duplicates; }

// With duplicates removed no two barcodes are equal, so the distance-0 pass could join nothing.
uint32_t first_distance() { return run_state.remove_duplicates ? 1 : 0; }

}  // namespace

void run_straightforward_engine() {
  RunState& s = run_state;
  s.jobs = 1;  // one thread throughout, the parse the engines share included
  parse_records(s.input_buffer, s.input_size);
  mark_phase("parse");
  convert_barcodes();
  mark_phase("pack");
  bucket_records();
  mark_phase("sort");
  if (reports_buckets_directly()) {
    write_buckets_as_clusters();
    return mark_phase("write");
  }
  create_clusters();
  mark_phase("forest");
  for (uint32_t d = first_distance(); d <= s.distance; ++d) {
    cluster_at_distance(d);
    mark_phase(pass_phase_name(d));
  }
  write_clusters();
  mark_phase("write");
}

void run_fast_engine() {
  RunState& s = run_state;
  parse_records(s.input_buffer, s.input_size);
  mark_phase("parse");
  convert_barcodes_fast();
  mark_phase("pack");
  bucket_records_fast();
  mark_phase("sort");
  if (reports_buckets_directly()) {
    write_buckets_as_clusters_fast();
    return mark_phase("write");
  }
  create_clusters_fast();
  mark_phase("forest");
  cluster_at_distances_fast(first_distance(), s.distance);
  write_clusters_fast();
  mark_phase("write");
}
