// The straightforward distance pass and its helpers, the yardstick of the fast
// passes: the subset order, the exact-distance test, and which subpass of
// which pass joins a pair, for barcodes shorter than, equal to and longer
// than the 8-base prefix.
#include "cluster/distance_pass.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/engine.h"
#include "run/tracked_memory.h"
#include "support/captured_streams.h"
#include "support/random_reads.h"
#include "support/run_state_fixture.h"

namespace {

TEST(NextCombination, VisitsSubsetsInLexicographicOrder) {
  uint32_t subset[2] = {0, 1};
  std::vector<std::vector<uint32_t>> seen{{0, 1}};
  while (next_combination(subset, 8, 2)) seen.push_back({subset[0], subset[1]});
  ASSERT_EQ(seen.size(), 28u);
  EXPECT_EQ(seen[1], (std::vector<uint32_t>{0, 2}));
  EXPECT_EQ(seen[7], (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(seen.back(), (std::vector<uint32_t>{6, 7}));
  EXPECT_EQ(subset[0], 6u) << "the last subset stays";
  uint32_t whole[3] = {0, 1, 2};
  EXPECT_FALSE(next_combination(whole, 3, 3));
}

class BarcodesAtDistance : public RunStateTest {};

// Against a base-by-base count, across word boundaries and with the zero fill.
TEST_F(BarcodesAtDistance, AnswersExactlyTheDifferingBases) {
  CaseRandom random(5);
  for (uint32_t length : {1u, 31u, 32u, 33u, 64u, 65u, 70u}) {
    run_state.barcode_words = (length + 31) / 32;
    for (int trial = 0; trial < 300; ++trial) {
      uint64_t x[3] = {0, 0, 0};
      uint64_t y[3] = {0, 0, 0};
      uint32_t differing = 0;
      for (uint32_t j = 0; j < length; ++j) {
        const uint64_t a = random.below(4);
        const uint64_t b = random.chance(90) ? a : random.below(4);
        differing += a != b;
        x[j / 32] |= a << (62 - 2 * (j % 32));
        y[j / 32] |= b << (62 - 2 * (j % 32));
      }
      for (uint32_t d = 0; d <= 3; ++d) ASSERT_EQ(barcodes_at_distance(x, y, d), differing == d) << length << " " << d;
    }
  }
}

// A whole straightforward run on a few reads; returns standard error.
std::string straightforward_run(const char* template_text, const std::string& fasta, uint32_t distance,
                                bool remove_duplicates) {
  reset_run_state();
  run_state.distance = distance;
  run_state.remove_duplicates = remove_duplicates;
  use_template(template_text);
  use_input(fasta);
  run_state.output_file = tmpfile();
  std::string out, err;
  {
    CapturedStreams streams;
    run_straightforward_engine();
    streams.finish(&out, &err);
  }
  release_all();
  reset_run_state();
  return err.substr(err.find("Sorting"));
}

TEST(ClusterAtDistance, EachPassJoinsItsOwnDistanceInTheSubpassWithRoomForIt) {
  // 8 bases: subpass 0 is skipped at distance 1, subpass 1 joins a first-base difference.
  EXPECT_NE(straightforward_run("NNNNNNNN", ">a\nAAAAAAAA\n>b\nCAAAAAAA\n", 1, true).find("distance 1 .. OK, 1 joined"),
            std::string::npos);
  // 9 bases: a last-base difference shares the bucket and joins in subpass 0.
  EXPECT_NE(
      straightforward_run("NNNNNNNNN", ">a\nAAAAAAAAA\n>b\nAAAAAAAAC\n", 1, true).find("distance 1 .. OK, 1 joined"),
      std::string::npos);
  // 6 bases at distance 2: only the pass for 2 joins, from the last subpass.
  const std::string short_barcodes = straightforward_run("NNNNNN", ">a\nACGTAC\n>b\nAGGTAA\n>c\nACGTAC\n", 2, false);
  EXPECT_NE(short_barcodes.find("distance 0 .. OK, 1 joined\nClustering with distance 1 .. OK, 0 joined\n"
                                "Clustering with distance 2 .. OK, 1 joined"),
            std::string::npos)
      << short_barcodes;
  // A chain: a-b and b-c at 1 join in pass 1, so a-c at 2 finds them together.
  const std::string chain =
      straightforward_run("NNNNNNNNNNNN", ">a\nACGTACGTACGT\n>b\nACGTACGTACGA\n>c\nACGTACGTACTA\n", 2, true);
  EXPECT_NE(chain.find("distance 1 .. OK, 2 joined\nClustering with distance 2 .. OK, 0 joined"), std::string::npos)
      << chain;
}

}  // namespace
