// The cluster forest: one ClusterNode per bucket entry, in bucket order, each
// cluster a ring of nodes carrying the smallest node index as its id. Sets
// nodes and bucket_start; releases the bucket entry arrays and their tables.
#pragma once

#include "base/run_state.h"

// Builds the forest with every node a cluster of its own, then frees the buckets.
void create_clusters();

// The same forest, filled on all workers; each bucket's entry array is
// released as soon as its nodes exist. The reads per kept entry, when noted,
// stay in their block, indexed by node.
void create_clusters_fast();

// The end of bucket k's node range: the next bucket's start, or for the last
// bucket the end of the node array.
ClusterNode* bucket_end(uint32_t k);

// Releases the bucket entry arrays, bucket_entries and bucket_bytes, each at most once.
void free_buckets();

// Merges the clusters of a and b: the larger id's ring is relabelled with the
// smaller id and the two rings are spliced by exchanging a's and b's next
// links. Returns 1 on a merge, 0 when they already share a cluster.
int join_clusters(ClusterNode* a, ClusterNode* b);
