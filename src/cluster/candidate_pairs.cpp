#include "cluster/candidate_pairs.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "cluster/distance_pass.h"
#include "base/run_state.h"

// The searches count differing bases with popcount. On x86-64 a second copy
// of find_bucket_pairs uses the POPCNT instruction where the processor has
// it; every helper of the search is inlined into it so that the copy covers
// them too.
// Sanitizer builds take one copy: the clones' resolver runs before the
// ThreadSanitizer runtime is up.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__) && \
    !defined(__SANITIZE_ADDRESS__)
#define TARNWELL_POPCOUNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define TARNWELL_POPCOUNT_CLONES
#endif
#define TARNWELL_SEARCH_STEP [[gnu::always_inline]] inline

namespace {

constexpr uint64_t kLowBitOfEachBase = 0x5555555555555555ull;
constexpr uint64_t kWordZeroSuffix = 0x0000ffffffffffffull;  // word 0 without its 8-base prefix

// Bases at which two words of packed barcode differ: one bit per base.
TARNWELL_SEARCH_STEP uint32_t differing_bases(uint64_t a, uint64_t b) {
  const uint64_t diff = a ^ b;
  return static_cast<uint32_t>(__builtin_popcountll((diff | (diff >> 1)) & kLowBitOfEachBase));
}

TARNWELL_SEARCH_STEP uint32_t barcode_distance(const uint64_t* x, const uint64_t* y, uint32_t words) {
  uint32_t distance = differing_bases(x[0], y[0]);
  for (uint32_t j = 1; j < words; ++j) distance += differing_bases(x[j], y[j]);
  return distance;
}

// -1, 0 or 1 as the suffix of x sorts before, with, or after the suffix of y.
TARNWELL_SEARCH_STEP int compare_suffixes(const uint64_t* x, const uint64_t* y, uint32_t words) {
  if ((x[0] & kWordZeroSuffix) != (y[0] & kWordZeroSuffix))
    return (x[0] & kWordZeroSuffix) < (y[0] & kWordZeroSuffix) ? -1 : 1;
  for (uint32_t j = 1; j < words; ++j) {
    if (x[j] != y[j]) return x[j] < y[j] ? -1 : 1;
  }
  return 0;
}

TARNWELL_SEARCH_STEP uint32_t prefix_key_of(const uint64_t* barcode) { return static_cast<uint32_t>(barcode[0] >> 48); }

// Appends one pair; false when the buffer is full.
TARNWELL_SEARCH_STEP bool append(PairBuffer* buffer, uint32_t rank, uint32_t x, uint32_t y) {
  if (buffer->count == buffer->capacity) return false;
  buffer->pairs[buffer->count++] = {rank, x, y};
  return true;
}

// Subpass 0: each representative against every later one of its bucket.
TARNWELL_SEARCH_STEP bool pairs_within_bucket(const PairSearch& search, uint32_t begin, uint32_t end,
                                              PairBuffer* buffer) {
  const uint32_t words = search.barcode_words;
  for (uint32_t x = begin; x < end; ++x) {
    const uint64_t* bx = search.barcodes + uint64_t{x} * words;
    for (uint32_t y = x + 1; y < end; ++y) {
      if (barcode_distance(bx, search.barcodes + uint64_t{y} * words, words) != search.distance) continue;
      if (search.root[x] != search.root[y] && !append(buffer, 0, x, y)) return false;
    }
  }
  return true;
}

// Every representative of bucket a against every one of neighbour n.
TARNWELL_SEARCH_STEP bool pairs_across_buckets(const PairSearch& search, uint32_t a, uint32_t n, PairBuffer* buffer) {
  const uint32_t words = search.barcode_words;
  const uint32_t n_begin = search.bucket_first[n];
  const uint32_t n_end = search.bucket_first[n + 1];
  for (uint32_t x = search.bucket_first[a]; x < search.bucket_first[a + 1]; ++x) {
    const uint64_t* bx = search.barcodes + uint64_t{x} * words;
    for (uint32_t y = n_begin; y < n_end; ++y) {
      if (barcode_distance(bx, search.barcodes + uint64_t{y} * words, words) != search.distance) continue;
      if (search.root[x] != search.root[y] && !append(buffer, 0, x, y)) return false;
    }
  }
  return true;
}

// k = d: the pairs of buckets a and n with equal suffixes. Both buckets are
// ordered by suffix, so one merge finds them, each x meeting at most one y.
TARNWELL_SEARCH_STEP bool pairs_with_equal_suffixes(const PairSearch& search, uint32_t a, uint32_t n,
                                                    PairBuffer* buffer) {
  const uint32_t words = search.barcode_words;
  uint32_t x = search.bucket_first[a];
  uint32_t y = search.bucket_first[n];
  const uint32_t x_end = search.bucket_first[a + 1];
  const uint32_t y_end = search.bucket_first[n + 1];
  while (x < x_end && y < y_end) {
    const int order =
        compare_suffixes(search.barcodes + uint64_t{x} * words, search.barcodes + uint64_t{y} * words, words);
    if (order < 0) {
      ++x;
    } else if (order > 0) {
      ++y;
    } else {
      if (search.root[x] != search.root[y] && !append(buffer, 0, x, y)) return false;
      ++x;
      ++y;
    }
  }
  return true;
}

// Visits the non-empty neighbours of bucket a with larger keys, in the order
// of the straightforward pass.
TARNWELL_SEARCH_STEP bool pairs_with_neighbours(const PairSearch& search, uint32_t a, PairBuffer* buffer) {
  uint32_t neighbours[kMaxNeighbours];
  const uint32_t count = list_neighbours(a, search.prefix_distance, search.key_positions, neighbours);
  const bool equal_suffixes = search.prefix_distance == search.distance;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t n = neighbours[i];
    if (n <= a || search.bucket_first[n] == search.bucket_first[n + 1]) continue;
    // Two buckets wholly inside one cluster have nothing left to join.
    if (search.bucket_root[a] != kMixedRoots && search.bucket_root[a] == search.bucket_root[n]) continue;
    const bool fits =
        equal_suffixes ? pairs_with_equal_suffixes(search, a, n, buffer) : pairs_across_buckets(search, a, n, buffer);
    if (!fits) return false;
  }
  return true;
}

