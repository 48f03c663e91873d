// Runs that meet a hostile environment: memory that runs out at each
// allocation a lowered address-space limit can reach, outputs that cannot be
// written, inputs that are pipes, directories, unreadable, or the output
// itself. Each must end with its one message and status, leave no tracked
// byte behind, and never touch the input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "e2e/cli_harness.h"

namespace {

const std::string kLeak = "Failed to deallocate";

std::string repeat(const std::string& text, size_t times) {
  std::string result;
  result.reserve(text.size() * times);
  for (size_t i = 0; i < times; ++i) result += text;
  return result;
}

std::vector<std::string> args_for(const char* distance, const char* template_text) {
  return {"-i", "in.fa", "-o", "out.txt", "-d", distance, "-t", template_text};
}

class AddressSpaceLimit : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef TARNWELL_SANITIZED
    GTEST_SKIP() << "address-space limits do not apply under the sanitizers";
#endif
    if (access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "prlimit is not installed";
  }
  static CliResult run_limited(const ScratchDir& dir, size_t megabytes, const std::vector<std::string>& args) {
    RunSetup setup;
    setup.wrapper = {"/usr/bin/prlimit", "--as=" + std::to_string(megabytes << 20)};
    return run_tarnwell(dir, args, setup);
  }
};

// Two million one-base records: 8 MB of input, 48 MB of records, 16 MB of
// bucket entries, 48 MB of nodes.
const size_t kTinyRecords = 2000000;

TEST_F(AddressSpaceLimit, InputBufferFailsWithStatus10) {
  ScratchDir dir;
  dir.write("in.fa", ">a\nA\n");
  std::filesystem::resize_file(dir.file("in.fa"), 1ull << 30);
  const CliResult result = run_limited(dir, 64, args_for("1", "N"));
  EXPECT_EQ(result.status, 10);
  EXPECT_NE(result.err.find("Using only sequences matching template \"N\"\nError: can't allocate 1073741825 bytes\n"),
            std::string::npos);
  EXPECT_EQ(result.err.find(kLeak), std::string::npos);
}

TEST_F(AddressSpaceLimit, RecordTableFailsWithStatus10) {
  ScratchDir dir;
  dir.write("in.fa", repeat(">\nA\n", kTinyRecords));
  const CliResult result = run_limited(dir, 40, args_for("1", "N"));
  EXPECT_EQ(result.status, 10);
  EXPECT_EQ(result.err.substr(result.err.find("Using only")),
            "Using only sequences matching template \"N\"\nError: can't allocate 48000000 bytes\n");
}

TEST_F(AddressSpaceLimit, BucketEntriesFailWithStatus10) {
  ScratchDir dir;
  dir.write("in.fa", repeat(">\nA\n", kTinyRecords));
  const CliResult result = run_limited(dir, 68, args_for("1", "N"));
  EXPECT_EQ(result.status, 10);
  EXPECT_NE(result.err.find(" - 2000000 barcodes match template\nSorting ..Error: can't allocate 16000000 bytes\n"),
            std::string::npos);
  EXPECT_EQ(result.err.find(kLeak), std::string::npos);
}

TEST_F(AddressSpaceLimit, NodeArrayFailsWithStatus10) {
  ScratchDir dir;
  dir.write("in.fa", repeat(">\nA\n", kTinyRecords));
  const CliResult result = run_limited(dir, 100, args_for("1", "N"));
  EXPECT_EQ(result.status, 10);
  EXPECT_NE(result.err.find("Sorting .. OK\nCreating clusters ..Error: can't allocate 48000000 bytes\n"),
            std::string::npos);
  EXPECT_EQ(result.err.find(kLeak), std::string::npos);
  EXPECT_EQ(dir.read("out.txt"), "");
}

TEST_F(AddressSpaceLimit, BucketTableFailsWithStatus11) {
  ScratchDir dir;
  dir.write("in.fa", ">a\nA\n");
  const CliResult result = run_limited(dir, 3, args_for("1", "N"));
  EXPECT_EQ(result.status, 11);
  EXPECT_EQ(result.err, "Input path: \"in.fa\"\nError: can't allocate 524288 bytes\n");
}

