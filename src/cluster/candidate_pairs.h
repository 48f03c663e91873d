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

// A bucket whose representatives lie in more than one cluster, or in none.
constexpr uint32_t kMixedRoots = UINT32_MAX;

// The long runs of equal suffixes, each with the set of its members' keys.
// Representatives are numbered in key order and no two of them share a
// barcode, so the members of a run ascend by key, one per key: the rank of a
// key among the run's keys gives its member. A member then finds its partners
// by looking up its neighbour keys instead of reading the whole run, which
// in a run of thousands (reads that end in a run of G, a constant stretch
// after the key) would make the search quadratic.
struct LongSuffixRuns {
  uint32_t count;               // runs indexed
  const uint32_t* run_begin;    // per run, the place of its first member, ascending
  const uint32_t* run_end;      // per run, the place after its last one
  const uint64_t* key_bits;     // per run, kKeyWords words: bit key % 64 of word key / 64 for each member's key
  const uint32_t* keys_before;  // per run, kKeyWords counts: its members' keys in the words before
  uint32_t* root;               // per run, the root all its members share when the subpass began, or kMixedRoots
  bool always_look_up;          // members look partners up however few later members they have
};

constexpr uint32_t kKeyWords = 65536 / 64;

// What a search reads; every array is indexed by representative and stays
// unchanged while the subpass searches.
struct PairSearch {
  uint32_t distance;             // d
  uint32_t prefix_distance;      // k, at most d
  uint32_t barcode_words;        // words per barcode
  uint32_t key_positions;        // prefix positions that can differ: the barcode length, at most 8
  uint32_t suffix_length;        // bases after the prefix, 0 for barcodes of 8 bases or fewer
  const uint64_t* barcodes;      // barcode_words words per representative
  const uint32_t* bucket_first;  // first representative of each bucket; entry 65536 is the count
  const uint32_t* root;          // cluster root of each representative when the subpass began
  const uint32_t* bucket_root;   // per bucket: the root all its representatives share, or kMixedRoots
  // Representatives ordered by suffix (the barcode after its prefix), ties in
  // index order; null when the barcode has no suffix. Used for k = d.
  const uint32_t* suffix_order;
  const uint32_t* suffix_position;   // per representative, its place in suffix_order
  const uint32_t* suffix_group_end;  // per place, the end of its run of equal suffixes
  LongSuffixRuns long_runs;          // runs of at least long_suffix_run_size members, none without a suffix index
};

// Fills bucket_root for a PairSearch: buckets begin to end of the 65536.
void find_bucket_roots(const uint32_t* bucket_first, const uint32_t* root, uint32_t begin, uint32_t end,
                       uint32_t* bucket_root);

// Fills the root of every long run for a PairSearch whose suffix order and
// roots are given.
void find_long_run_roots(const LongSuffixRuns& runs, const uint32_t* suffix_order, const uint32_t* root);

// Appends the candidate pairs whose x lies in the bucket, in join order.
// Returns false, and leaves the buffer's count as it was, when they do not
// all fit.
[[nodiscard]] bool find_bucket_pairs(const PairSearch& search, uint32_t bucket, PairBuffer* buffer);

// For d = k + 1 and one-word barcodes, a search over all buckets at once
// that suits an even, dense spread of barcodes: the candidate pairs whose
// suffixes differ in one base only. Search number i (below
// one_suffix_base_apart_searches) orders all representatives by their barcode
// with suffix base i / (k + 1) blanked and only prefix block i % (k + 1) of
// k + 1 kept, and compares those that then agree; each pair is taken up in
// exactly one search. Pairs are ranked (x's bucket) * 65536 + neighbour rank,
// so that ordering the pairs of all searches by (rank, x, y) gives join order.
// entries and scratch hold one word per representative. Returns false, with
// the buffer's count as it was, when the pairs do not fit.
[[nodiscard]] bool find_pairs_one_suffix_base_apart(const PairSearch& search, uint32_t search_number, uint64_t* entries,
                                                    uint64_t* scratch, PairBuffer* buffer);

// The number of those searches; 0 when they do not apply: other distances,
// barcodes of more than one word, or keys and indices too wide for a word.
[[nodiscard]] uint32_t one_suffix_base_apart_searches(const PairSearch& search);

// The most neighbour keys one key has: 56 subsets of 3 changed positions, 27
// patterns each.
constexpr uint32_t kMaxNeighbours = 56 * 27;

// Lists the keys at prefix distance k (at most 3) from key a that differ only
// among the first `positions` prefix positions, in the order in which the
// straightforward pass forms them; returns how many. Positions at or after a
// short barcode's end are zero in every key, so leaving them out keeps the
// order of the others.
uint32_t list_neighbours(uint32_t a, uint32_t k, uint32_t positions, uint32_t* keys);

// Orders the neighbours n of key a at one prefix distance as the
// straightforward pass visits them: changed positions as a subset in
// lexicographic order, then the pattern of n's bases there.
[[nodiscard]] uint32_t neighbour_rank(uint32_t a, uint32_t n);

// Builds the suffix index of PairSearch for count representatives:
// suffix_order, suffix_position and suffix_group_end, count entries each.
void index_suffixes(const uint64_t* barcodes, uint32_t barcode_words, uint32_t count, uint32_t* order,
                    uint32_t* position, uint32_t* group_end);

// The runs of equal suffixes with at least min_size members, of count
// representatives with the suffix index order and group_end.
[[nodiscard]] uint32_t count_long_suffix_runs(const uint32_t* group_end, uint32_t count, uint32_t min_size);

// Bytes of the tables of runs long runs, their roots included.
[[nodiscard]] uint64_t long_suffix_run_bytes(uint32_t runs);

// The tables of runs long runs laid out in table (long_suffix_run_bytes(runs) bytes).
[[nodiscard]] LongSuffixRuns long_suffix_runs_in(void* table, uint32_t runs);

// Fills table with the runs of at least min_size members, runs as
// count_long_suffix_runs gave; barcodes are those the suffix index was built from.
void index_long_suffix_runs(const uint64_t* barcodes, uint32_t barcode_words, const uint32_t* order,
                            const uint32_t* group_end, uint32_t count, uint32_t min_size, uint32_t runs, void* table);
