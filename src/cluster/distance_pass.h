// One distance pass joins, through join_clusters, every two nodes whose
// barcodes differ in exactly d positions. Candidate pairs are found bucket
// by bucket: subpass k visits the bucket pairs whose keys differ in exactly
// k of the 8 prefix positions. The order of the loops fixes the order of the
// joins, and so the order of the member lines in the report.
#pragma once

#include <cstdint>

#include "base/run_state.h"

// Runs the pass for exactly distance d and reports how many clusters it merged.
void cluster_at_distance(uint32_t d);

// Tests every node of bucket a against every node of bucket b (a == b
// allowed) and joins those at distance d; returns the number of merges.
uint64_t join_bucket_pair(uint32_t d, uint32_t a, uint32_t b);

// True when the two barcodes of barcode_words words differ in exactly d bases.
[[nodiscard]] bool barcodes_at_distance(const uint64_t* x, const uint64_t* y, uint32_t d);

// Writes pattern v (base i in bits 2i and 2i + 1) into the subset's prefix
// positions of key b. False when some position already holds its pattern
// base, so that v names no neighbour.
bool neighbour_key(uint32_t b, const uint32_t* subset, uint32_t k, uint32_t v, uint32_t* n);

// Advances a strictly increasing subset of k entries from 0..size-1 to the
// next one in lexicographic order; false when it was the last.
bool next_combination(uint32_t* subset, uint32_t size, uint32_t k);
