#include "input/fastq_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "cluster/prefix_buckets.h"
#include "support/run_state_fixture.h"

namespace {

using FastqParser = RunStateTest;

void parse_fastq_input(const std::string& text) {
  use_template("NN");
  use_input(text);
  parse_records(run_state.input_buffer, run_state.input_size);
}

TEST_F(FastqParser, RecordsPointIntoTheBufferWithTheFastaMark) {
  // Quality lines full of '@' and '>' are no record starts.
  parse_fastq_input("@r1 x\r\nACGT\r\n+r1 x\r\n@>@>\r\n\r\n@r2\rAC\r+\r>@\r\n@r3\n\n+\n\n");
  const RunState& s = run_state;
  ASSERT_EQ(s.record_count, 3u);
  EXPECT_EQ(s.input_is_fastq, 1);
  const char* names[] = {">r1 x", ">r2", ">r3"};
  const char* sequences[] = {"ACGT", "AC", ""};
  for (uint64_t i = 0; i < 3; ++i) {
    const SequenceRecord* record = record_at(i);
    EXPECT_STREQ(record->name, names[i]);
    EXPECT_STREQ(record->sequence, sequences[i]);
    EXPECT_TRUE(is_accepted(record));
    EXPECT_GE(record->name, s.input_buffer);
    EXPECT_LT(record->sequence, s.input_buffer + s.input_size);
  }
}

}  // namespace
