#include "output/sample_reads.h"

#include <cstring>

#include "base/run_state.h"
#include "base/tracked_memory.h"
#include "input/experiment.h"
#include "output/cluster_numbering.h"

namespace {

// The cluster number of a read in a cluster, or 0.
uint64_t clustered_number(uint64_t mark) { return (mark & kRejectedFlag) ? 0 : mark & kClusterNumberMask; }

const uint64_t* cluster_begin() {
  return static_cast<const uint64_t*>(run_state.work_blocks[kSampleClusterReads].data);
}
const uint32_t* read_samples() { return static_cast<const uint32_t*>(run_state.work_blocks[kSampleOfRead].data); }

}  // namespace

void gather_sample_reads() {
  const RunState& s = run_state;
  const std::vector<Sample>& samples = s.experiment->samples;
  // begin[c] is where the reads of the cluster numbered c begin; counted one place further first.
  auto* begin = static_cast<uint64_t*>(hold_work_block(kSampleClusterReads, (s.cluster_count + 2) * sizeof(uint64_t)));
  memset(begin, 0, (s.cluster_count + 2) * sizeof(uint64_t));
  for (uint64_t r = 0; r < s.record_count; ++r) ++begin[clustered_number(s.record_cluster[r]) + 1];
  // Reads in no cluster take the slots before the first cluster's, and are never looked at.
  for (uint64_t c = 1; c <= s.cluster_count + 1; ++c) begin[c] += begin[c - 1];
  auto* sample_of = static_cast<uint32_t*>(hold_work_block(kSampleOfRead, (s.record_count + 1) * sizeof(uint32_t)));
  uint32_t sample = 0;
  for (uint64_t r = 0; r < s.record_count; ++r) {
    while (r >= samples[sample].first_record + samples[sample].record_count) ++sample;
    sample_of[begin[clustered_number(s.record_cluster[r])]++] = sample;
  }
  // Each begin[c] now stands where cluster c + 1 begins: the row of cluster number c + 1 starts at begin[c].
}

void cluster_reads_by_sample(uint64_t cluster, uint64_t* reads) {
  memset(reads, 0, run_state.experiment->samples.size() * sizeof(uint64_t));
  const uint64_t* begin = cluster_begin();
  const uint32_t* sample_of = read_samples();
  for (uint64_t i = begin[cluster]; i < begin[cluster + 1]; ++i) ++reads[sample_of[i]];
}

std::vector<SampleOutcome> sample_outcomes() {
  const RunState& s = run_state;
  const std::vector<Sample>& samples = s.experiment->samples;
  std::vector<SampleOutcome> outcomes(samples.size(), SampleOutcome{});
  for (size_t k = 0; k < samples.size(); ++k) {
    SampleOutcome& outcome = outcomes[k];
    for (uint64_t r = samples[k].first_record; r < samples[k].first_record + samples[k].record_count; ++r) {
      const uint64_t mark = s.record_cluster[r];
      ++outcome.screened[(mark & kRejectedFlag) ? mark & kClusterNumberMask : 0];
      if (clustered_number(mark) != 0) ++outcome.clustered;
      if (clustered_number(mark) != 0 && (mark & kDuplicateFlag)) ++outcome.duplicates;
    }
  }
  const uint64_t* begin = cluster_begin();
  const uint32_t* sample_of = read_samples();
  for (uint64_t c = 0; c < s.cluster_count; ++c) {
    // A cluster's reads are in record order, so its samples come in sheet order.
    for (uint64_t i = begin[c]; i < begin[c + 1]; ++i) {
      if (i == begin[c] || sample_of[i] != sample_of[i - 1]) ++outcomes[sample_of[i]].clusters;
    }
  }
  return outcomes;
}

void release_sample_reads() {
  release_work_block(kSampleClusterReads);
  release_work_block(kSampleOfRead);
}
