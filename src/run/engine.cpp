#include "run/engine.h"

#include "barcode/barcode_packing.h"
#include "barcode/barcode_template.h"
#include "base/messages.h"
#include "cluster/cluster_forest.h"
#include "cluster/distance_pass.h"
#include "cluster/known_assignment.h"
#include "cluster/merge_ratio.h"
#include "cluster/prefix_buckets.h"
#include "cluster/representative_passes.h"
#include "input/experiment.h"
#include "input/fastq_parser.h"
#include "input/input_loader.h"
#include "output/cluster_report.h"
#include "output/run_tables.h"
#include "base/run_statistics.h"
#include "base/run_state.h"

namespace {

// Distance 0 with duplicates removed leaves nothing to join: every bucket entry is a cluster of its own.
// The abundance rule goes through the forest even then, to count and report what it did.
bool reports_buckets_directly() {
  return run_state.distance == 0 && run_state.remove_duplicates && run_state.merge_ratio == nullptr;
}

// With duplicates removed no two barcodes are equal, so the distance-0 pass could join nothing.
uint32_t first_distance() { return run_state.remove_duplicates ? 1 : 0; }

// The run fails, but the stats and the page still show the funnel that left nothing.
void end_when_nothing_matched() {
  if (run_state.screened[accepted] != 0) return;
  begin_phase(Phase::tables);
  write_summaries_without_matches();
  fail(kExitFailure, "No barcodes match template\n");
}

}  // namespace

void run_straightforward_engine() {
  RunState& s = run_state;
  s.jobs = 1;  // one thread throughout, the parse the engines share included
  begin_phase(Phase::parse);
  parse_records(s.input_buffer, s.input_size);
  begin_phase(Phase::screen);
  convert_barcodes();
  end_when_nothing_matched();
  if (s.known != nullptr) {
    begin_phase(Phase::assign);
    assign_known_reads();
    group_known_reads();
    begin_phase(Phase::report);
    write_known_clusters();
    return;
  }
  begin_phase(Phase::bucket);
  bucket_records();
  if (reports_buckets_directly()) {
    begin_phase(Phase::report);
    write_buckets_as_clusters();
    return;
  }
  begin_phase(Phase::forest);
  create_clusters();
  if (s.merge_ratio != nullptr) {
    begin_phase(Phase::merge);
    merge_by_ratio();
    begin_phase(Phase::report);
    write_clusters();
    return;
  }
  for (uint32_t d = first_distance(); d <= s.distance; ++d) {
    cluster_at_distance(d);
  }
  begin_phase(Phase::report);
  write_clusters();
}

void run_fast_engine() {
  RunState& s = run_state;
  begin_phase(Phase::parse);
  parse_records(s.input_buffer, s.input_size);
  begin_phase(Phase::screen);
  convert_barcodes_fast();
  end_when_nothing_matched();
  if (s.known != nullptr) {
    begin_phase(Phase::assign);
    assign_known_reads_fast();
    group_known_reads();
    begin_phase(Phase::report);
    write_known_clusters_fast();
    return;
  }
  begin_phase(Phase::bucket);
  bucket_records_fast();
  if (reports_buckets_directly()) {
    begin_phase(Phase::report);
    write_buckets_as_clusters_fast();
    return;
  }
  begin_phase(Phase::forest);
  create_clusters_fast();
  if (s.merge_ratio != nullptr) {
    begin_phase(Phase::merge);
    merge_by_ratio_fast();
  } else {
    cluster_at_distances_fast(first_distance(), s.distance);
  }
  begin_phase(Phase::report);
  write_clusters_fast();
}

void run_phases(void (*engine)()) {
  RunState& s = run_state;
  prepare_template();
  say("Counting clusters separated by at least %d mismatch%s\n", static_cast<int>(s.distance) + 1,
      s.distance != 0 ? "es" : "");
  say("Using only sequences matching template \"%s\"\n", s.template_upper);
  begin_phase(Phase::load);
  if (s.experiment != nullptr) {
    load_samples();
  } else {
    load_file(s.input_path);
  }
  engine();
}
