// The numbers the --page file shows, gathered after the report from the same
// cluster numbering and size histogram as the stats file, so that the two
// agree. Holds its counts in the kPageCounts work block and the size table
// of cluster_sizes.
#pragma once

#include <cstdint>

#include "output/cluster_sizes.h"

constexpr uint32_t kScreeningSlots = 8;  // room for every PackResult, accepted included
constexpr uint32_t kTopClusters = 20;

struct PageFigures {
  uint64_t screening[kScreeningSlots];  // reads per PackResult
  uint64_t duplicates_removed;          // accepted reads dropped by -p
  const uint64_t* base_counts;          // 4 per barcode position: reads with A, C, G, T there
  ClusterSizes sizes;                   // the stats file's cluster-size histogram
  uint64_t top_clusters[kTopClusters];  // cluster_totals indices, most reads first, ties in report order
  uint32_t top_count;                   // entries of top_clusters, at most kTopClusters
};

// Counts the screening causes and the bases at every barcode position over
// the accepted reads (on the workers, from the packed barcodes), and picks
// the largest clusters. Needs number_clusters.
void gather_page_figures(PageFigures& figures);

// Gives back what gather_page_figures took; safe to call more than once.
void release_page_figures();
