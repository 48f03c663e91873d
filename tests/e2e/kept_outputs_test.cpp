// The outputs of a run replace their targets only when the run succeeds: a
// failed or interrupted run after a good one leaves every target's bytes and
// time as they were, and no new file behind. Links, devices and permissions.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "e2e/cli_harness.h"

namespace {

const std::string kReads = ">a\nACGT\n>b\nACGA\n>c\nTTTT\n";
const std::vector<std::string> kTargets = {"out.txt", "a.tsv", "c.tsv", "s.json", "p.html"};
const std::vector<std::string> kOutputs = {"-o", "out.txt", "--assignments", "a.tsv", "--cluster-table", "c.tsv",
                                           "--stats", "s.json", "--page", "p.html"};

struct Target {
  std::string bytes;
  struct timespec modified;
};

// Every target's bytes and modification time; the times are set an hour back
// first, so that a target written again cannot keep its time by chance.
std::map<std::string, Target> snapshot(const ScratchDir& dir, bool set_times) {
  std::map<std::string, Target> targets;
  for (const std::string& name : kTargets) {
    const std::string path = dir.file(name);
    if (set_times) {
      const struct timespec hour_ago[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
      utimensat(AT_FDCWD, path.c_str(), hour_ago, 0);
    }
    struct stat status = {};
    stat(path.c_str(), &status);
    targets[name] = {dir.read(name), status.st_mtim};
  }
  return targets;
}

void expect_unchanged(const ScratchDir& dir, const std::map<std::string, Target>& before) {
  for (const auto& [name, target] : snapshot(dir, false)) {
    EXPECT_EQ(target.bytes, before.at(name).bytes) << name;
    EXPECT_EQ(target.modified.tv_sec, before.at(name).modified.tv_sec) << name;
    EXPECT_EQ(target.modified.tv_nsec, before.at(name).modified.tv_nsec) << name;
  }
  expect_only_named_files(dir, with(kTargets, {"in.fa", "in.fq"}));
}

TEST(KeptOutputs, FailedRunAfterAGoodOneLeavesEveryTarget) {
  ScratchDir dir;
  dir.write("in.fa", kReads);
  dir.write("in.fq", "@a\nACGT\n+\nIIII\n");
  ASSERT_EQ(run_tarnwell(dir, with(kOutputs, {"-i", "in.fa", "-d", "1", "-t", "NNNN"})).status, 0);
  const std::map<std::string, Target> before = snapshot(dir, true);
  for (const std::string& name : kTargets) ASSERT_NE(before.at(name).bytes, "") << name;
  const std::vector<std::string> failures[] = {
      {"-i", "in.fq.missing", "-d", "1", "-t", "NNNN"},       // a misspelt input
      {"-i", "in.fa", "-d", "1", "-t", "NNxN"},               // a bad template letter
      {"-i", "in.fa", "-d", "1", "-t", "NN", "--quality", "20"},  // qualities asked of FASTA
      {"-i", "in.fa", "-d", "1", "-t", "NNNN", "--cluster-table", "/dev/full"},  // a table that fails last
  };
  for (const auto& failure : failures) {
    SCOPED_TRACE(failure[1] + " " + failure[5]);
    EXPECT_EQ(run_tarnwell(dir, with(kOutputs, failure)).status, 1);
    expect_unchanged(dir, before);
  }
  // A report complete but for its count line, which standard output did not take.
  const CliResult full = run_tarnwell(dir, with(kOutputs, {"-i", "in.fa", "-d", "1", "-t", "NNNN"}),
                                      {"/dev/null", "/dev/full", {}});
  EXPECT_EQ(full.status, 1);
  expect_unchanged(dir, before);
}

// A run still reading its input is stopped by each signal: it exits with 128
// + the signal's number and removes the files it had begun.
TEST(KeptOutputs, SignalMidRunLeavesEveryTarget) {
  if (valgrind_requested()) GTEST_SKIP() << "the run is driven directly";
  ScratchDir dir;
  dir.write("in.fa", kReads);
  ASSERT_EQ(run_tarnwell(dir, with(kOutputs, {"-i", "in.fa", "-d", "1", "-t", "NNNN"})).status, 0);
  const std::map<std::string, Target> before = snapshot(dir, true);
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(input[0], 0);
      close(input[1]);
      const int quiet = open("/dev/null", O_WRONLY);
      dup2(quiet, 1);
      dup2(quiet, 2);
      if (chdir(dir.path().c_str()) != 0) _exit(126);
      std::vector<std::string> args =
          with(with(binary_command(TARNWELL_BINARY), {"-i", "-", "-d", "1", "-t", "NNNN"}), kOutputs);
      std::vector<char*> argv;
      for (std::string& word : args) argv.push_back(word.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(input[0]);
    // The outputs are begun before the input is read: wait for all five new files (a busy machine may take a while).
    int entries = 0;
    for (int wait = 0; wait < 6000 && entries != 1 + 5 + 5; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      entries = 0;
      for (const auto& entry : std::filesystem::directory_iterator(dir.path())) entries += entry.exists() ? 1 : 0;
    }
    EXPECT_EQ(entries, 1 + 5 + 5) << "the run never began its outputs";
    ASSERT_EQ(write(input[1], ">a\nAC", 5), 5);
    kill(pid, signal_number);
    int status = 0;
    waitpid(pid, &status, 0);
    close(input[1]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + signal_number);
    expect_unchanged(dir, before);
  }
}

// A link keeps pointing where it did and the file it names is replaced; a
// device is written directly; a new file gets 0666 less the umask; a target
// the run may not write is refused before anything is read.
TEST(KeptOutputs, LinksDevicesAndPermissions) {
  ScratchDir dir;
  dir.write("in.fa", kReads);
  std::filesystem::create_directory(dir.file("results"));
  dir.write("results/report.txt", "old");
  std::filesystem::create_symlink("results/report.txt", dir.file("link.txt"));
  std::filesystem::create_symlink("results/new.json", dir.file("dangling.json"));
  const RunSetup umask_027 = {"/dev/null", "", {"/bin/sh", "-c", "umask 027; exec \"$0\" \"$@\""}};
  const CliResult linked = run_tarnwell(
      dir, {"-i", "in.fa", "-o", "link.txt", "-d", "0", "-t", "NNNN", "--stats", "dangling.json", "--page", "/dev/null"},
      umask_027);
  ASSERT_EQ(linked.status, 0) << linked.err;
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.txt")));
  EXPECT_EQ(std::filesystem::read_symlink(dir.file("link.txt")), "results/report.txt");
  EXPECT_EQ(dir.read("results/report.txt"), ">1\nb\tACGA\n>2\na\tACGT\n>3\nc\tTTTT\n");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("dangling.json")));
  EXPECT_TRUE(dir.read("results/new.json").starts_with("{\n"));
  struct stat status;
  ASSERT_EQ(stat(dir.file("results/report.txt").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  EXPECT_EQ(std::vector<std::filesystem::path>(std::filesystem::directory_iterator(dir.file("results")), {}).size(),
            2u);

  if (geteuid() == 0) return;  // root writes every file
  chmod(dir.file("results/report.txt").c_str(), 0444);
  const CliResult locked = run_tarnwell(dir, {"-i", "in.fa", "-o", "results/report.txt", "-d", "0", "-t", "NNNN"});
  EXPECT_EQ(locked.status, 1);
  EXPECT_EQ(locked.err, "Input path: \"in.fa\"\nCan't create output file \"results/report.txt\"\n");
}

}  // namespace
