#include "output/cluster_report.h"

#include "run/messages.h"

namespace {

void write_cluster_header(uint64_t number) {
  fprintf(run_state.output_file, ">%llu\n", static_cast<unsigned long long>(number));
}

// A report that did not reach the file, or a count that did not reach
// standard output, must not pass for a complete run.
void finish_report(uint64_t clusters) {
  if (fflush(run_state.output_file) != 0 || ferror(run_state.output_file)) {
    fail(kExitFailure, "Can't write output file \"%s\"\n", run_state.output_path);
  }
  printf("%llu clusters\n", static_cast<unsigned long long>(clusters));
  if (fflush(stdout) != 0 || ferror(stdout)) fail(kExitFailure, "Can't write to standard output\n");
}

}  // namespace

void print_record(const SequenceRecord* record) {
  fprintf(run_state.output_file, "%s\t%s\n", record->name + 1, record->sequence);
}

void write_clusters() {
  const RunState& s = run_state;
  uint64_t clusters = 0;
  for (uint64_t i = 0; i < s.entry_count; ++i) {
    const ClusterNode* first = &s.nodes[i];
    if (first->cluster_id != static_cast<int64_t>(i)) continue;
    write_cluster_header(++clusters);
    const ClusterNode* node = first;
    do {
      print_record(node->record);
      node = node->next;
    } while (node != first);
  }
  finish_report(clusters);
}

void write_buckets_as_clusters() {
  const RunState& s = run_state;
  uint64_t clusters = 0;
  for (uint32_t k = 0; k < kBucketCount; ++k) {
    for (uint64_t e = 0; e < s.bucket_counts[k]; ++e) {
      write_cluster_header(++clusters);
      print_record(s.bucket_entries[k][e]);
    }
  }
  finish_report(clusters);
}