// The neighbour keys that list_neighbours forms for prefix distance k.
TARNWELL_SEARCH_STEP uint32_t neighbour_count(uint32_t k) {
  static constexpr uint32_t kSubsets[9] = {1, 8, 28, 56, 70, 56, 28, 8, 1};
  static constexpr uint32_t kPatterns[9] = {1, 3, 9, 27, 81, 243, 729, 2187, 6561};
  return kSubsets[k] * kPatterns[k];
}

// The indexed run that place lies in, or long_runs.count when its run is
// not indexed.
TARNWELL_SEARCH_STEP uint32_t long_run_of(const LongSuffixRuns& runs, uint32_t place) {
  const uint32_t* after = std::upper_bound(runs.run_begin, runs.run_begin + runs.count, place);
  if (after == runs.run_begin) return runs.count;
  const uint32_t run = static_cast<uint32_t>(after - runs.run_begin - 1);
  return place < runs.run_end[run] ? run : runs.count;
}

// The indexed run in which x, at place, finds its partners by key lookup:
// when it has more later members than neighbour keys. long_runs.count when
// x reads its run.
TARNWELL_SEARCH_STEP uint32_t lookup_run(const PairSearch& search, uint32_t place) {
  const bool worth_it = search.long_runs.always_look_up ||
                        search.suffix_group_end[place] - place - 1 > neighbour_count(search.prefix_distance);
  return worth_it ? long_run_of(search.long_runs, place) : search.long_runs.count;
}

