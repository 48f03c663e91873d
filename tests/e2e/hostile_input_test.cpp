// Inputs that sequencers, pipelines and people produce by accident: files of
// one byte or of nothing but '>', binary junk, a million record marks, lines
// of a hundred megabytes, files that change size while they are read. Each
// run ends with status 0 and a complete report, or with one message and
// status 1; none reads its whole input more than once into memory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/cli_harness.h"

namespace {

const std::string kLeak = "Failed to deallocate";

std::vector<std::string> args_for(const char* distance, const std::string& template_text) {
  return {"-i", "in.fa", "-o", "out.txt", "-d", distance, "-t", template_text};
}

// The last line of standard error: the message that ended the run.
std::string last_line(const std::string& err) {
  const size_t end = err.size() - (err.empty() || err.back() != '\n' ? 0 : 1);
  const size_t start = err.rfind('\n', end == 0 ? 0 : end - 1);
  return err.substr(start == std::string::npos ? 0 : start + 1);
}

void expect_one_message(const CliResult& result, const std::string& message) {
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(last_line(result.err), message);
  EXPECT_EQ(result.err.find(kLeak), std::string::npos);
}

TEST(HostileInput, TinyAndDegenerateFiles) {
  const struct {
    std::string input;
    std::string message;
  } cases[] = {
      {">", "Can't find end of sequence name\n"},
      {"A", "Input has no sequences\n"},
      {"\n", "Input has no sequences\n"},
      {std::string(1, '\0'), "Input has no sequences\n"},
      {">\n", "Can't find data for sequence \">\"\n"},
      {"\xef\xbb\xbf>a\nACGT\n", "Can't find sequence start ('>') in line 1\n"},  // a byte-order mark
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.input));
    ScratchDir dir;
    dir.write("in.fa", c.input);
    expect_one_message(run_tarnwell(dir, args_for("1", "NNNN")), c.message);
    EXPECT_EQ(dir.read("out.txt"), "");
    EXPECT_EQ(dir.read("in.fa"), c.input);
  }
}

TEST(HostileInput, MillionRecordMarks) {
  const std::string marks(1000000, '>');
  const struct {
    std::string input;
    std::string message;
  } cases[] = {
      {marks, "Can't find end of sequence name\n"},
      {marks + "\n", "Can't find data for sequence \"" + marks + "\"\n"},
      {marks + "\nACGT\n", "Failed to parse 1000000 sequences\n"},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    dir.write("in.fa", c.input);
    expect_one_message(run_tarnwell(dir, args_for("1", "NNNN")), c.message);
  }
  // Every mark on a line of its own: each name line takes the next one as its sequence.
  std::string lines;
  for (int i = 0; i < 1000000; ++i) lines += ">\n";
  ScratchDir dir;
  dir.write("in.fa", lines);
  expect_one_message(run_tarnwell(dir, args_for("1", "NNNN")), "Failed to parse 1000000 sequences\n");
}

// Seeded junk: any bytes at all, record marks and line ends among them.
TEST(HostileInput, BinaryJunkEndsWithOneMessage) {
  uint64_t state = 0x9e3779b97f4a7c15ull;
  for (int file = 0; file < 20; ++file) {
    std::string junk = ">r\n";
    for (int i = 0; i < 200000; ++i) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      const unsigned byte = static_cast<unsigned>(state >> 56);
      junk += static_cast<char>(file % 2 == 0 ? byte : "ACGT>\n\r\0N"[byte % 10]);
    }
    ScratchDir dir;
    dir.write("in.fa", junk);
    const CliResult result = run_tarnwell(dir, args_for("1", "NNNN"));
    SCOPED_TRACE(result.err);
    EXPECT_TRUE(result.status == 0 || result.status == 1);
    if (result.status != 0) {
      EXPECT_EQ(result.out, "");
    }
    EXPECT_FALSE(result.err.empty());
    EXPECT_EQ(result.err.back(), '\n');
    EXPECT_EQ(result.err.find(kLeak), std::string::npos);
    EXPECT_EQ(dir.read("in.fa"), junk);
  }
}

// Files whose size, found by seeking, is not what reading them gives.
TEST(HostileInput, FileThatReadsShorterThanItsSize) {
  // sysfs shows 4096 bytes for files that hold a line or two: the input
  // shrinks between sizing and reading, every time.
  const std::string path = "/sys/kernel/mm/transparent_hugepage/enabled";
  struct stat status;
  if (stat(path.c_str(), &status) != 0 || static_cast<size_t>(status.st_size) == read_file(path).size()) {
    GTEST_SKIP() << path << " is missing or reads as long as its size";
  }
  ScratchDir dir;
  const CliResult result = run_tarnwell(dir, {"-i", path, "-o", "out.txt", "-d", "1", "-t", "N"});
  expect_one_message(result, "Can't read " + std::to_string(status.st_size) + " bytes from input file\n");
}

TEST(HostileInput, FileThatShowsSizeZeroIsReadInFull) {
  // procfs shows size 0 for files that hold text; it must not pass for empty.
  ScratchDir dir;
  const CliResult result = run_tarnwell(dir, {"-i", "/proc/version", "-o", "out.txt", "-d", "1", "-t", "N"});
  expect_one_message(result, "Input has no sequences\n");
}

