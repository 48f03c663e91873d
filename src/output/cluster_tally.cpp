#include "output/cluster_tally.h"

#include <algorithm>

#include "base/run_state.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"

namespace {

struct Stretches {
  uint64_t count;
  uint64_t first_number[kMaxTallyStretches + 1];
};
Stretches stretches;

}  // namespace

bool cluster_tally_wanted() { return run_state.page_path != nullptr && !run_state.remove_duplicates; }

void begin_cluster_tally(const uint64_t* first_number, uint64_t count) {
  stretches.count = count;
  std::copy(first_number, first_number + count + 1, stretches.first_number);
  const uint64_t clusters = first_number[count] - 1;
  hold_work_block(kClusterTally, (clusters > 0 ? clusters : 1) * sizeof(uint64_t));
}

uint64_t* cluster_tally_reads() { return static_cast<uint64_t*>(run_state.work_blocks[kClusterTally].data); }

bool cluster_tally_held() { return cluster_tally_reads() != nullptr; }

uint64_t first_node_of_cluster(uint64_t number) {
  const RunState& s = run_state;
  // The last stretch whose first cluster is not past number holds it.
  const uint64_t* after =
      std::upper_bound(stretches.first_number, stretches.first_number + stretches.count + 1, number);
  const uint64_t stretch = static_cast<uint64_t>(after - stretches.first_number) - 1;
  uint64_t next = stretches.first_number[stretch];
  for (uint64_t i = job_begin(stretch, stretches.count, s.entry_count);; ++i) {
    if (s.nodes[i].cluster_id != static_cast<int64_t>(i)) continue;
    if (next++ == number) return i;
  }
}

void release_cluster_tally() { release_work_block(kClusterTally); }
