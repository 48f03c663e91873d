// Runs that meet a hostile environment: memory that runs out at each
// allocation a lowered address-space limit can reach, outputs that cannot be
// written, inputs that are directories, unreadable, or the output itself. Each must end with its one message and
// status, leave no tracked byte behind, and never touch the input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "e2e/cli_harness.h"

namespace {

const std::string kLeak = "Failed to deallocate";

TEST(AddressSpaceLimit, FailsAtEachAllocation) {
  if (const std::string why = address_limits_unavailable(); !why.empty()) GTEST_SKIP() << why;
  std::string tiny;  // two million one-base records: 8 MB input, 48 MB records, 16 MB entries, 48 MB nodes
  for (int i = 0; i < 2000000; ++i) tiny += ">\nA\n";
  const struct {
    bool huge;              // a sparse 1 GB file instead of the tiny records
    int kilobytes, status;  // the limit sits mid-way between the failing block and the one before it
    std::string expected;
  } cases[] = {
      {true, 64 << 10, 10, "\"N\"\nError: can't allocate 1073741825 bytes\n"},  // the input buffer
      {false, 40 << 10, 10, "\"N\"\nError: can't allocate 48000000 bytes\n"},   // the record table
      {false, 80 << 10, 10, " - 2000000 barcodes match template\nSorting ..Error: can't allocate 16000000 bytes\n"},
      {false, 120 << 10, 10, "Sorting .. OK\nCreating clusters ..Error: can't allocate 48000000 bytes\n"},  // the nodes
      {false, 8300, 11, "Input path: \"in.fa\"\nError: can't allocate 524288 bytes\n"},  // a bucket table, first of all
  };
  ScratchDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    if (c.huge) {
      dir.write("in.fa", ">a\nA\n");
      std::filesystem::resize_file(dir.file("in.fa"), 1ull << 30);
    } else {
      dir.write("in.fa", c.kilobytes == 8300 ? ">a\nA\n" : tiny);
    }
    std::filesystem::remove(dir.file("out.txt"));
    // One thread: worker stacks would take address space of their own.
    const CliResult result =
        run_tarnwell(dir, run_args("1", "N", "in.fa", {"--jobs=1"}), address_space(c.kilobytes << 10));
    EXPECT_EQ(result.status, c.status);
    EXPECT_TRUE(result.err.ends_with(c.expected)) << result.err;
    EXPECT_EQ(result.err.find(kLeak), std::string::npos);
    EXPECT_EQ(dir.read("out.txt"), "");
  }
}

// The growth of a candidate pair buffer that runs out while the helpers of a
// distance pass still work: 16,384 barcodes two apart from their neighbours
// (the last base a check sum) that share their first 8 bases, so that the
// search keys them by the others and the calling thread gathers the pass's
// pairs as the helpers find them. The helpers stop before the run ends.
TEST(AddressSpaceLimit, FailsInsideAThreadedPhase) {
  if (const std::string why = address_limits_unavailable(); !why.empty()) GTEST_SKIP() << why;
  std::string reads;
  for (int code = 0; code < 1 << 14; ++code) {
    std::string suffix;
    int sum = 0;
    for (int i = 0; i < 7; ++i) {
      suffix += "ACGT"[(code >> (2 * i)) & 3];
      sum += (code >> (2 * i)) & 3;
    }
    reads += ">r" + std::to_string(code) + "\nAAAAAAAA" + suffix + "ACGT"[sum % 4] + "\n";
  }
  ScratchDir dir;
  dir.write("in.fa", reads);
  const CliResult result =
      run_tarnwell(dir, run_args("2", std::string(16, 'N'), "in.fa", {"--jobs", "2"}), address_space(35 << 20));
  EXPECT_EQ(result.status, 10);
  EXPECT_TRUE(result.err.ends_with("Clustering with distance 2 ..Error: can't allocate 6291456 bytes\n"))
      << result.err;
  EXPECT_EQ(result.err.find(kLeak), std::string::npos);
  EXPECT_EQ(dir.read("out.txt"), "");
}

