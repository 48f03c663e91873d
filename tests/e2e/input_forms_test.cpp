// Every form of input the loader accepts gives the same report as plain
// FASTA; broken gzip data and malformed FASTQ give their message and status 1.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/cli_harness.h"

namespace {

TEST(InputForms, GiveTheReportOfPlainFasta) {
  // Many reads, so that a report that varies from run to run shows and the
  // input comes in several chunks; one with a name of 5 MB in the middle, so
  // that the gzip data expands far beyond any guess and a record spans chunks.
  std::vector<TestRead> reads = make_test_reads(60000, 7);
  reads.insert(reads.begin() + 30000, {std::string(5 << 20, 'x'), "ACGATTACGT"});
  const std::string fasta = as_fasta(reads);
  const std::string fastq = as_fastq(reads);
  ScratchDir dir;
  dir.write("reads.fa", fasta);
  const CliResult plain = run_tarnwell(dir, run_args("1", kTestTemplate, "reads.fa"));
  ASSERT_EQ(plain.status, 0) << plain.err;
  const std::string report = dir.read("out.txt");

  // Members split inside records, and an empty closing member as block-gzip writes.
  const std::string members = gzip_member(fastq.substr(0, 1000)) + gzip_member(fastq.substr(1000, 7000)) +
                              gzip_member(fastq.substr(8000)) +
                              gzip_member("");  // the last trailer understates the total
  const std::vector<std::pair<std::string, std::string>> forms = {
      {"reads.fq", fastq},
      {"crlf.fq", as_fastq(reads, "\r\n")},
      {"cr.fq", as_fastq(reads, "\r")},
      {"reads.fa.gz", gzip_member(fasta)},
      {"reads.fq.gz", gzip_member(fastq)},
      {"members.fq.gz", members},
      {"reads.fq.zst", zstd_frame(fastq)},
      {"frames.fa.zst", zstd_frame(fasta.substr(0, 5000)) + zstd_frame(fasta.substr(5000))},
      {"marked.fa", "\xef\xbb\xbf" + fasta},  // a UTF-8 byte-order mark is skipped
      {"marked.fq.gz", gzip_member("\xef\xbb\xbf" + fastq)},
      // Block-gzip members are inflated side by side, on one thread or on several.
      {"blocks.fq.gz", block_gzip(fastq)},
      {"blocks.fa.gz", block_gzip(fasta, 3000)},
      {"mixed.fq.gz", block_gzip(fastq.substr(0, 400000)) + gzip_member(fastq.substr(400000, 300000)) +
                          block_gzip(fastq.substr(700000), 5000)},
  };
  for (const auto& [name, bytes] : forms) {
    dir.write(name, bytes);
    for (const char* jobs : {"", "1", "3"}) {
      if (*jobs != '\0' && name.find(".gz") == std::string::npos) continue;
      const CliResult result =
          run_tarnwell(dir, run_args("1", kTestTemplate, name,
                                     *jobs ? std::vector<std::string>{"--jobs", jobs} : std::vector<std::string>()));
      EXPECT_EQ(result.status, 0) << name << " " << jobs << ": " << result.err;
      EXPECT_EQ(result.out, plain.out) << name;
      EXPECT_TRUE(dir.read("out.txt") == report) << name << " " << jobs;
    }
  }
  // Decompressed FASTA is held as the file would be, and FASTQ as its names
  // and sequences: the messages of the plain file, the memory figure included.
  // Through -i - too, redirected from a file or piped: a pipe's buffer is
  // trimmed to the data.
  const auto piped = [](const std::string& file) {
    return RunSetup{"/dev/null", "", {"sh", "-c", "cat " + file + " | \"$0\" \"$@\""}};
  };
  const std::pair<std::string, RunSetup> runs[] = {
      {"reads.fa.gz", {}},         {"reads.fq", {}},         {"-", {dir.file("members.fq.gz"), "", {}}},
      {"-", piped("reads.fq.gz")}, {"-", piped("reads.fq")}, {"-", piped("reads.fa")}};
  for (const auto& [input, setup] : runs) {
    const CliResult result = run_tarnwell(dir, run_args("1", kTestTemplate, input), setup);
    // All but the "Input path" line.
    EXPECT_EQ(result.err.substr(result.err.find('\n')), plain.err.substr(plain.err.find('\n'))) << input;
    EXPECT_EQ(result.out, plain.out);
    EXPECT_TRUE(dir.read("out.txt") == report);
  }
}

TEST(InputForms, StandardInputIsNotMistakenForTheOutput) {
  ScratchDir dir;
  dir.write("in.fa", ">a\nAC\n");
  const CliResult same =
      run_tarnwell(dir, {"-i", "-", "-o", "in.fa", "-d", "0", "-t", "NN"}, {dir.file("in.fa"), "", {}});
  EXPECT_EQ(same.status, 1);
  EXPECT_EQ(same.err, "Input path: \"-\"\nOutput file \"in.fa\" is the input file\n");
  EXPECT_EQ(dir.read("in.fa"), ">a\nAC\n");
  dir.write("-", ">a\nAC\n");  // a file named "-" is neither read nor guarded
  const CliResult other = run_tarnwell(dir, {"-i", "-", "-o", "-", "-d", "0", "-t", "NN"}, {dir.file("in.fa"), "", {}});
  EXPECT_EQ(other.status, 0) << other.err;
  EXPECT_EQ(dir.read("-"), ">1\na\tAC\n");
}

std::string corrupted(std::string member) {
  member[member.size() / 2] ^= 0x55;
  return member;
}
CliCase fails(const char* name, const std::string& input, const std::string& message) {
  return {name, input, run_args("1", "NN"), 1, "", settings(1, "NN") + message, kAbsent};
}
std::string many_reads() {
  std::string text;
  for (int i = 0; i < 400; ++i) text += ">r" + std::to_string(i) + "\nACGTTGCA\n";
  return text;
}
const std::string kBadGzip = "Can't decompress input file \"in.fa\"\n";

// One case a message; damaged gzip, zstd and block-gzip data of every kind are the compressed-input fuzz target's.
// clang-format off
const std::vector<CliCase> kBadInputs = {
    fails("FlippedByte", corrupted(gzip_member(std::string(2000, 'A'))), kBadGzip),
    // With helper threads, so that the block-gzip members are inflated side by side.
    {"BlockDataCorrupt", corrupted(block_gzip(many_reads(), 500)), {"-i", "in.fa", "-o", "out.txt", "-d", "1", "-t", "NN", "--jobs", "3"}, 1, "", settings(1, "NN") + kBadGzip, kAbsent},
    fails("MissingPlusLine", "@a\nAC\nII\n", "Can't find '+' line of sequence \"@a\" in line 3\n"),
    fails("ShortQualityAfterBlankLines", "@a\r\nAC\r\n+\r\nII\r\n\r\n\r\n@b x\r\nACG\r\n+\r\nIIII\r\n", "Quality of sequence \"@b x\" in line 10 has 4 bytes, sequence has 3\n"),
    fails("RecordWithoutAt", "@a\nAC\n+\nII\n\n>b\nAC\n+\nII\n", "Can't find sequence start ('@') in line 6\n"),
    fails("EndsAfterSequence", "@a\nAC\n+\nII\n@b\nAC\n", "Truncated sequence \"@b\" at line 5\n"),
    fails("Bzip2", "BZh91AY&SY", "Input file \"in.fa\" is bzip2 compressed; decompress it or recompress it with gzip or zstd\n"),
    fails("Xz", std::string("\xfd" "7zXZ\0\0\0", 8), "Input file \"in.fa\" is xz compressed; decompress it or recompress it with gzip or zstd\n"),
    {"EmptyPipe", kAbsent, run_args("1", "NN", "-"), 1, "", settings(1, "NN", "-") + "Can't load input data\n", kAbsent, "in.fa", "out.txt", {"/dev/null", "", {"sh", "-c", "printf '' | \"$0\" \"$@\""}}},
};
// clang-format on

class BadInputTable : public ::testing::TestWithParam<CliCase> {};
TEST_P(BadInputTable, FailsWithItsMessage) { expect_case(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Inputs, BadInputTable, ::testing::ValuesIn(kBadInputs), case_name);

}  // namespace
