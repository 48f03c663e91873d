#include "output/cluster_sizes.h"

#include <algorithm>

#include "base/run_state.h"
#include "base/tracked_memory.h"

namespace {

// Sizes below this are counted in place; larger clusters are few (at most
// one per kDirectSizes reads) and are sorted.
constexpr uint64_t kDirectSizes = 65536;

// reads_of(c) gives the reads of cluster c.
template <typename ReadsOf>
ClusterSizes count_sizes(uint64_t clusters, ReadsOf reads_of) {
  uint64_t large = 0;
  for (uint64_t c = 0; c < clusters; ++c) large += reads_of(c) >= kDirectSizes;
  // One block: the direct counts, the large sizes, then the result (at most
  // one entry per direct size and per large cluster).
  const uint64_t result_capacity = kDirectSizes + large;
  auto* block = static_cast<uint64_t*>(reserve_work_block(
      kClusterSizeCounts, (kDirectSizes + large) * sizeof(uint64_t) + result_capacity * sizeof(ClusterSizeCount)));
  uint64_t* direct = block;
  uint64_t* large_sizes = block + kDirectSizes;
  auto* result = reinterpret_cast<ClusterSizeCount*>(large_sizes + large);
  std::fill(direct, direct + kDirectSizes, 0);
  uint64_t next_large = 0;
  for (uint64_t c = 0; c < clusters; ++c) {
    const uint64_t reads = reads_of(c);
    if (reads < kDirectSizes) {
      ++direct[reads];
    } else {
      large_sizes[next_large++] = reads;
    }
  }
  std::sort(large_sizes, large_sizes + large);
  uint64_t count = 0;
  for (uint64_t reads = 0; reads < kDirectSizes; ++reads) {
    if (direct[reads] != 0) result[count++] = {reads, direct[reads]};
  }
  for (uint64_t i = 0; i < large;) {
    uint64_t same = i;
    while (same < large && large_sizes[same] == large_sizes[i]) ++same;
    result[count++] = {large_sizes[i], same - i};
    i = same;
  }
  return {result, count};
}

}  // namespace

ClusterSizes count_cluster_sizes() {
  const ClusterTotals* totals = run_state.cluster_totals;
  return count_sizes(run_state.cluster_count, [&](uint64_t c) { return totals[c].reads; });
}

ClusterSizes count_cluster_sizes(const uint64_t* reads, uint64_t clusters) {
  return count_sizes(clusters, [&](uint64_t c) { return reads[c]; });
}

void release_cluster_sizes() { release_work_block(kClusterSizeCounts); }
