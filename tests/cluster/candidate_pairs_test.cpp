// The searches of the fast passes against each other and against the
// straightforward enumeration: the same neighbour buckets in the same order,
// and the same candidate pairs whichever search finds them.
#include "cluster/candidate_pairs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <utility>
#include <vector>

#include "cluster/distance_pass.h"
#include "support/random_reads.h"

namespace {

#ifdef TARNWELL_SANITIZED_TESTS
constexpr uint32_t kRepresentatives = 500;
#else
constexpr uint32_t kRepresentatives = 1200;
#endif

// The neighbour keys the straightforward pass forms for bucket a.
std::vector<uint32_t> straightforward_neighbours(uint32_t a, uint32_t k) {
  std::vector<uint32_t> keys;
  uint32_t subset[8];
  for (uint32_t i = 0; i < k; ++i) subset[i] = i;
  do {
    for (uint32_t v = 0; v < (1u << (2 * k)); ++v) {
      uint32_t n;
      if (neighbour_key(a, subset, k, v, &n)) keys.push_back(n);
    }
  } while (next_combination(subset, 8, k));
  return keys;
}

// A short barcode leaves the last prefix positions zero in every key; the
// neighbours that keep them zero come in the same order as for a full prefix.
TEST(Neighbours, ListedInTheOrderOfTheStraightforwardPass) {
  CaseRandom random(7);
  for (uint32_t trial = 0; trial < 300; ++trial) {
    const uint32_t positions = trial < 200 ? 8 : 1 + trial % 8;
    const uint32_t unused = (1u << (2 * (8 - positions))) - 1;
    const uint32_t a = (trial < 2 ? trial * 65535 : random.below(65536)) & ~unused;
    for (uint32_t k = 1; k <= 3; ++k) {
      uint32_t keys[kMaxNeighbours];
      const uint32_t count = list_neighbours(a, k, positions, keys);
      std::vector<uint32_t> expected = straightforward_neighbours(a, k);
      std::erase_if(expected, [&](uint32_t n) { return (n & unused) != 0; });
      ASSERT_EQ(std::vector<uint32_t>(keys, keys + count), expected)
          << "a " << a << " k " << k << " positions " << positions;
      for (uint32_t i = 1; i < count; ++i) ASSERT_LT(neighbour_rank(a, keys[i - 1]), neighbour_rank(a, keys[i]));
    }
  }
}

// Distinct random one-word barcodes of the given length, sorted as the
// representatives are, over a narrow alphabet so that pairs abound, with
// roots that put some of them in shared clusters.
struct Representatives {
  std::vector<uint64_t> barcodes;
  std::vector<uint32_t> bucket_first = std::vector<uint32_t>(65537);
  std::vector<uint32_t> root;
  std::vector<uint32_t> bucket_root = std::vector<uint32_t>(65536);
  std::vector<uint32_t> order, position, group_end;

  Representatives(CaseRandom& random, uint32_t length, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
      uint64_t word = 0;
      for (uint32_t j = 0; j < length; ++j)
        word |= uint64_t{random.below(2) + (j % 3 == 0 ? random.below(3) : 0)} << (62 - 2 * j);
      barcodes.push_back(word);
    }
    std::sort(barcodes.begin(), barcodes.end());
    barcodes.erase(std::unique(barcodes.begin(), barcodes.end()), barcodes.end());
    const uint32_t n = static_cast<uint32_t>(barcodes.size());
    // Some representatives join an earlier one's cluster, and some buckets lie wholly in one.
    for (uint32_t u = 0; u < n; ++u) {
      const bool same_bucket = u > 0 && barcodes[u] >> 48 == barcodes[u - 1] >> 48;
      root.push_back(u > 0 && random.chance(20)         ? root[random.below(u)]
                     : same_bucket && random.chance(50) ? root[u - 1]
                                                        : u);
    }
    uint32_t u = 0;
    for (uint32_t k = 0; k <= 65536; ++k) {
      while (u < n && (barcodes[u] >> 48) < k) ++u;
      bucket_first[k] = u;
    }
    find_bucket_roots(bucket_first.data(), root.data(), 0, 65536, bucket_root.data());
    order.resize(n);
    position.resize(n);
    group_end.resize(n);
    index_suffixes(barcodes.data(), 1, n, order.data(), position.data(), group_end.data());
  }

  PairSearch search(uint32_t d, uint32_t k, uint32_t length, bool with_suffix_index) const {
    return {d,
            k,
            1,
            length < 8 ? length : 8,
            length > 8 ? length - 8 : 0,
            barcodes.data(),
            bucket_first.data(),
            root.data(),
            bucket_root.data(),
            with_suffix_index ? order.data() : nullptr,
            with_suffix_index ? position.data() : nullptr,
            with_suffix_index ? group_end.data() : nullptr};
  }
};

using PairList = std::vector<std::pair<uint32_t, uint32_t>>;

