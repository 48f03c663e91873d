// The fast distance passes. After the distance-0 pass, or with -p, each run of
// identical barcodes is one cluster in which only the run's first node can
// still make a successful join (every other pair of two runs is met after the
// pair of their first nodes). So the passes from distance 1 on work on these
// first nodes, the representatives: their barcodes back to back, and a
// union-find with the smallest index as root to tell whether two share a
// cluster. Workers find each subpass's candidate pairs bucket by bucket; the
// calling thread joins them in the order of the straightforward loops, with
// the same exchange of next links. Holds the representative work blocks
// during the passes; leaves every node's next and cluster_id as the
// straightforward passes do.
#pragma once

#include <cstdint>

#include "base/function_ref.h"
#include "cluster/candidate_pairs.h"

// Runs the passes for distances first to last, each with its two messages.
void cluster_at_distances_fast(uint32_t first, uint32_t last);

// The distance-0 pass: links each run of identical barcodes into the ring
// that joining its first node with each later one in turn gives, and gives
// the run the first node's id. Returns the number of joins.
uint64_t join_identical_barcodes();

// Takes the representatives' blocks: their nodes, their barcodes back to back,
// the bucket index, the suffix index and the pair buffers. Sets
// representative_count.
void hold_representatives();

// Gives back the blocks only the candidate search reads, keeping the
// representatives' nodes; each at most once.
void release_pair_search();

// Gives back every block the passes or a search held; each at most once.
void release_representatives();

// Takes a batch of candidate pairs, on the calling thread; returns what it
// counts of them (the joins it made, for the passes).
using PairSink = FunctionRef<uint64_t(const CandidatePair* pairs, uint64_t count)>;

// Hands every pair of representatives at exactly distance d whose labels
// differ to the sink, batch by batch in join order; returns the sink's total.
// labels (one per representative, none kMixedRoots) must not change meanwhile.
uint64_t search_pairs_at_distance(uint32_t d, const uint32_t* labels, const PairSink& sink);
