// Packing barcodes into 2-bit words and screening the reads that do not fit
// the template.
#include "barcode/barcode_packing.h"

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "support/run_state_fixture.h"

namespace {

// 2 bits a base (A 00, C 01, G 10, T 11), first base in the top bits of word
// 0, 32 bases a word, the last word left-aligned with zero fill.
std::vector<uint64_t> plain_pack(const std::string& bases) {
  std::vector<uint64_t> words((bases.size() + 31) / 32, 0);
  for (size_t j = 0; j < bases.size(); ++j) {
    const uint64_t value = std::string("ACGT").find(static_cast<char>(toupper(bases[j])));
    words[j / 32] |= value << (62 - 2 * (j % 32));
  }
  return words;
}

std::vector<uint64_t> packed_words(SequenceRecord* record) {
  const uint64_t* words = record_barcode(record);
  return std::vector<uint64_t>(words, words + run_state.barcode_words);
}

void quiet_parse(const char* templ, const std::string& fasta) {
  ::testing::internal::CaptureStderr();
  parse_input(templ, fasta);
  ::testing::internal::GetCapturedStderr();
}

class PackedLayout : public RunStateTest, public ::testing::WithParamInterface<int> {};

TEST_P(PackedLayout, MatchesAPlainPacker) {
  const int length = GetParam();
  std::mt19937 rng(static_cast<unsigned>(length));
  // Fixed letters before, between and after the barcode positions.
  std::string templ = "ga";
  for (int i = 0; i < length; ++i) {
    if (i % 9 == 4) templ += 'C';
    templ += "N.n"[i % 3];
  }
  templ += "tA";
  std::vector<std::string> barcodes;
  std::string fasta;
  for (int r = 0; r < 6; ++r) {
    std::string barcode;
    std::string read;
    for (char t : templ) {
      if (t == 'N' || t == 'n' || t == '.') {
        barcode += "ACGTacgt"[rng() % 8];
        read += barcode.back();
      } else {
        read += (rng() % 2) ? t : static_cast<char>(tolower(t));
      }
    }
    // The last records stop inside the trailing fixed letters or run past the template.
    if (r == 4) read.resize(read.size() - 2);
    if (r == 5) read += "XN-";
    barcodes.push_back(barcode);
    fasta += ">r" + std::to_string(r) + "\n" + read + "\n";
  }
  quiet_parse(templ.c_str(), fasta);
  ASSERT_EQ(run_state.barcode_length, static_cast<uint32_t>(length));
  for (uint64_t r = 0; r < run_state.record_count; ++r) EXPECT_EQ(pack_barcode(record_at(r)), accepted);
  // Checked after all records are packed, so that a record written past its own words shows.
  for (uint64_t r = 0; r < run_state.record_count; ++r) {
    SequenceRecord* record = record_at(r);
    EXPECT_EQ(packed_words(record), plain_pack(barcodes[r])) << "record " << r << " " << barcodes[r];
    EXPECT_EQ(std::string(record->name), ">r" + std::to_string(r));
  }
}

INSTANTIATE_TEST_SUITE_P(BarcodeLengths, PackedLayout,
                         ::testing::Values(1, 2, 3, 4, 5, 6, 7, 8, 31, 32, 33, 63, 64, 65));

class BarcodePacking : public RunStateTest {};

TEST_F(BarcodePacking, FillsWordsFromTheTopBits) {
  quiet_parse("NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNN",
              ">a\nACGTACGTACGTACGTACGTACGTACGTACGTT\n>b\nTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTA\n");
  ASSERT_EQ(pack_barcode(record_at(0)), accepted);
  ASSERT_EQ(pack_barcode(record_at(1)), accepted);
  EXPECT_EQ(packed_words(record_at(0)), (std::vector<uint64_t>{0x1B1B1B1B1B1B1B1Bull, 0xC000000000000000ull}));
  EXPECT_EQ(packed_words(record_at(1)), (std::vector<uint64_t>{0xFFFFFFFFFFFFFFFFull, 0}));
}

TEST_F(BarcodePacking, ScreensReadsByTheFirstFailingByte) {
  const struct {
    std::string read;
    PackResult result;
  } cases[] = {{"ACGTAC", accepted},
               {"acgtac", accepted},
               {"ACGTA", accepted},
               {"ACGT", accepted},
               {"ACGTACXXXX", accepted},
               {"ACG", template_mismatch},
               {"ACGTAG", template_mismatch},
               {"ACGTAN", has_n},
               {"ACGTGN", template_mismatch},
               {"NCGTAC", has_n},
               {"nCGTAC", has_n},
               {"XCGTAC", unknown_character},
               {"-CGTAC", unknown_character},
               {"AUGTAC", unknown_character},
               {".CGTAC", unknown_character},
               {std::string("\0CGTAC", 6), template_mismatch}};  // the last one has an empty sequence
  std::string fasta;
  for (size_t i = 0; i < std::size(cases); ++i) fasta += ">r" + std::to_string(i) + "\n" + cases[i].read + "\n";
  quiet_parse("NNNNAC", fasta);
  ASSERT_EQ(run_state.record_count, std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SequenceRecord* record = record_at(i);
    SCOPED_TRACE(cases[i].read);
    EXPECT_EQ(pack_barcode(record), cases[i].result);
    EXPECT_EQ(record->name[0], cases[i].result == accepted ? '>' : '#');
    EXPECT_EQ(std::string(record->name + 1), std::string("r") + std::to_string(i));
    if (cases[i].result == accepted) {
      EXPECT_EQ(record_barcode(record)[0], 0x1B00000000000000ull);
    }
  }
}

}  // namespace