TEST(OutputFaults, FullDiskIsReportedNotIgnored) {
  ScratchDir dir;
  dir.write("in.fa", ">a\nACGT\n");
  const CliResult result = run_tarnwell(dir, {"-i", "in.fa", "-o", "/dev/full", "-d", "0", "-t", "NNNN"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find("OK, 0 joined\nCan't write output file \"/dev/full\"\n"), std::string::npos);
  EXPECT_EQ(result.err.find(kLeak), std::string::npos);
}

TEST(OutputFaults, FullStandardOutputIsReported) {
  ScratchDir dir;
  dir.write("in.fa", ">a\nACGT\n");
  RunSetup setup;
  setup.stdout_path = "/dev/full";
  const CliResult result = run_tarnwell(dir, {"-p", "-i", "in.fa", "-o", "out.txt", "-d", "0", "-t", "NNNN"}, setup);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("remain\nCan't write to standard output\n"), std::string::npos);
  EXPECT_EQ(dir.read("out.txt"), ">1\na\tACGT\n");
}

TEST(InputFaults, PipeIsReadLikeAFile) {
  ScratchDir dir;
  std::string reads;  // more than one read chunk of distinct 10-base barcodes
  for (unsigned i = 0; i < 100000; ++i) {
    reads += ">r" + std::to_string(i) + "\n";
    for (int position = 9; position >= 0; --position) reads += "ACGT"[(i >> (2 * position)) & 3];
    reads += "\n";
  }
  dir.write("in.fa", reads);
  const CliResult from_file = run_tarnwell(dir, args_for("1", "NNNNNNNNNN"));
  const std::string file_report = dir.read("out.txt");
  RunSetup setup;
  setup.wrapper = {"/bin/sh", "-c", "cat in.fa | \"$0\" \"$@\""};
  const CliResult from_pipe =
      run_tarnwell(dir, {"-i", "/dev/stdin", "-o", "out.txt", "-d", "1", "-t", "NNNNNNNNNN"}, setup);
  EXPECT_EQ(from_pipe.status, 0);
  EXPECT_EQ(from_pipe.out, from_file.out);
  EXPECT_EQ(dir.read("out.txt"), file_report);
  EXPECT_EQ(from_pipe.err.find(kLeak), std::string::npos);
}

TEST(InputFaults, EmptyPipeIsEmptyInput) {
  ScratchDir dir;
  RunSetup setup;
  setup.wrapper = {"/bin/sh", "-c", "printf '' | \"$0\" \"$@\""};
  const CliResult result = run_tarnwell(dir, {"-i", "/dev/stdin", "-o", "out.txt", "-d", "1", "-t", "N"}, setup);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("\"N\"\nCan't load input data\n"), std::string::npos);
}

TEST(InputFaults, DirectoryCannotBeRead) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.file("reads"));
  const CliResult result = run_tarnwell(dir, {"-i", "reads", "-o", "out.txt", "-d", "1", "-t", "N"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("\"N\"\nCan't read input file \"reads\"\n"), std::string::npos);
  EXPECT_EQ(result.err.find(kLeak), std::string::npos);
}

TEST(InputFaults, UnreadableFileCannotBeOpened) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  ScratchDir dir;
  dir.write("in.fa", ">a\nA\n");
  chmod(dir.file("in.fa").c_str(), 0);
  const CliResult result = run_tarnwell(dir, args_for("1", "N"));
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("Can't open file \"in.fa\"\n"), std::string::npos);
}

TEST(InputFaults, OutputThroughLinksToInputIsRefused) {
  ScratchDir dir;
  const std::string reads = ">a\nACGT\n";
  dir.write("in.fa", reads);
  std::filesystem::create_symlink("in.fa", dir.file("soft.txt"));
  std::filesystem::create_hard_link(dir.file("in.fa"), dir.file("hard.txt"));
  for (const char* output : {"soft.txt", "hard.txt"}) {
    const CliResult result = run_tarnwell(dir, {"-i", "in.fa", "-o", output, "-d", "1", "-t", "NNNN"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Input path: \"in.fa\"\nOutput file \"" + std::string(output) + "\" is the input file\n");
    EXPECT_EQ(dir.read("in.fa"), reads);
  }
}

}  // namespace
