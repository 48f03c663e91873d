// Loading the input and cutting it, in place, into the record table.
#include "input/fasta_parser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "input/input_loader.h"
#include "run/tracked_memory.h"
#include "support/run_state_fixture.h"

namespace {

using namespace std::string_literals;
using Records = std::vector<std::pair<std::string, std::string>>;

Records parsed_records() {
  Records records;
  for (uint64_t i = 0; i < run_state.record_count; ++i) {
    const SequenceRecord* record = record_at(i);
    records.emplace_back(record->name, record->sequence);
  }
  return records;
}

std::string quiet_parse(const char* templ, const std::string& fasta) {
  ::testing::internal::CaptureStderr();
  parse_input(templ, fasta);
  return ::testing::internal::GetCapturedStderr();
}

using FastaParse = RunStateTest;

TEST_F(FastaParse, LineEndsOfAnyKindGiveTheSameRecords) {
  const Records expected = {{">r1", "ACGT"}, {">r2 two words", "gg"}, {">", "T"}, {">last", "AC"}};
  for (const std::string eol : {"\n", "\r\n", "\r"}) {
    const std::string fasta =
        ">r1" + eol + "ACGT" + eol + ">r2 two words" + eol + "gg" + eol + ">" + eol + "T" + eol + ">last" + eol + "AC";
    reset_run_state();
    EXPECT_EQ(quiet_parse("NN", fasta), "Parsed 4 sequences\n");
    EXPECT_EQ(parsed_records(), expected);
    const std::string buffer(run_state.input_buffer, run_state.input_size);
    EXPECT_EQ(buffer.find_first_of("\r\n"), std::string::npos) << "line ends left in the buffer";
    release_all();
  }
}

TEST_F(FastaParse, SkipsBlankLinesAndStopsTextsAtNulBytes) {
  const std::pair<std::string, Records> cases[] = {
      // Blank lines and NUL bytes between the lines vanish.
      {">a\n\n\r\n\rAC\n\n\0\0\r\n>b\r\n\r\nGT\r\n\r\n"s, {{">a", "AC"}, {">b", "GT"}}},
      // A NUL right after the name's line end starts an empty sequence.
      {">a\n\0CGT\n>b\nTT\n"s, {{">a", ""}, {">b", "TT"}}},
      // A NUL inside a line ends the text there, not the line.
      {">a\0x\nAC\0y\n>b\nGG"s, {{">a", "AC"}, {">b", "GG"}}},
  };
  for (const auto& [fasta, expected] : cases) {
    reset_run_state();
    quiet_parse("NN", fasta);
    EXPECT_EQ(parsed_records(), expected);
    release_all();
  }
}

TEST_F(FastaParse, RecordsPointIntoTheBufferInFileOrder) {
  const std::string fasta = ">first\nACGT\n\n>second\r\nTTGA\n";
  quiet_parse("NNNN", fasta);
  ASSERT_EQ(run_state.record_count, 2u);
  const char* buffer = run_state.input_buffer;
  EXPECT_EQ(record_at(0)->name, buffer + fasta.find(">first"));
  EXPECT_EQ(record_at(0)->sequence, buffer + fasta.find("ACGT"));
  EXPECT_EQ(record_at(1)->name, buffer + fasta.find(">second"));
  EXPECT_EQ(record_at(1)->sequence, buffer + fasta.find("TTGA"));
  EXPECT_EQ(run_state.bytes_allocated, (5 + 4 + 3 * 524288) + (fasta.size() + 1) + 2 * 24);
}

using InputLoad = RunStateTest;

// A pipe cannot be sized by seeking: it is read in blocks that grow as they fill.
TEST_F(InputLoad, ReadsAPipeOfSeveralMegabytesWhole) {
  std::string dir = ::testing::TempDir() + "tarnwell-pipe-XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string path = dir + "/in.fa";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  std::string data;
  for (int i = 0; data.size() < (3u << 20) + 17; ++i) data += ">r" + std::to_string(i) + "\nACGTACGTAC\n";
  std::thread writer([&] {
    FILE* file = fopen(path.c_str(), "wb");
    fwrite(data.data(), 1, data.size(), file);
    fclose(file);
  });
  load_file(path.c_str());
  writer.join();
  unlink(path.c_str());
  rmdir(dir.c_str());
  const RunState& s = run_state;
  ASSERT_EQ(s.input_size, data.size());
  EXPECT_TRUE(std::string(s.input_buffer, s.input_size) == data);
  EXPECT_EQ(s.input_buffer[s.input_size], '\0');
  EXPECT_EQ(s.bytes_allocated, static_cast<int64_t>(s.input_buffer_bytes));
}

}  // namespace
