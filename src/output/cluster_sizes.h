// How many clusters hold each number of reads: the size histogram the stats
// file prints and the page plots, taken from cluster_totals (or a
// table of reads per cluster) without reordering them. Holds its table in the kClusterSizeCounts work block.
#pragma once

#include <cstdint>

struct ClusterSizeCount {
  uint64_t reads;     // a cluster size in reads, -p duplicates included
  uint64_t clusters;  // clusters of exactly that size
};

struct ClusterSizes {
  const ClusterSizeCount* sizes;  // ascending by reads, each size once
  uint64_t count;                 // entries in sizes
};

// Counts the clusters of every size. Needs number_clusters; the result lives
// until release_cluster_sizes.
[[nodiscard]] ClusterSizes count_cluster_sizes();

// The same from the reads of each of clusters clusters.
[[nodiscard]] ClusterSizes count_cluster_sizes(const uint64_t* reads, uint64_t clusters);

// Gives the table back; safe to call when none is held.
void release_cluster_sizes();
