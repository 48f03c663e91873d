// The directional correction against the rule by brute force: small hand-made
// clusters for chains, ties and thresholds, then random clusters crowded into
// few UMIs so that neighbours, ties and chains are common.
#include "cluster/umi_correction.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/random_reads.h"
#include "support/references.h"

namespace {

uint64_t umi_code(const std::string& letters) {
  uint64_t code = 0;
  for (char letter : letters) code = (code << 2) | static_cast<uint64_t>(std::string("ACGT").find(letter));
  return code;
}

// The tool's molecules (reads of each, in the order started) for reads given as UMI letters, one entry a read.
std::vector<uint64_t> tool_molecules(const std::vector<std::string>& reads, uint64_t* distinct_out = nullptr) {
  std::vector<uint64_t> umis;
  for (const std::string& read : reads) umis.push_back(umi_code(read));
  const size_t n = umis.size();
  std::vector<uint64_t> umi_reads(n), molecule_reads(n);
  std::vector<uint32_t> order(n), queue(n);
  std::vector<unsigned char> taken(n);
  const uint64_t distinct = fold_umis(umis.data(), n, umi_reads.data());
  if (distinct_out != nullptr) *distinct_out = distinct;
  const UmiScratch scratch = {order.data(), queue.data(), taken.data()};
  const uint64_t molecules = correct_umis(umis.data(), umi_reads.data(), distinct,
                                          static_cast<uint32_t>(reads[0].size()), scratch, molecule_reads.data());
  molecule_reads.resize(molecules);
  return molecule_reads;
}

std::vector<uint64_t> reference_for(const std::vector<std::string>& reads) {
  std::map<std::string, uint64_t> counts;
  for (const std::string& read : reads) ++counts[read];
  return reference_molecules(counts);
}

std::vector<std::string> repeated(const std::vector<std::pair<std::string, int>>& umis) {
  std::vector<std::string> reads;
  for (const auto& [umi, count] : umis) reads.insert(reads.end(), count, umi);
  return reads;
}

TEST(UmiCorrection, FollowsChainsAndStopsAtTheThreshold) {
  // AAAA (10) takes AAAC (4: 10 >= 7), which takes AAGC (1: 4 >= 1) though AAGC is two from AAAA.
  EXPECT_EQ(tool_molecules(repeated({{"AAAA", 10}, {"AAAC", 4}, {"AAGC", 1}})), (std::vector<uint64_t>{15}));
  // 10 < 2 * 6 - 1: AAAC starts its own molecule, and takes AAGC.
  EXPECT_EQ(tool_molecules(repeated({{"AAAA", 10}, {"AAAC", 6}, {"AAGC", 1}})), (std::vector<uint64_t>{10, 7}));
  // Exactly at the threshold: 9 >= 2 * 5 - 1.
  EXPECT_EQ(tool_molecules(repeated({{"AAAA", 9}, {"AAAC", 5}})), (std::vector<uint64_t>{14}));
  // A UMI already taken is not taken again by a later, larger neighbour's molecule.
  EXPECT_EQ(tool_molecules(repeated({{"CCCC", 8}, {"CCCA", 3}, {"ACCA", 1}, {"ACAA", 1}})), (std::vector<uint64_t>{13}));
}

TEST(UmiCorrection, BreaksTiesInLetterOrder) {
  // Equal singletons one apart: the first in letter order starts and takes the other (1 >= 1).
  EXPECT_EQ(tool_molecules(repeated({{"GA", 1}, {"AA", 1}, {"TT", 2}})), (std::vector<uint64_t>{2, 2}));
  // Equal pairs one apart never take each other (3 < 5); the order of the molecules follows the letters.
  EXPECT_EQ(tool_molecules(repeated({{"TA", 3}, {"CA", 3}, {"CC", 1}})), (std::vector<uint64_t>{4, 3}));
  uint64_t distinct = 0;
  EXPECT_EQ(tool_molecules({"ACGT"}, &distinct), (std::vector<uint64_t>{1}));
  EXPECT_EQ(distinct, 1u);
}

TEST(UmiCorrection, MatchesTheRuleByBruteForce) {
  for (uint64_t seed = 0; seed < 1500; ++seed) {
    CaseRandom random(seed);
    const uint32_t length = 1 + random.below(seed % 3 == 0 ? 32 : 6);
    // A few parents, each with reads on itself and on UMIs one or two substitutions away.
    std::vector<std::string> reads;
    // Every fourth case has enough parents for more than 64 distinct UMIs, which are looked up rather than compared.
    const uint32_t parents = 1 + random.below(seed % 4 == 1 ? 40 : 5);
    for (uint32_t p = 0; p < parents; ++p) {
      std::string parent;
      for (uint32_t j = 0; j < length; ++j) parent += "ACGT"[random.below(4)];
      const uint32_t copies = 1 + random.below(30);
      for (uint32_t c = 0; c < copies; ++c) {
        std::string umi = parent;
        for (uint32_t errors = random.chance(40) ? 1 + random.below(2) : 0; errors > 0; --errors)
          umi[random.below(length)] = "ACGT"[random.below(4)];
        reads.push_back(umi);
      }
    }
    EXPECT_EQ(tool_molecules(reads), reference_for(reads)) << "seed " << seed;
  }
}

}  // namespace
