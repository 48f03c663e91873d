// The abundance rule of --merge-ratio R, beside single linkage: the distinct
// barcodes are visited in descending read count (ties in barcode order); each
// one not yet taken starts a cluster that grows breadth first, taking every
// barcode not yet taken within distance D of a member whose reads are at least
// R times its own. Leaves the forest as the report reads it: clusters in rings
// in ascending node order, each node's id the cluster's first node. Sets
// merge_ratio (options) and its counts (the rule).
#pragma once

#include <cstdint>
#include <cstdio>

struct MergeRatio {
  const char* text;            // as typed; options
  uint64_t whole;              // the digits before the point, 1 to 1000000; options
  const char* fraction;        // the digits after the point, without trailing zeros; options
  uint32_t fraction_digits;    // how many of them, 0 for a whole number; options
  uint64_t distinct_barcodes;  // barcodes that entered the rule; the rule
  uint64_t started;            // distinct barcodes that started a cluster; the rule
  uint64_t taken;              // distinct barcodes taken into another's cluster; the rule
};

// Parses the value of --merge-ratio and points run_state.merge_ratio at it;
// ends the run with status 1 when it is not a plain decimal from 1 to 1000000.
void accept_merge_ratio(const char* text);

// Writes the ratio as a plain decimal without trailing zeros ("5", "2.5").
void print_merge_ratio(const MergeRatio& ratio, FILE* file);

// Whether a barcode of `taker` reads may take one of `taken` reads:
// taker >= R * taken, exactly.
[[nodiscard]] bool meets_merge_ratio(const MergeRatio& ratio, uint64_t taker, uint64_t taken);

// The rule on the forest that create_clusters left, every node on its own: the
// straightforward way, every pair of distinct barcodes compared.
void merge_by_ratio();

// The same clusters on the forest of create_clusters_fast: the representatives'
// candidate pairs within D, filtered by the ratio into the barcodes each may
// take, then one visit in count order.
void merge_by_ratio_fast();
