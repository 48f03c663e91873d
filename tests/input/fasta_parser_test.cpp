// The FASTA parse against the reference reading on random well-formed inputs:
// wrapped sequences, '>' inside names, every line end, blank lines and NUL
// bytes between lines, cut into parse jobs of a few bytes to a megabyte on one
// to three workers. Malformed inputs are the FASTA fuzz target's and the
// end-to-end tables' business.
#include "input/fasta_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "base/size_thresholds.h"
#include "support/random_reads.h"
#include "support/references.h"
#include "support/run_state_fixture.h"

namespace {

// Rewrites two-line FASTA text: sequences wrapped at a random width, names
// with '>' and blanks, one line end for the file, now and then blank lines.
std::string reshape(CaseRandom& random, const std::string& fasta) {
  static const char* kLineEnds[] = {"\n", "\r\n", "\r"};
  const std::string line_end = kLineEnds[random.below(3)];
  const uint32_t width = 1 + random.below(random.chance(50) ? 80 : 8);
  std::string text;
  size_t at = 0;
  for (bool name = true; at < fasta.size(); name = !name) {
    const size_t end = fasta.find_first_of("\r\n", at);
    std::string line = fasta.substr(at, end - at);
    at = fasta.find_first_not_of("\r\n", end);
    if (name) {
      if (random.chance(20)) line += " x>" + std::to_string(random.below(9)) + ">";
      text += line + line_end;
      if (random.chance(10)) text += line_end;
      continue;
    }
    for (size_t piece = 0; piece < line.size(); piece += width) {
      text += line.substr(piece, width) + line_end;
      if (random.chance(5)) text += random.chance(50) ? line_end : std::string(1, '\0') + line_end;
    }
  }
  if (random.chance(30)) text.resize(text.size() - line_end.size());  // the last line without its end
  return text;
}

TEST_F(RunStateTest, FastaParseMatchesTheReferenceReading) {
  static const uint64_t kSliceBytes[] = {1, 7, 64, 1 << 20};
  for (uint32_t seed = 0; seed < 400 && !HasFailure(); ++seed) {
    CaseRandom random(seed);
    const std::string text = reshape(random, random_read_set(random, seed % 4, seed % 10 == 0 ? 300 : 30).fasta);
    const ReferenceParse expected = reference_fasta(text);
    ASSERT_EQ(expected.message, "") << text;
    size_thresholds.fasta_slice_bytes = kSliceBytes[seed % 4];
    run_state.jobs = 1 + random.below(3);
    ::testing::internal::CaptureStderr();
    parse_input("N", text);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Parsed " + std::to_string(expected.records.size()) + " sequences\n");
    ASSERT_EQ(run_state.record_count, expected.records.size()) << text;
    for (uint64_t i = 0; i < run_state.record_count; ++i) {
      const SequenceRecord* record = record_at(i);
      const ReferenceRecord& r = expected.records[i];
      ASSERT_EQ(record->name, run_state.input_buffer + r.name_at) << "seed " << seed << " record " << i;
      ASSERT_EQ(record->sequence, run_state.input_buffer + r.sequence_at) << "seed " << seed << " record " << i;
      ASSERT_EQ(">" + r.name, record->name) << "seed " << seed << " record " << i;
      ASSERT_EQ(r.sequence, record->sequence) << "seed " << seed << " record " << i;
    }
    TearDown();
    SetUp();
  }
  size_thresholds = SizeThresholds{};
}

}  // namespace
