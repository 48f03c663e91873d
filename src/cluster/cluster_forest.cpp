#include "cluster/cluster_forest.h"

#include <utility>

#include "run/messages.h"
#include "run/tracked_memory.h"

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