TEST(HostileInput, FileThatGrowsWhileReadIsRefused) {
  ScratchDir dir;
  // One read that matches the template, then many that do not, so that a
  // run that missed the growth ends at once with status 0.
  std::string records = ">a\nACGTACGTAC\n";
  for (int i = 0; i < 400000; ++i) records += ">r\nTTTTTTTTTT\n";
  dir.write("in.fa", records);
  // A writer appends for as long as the run lasts (at most 10 s and 64 MB);
  // a file still being written must not be clustered as if it had ended.
  CliResult result;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const pid_t writer = fork();
    if (writer == 0) {
      std::ofstream out(dir.file("in.fa"), std::ios::app | std::ios::binary);
      const time_t stop = time(nullptr) + 10;
      for (int i = 0; i < 5000000 && time(nullptr) < stop; ++i) out << ">w\nTTTTTTTTTT\n" << std::flush;
      _exit(0);
    }
    result = run_tarnwell(dir, args_for("1", "ANNNNNNNNN"));
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    if (result.status != 0) break;
  }
  expect_one_message(result, "Input file \"in.fa\" grew while it was read\n");
  EXPECT_EQ(dir.read("out.txt"), "");
}

// Big inputs: the whole file is held once, so the run fits in an address
// space a little larger than the file.
class BigInput : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef TARNWELL_SANITIZED
    GTEST_SKIP() << "address-space limits do not apply under the sanitizers";
#endif
    if (valgrind_requested()) GTEST_SKIP() << "too slow under valgrind";
    if (access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "prlimit is not installed";
  }
  static CliResult run_in(const ScratchDir& dir, size_t input_bytes, const std::vector<std::string>& args) {
    RunSetup setup;
    setup.wrapper = {"/usr/bin/prlimit", "--as=" + std::to_string(input_bytes + (48ull << 20))};
    return run_tarnwell(dir, args, setup);
  }
};

TEST_F(BigInput, HundredMegabyteLineIsClusteredWhole) {
  ScratchDir dir;
  const std::string sequence = std::string(100ull << 20, 'C');
  dir.write("in.fa", ">long\n" + sequence + "\n>short\nCCCA\n");
  const CliResult result = run_in(dir, sequence.size(), args_for("1", "NNNN"));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "1 clusters\n");
  EXPECT_TRUE(dir.read("out.txt") == ">1\nshort\tCCCA\nlong\t" + sequence + "\n") << "the long line is not whole";
}

TEST_F(BigInput, TwoHundredMegabytesOfN) {
  ScratchDir dir;
  const std::string sequence = std::string(200ull << 20, 'N');
  dir.write("in.fa", ">n\n" + sequence);
  const CliResult result = run_in(dir, sequence.size(), args_for("1", "NNNN"));
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find(" - 1 barcodes have N\n - 0 barcodes match template\nNo barcodes match template\n"),
            std::string::npos)
      << result.err;
  // Without a single record mark.
  dir.write("in.fa", sequence);
  expect_one_message(run_in(dir, sequence.size(), args_for("1", "NNNN")), "Input has no sequences\n");
}

TEST_F(BigInput, EndlessInputRunsOutOfMemoryCleanly) {
  ScratchDir dir;
  const CliResult result = run_in(dir, 200ull << 20, {"-i", "/dev/zero", "-o", "out.txt", "-d", "1", "-t", "N"});
  EXPECT_EQ(result.status, 10);
  EXPECT_EQ(last_line(result.err).rfind("Error: can't allocate ", 0), 0u) << result.err;
  EXPECT_EQ(result.err.find(kLeak), std::string::npos);
}

// A standard stream closed by the caller must not lend its number to the
// report file, or the count line and the messages would end up in the report.
TEST(HostileEnvironment, ClosedStandardStreamsStayOutOfTheReport) {
  const struct {
    const char* redirection;
    int status;
    std::string out;
    std::string last_message;
  } cases[] = {
      {"<&-", 0, "1 clusters\n", "Clustering with distance 0 .. OK, 0 joined\n"},
      {">&-", 1, "", "Can't write to standard output\n"},
      {"2>&-", 0, "1 clusters\n", ""},
      {">&- 2>&-", 1, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.redirection);
    ScratchDir dir;
    dir.write("in.fa", ">a\nACGT\n");
    RunSetup setup;
    setup.wrapper = {"/bin/sh", "-c", std::string("exec \"$0\" \"$@\" ") + c.redirection};
    const CliResult result = run_tarnwell(dir, args_for("0", "NNNN"), setup);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(c.last_message.empty() ? result.err : last_line(result.err), c.last_message);
    EXPECT_EQ(dir.read("out.txt"), ">1\na\tACGT\n");
  }
}

TEST(Guarantees, ReportIsIdenticalFromRunToRun) {
  ScratchDir dir;
  std::string reads;
  uint64_t state = 42;
  for (int i = 0; i < 20000; ++i) {
    reads += ">r" + std::to_string(i) + "\n";
    for (int base = 0; base < 12; ++base) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      reads += "ACGT"[(state >> 60) & 3];
    }
    reads += "\n";
  }
  dir.write("in.fa", reads);
  const CliResult first = run_tarnwell(dir, args_for("1", "NNNNNNNNNNNN"));
  const std::string first_report = dir.read("out.txt");
  const CliResult second = run_tarnwell(dir, args_for("1", "NNNNNNNNNNNN"));
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(second.out, first.out);
  EXPECT_EQ(second.err, first.err);
  EXPECT_TRUE(dir.read("out.txt") == first_report);
}

}  // namespace