// k = d for x in the indexed run: the members of the run whose keys are the
// neighbours of x's key a above it.
TARNWELL_SEARCH_STEP bool partners_by_key(const PairSearch& search, uint32_t x, uint32_t run, uint32_t a,
                                          const uint32_t* neighbours, uint32_t neighbour_total, PairBuffer* buffer) {
  const LongSuffixRuns& runs = search.long_runs;
  const uint64_t* bits = runs.key_bits + uint64_t{run} * kKeyWords;
  const uint32_t* before = runs.keys_before + uint64_t{run} * kKeyWords;
  for (uint32_t i = 0; i < neighbour_total; ++i) {
    const uint32_t n = neighbours[i];
    const uint64_t word = bits[n / 64];
    if (n <= a || (word >> (n % 64) & 1) == 0) continue;
    const uint32_t rank = before[n / 64] + static_cast<uint32_t>(__builtin_popcountll(word & ((uint64_t{1} << (n % 64)) - 1)));
    const uint32_t y = search.suffix_order[runs.run_begin[run] + rank];
    if (search.root[x] != search.root[y] && !append(buffer, neighbour_rank(a, n), x, y)) return false;
  }
  return true;
}

// k = d through the suffix index: each x meets the later members of its run
// of equal suffixes, which lie in buckets with larger keys; those at prefix
// distance k are its partners. The pairs are then put in join order.
TARNWELL_SEARCH_STEP bool pairs_by_suffix(const PairSearch& search, uint32_t a, PairBuffer* buffer) {
  const uint64_t first_pair = buffer->count;
  const uint32_t words = search.barcode_words;
  uint32_t neighbours[kMaxNeighbours];
  uint32_t neighbour_total = UINT32_MAX;  // listed when a member first needs them
  for (uint32_t x = search.bucket_first[a]; x < search.bucket_first[a + 1]; ++x) {
    const uint32_t place = search.suffix_position[x];
    const uint32_t run = lookup_run(search, place);
    if (run < search.long_runs.count) {
      // A run wholly inside one cluster holds all of x's partners: nothing is left to join.
      if (search.long_runs.root[run] != kMixedRoots) continue;
      if (neighbour_total == UINT32_MAX) {
        neighbour_total = list_neighbours(a, search.prefix_distance, search.key_positions, neighbours);
      }
      if (!partners_by_key(search, x, run, a, neighbours, neighbour_total, buffer)) return false;
      continue;
    }
    for (uint32_t later = place + 1; later < search.suffix_group_end[place]; ++later) {
      const uint32_t y = search.suffix_order[later];
      const uint32_t n = prefix_key_of(search.barcodes + uint64_t{y} * words);
      if (differing_bases(uint64_t{a} << 48, uint64_t{n} << 48) != search.prefix_distance) continue;
      if (search.root[x] != search.root[y] && !append(buffer, neighbour_rank(a, n), x, y)) return false;
    }
  }
  std::sort(buffer->pairs + first_pair, buffer->pairs + buffer->count,
            [](const CandidatePair& p, const CandidatePair& q) {
              if (p.rank != q.rank) return p.rank < q.rank;
              return p.x != q.x ? p.x < q.x : p.y < q.y;
            });
  return true;
}

}  // namespace

TARNWELL_POPCOUNT_CLONES
bool find_bucket_pairs(const PairSearch& search, uint32_t bucket, PairBuffer* buffer) {
  if (search.bucket_first[bucket] == search.bucket_first[bucket + 1]) return true;
  const uint64_t first_pair = buffer->count;
  bool fits;
  if (search.prefix_distance == 0) {
    if (search.bucket_root[bucket] != kMixedRoots) return true;
    fits = pairs_within_bucket(search, search.bucket_first[bucket], search.bucket_first[bucket + 1], buffer);
  } else if (search.prefix_distance < search.distance || search.suffix_order == nullptr) {
    fits = pairs_with_neighbours(search, bucket, buffer);
  } else {
    // Scan the runs of equal suffixes when they are shorter than the
    // enumeration of all neighbour buckets would be. A member that looks its
    // partners up costs one such enumeration, which the neighbour buckets'
    // merges cost at least as well.
    uint64_t scan = 0;
    for (uint32_t x = search.bucket_first[bucket]; x < search.bucket_first[bucket + 1]; ++x) {
      const uint32_t place = search.suffix_position[x];
      if (lookup_run(search, place) == search.long_runs.count) scan += search.suffix_group_end[place] - place - 1;
    }
    fits = scan <= neighbour_count(search.prefix_distance) ? pairs_by_suffix(search, bucket, buffer)
                                                           : pairs_with_neighbours(search, bucket, buffer);
  }
  if (!fits) buffer->count = first_pair;
  return fits;
}

