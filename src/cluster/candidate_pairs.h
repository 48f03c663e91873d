// Candidate pairs of one subpass of the fast passes: the pairs of
// representatives (one per distinct barcode, in node order) at exactly
// distance d whose prefix keys differ in exactly k positions and that were in
// two clusters when the subpass began. They are found one bucket at a time and
// listed in the order in which the straightforward loops meet them: neighbour
// bucket in enumeration order, then the first representative, then the second.
// Reads only; sets nothing in run_state.
#pragma once

#include <cstdint>

// One pair: x lies in the bucket being searched, y in the same bucket after x
// (k = 0) or in a neighbour bucket with a larger key. rank orders the
// neighbour buckets of one bucket (see neighbour_rank).
struct CandidatePair {
  uint32_t rank;
  uint32_t x;
  uint32_t y;
};

struct PairBuffer {
  CandidatePair* pairs;
  uint64_t count;
  uint64_t capacity;
};

// What a search reads; every array is indexed by representative and stays
// unchanged while the subpass searches.
struct PairSearch {
  uint32_t distance;             // d
  uint32_t prefix_distance;      // k, at most d
  uint32_t barcode_words;        // words per barcode
  uint32_t key_positions;        // prefix positions that can differ: the barcode length, at most 8
  const uint64_t* barcodes;      // barcode_words words per representative
  const uint32_t* bucket_first;  // first representative of each bucket; entry 65536 is the count
  const uint32_t* root;          // cluster root of each representative when the subpass began
  // Representatives ordered by suffix (the barcode after its prefix), ties in
  // index order; null when the barcode has no suffix. Used for k = d.
  const uint32_t* suffix_order;
  const uint32_t* suffix_position;   // per representative, its place in suffix_order
  const uint32_t* suffix_group_end;  // per place, the end of its run of equal suffixes
};

// Appends the candidate pairs whose x lies in the bucket, in join order.
// Returns false, and leaves the buffer's count as it was, when they do not
// all fit.
[[nodiscard]] bool find_bucket_pairs(const PairSearch& search, uint32_t bucket, PairBuffer* buffer);

// Orders the neighbours n of key a at one prefix distance as the
// straightforward pass visits them: changed positions as a subset in
// lexicographic order, then the pattern of n's bases there.
[[nodiscard]] uint32_t neighbour_rank(uint32_t a, uint32_t n);

// Orders the representatives by suffix, ties in index order (a stable radix
// sort over the suffix bits); scratch holds count entries.
void sort_by_suffix(const uint64_t* barcodes, uint32_t barcode_words, uint32_t count, uint32_t* order,
                    uint32_t* scratch);
