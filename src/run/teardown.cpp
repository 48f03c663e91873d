#include "run/teardown.h"

#include "base/messages.h"
#include "base/run_statistics.h"
#include "base/run_state.h"
#include "base/tracked_memory.h"
#include "cluster/cluster_forest.h"
#include "cluster/known_assignment.h"
#include "input/experiment.h"
#include "output/output_file.h"
#include "output/run_tables.h"

void release_all() {
  begin_phase(Phase::teardown);
  RunState& s = run_state;
  if (s.output_file != nullptr) {
    fclose(s.output_file);
    s.output_file = nullptr;
  }
  release_tables();
  discard_outputs();
  if (s.template_upper != nullptr) {
    tracked_free(s.template_upper, s.template_length + 1ull);
    s.template_upper = nullptr;
  }
  if (s.template_mask != nullptr) {
    tracked_free(s.template_mask, s.template_length);
    s.template_mask = nullptr;
  }
  release_known_barcodes();
  free_buckets();
  if (s.bucket_counts != nullptr) {
    tracked_free(s.bucket_counts, kBucketTableBytes);
    s.bucket_counts = nullptr;
  }
  if (s.nodes != nullptr) {
    tracked_free(s.nodes, s.entry_count * sizeof(ClusterNode));
    s.nodes = nullptr;
  }
  if (s.bucket_start != nullptr) {
    tracked_free(s.bucket_start, kBucketTableBytes);
    s.bucket_start = nullptr;
  }
  for (int id = 0; id < kWorkBlockCount; ++id) release_work_block(static_cast<WorkBlockId>(id));
  if (s.input_buffer != nullptr) {
    tracked_free(s.input_buffer, s.input_buffer_bytes);
    s.input_buffer = nullptr;
    s.input_size = 0;
    s.input_buffer_bytes = 0;
  }
  if (s.record_table != nullptr) {
    tracked_free(s.record_table, s.record_count * s.record_size);
    s.record_table = nullptr;
    s.record_count = 0;
  }
  release_experiment();
  if (s.bytes_allocated != 0)
    say("Error: Failed to deallocate %lld bytes\n", static_cast<long long>(s.bytes_allocated));
}