namespace {

// Orders the entries by their bits low to high - 1 (stable, so ties keep
// their order), least significant byte first.
void sort_by_bits(uint64_t* entries, uint64_t* scratch, uint32_t count, uint32_t low, uint32_t high) {
  constexpr uint32_t kDigitBits = 8;  // few enough write streams for the caches and the TLB
  constexpr uint32_t kDigitMask = (1u << kDigitBits) - 1;
  uint64_t* from = entries;
  uint64_t* to = scratch;
  for (uint32_t shift = low; shift < high; shift += kDigitBits) {
    const auto digit = [&](uint64_t e) { return static_cast<uint32_t>(e >> shift) & kDigitMask; };
    uint32_t starts[kDigitMask + 1] = {};
    for (uint32_t i = 0; i < count; ++i) ++starts[digit(from[i])];
    if (starts[digit(from[0])] == count) continue;
    uint32_t sum = 0;
    for (uint32_t& start : starts) {
      const uint32_t here = start;
      start = sum;
      sum += here;
    }
    for (uint32_t i = 0; i < count; ++i) to[starts[digit(from[i])]++] = from[i];
    std::swap(from, to);
  }
  if (from != entries) memcpy(entries, from, sizeof(uint64_t) * count);
}

// The first and last prefix positions, plus one, of block b of the k + 1
// blocks that split the 8 prefix positions.
uint32_t block_begin(uint32_t b, uint32_t k) { return 8 * b / (k + 1); }
uint32_t block_end(uint32_t b, uint32_t k) { return 8 * (b + 1) / (k + 1); }

uint64_t prefix_block_bits(uint32_t b, uint32_t k) {
  uint64_t bits = 0;
  for (uint32_t p = block_begin(b, k); p < block_end(b, k); ++p) bits |= uint64_t{3} << (62 - 2 * p);
  return bits;
}

// Bits needed to tell count representatives apart.
uint32_t index_bits(uint32_t count) {
  uint32_t bits = 1;
  while (bits < 32 && (uint64_t{1} << bits) < count) ++bits;
  return bits;
}

// The key of one search, packed: prefix block `block` above the suffix
// without base q.
uint64_t blanked_key(uint64_t word, uint32_t suffix_length, uint32_t q, uint32_t block, uint32_t k) {
  const uint32_t suffix_bits = 2 * suffix_length;
  const uint64_t suffix = (word & kWordZeroSuffix) >> (48 - suffix_bits);
  const uint32_t after_q = 2 * (suffix_length - 1 - q);
  const uint64_t without_q = ((suffix >> (after_q + 2)) << after_q) | (suffix & ((uint64_t{1} << after_q) - 1));
  const uint32_t first = block_begin(block, k);
  const uint32_t block_bits = 2 * (block_end(block, k) - first);
  const uint64_t prefix_block = (word >> (64 - 2 * first - block_bits)) & ((uint64_t{1} << block_bits) - 1);
  return (prefix_block << (suffix_bits - 2)) | without_q;
}

}  // namespace

void find_bucket_roots(const uint32_t* bucket_first, const uint32_t* root, uint32_t begin, uint32_t end,
                       uint32_t* bucket_root) {
  for (uint32_t k = begin; k < end; ++k) {
    uint32_t shared = bucket_first[k] < bucket_first[k + 1] ? root[bucket_first[k]] : kMixedRoots;
    for (uint32_t u = bucket_first[k] + 1; u < bucket_first[k + 1] && shared != kMixedRoots; ++u) {
      if (root[u] != shared) shared = kMixedRoots;
    }
    bucket_root[k] = shared;
  }
}

