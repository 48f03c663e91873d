// The reads of each sample (--experiment) per cluster, for the tables, the
// stats and the page: the one place that splits a cluster's reads by sample.
// Gathered after the numbering from record_cluster; holds the work blocks
// kSampleClusterReads and kSampleOfRead until release_sample_reads.
#pragma once

#include <cstdint>
#include <vector>

// What one sample's reads became.
struct SampleOutcome {
  uint64_t screened[4];  // its reads per PackResult, accepted first
  uint64_t clustered;    // its accepted reads in a cluster, -p duplicates included
  uint64_t duplicates;   // of those, the reads -p dropped
  uint64_t clusters;     // clusters holding at least one of its reads
};

// Groups the samples of the clustered reads by cluster. Needs record_cluster
// and cluster_count; reads in no cluster (number 0) are left out.
void gather_sample_reads();

// Sets reads[k] to the reads of sample k in cluster (0 for the first row),
// for every sample of the sheet.
void cluster_reads_by_sample(uint64_t cluster, uint64_t* reads);

// Per sample, in sheet order.
[[nodiscard]] std::vector<SampleOutcome> sample_outcomes();

// Releases the grouping; accepts one already released.
void release_sample_reads();
