// The parse counts record starts in large blocks; every '>' counts, wherever
// it stands, also far into a large input.
#include "input/fasta_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "support/run_state_fixture.h"

namespace {

std::string many_records(int count) {
  std::string fasta;
  for (int r = 0; r < count; ++r) fasta += ">read" + std::to_string(r) + "\nACGTACGTACGTACGTACGT\n";
  return fasta;
}

class FastaParser : public RunStateTest {};

TEST_F(FastaParser, CountsEveryRecordOfALargeInput) {
  testing::internal::CaptureStderr();
  parse_input("NNNN", many_records(5000));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Parsed 5000 sequences\n");
  EXPECT_EQ(run_state.record_count, 5000u);
  EXPECT_STREQ(record_at(4999)->name, ">read4999");
}

TEST_F(FastaParser, CountsAMarkInsideANameFarIntoTheInput) {
  const std::string records = many_records(5000);
  const size_t at = records.find(">read4321") + 3;
  const std::string fasta = records.substr(0, at) + ">" + records.substr(at);
  EXPECT_EXIT(parse_input("NNNN", fasta), ::testing::ExitedWithCode(1), "Failed to parse 5001 sequences\n");
}

}  // namespace
