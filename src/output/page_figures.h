// The numbers the --page file shows. They come from what the screening, the
// duplicate removal and the report noted as they went (the base composition,
// the reads per kept entry, the cluster tally), so a page alone costs no
// cluster numbering; where nothing was noted (the straightforward engine with
// -p), from the cluster numbering and size histogram of the stats file.
// Either way the clusters are numbered as in the report and the tables.
#pragma once

#include <cstdint>

#include "base/run_state.h"
#include "output/cluster_sizes.h"

constexpr uint32_t kScreeningSlots = 8;  // room for every PackResult, accepted included
constexpr uint32_t kTopClusters = 20;

// One row of the largest clusters, as the cluster table has it.
struct TopCluster {
  uint64_t number;                       // in the report, from 1
  uint64_t reads;                        // -p duplicates included
  uint64_t barcodes;                     // distinct barcodes
  const SequenceRecord* representative;  // the first record of its most frequent barcode
};

struct PageFigures {
  uint64_t screening[kScreeningSlots];    // reads per PackResult
  uint64_t duplicates_removed;            // accepted reads dropped by -p
  const uint64_t* base_counts;            // 4 per group of barcode positions: reads with A, C, G, T there
  ClusterSizes sizes;                     // the stats file's cluster-size histogram
  TopCluster top_clusters[kTopClusters];  // most reads first, ties in report order
  uint32_t top_count;                     // entries of top_clusters, at most kTopClusters
};

// True when the page needs number_clusters: the report kept no cluster tally,
// nor are the kept entries with their reads the clusters.
[[nodiscard]] bool page_needs_numbering();

// Gathers the figures; needs number_clusters when page_needs_numbering().
void gather_page_figures(PageFigures& figures);

// Gives back what gather_page_figures took; safe to call more than once.
void release_page_figures();
