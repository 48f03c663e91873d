// The distance pass: subset enumeration, the exact-distance test, and the
// joins that one pass makes.
#include "cluster/distance_pass.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "cluster/cluster_forest.h"
#include "cluster/pipeline_steps.h"

namespace {

TEST(NextCombination, VisitsEverySubsetOnceInLexicographicOrder) {
  for (uint32_t size = 1; size <= 8; ++size) {
    for (uint32_t k = 1; k <= size; ++k) {
      std::vector<std::vector<uint32_t>> expected;
      for (uint32_t mask = 0; mask < (1u << size); ++mask) {
        if (static_cast<uint32_t>(__builtin_popcount(mask)) != k) continue;
        std::vector<uint32_t> subset;
        for (uint32_t p = 0; p < size; ++p) {
          if (mask & (1u << p)) subset.push_back(p);
        }
        expected.push_back(subset);
      }
      std::sort(expected.begin(), expected.end());

      uint32_t subset[8];
      for (uint32_t i = 0; i < k; ++i) subset[i] = i;
      std::vector<std::vector<uint32_t>> visited;
      do {
        visited.emplace_back(subset, subset + k);
      } while (next_combination(subset, size, k) && visited.size() <= expected.size());
      EXPECT_EQ(visited, expected) << "size " << size << " k " << k;
      // The last subset stays in place.
      EXPECT_EQ(std::vector<uint32_t>(subset, subset + k), expected.back());
    }
  }
}

class ExactDistance : public RunStateTest {};

TEST_F(ExactDistance, AgreesWithAPerBaseCount) {
  std::mt19937_64 rng(11);
  for (uint32_t words = 1; words <= 3; ++words) {
    run_state.barcode_words = words;
    const uint32_t positions = 32 * words;
    for (int trial = 0; trial < 3000; ++trial) {
      std::vector<uint64_t> x(words), y(words);
      for (uint64_t& w : x) w = rng();
      if (trial % 10 == 0) {
        for (uint64_t& w : y) w = rng();
      } else {
        // A few substitutions anywhere, the same position possibly twice.
        y = x;
        for (uint64_t m = rng() % 6; m > 0; --m) {
          const uint32_t p = static_cast<uint32_t>(rng() % positions);
          const uint32_t shift = 62 - 2 * (p % 32);
          y[p / 32] ^= (1 + rng() % 3) << shift;
        }
      }
      uint32_t differing = 0;
      for (uint32_t p = 0; p < positions; ++p) {
        const uint32_t shift = 62 - 2 * (p % 32);
        differing += ((x[p / 32] >> shift) & 3) != ((y[p / 32] >> shift) & 3);
      }
      for (uint32_t d = 0; d <= 4; ++d) {
        ASSERT_EQ(barcodes_at_distance(x.data(), y.data(), d), differing == d)
            << "words " << words << " trial " << trial << " d " << d << " differing " << differing;
      }
    }
  }
}

class DistancePass : public RunStateTest {
 protected:
  // Builds the forest quietly, runs the passes, and returns what they printed.
  static std::string cluster_reads(const char* templ, const std::vector<std::string>& reads,
                                   const std::vector<uint32_t>& passes) {
    bucket_reads(templ, reads, false);
    ::testing::internal::CaptureStderr();
    create_clusters();
    ::testing::internal::GetCapturedStderr();
    ::testing::internal::CaptureStderr();
    for (uint32_t d : passes) cluster_at_distance(d);
    return ::testing::internal::GetCapturedStderr();
  }
};

using Clusters = std::vector<std::vector<int>>;

TEST_F(DistancePass, JoinsOnlyPairsAtExactlyItsDistance) {
  EXPECT_EQ(cluster_reads("NNNNNNNNN", {"AAAAAAAAA", "AAAAAAAAA", "AAAAAAACC"}, {1}),
            "Clustering with distance 1 .. OK, 0 joined\n");
  EXPECT_EQ(forest_rings(), (Clusters{{0}, {1}, {2}}));
  release_all();
  reset_run_state();
  EXPECT_EQ(cluster_reads("NNNNNNNNN", {"AAAAAAAAA", "AAAAAAAAC"}, {0}),
            "Clustering with distance 0 .. OK, 0 joined\n");
  EXPECT_EQ(forest_rings(), (Clusters{{0}, {1}}));
}

TEST_F(DistancePass, IdenticalBarcodesListTheFirstThenTheRestInReverse) {
  EXPECT_EQ(cluster_reads("NNNNNAC", {"GATTAAC", "GATTAAC", "GATTAAC", "CCCCC", "GATTAAC", "GATTA"}, {0}),
            "Clustering with distance 0 .. OK, 4 joined\n");
  EXPECT_EQ(forest_rings(), (Clusters{{3}, {0, 5, 4, 2, 1}}));
}

TEST_F(DistancePass, EightBasesJoinThroughTheirPrefixNeighbours) {
  // No room after the prefix: only the subpass over neighbouring keys runs.
  EXPECT_EQ(cluster_reads("NNNNNNNN", {"ACGTACGT", "CCGTACGT", "ACGTACGA", "ACGTACTC"}, {1}),
            "Clustering with distance 1 .. OK, 2 joined\n");
  EXPECT_EQ(forest_rings(), (Clusters{{2, 0, 1}, {3}}));
}

TEST_F(DistancePass, JoinsFromTheSmallerKeyInSubsetOrder) {
  // Walking AAAAAAAA meets CAAAAAAA (first base) before ACAAAAAA (second
  // base); CCAAAAAA is met from ACAAAAAA, its smaller neighbour. The ring
  // order records that order of joins.
  EXPECT_EQ(cluster_reads("NNNNNNNN", {"AAAAAAAA", "CAAAAAAA", "ACAAAAAA", "CCAAAAAA"}, {1}),
            "Clustering with distance 1 .. OK, 3 joined\n");
  EXPECT_EQ(forest_rings(), (Clusters{{0, 2, 3, 1}}));
}

TEST_F(DistancePass, NineBasesJoinALastBaseDifferenceWithinTheBucket) {
  EXPECT_EQ(cluster_reads("NNNNNNNNN", {"ACGTACGTA", "ACGTACGTC", "ACGTACGTT"}, {1}),
            "Clustering with distance 1 .. OK, 2 joined\n");
  EXPECT_EQ(forest_rings(), (Clusters{{0, 2, 1}}));
}

TEST_F(DistancePass, ReachesTheFirstAndLastBuckets) {
  EXPECT_EQ(cluster_reads("NNNNNNNNN", {"AAAAAAAAA", "TTTTTTTTA", "CAAAAAAAA", "TTTTTTTTC", "AAAAAAAAC", "GTTTTTTTC"},
                          {0, 1}),
            "Clustering with distance 0 .. OK, 0 joined\n"
            "Clustering with distance 1 .. OK, 4 joined\n");
  Clusters found = forest_rings();
  for (auto& ring : found) std::sort(ring.begin(), ring.end());
  EXPECT_EQ(found, (Clusters{{0, 2, 4}, {1, 3, 5}}));
}

}  // namespace