TEST(OutputFaults, FullDiskAndFullStandardOutputAreReported) {
  ScratchDir dir;
  dir.write("in.fa", ">a\nACGT\n");
  const CliResult disk = run_tarnwell(dir, {"-i", "in.fa", "-o", "/dev/full", "-d", "0", "-t", "NNNN"});
  EXPECT_EQ(disk.status, 1);
  EXPECT_EQ(disk.out, "");
  EXPECT_TRUE(disk.err.ends_with("OK, 0 joined\nCan't write output file \"/dev/full\"\n")) << disk.err;
  const CliResult out = run_tarnwell(dir, {"-p", "-i", "in.fa", "-o", "out.txt", "-d", "0", "-t", "NNNN"},
                                     {"/dev/null", "/dev/full", {}});
  EXPECT_EQ(out.status, 1);
  EXPECT_TRUE(out.err.ends_with("remain\nCan't write to standard output\n")) << out.err;
  bool exists = true;
  dir.read("out.txt", &exists);
  EXPECT_FALSE(exists) << "a report complete but for its count line is not kept";
}

// An output that is the open file standard output writes to would take the
// count line too (over its first bytes, or among its lines through a pipe):
// refused before any file is created. Devices such as /dev/null share nothing.
TEST(OutputFaults, OutputThatIsStandardOutputIsRefused) {
  ScratchDir dir;
  dir.write("in.fa", ">a\nACGT\n");
  const RunSetup to_file{"/dev/null", dir.file("stdout.txt"), {}};
  const RunSetup to_pipe{"/dev/null", "", {"/bin/bash", "-c", "set -o pipefail; \"$0\" \"$@\" | cat"}};
  const struct {
    std::vector<std::string> extra;
    RunSetup setup;
  } cases[] = {
      {{"-o", "/dev/stdout"}, to_file},
      {{"-o", "out.txt", "--stats", "/dev/stdout"}, to_file},
      {{"-o", "stdout.txt"}, to_file},
      {{"-o", "/dev/stdout"}, to_pipe},
      {{"-o", "out.txt", "--assignments", "/dev/stdout"}, to_pipe},
      {{"-o", "out.txt", "--page", "/dev/stdout"}, to_file},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.extra[1] + (c.extra.size() > 2 ? " " + c.extra[3] : "") + (c.setup.wrapper.empty() ? "" : " | cat"));
    dir.write("stdout.txt", "kept");
    std::filesystem::remove(dir.file("out.txt"));
    const CliResult result = run_tarnwell(dir, with({"-i", "in.fa", "-d", "0", "-t", "NNNN"}, c.extra), c.setup);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Input path: \"in.fa\"\nOutput file \"" + c.extra.back() + "\" is standard output\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(dir.read("stdout.txt"), "kept");
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.txt")));
  }
  const CliResult null =
      run_tarnwell(dir, {"-i", "in.fa", "-o", "/dev/null", "-d", "0", "-t", "NNNN"}, {"/dev/null", "/dev/null", {}});
  EXPECT_EQ(null.status, 0) << null.err;
}

TEST(InputFaults, DirectoryUnreadableFileAndLinksToTheOutput) {
  ScratchDir dir;
  const std::string reads = ">a\nACGT\n";
  dir.write("in.fa", reads);
  std::filesystem::create_directory(dir.file("reads"));
  std::filesystem::create_symlink("in.fa", dir.file("soft.txt"));
  std::filesystem::create_hard_link(dir.file("in.fa"), dir.file("hard.txt"));
  dir.write("locked.fa", reads);
  chmod(dir.file("locked.fa").c_str(), 0);
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {run_args("1", "N", "reads"), settings(1, "N", "reads") + "Can't read input file \"reads\"\n"},
      {{"-i", "in.fa", "-o", "soft.txt", "-d", "1", "-t", "NNNN"},
       "Input path: \"in.fa\"\nOutput file \"soft.txt\" is the input file\n"},
      {{"-i", "in.fa", "-o", "hard.txt", "-d", "1", "-t", "NNNN"},
       "Input path: \"in.fa\"\nOutput file \"hard.txt\" is the input file\n"},
      {run_args("1", "N", "locked.fa"), settings(1, "N", "locked.fa") + "Can't open file \"locked.fa\"\n"},
  };
  for (const auto& [args, err] : cases) {
    if (args[1] == "locked.fa" && geteuid() == 0) continue;  // root reads every file
    const CliResult result = run_tarnwell(dir, args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(dir.read("in.fa"), reads);
  }
}

}  // namespace