PairList pairs_bucket_by_bucket(const PairSearch& search) {
  std::vector<CandidatePair> pairs(1 << 20);
  PairBuffer buffer{pairs.data(), 0, pairs.size()};
  for (uint32_t a = 0; a < 65536; ++a) EXPECT_TRUE(find_bucket_pairs(search, a, &buffer));
  PairList list;
  for (uint64_t i = 0; i < buffer.count; ++i) list.emplace_back(pairs[i].x, pairs[i].y);
  return list;
}

// Every pair at the subpass's distances, by brute force, with its bucket.
PairList pairs_by_brute_force(const PairSearch& search, uint32_t count) {
  PairList list;
  for (uint32_t x = 0; x < count; ++x) {
    for (uint32_t y = x + 1; y < count; ++y) {
      const uint64_t diff = search.barcodes[x] ^ search.barcodes[y];
      const uint64_t bases = (diff | diff >> 1) & 0x5555555555555555ull;
      const uint64_t prefix = bases >> 48;
      if (static_cast<uint32_t>(__builtin_popcountll(bases)) == search.distance &&
          static_cast<uint32_t>(__builtin_popcountll(prefix)) == search.prefix_distance &&
          search.root[x] != search.root[y]) {
        list.emplace_back(x, y);
      }
    }
  }
  return list;
}

TEST(CandidatePairs, EverySearchFindsThePairsOfTheSubpass) {
  CaseRandom random(11);
  for (uint32_t length : {2u, 8u, 9u, 12u, 16u, 23u, 32u}) {
    const Representatives reps(random, length, kRepresentatives);
    const uint32_t count = static_cast<uint32_t>(reps.barcodes.size());
    for (uint32_t d = 1; d <= 3; ++d) {
      for (uint32_t k = 0; k <= d; ++k) {
        const PairSearch indexed = reps.search(d, k, length, length > 8);
        PairList expected = pairs_by_brute_force(indexed, count);
        PairList found = pairs_bucket_by_bucket(indexed);
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, expected) << "length " << length << " d " << d << " k " << k;
        if (k == d) {
          // Through the suffix index or by merging with each neighbour bucket: the same pairs, in the same order.
          EXPECT_EQ(pairs_bucket_by_bucket(reps.search(d, k, length, false)), pairs_bucket_by_bucket(indexed));
        }
      }
    }
  }
}

TEST(CandidatePairs, BlankedSuffixSearchGivesTheBucketSearchOrder) {
  CaseRandom random(12);
  for (uint32_t length : {9u, 10u, 14u, 20u, 32u}) {
    const Representatives reps(random, length, 2 * kRepresentatives);
    const uint32_t count = static_cast<uint32_t>(reps.barcodes.size());
    for (uint32_t k = 0; k <= 2; ++k) {
      const PairSearch search = reps.search(k + 1, k, length, true);
      // Keys of long barcodes leave no room for the index in a word.
      if (length > 20 && one_suffix_base_apart_searches(search) == 0) continue;
      ASSERT_EQ(one_suffix_base_apart_searches(search), (length - 8) * (k + 1));
      std::vector<CandidatePair> pairs(1 << 20);
      std::vector<uint64_t> entries(2 * count);
      PairBuffer buffer{pairs.data(), 0, pairs.size()};
      for (uint32_t i = 0; i < one_suffix_base_apart_searches(search); ++i) {
        ASSERT_TRUE(find_pairs_one_suffix_base_apart(search, i, entries.data(), entries.data() + count, &buffer));
      }
      std::sort(pairs.begin(), pairs.begin() + buffer.count, [](const CandidatePair& p, const CandidatePair& q) {
        return std::tie(p.rank, p.x, p.y) < std::tie(q.rank, q.x, q.y);
      });
      PairList found;
      for (uint64_t i = 0; i < buffer.count; ++i) found.emplace_back(pairs[i].x, pairs[i].y);
      EXPECT_EQ(found, pairs_bucket_by_bucket(search)) << "length " << length << " k " << k;
    }
  }
}

TEST(CandidatePairs, FullBufferLeavesItAsItWas) {
  CaseRandom random(13);
  const Representatives reps(random, 12, 2000);
  for (uint32_t k = 0; k <= 1; ++k) {
    const PairSearch search = reps.search(1, k, 12, true);
    std::vector<CandidatePair> pairs(1 << 16);
    for (uint32_t a = 0; a < 65536; ++a) {
      PairBuffer roomy{pairs.data(), 0, pairs.size()};
      ASSERT_TRUE(find_bucket_pairs(search, a, &roomy));
      if (roomy.count == 0) continue;
      PairBuffer tight{pairs.data(), 3, 2 + roomy.count};
      EXPECT_FALSE(find_bucket_pairs(search, a, &tight));
      EXPECT_EQ(tight.count, 3u);
    }
  }
}

}  // namespace