uint32_t one_suffix_base_apart_searches(const PairSearch& search) {
  const uint32_t k = search.prefix_distance;
  if (search.barcode_words != 1 || search.suffix_length == 0 || k > 2 || search.distance != k + 1) return 0;
  // Each entry is one word: the key above the representative's index.
  const uint32_t widest_block = 2 * (8 / (k + 1) + (8 % (k + 1) != 0));
  if (2 * (search.suffix_length - 1) + widest_block + index_bits(search.bucket_first[kBucketCount]) > 64) return 0;
  return search.suffix_length * (k + 1);
}

TARNWELL_POPCOUNT_CLONES
bool find_pairs_one_suffix_base_apart(const PairSearch& search, uint32_t search_number, uint64_t* entries,
                                      uint64_t* scratch, PairBuffer* buffer) {
  assert(search_number < one_suffix_base_apart_searches(search));
  const uint32_t k = search.prefix_distance;
  const uint32_t q = search_number / (k + 1);
  const uint32_t block = search_number % (k + 1);
  // Keep the suffix but base q, and one block of the prefix: a pair whose
  // suffixes differ at q alone agrees on at least one of the k + 1 blocks,
  // and is taken up in the first block it agrees on.
  uint64_t earlier_blocks[2] = {0, 0};
  for (uint32_t b = 0; b < block; ++b) earlier_blocks[b] = prefix_block_bits(b, k);
  const uint32_t count = search.bucket_first[kBucketCount];
  if (count == 0) return true;
  const uint32_t shift = index_bits(count);
  const uint64_t* barcodes = search.barcodes;
  for (uint32_t u = 0; u < count; ++u) {
    entries[u] = (blanked_key(barcodes[u], search.suffix_length, q, block, k) << shift) | u;
  }
  const uint32_t key_bits = 2 * (search.suffix_length - 1 + block_end(block, k) - block_begin(block, k));
  sort_by_bits(entries, scratch, count, shift, shift + key_bits);
  const uint64_t first_pair = buffer->count;
  const uint64_t index_mask = (uint64_t{1} << shift) - 1;
  for (uint32_t begin = 0, end; begin < count; begin = end) {
    const uint64_t group = entries[begin] >> shift;
    end = begin + 1;
    while (end < count && entries[end] >> shift == group) ++end;
    for (uint32_t i = begin; i < end; ++i) {
      // Indices ascend within a group, so u comes first in bucket order:
      // the one the straightforward pass starts from.
      const uint32_t u = static_cast<uint32_t>(entries[i] & index_mask);
      for (uint32_t j = i + 1; j < end; ++j) {
        const uint32_t v = static_cast<uint32_t>(entries[j] & index_mask);
        if (search.root[u] == search.root[v] || differing_bases(barcodes[u], barcodes[v]) != search.distance) continue;
        const uint32_t a = prefix_key_of(&barcodes[u]);
        const uint32_t n = prefix_key_of(&barcodes[v]);
        if (differing_bases(uint64_t{a} << 48, uint64_t{n} << 48) != k) continue;
        if (block > 0 && ((barcodes[u] ^ barcodes[v]) & earlier_blocks[0]) == 0) continue;
        if (block > 1 && ((barcodes[u] ^ barcodes[v]) & earlier_blocks[1]) == 0) continue;
        if (!append(buffer, (a << 16) | (a == n ? 0 : neighbour_rank(a, n)), u, v)) {
          buffer->count = first_pair;
          return false;
        }
      }
    }
  }
  return true;
}

uint32_t list_neighbours(uint32_t a, uint32_t k, uint32_t positions, uint32_t* keys) {
  assert(k <= 3 && "kMaxNeighbours holds the neighbours of up to 3 changed positions");
  // The three other bases of each base, ascending: the patterns that give a
  // neighbour, in the order in which they come up.
  static const uint32_t kOtherBases[4][3] = {{1, 2, 3}, {0, 2, 3}, {0, 1, 3}, {0, 1, 2}};
  if (k == 0 || k > positions) return 0;
  uint32_t count = 0;
  uint32_t subset[8];
  for (uint32_t i = 0; i < k; ++i) subset[i] = i;
  do {
    uint32_t shift[3];
    uint32_t base[3];
    uint32_t cleared = a;
    for (uint32_t i = 0; i < k; ++i) {
      shift[i] = 2 * (7 - subset[i]);
      base[i] = (a >> shift[i]) & 3;
      cleared &= ~(3u << shift[i]);
    }
    // An odometer over the three other bases at each position, the subset's
    // first position turning fastest, as its base takes the lowest pattern bits.
    uint32_t digit[3] = {0, 0, 0};
    for (;;) {
      uint32_t key = cleared;
      for (uint32_t i = 0; i < k; ++i) key |= kOtherBases[base[i]][digit[i]] << shift[i];
      keys[count++] = key;
      uint32_t i = 0;
      while (i < k && ++digit[i] == 3) digit[i++] = 0;
      if (i == k) break;
    }
  } while (next_combination(subset, positions, k));
  return count;
}

