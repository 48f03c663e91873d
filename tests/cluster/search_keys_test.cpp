// Which positions key the candidate search, against a plain reading of the
// bases as letters. A fault in the barcodes rearranged to put them first, or
// in their keys, makes the fast engine join otherwise than the straightforward
// one: the engine differential tests catch it.
#include "cluster/search_keys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/random_reads.h"

namespace {

const char kBases[] = "ACGT";

// Packs barcodes as the screening does: 2 bits a base, first base in the top
// bits, the last word left-aligned.
std::vector<uint64_t> pack(const std::vector<std::string>& barcodes, uint32_t words) {
  std::vector<uint64_t> packed(barcodes.size() * words, 0);
  for (size_t u = 0; u < barcodes.size(); ++u) {
    for (size_t i = 0; i < barcodes[u].size(); ++i) {
      const uint64_t code = std::string(kBases).find(barcodes[u][i]);
      packed[u * words + i / 32] |= code << (62 - 2 * (i % 32));
    }
  }
  return packed;
}

std::vector<uint32_t> chosen_positions(const std::vector<std::string>& barcodes) {
  const uint32_t length = static_cast<uint32_t>(barcodes[0].size());
  const uint32_t words = (length + 31) / 32;
  const std::vector<uint64_t> packed = pack(barcodes, words);
  std::vector<uint32_t> positions(length);
  choose_search_positions(packed.data(), words, static_cast<uint32_t>(barcodes.size()), length, positions.data());
  return positions;
}

std::vector<std::string> random_barcodes(CaseRandom& random, uint32_t count, uint32_t length) {
  std::vector<std::string> barcodes(count, std::string(length, 'A'));
  for (std::string& barcode : barcodes) {
    for (char& base : barcode) base = kBases[random.below(4)];
  }
  return barcodes;
}

TEST(SearchPositions, EvenBarcodesKeepTheirOrder) {
  // Were sampling noise to reorder them, every even input would take the
  // rearranged search and its cost.
  for (uint32_t length : {9u, 20u, 31u, 32u, 33u, 64u, 65u, 70u}) {
    for (uint32_t count : {1u, 300u, 40000u}) {
      CaseRandom random(length * 7 + count);
      const std::vector<uint32_t> positions = chosen_positions(random_barcodes(random, count, length));
      for (uint32_t i = 0; i < length; ++i) ASSERT_EQ(positions[i], i) << length << " bases, " << count;
    }
  }
}

TEST(SearchPositions, LowDiversityStartsGoLast) {
  CaseRandom random(5);
  for (uint32_t length : {20u, 32u, 40u}) {
    // A constant stretch of 12, then a start of G and T only, then a start
    // that is one 12-mer in 99 of 100 barcodes.
    std::vector<std::string> constant = random_barcodes(random, 5000, length);
    for (std::string& barcode : constant) barcode.replace(0, 12, "ACGTTGCAACGT");
    std::vector<std::string> two_letters = random_barcodes(random, 5000, length);
    for (std::string& barcode : two_letters) {
      for (uint32_t i = 0; i < 8; ++i) barcode[i] = barcode[i] < 'G' ? 'G' : 'T';
    }
    std::vector<std::string> dominant = random_barcodes(random, 5000, length);
    for (uint32_t u = 0; u < dominant.size(); ++u) {
      if (u % 100 != 0) dominant[u].replace(0, 12, "TTTTGGGGCCCC");
    }
    for (const auto& barcodes : {constant, two_letters, dominant}) {
      const uint32_t first_even = barcodes == two_letters ? 8 : 12;
      const std::vector<uint32_t> positions = chosen_positions(barcodes);
      for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(positions[i], first_even + i) << length;
      // The rest follow in order, each position once.
      std::vector<bool> seen(length, false);
      for (uint32_t i = 0; i < length; ++i) seen[positions[i]] = true;
      EXPECT_EQ(std::vector<bool>(length, true), seen);
      for (uint32_t i = 9; i < length; ++i) EXPECT_LT(positions[i - 1], positions[i]) << length;
    }
  }
}

}  // namespace
