// Inputs that sequencers, pipelines and people produce by accident: lines of
// a hundred megabytes, files that change size while they are read, closed
// standard streams. Each run ends with status 0 and a complete report, or
// with one message and status 1; none holds its input more than once in
// memory. Small and arbitrary bytes are the whole-run fuzz target's business.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/cli_harness.h"

namespace {

// The last line of standard error: the message that ended the run.
std::string last_line(const std::string& err) {
  const size_t start = err.size() < 2 ? std::string::npos : err.rfind('\n', err.size() - 2);
  return err.substr(start == std::string::npos ? 0 : start + 1);
}

void expect_one_message(const CliResult& result, const std::string& message) {
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(last_line(result.err), message);
  EXPECT_EQ(result.err.find("Failed to deallocate"), std::string::npos);
}

// Files whose size, found by seeking, is not what reading them gives: sysfs
// shows 4096 bytes for a line or two (the input shrinks between sizing and
// reading), procfs shows 0 for text that must not pass for empty.
TEST(HostileInputFiles, SizeThatDiffersFromTheBytesRead) {
  ScratchDir dir;
  const std::string sysfs = "/sys/kernel/mm/transparent_hugepage/enabled";
  struct stat status;
  if (stat(sysfs.c_str(), &status) == 0 && static_cast<size_t>(status.st_size) != read_file(sysfs).size()) {
    expect_one_message(run_tarnwell(dir, run_args("1", "N", sysfs)),
                       "Can't read " + std::to_string(status.st_size) + " bytes from input file\n");
  }
  expect_one_message(run_tarnwell(dir, run_args("1", "N", "/proc/version")), "Input has no sequences\n");
}

TEST(HostileInputFiles, FileThatGrowsWhileReadIsRefused) {
  ScratchDir dir;
  // One read that matches the template, then many that do not, so that a run
  // that missed the growth ends at once with status 0.
  std::string records = ">a\nACGTACGTAC\n";
  for (int i = 0; i < 400000; ++i) records += ">r\nTTTTTTTTTT\n";
  dir.write("in.fa", records);
  CliResult result;
  // A writer that a busy machine holds off for the whole read goes unseen: try again.
  for (int attempt = 0; attempt < 10 && result.status <= 0; ++attempt) {
    struct stat before, now;
    stat(dir.file("in.fa").c_str(), &before);
    const pid_t writer = fork();  // appends for as long as the run lasts (at most 10 s and 64 MB)
    if (writer == 0) {
      std::ofstream out(dir.file("in.fa"), std::ios::app | std::ios::binary);
      const time_t stop = time(nullptr) + 10;
      for (int i = 0; i < 5000000 && time(nullptr) < stop; ++i) out << ">w\nTTTTTTTTTT\n" << std::flush;
      _exit(0);
    }
    // The run starts once the writer has, or it may be over before the first append.
    do stat(dir.file("in.fa").c_str(), &now);
    while (now.st_size == before.st_size);
    std::filesystem::remove(dir.file("out.txt"));  // what an attempt that missed the growth wrote
    result = run_tarnwell(dir, run_args("1", "ANNNNNNNNN"));
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
  }
  expect_one_message(result, "Input file \"in.fa\" grew while it was read\n");
  expect_only_named_files(dir, {"in.fa"});
}

// Big inputs fit in an address space a little larger than the file.
TEST(BigInput, LongLinesNsAndEndlessInput) {
  if (const std::string why = address_limits_unavailable(); !why.empty()) GTEST_SKIP() << why;
  if (valgrind_requested()) GTEST_SKIP() << "too slow under valgrind";
  ScratchDir dir;
  auto run_in = [&](size_t bytes, const std::string& input) {
    return run_tarnwell(dir, run_args("1", "NNNN", input), address_space(bytes + (48ull << 20)));
  };
  std::string sequence(100ull << 20, 'C');
  dir.write("in.fa", ">long\n" + sequence + "\n>short\nCCCA\n");
  const CliResult line = run_in(sequence.size(), "in.fa");
  EXPECT_EQ(line.status, 0) << line.err;
  EXPECT_EQ(line.out, "1 clusters\n");
  EXPECT_TRUE(dir.read("out.txt") == ">1\nshort\tCCCA\nlong\t" + sequence + "\n") << "the long line is not whole";

  sequence.assign(200ull << 20, 'N');
  dir.write("in.fa", ">n\n" + sequence);
  const CliResult ns = run_in(sequence.size(), "in.fa");
  EXPECT_EQ(ns.status, 1);
  EXPECT_TRUE(ns.err.ends_with(" - 1 barcodes have N\n - 0 barcodes match template\nNo barcodes match template\n"))
      << ns.err;
  dir.write("in.fa", sequence);  // without a single record mark
  expect_one_message(run_in(sequence.size(), "in.fa"), "Input has no sequences\n");

  const CliResult endless = run_in(200ull << 20, "/dev/zero");
  EXPECT_EQ(endless.status, 10);
  EXPECT_EQ(last_line(endless.err).rfind("Error: can't allocate ", 0), 0u) << endless.err;
  EXPECT_EQ(endless.err.find("Failed to deallocate"), std::string::npos);
}

// A standard stream closed by the caller must not lend its number to the
// report file, or the count line and the messages would end up in the report.
RunSetup closing(const char* redirection) {
  return {"/dev/null", "", {"/bin/sh", "-c", std::string("exec \"$0\" \"$@\" ") + redirection}};
}
const std::string kOneRead = ">a\nACGT\n",
                  kOneRun = settings(0, "NNNN") +
                            forest_run(4, kOneRead.size(), 1, 1, false, "Clustering with distance 0 .. OK, 0 joined\n");

// clang-format off
const std::vector<CliCase> kClosedStreams = {
    {"ClosedInput", kOneRead, run_args("0", "NNNN"), 0, "1 clusters\n", kOneRun, ">1\na\tACGT\n", "in.fa", "out.txt", closing("<&-")},
    {"ClosedOutput", kOneRead, run_args("0", "NNNN"), 1, "", kOneRun + "Can't write to standard output\n", kAbsent, "in.fa", "out.txt", closing(">&-")},
    {"ClosedError", kOneRead, run_args("0", "NNNN"), 0, "1 clusters\n", "", ">1\na\tACGT\n", "in.fa", "out.txt", closing("2>&-")},
    {"ClosedOutputAndError", kOneRead, run_args("0", "NNNN"), 1, "", "", kAbsent, "in.fa", "out.txt", closing(">&- 2>&-")},
};
// clang-format on

class ClosedStandardStreams : public ::testing::TestWithParam<CliCase> {};
TEST_P(ClosedStandardStreams, StayOutOfTheReport) {
  if (valgrind_requested()) GTEST_SKIP() << "valgrind needs its standard streams";
  expect_case(GetParam());
}
INSTANTIATE_TEST_SUITE_P(Environment, ClosedStandardStreams, ::testing::ValuesIn(kClosedStreams), case_name);

}  // namespace