uint32_t neighbour_rank(uint32_t a, uint32_t n) {
  // Rank of every subset of the 8 prefix positions (bit p for position p)
  // among the subsets of its size, in the order next_combination visits them.
  static const auto subset_ranks = [] {
    struct Ranks {
      uint16_t of_mask[256];
    } ranks{};
    for (uint32_t k = 1; k <= 8; ++k) {
      uint32_t subset[8];
      for (uint32_t i = 0; i < k; ++i) subset[i] = i;
      uint16_t rank = 0;
      do {
        uint32_t mask = 0;
        for (uint32_t i = 0; i < k; ++i) mask |= 1u << subset[i];
        ranks.of_mask[mask] = rank++;
      } while (next_combination(subset, 8, k));
    }
    return ranks;
  }();
  uint32_t mask = 0;
  uint32_t pattern = 0;
  uint32_t k = 0;
  for (uint32_t p = 0; p < 8; ++p) {
    const uint32_t shift = 2 * (7 - p);
    if (((a ^ n) >> shift & 3) == 0) continue;
    mask |= 1u << p;
    pattern |= (n >> shift & 3) << (2 * k);
    ++k;
  }
  return (uint32_t{subset_ranks.of_mask[mask]} << (2 * k)) | pattern;
}

namespace {

// Orders the representatives by suffix, ties in index order: a stable radix
// sort over the suffix bits; scratch holds count entries.
void sort_by_suffix(const uint64_t* barcodes, uint32_t barcode_words, uint32_t count, uint32_t* order,
                    uint32_t* scratch) {
  constexpr uint32_t kDigitBits = 11;
  constexpr uint32_t kDigits = 1u << kDigitBits;
  uint32_t* from = order;
  uint32_t* to = scratch;
  for (uint32_t u = 0; u < count; ++u) from[u] = u;
  if (count == 0) return;
  // Least significant digit first: the last word up to word 0's suffix bits.
  for (uint32_t word = barcode_words; word-- > 0;) {
    const uint32_t bits = word == 0 ? 48 : 64;
    for (uint32_t shift = 0; shift < bits; shift += kDigitBits) {
      const uint32_t width = bits - shift < kDigitBits ? bits - shift : kDigitBits;
      const uint64_t digit_mask = (uint64_t{1} << width) - 1;
      const auto digit = [&](uint32_t u) {
        return static_cast<uint32_t>(barcodes[uint64_t{u} * barcode_words + word] >> shift & digit_mask);
      };
      uint32_t starts[kDigits] = {};
      for (uint32_t i = 0; i < count; ++i) ++starts[digit(from[i])];
      // A digit that all share orders nothing, as in the zero fill after the last base.
      if (starts[digit(from[0])] == count) continue;
      uint32_t sum = 0;
      for (uint32_t value = 0; value < kDigits; ++value) {
        const uint32_t here = starts[value];
        starts[value] = sum;
        sum += here;
      }
      for (uint32_t i = 0; i < count; ++i) to[starts[digit(from[i])]++] = from[i];
      std::swap(from, to);
    }
  }
  if (from != order) memcpy(order, from, sizeof(uint32_t) * count);
}

}  // namespace

