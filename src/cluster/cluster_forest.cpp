#include "cluster/cluster_forest.h"

#include <algorithm>
#include <utility>

#include "base/messages.h"
#include "base/size_thresholds.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"
#include "cluster/prefix_buckets.h"

void create_clusters() {
  RunState& s = run_state;
  say("Creating clusters ..");
  s.bucket_start = static_cast<ClusterNode**>(tracked_calloc(kBucketCount, sizeof(ClusterNode*)));
  s.nodes = static_cast<ClusterNode*>(tracked_malloc(s.entry_count * sizeof(ClusterNode)));
  int64_t index = 0;
  ClusterNode* node = s.nodes;
  for (uint32_t k = 0; k < kBucketCount; ++k) {
    s.bucket_start[k] = node;
    for (uint64_t e = 0; e < s.bucket_counts[k]; ++e, ++node, ++index) {
      node->record = s.bucket_entries[k][e];
      node->next = node;
      node->cluster_id = index;
    }
  }
  free_buckets();
  say(" OK (now %lld bytes allocated)\n", static_cast<long long>(s.bytes_allocated));
}

ClusterNode* bucket_end(uint32_t k) {
  const RunState& s = run_state;
  return k + 1 < kBucketCount ? s.bucket_start[k + 1] : s.nodes + s.entry_count;
}

void free_buckets() {
  RunState& s = run_state;
  if (s.bucket_entries != nullptr) {
    for (uint32_t k = 0; k < kBucketCount; ++k) {
      if (s.bucket_entries[k] != nullptr) tracked_free(s.bucket_entries[k], s.bucket_bytes[k]);
    }
    tracked_free(s.bucket_entries, kBucketTableBytes);
    s.bucket_entries = nullptr;
  }
  if (s.bucket_bytes != nullptr) {
    tracked_free(s.bucket_bytes, kBucketTableBytes);
    s.bucket_bytes = nullptr;
  }
}

int join_clusters(ClusterNode* a, ClusterNode* b) {
  if (a->cluster_id == b->cluster_id) return 0;
  ClusterNode* smaller = a;
  ClusterNode* larger = b;
  if (larger->cluster_id < smaller->cluster_id) std::swap(smaller, larger);
  const int64_t id = smaller->cluster_id;
  ClusterNode* node = larger;
  do {
    node->cluster_id = id;
    node = node->next;
  } while (node != larger);
  // Exchanging the two next links splices the rings in every case.
  std::swap(smaller->next, larger->next);
  return 1;
}

namespace {

// Moves the reads per kept entry from the nodes' ids back to a block of their
// own, and gives every node its own index as id again.
void take_reads_from_ids() {
  RunState& s = run_state;
  auto* reads = static_cast<uint64_t*>(hold_work_block(kKeptEntryReads, 8 * std::max<uint64_t>(s.entry_count, 1)));
  const uint64_t jobs = job_count_for(s.entry_count, 1 << 14, 64);
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    for (uint64_t i = job_begin(job, jobs, s.entry_count); i < job_begin(job + 1, jobs, s.entry_count); ++i) {
      reads[i] = static_cast<uint64_t>(s.nodes[i].cluster_id);
      s.nodes[i].cluster_id = static_cast<int64_t>(i);
    }
  });
}

}  // namespace

void create_clusters_fast() {
  RunState& s = run_state;
  say("Creating clusters ..");
  s.bucket_start = static_cast<ClusterNode**>(tracked_calloc(kBucketCount, sizeof(ClusterNode*)));
  s.nodes = static_cast<ClusterNode*>(tracked_malloc(s.entry_count * sizeof(ClusterNode)));
  uint64_t* reads = kept_entry_reads();
  ClusterNode* node = s.nodes;
  for (uint32_t k = 0; k < kBucketCount; ++k) {
    s.bucket_start[k] = node;
    node += s.bucket_counts[k];
  }
  // Large forests copy and release the buckets a window at a time, trimming
  // the heap after each, so that the entry arrays and the node array are
  // never resident in full together.
  const uint32_t windows = s.entry_count >= size_thresholds.large_forest_entries ? 32 : 1;
  const uint32_t buckets_per_window = kBucketCount / windows;
  const uint64_t jobs = job_count_for(s.entry_count / windows, 1 << 14, 16);
  for (uint32_t window = 0; window < windows; ++window) {
    const uint32_t first_bucket = window * buckets_per_window;
    run_jobs(jobs, [&](uint64_t job, uint32_t) {
      const uint64_t end = first_bucket + job_begin(job + 1, jobs, buckets_per_window);
      for (uint64_t k = first_bucket + job_begin(job, jobs, buckets_per_window); k < end; ++k) {
        ClusterNode* first = s.bucket_start[k];
        if (reads == nullptr) {
          for (uint64_t e = 0; e < s.bucket_counts[k]; ++e) {
            first[e].record = s.bucket_entries[k][e];
            first[e].next = &first[e];
            first[e].cluster_id = first + e - s.nodes;
          }
          continue;
        }
        // Until the figure below is printed, the ids hold the reads.
        for (uint64_t e = 0; e < s.bucket_counts[k]; ++e) {
          first[e].record = s.bucket_entries[k][e];
          first[e].next = &first[e];
          first[e].cluster_id = static_cast<int64_t>(reads[first + e - s.nodes]);
        }
      }
    });
    if (windows == 1) break;
    for (uint32_t k = first_bucket; k < first_bucket + buckets_per_window; ++k) {
      if (s.bucket_entries[k] == nullptr) continue;
      tracked_free(s.bucket_entries[k], s.bucket_bytes[k]);
      s.bucket_entries[k] = nullptr;
    }
    return_free_memory();
  }
  free_buckets();
  // The page's reads per kept entry wait in the ids over the figure, which
  // counts what clustering holds, page or not.
  if (reads != nullptr) release_work_block(kKeptEntryReads);
  say(" OK (now %lld bytes allocated)\n", static_cast<long long>(s.bytes_allocated));
  if (reads != nullptr) take_reads_from_ids();
}
