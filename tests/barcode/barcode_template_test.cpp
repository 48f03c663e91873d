// Compiling the template: upper-cased copy, mask, barcode length, word count,
// record size, code table and the memory it takes.
#include "barcode/barcode_template.h"

#include <gtest/gtest.h>

#include <string>

#include "run/tracked_memory.h"
#include "support/run_state_fixture.h"

namespace {

class TemplateCompile : public RunStateTest {};

std::string compiled_mask() {
  std::string mask;
  for (uint32_t i = 0; i < run_state.template_length; ++i) mask += run_state.template_mask[i] ? '1' : '0';
  return mask;
}

TEST_F(TemplateCompile, LowerCaseCompilesLikeUpperCase) {
  use_template("acgtnn");
  EXPECT_EQ(run_state.template_length, 6u);
  EXPECT_STREQ(run_state.template_upper, "ACGTNN");
  EXPECT_EQ(compiled_mask(), "000011");
  EXPECT_EQ(run_state.barcode_length, 2u);
  EXPECT_EQ(run_state.barcode_words, 1u);
  EXPECT_EQ(run_state.record_size, 24u);
}

TEST_F(TemplateCompile, DotAndNAreBarcodePositionsKeptAsTyped) {
  use_template(".nN.");
  EXPECT_STREQ(run_state.template_upper, ".NN.");
  EXPECT_EQ(compiled_mask(), "1111");
  EXPECT_EQ(run_state.barcode_length, 4u);
}

TEST_F(TemplateCompile, FixedLettersCountNowhereTheyStand) {
  use_template("gNaN.tNc");
  EXPECT_STREQ(run_state.template_upper, "GNAN.TNC");
  EXPECT_EQ(compiled_mask(), "01011010");
  EXPECT_EQ(run_state.barcode_length, 4u);
}

TEST_F(TemplateCompile, WordsAndRecordSizeFollowTheBarcodeLength) {
  const struct {
    uint32_t positions;
    uint32_t words;
  } cases[] = {{1, 1}, {31, 1}, {32, 1}, {33, 2}, {63, 2}, {64, 2}, {65, 3}, {96, 3}, {97, 4}};
  for (const auto& c : cases) {
    // Fixed letters sprinkled between the barcode positions must not shift the count.
    std::string text = "Ac";
    for (uint32_t i = 0; i < c.positions; ++i) {
      text += "Nn."[i % 3];
      if (i % 7 == 3) text += "gT";
    }
    reset_run_state();
    use_template(text.c_str());
    SCOPED_TRACE(text);
    EXPECT_EQ(run_state.template_length, text.size());
    EXPECT_EQ(run_state.barcode_length, c.positions);
    EXPECT_EQ(run_state.barcode_words, c.words);
    EXPECT_EQ(run_state.record_size, 16u + 8u * c.words);
    release_all();
    EXPECT_EQ(run_state.bytes_allocated, 0);
  }
}

TEST_F(TemplateCompile, CountsCopyMaskAndThreeZeroedBucketTables) {
  use_template("NNNNACGT");
  EXPECT_EQ(run_state.bytes_allocated, 9 + 8 + 3 * 524288);
  uint64_t sum = 0;
  for (uint32_t k = 0; k < kBucketCount; ++k) {
    sum += run_state.bucket_bytes[k] + run_state.bucket_counts[k] + (run_state.bucket_entries[k] != nullptr);
  }
  EXPECT_EQ(sum, 0u);
}

}  // namespace