void index_suffixes(const uint64_t* barcodes, uint32_t barcode_words, uint32_t count, uint32_t* order,
                    uint32_t* position, uint32_t* group_end) {
  sort_by_suffix(barcodes, barcode_words, count, order, position);
  const auto same_suffix = [&](uint32_t x, uint32_t y) {
    const uint64_t* bx = barcodes + uint64_t{x} * barcode_words;
    const uint64_t* by = barcodes + uint64_t{y} * barcode_words;
    return ((bx[0] ^ by[0]) & kWordZeroSuffix) == 0 && memcmp(bx + 1, by + 1, 8ull * (barcode_words - 1)) == 0;
  };
  for (uint32_t place = count; place-- > 0;) {
    const bool continues = place + 1 < count && same_suffix(order[place], order[place + 1]);
    group_end[place] = continues ? group_end[place + 1] : place + 1;
    position[order[place]] = place;
  }
}

uint32_t count_long_suffix_runs(const uint32_t* group_end, uint32_t count, uint32_t min_size) {
  uint32_t runs = 0;
  for (uint32_t place = 0; place < count; place = group_end[place]) runs += group_end[place] - place >= min_size;
  return runs;
}

uint64_t long_suffix_run_bytes(uint32_t runs) {
  return uint64_t{runs} * (3 * sizeof(uint32_t) + kKeyWords * (sizeof(uint64_t) + sizeof(uint32_t)));
}

void find_long_run_roots(const LongSuffixRuns& runs, const uint32_t* suffix_order, const uint32_t* root) {
  for (uint32_t run = 0; run < runs.count; ++run) {
    uint32_t shared = root[suffix_order[runs.run_begin[run]]];
    for (uint32_t place = runs.run_begin[run] + 1; place < runs.run_end[run] && shared != kMixedRoots; ++place) {
      if (root[suffix_order[place]] != shared) shared = kMixedRoots;
    }
    runs.root[run] = shared;
  }
}

namespace {

// The arrays of the tables of runs long runs, as laid out in table.
struct RunTables {
  uint64_t* key_bits;
  uint32_t* keys_before;
  uint32_t* run_begin;
  uint32_t* run_end;
  uint32_t* root;
};

RunTables run_tables_in(void* table, uint32_t runs) {
  uint64_t* key_bits = static_cast<uint64_t*>(table);
  uint32_t* keys_before = reinterpret_cast<uint32_t*>(key_bits + uint64_t{runs} * kKeyWords);
  uint32_t* run_begin = keys_before + uint64_t{runs} * kKeyWords;
  return {key_bits, keys_before, run_begin, run_begin + runs, run_begin + 2 * uint64_t{runs}};
}

}  // namespace

LongSuffixRuns long_suffix_runs_in(void* table, uint32_t runs) {
  const RunTables tables = run_tables_in(table, runs);
  return {runs, tables.run_begin, tables.run_end, tables.key_bits, tables.keys_before, tables.root, false};
}

void index_long_suffix_runs(const uint64_t* barcodes, uint32_t barcode_words, const uint32_t* order,
                            const uint32_t* group_end, uint32_t count, uint32_t min_size, uint32_t runs, void* table) {
  const RunTables tables = run_tables_in(table, runs);
  uint32_t run = 0;
  for (uint32_t place = 0; place < count; place = group_end[place]) {
    if (group_end[place] - place < min_size) continue;
    tables.run_begin[run] = place;
    tables.run_end[run] = group_end[place];
    uint64_t* bits = tables.key_bits + uint64_t{run} * kKeyWords;
    memset(bits, 0, kKeyWords * sizeof(uint64_t));
    for (uint32_t member = place; member < group_end[place]; ++member) {
      const uint32_t key = prefix_key_of(barcodes + uint64_t{order[member]} * barcode_words);
      bits[key / 64] |= uint64_t{1} << (key % 64);
    }
    uint32_t* before = tables.keys_before + uint64_t{run} * kKeyWords;
    uint32_t sum = 0;
    for (uint32_t w = 0; w < kKeyWords; ++w) {
      before[w] = sum;
      sum += static_cast<uint32_t>(__builtin_popcountll(bits[w]));
    }
    assert(sum == group_end[place] - place && "the members of a run of equal suffixes have distinct keys");
    ++run;
  }
  assert(run == runs);
}
