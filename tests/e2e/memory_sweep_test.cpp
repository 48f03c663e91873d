// Memory that runs out anywhere: each input form and mode runs under every
// address-space limit from the least at which the binary starts at all up to
// the least at which it completes, in steps fine enough to fail inside every
// phase (the loader and its threads, the decompressors, the passes, the
// tables). Each run must end with status 0, 10 or 11: when not 0, with the
// out-of-memory message as its last line and every output path as any failed
// run leaves it; when 0, with the bytes of the run without a limit.
//
// The discovered tests sweep four of the pairs; the whole table (every form
// in every mode) runs under the memory_sweep label: ctest -C Sweep -L memory_sweep.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "e2e/cli_harness.h"

namespace {

constexpr size_t kSteps = 48;
constexpr size_t kGrain = 16 << 10;  // the limits are searched to 16 KiB

struct Form {
  const char* name;
  const char* file;  // written into the scratch directory
  bool piped;        // handed to the tool on standard input through a pipe
  bool sheet;        // a sample sheet (--experiment), whose samples load at once
};
const Form kForms[] = {
    {"Fasta", "in.fa", false, false},         {"GzipFasta", "in.fa.gz", false, false},
    {"GzipFastq", "in.fq.gz", false, false},  {"BlockGzipFastq", "in.bgz", false, false},
    {"ZstdFastq", "in.fq.zst", false, false}, {"PipedFasta", "in.fa", true, false},
    {"Samples", "in.tsv", false, true},
};

struct Mode {
  const char* name;
  std::vector<std::string> args;
};
const Mode kModes[] = {
    {"Distance0OneJob", {"-d", "0", "--jobs", "1"}},
    {"Distance3FourJobsStatsPage", {"-d", "3", "--jobs", "4", "--stats", "stats.json", "--page", "page.html"}},
    {"DuplicatesFourJobsTables",
     {"-p", "-d", "1", "--jobs", "4", "--assignments", "assign.tsv", "--cluster-table", "clusters.tsv"}},
    {"DuplicatesDistance3OneJobStatsPage",
     {"-p", "-d", "3", "--jobs", "1", "--stats", "stats.json", "--page", "page.html"}},
};
const char* const kOutputs[] = {"out.txt", "stats.json", "page.html", "assign.tsv", "clusters.tsv"};
const std::string kEarlier = "earlier run\n";

bool full_sweep() {
  const char* setting = std::getenv("TARNWELL_FULL_MEMORY_SWEEP");
  return setting != nullptr && std::string(setting) == "1";
}

void write_inputs(const ScratchDir& dir) {
  const std::vector<TestRead> reads = make_test_reads(3000, 23);
  const std::string fasta = as_fasta(reads);
  const std::string fastq = as_fastq(reads);
  dir.write("in.fa", fasta);
  dir.write("in.fa.gz", gzip_member(fasta));
  dir.write("in.fq.gz", gzip_member(fastq));
  dir.write("in.bgz", block_gzip(fastq, 4000));  // blocks enough for every inflating helper
  dir.write("in.fq.zst", zstd_frame(fastq));
  dir.write("in.tsv", "sample\tpath\ngzip\tin.fq.gz\nblocks\tin.bgz\nzstd\tin.fq.zst\n");
}

// Every file of the directory but the inputs, with its bytes; in the stats
// and the page every run of digits and points (the seconds among them) reads '#'.
std::map<std::string, std::string> outputs_of(const ScratchDir& dir) {
  static const std::set<std::string> inputs = {"in.fa", "in.fa.gz", "in.fq.gz", "in.bgz", "in.fq.zst", "in.tsv"};
  static const std::regex number("[0-9.]+");
  std::map<std::string, std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (inputs.count(name) != 0) continue;
    const std::string bytes = dir.read(name);
    found[name] = name == "stats.json" || name == "page.html" ? std::regex_replace(bytes, number, "#") : bytes;
  }
  return found;
}

// The progress line a failed run's message closes, or the line before it; for the summary.
std::string phase_of(const std::string& err, size_t message_at) {
  if (message_at == std::string::npos || message_at == 0) return "";
  size_t begin = err.rfind('\n', message_at - 1);
  begin = begin == std::string::npos ? 0 : begin + 1;
  if (begin == message_at && begin > 0) {
    const size_t before = err.rfind('\n', begin - 2);
    begin = before == std::string::npos ? 0 : before + 1;
  }
  return err.substr(begin, std::min<size_t>(message_at - begin, 28));
}

class MemorySweep : public ::testing::TestWithParam<std::tuple<int, int>> {
 protected:
  const Form& form() const { return kForms[std::get<0>(GetParam())]; }
  const Mode& mode() const { return kModes[std::get<1>(GetParam())]; }

  // One run under the limit (0: none), after every output path was given the bytes of an earlier run.
  CliResult run(size_t limit, bool missing_input = false) {
    for (const char* output : kOutputs) dir_.write(output, kEarlier);
    const std::string input = missing_input ? "missing.fa" : form().piped ? "-" : form().file;
    const char* input_option = form().sheet && !missing_input ? "--experiment" : "-i";
    const std::vector<std::string> args =
        with({input_option, input, "-o", "out.txt", "-t", kTestTemplate}, mode().args);
    RunSetup setup;
    const std::string prlimit = limit == 0 ? "" : "/usr/bin/prlimit --as=" + std::to_string(limit) + " ";
    if (form().piped) {
      setup.wrapper = {"/bin/sh", "-c", "cat " + std::string(form().file) + " | " + prlimit + "\"$0\" \"$@\""};
    } else if (limit != 0) {
      setup.wrapper = {"/usr/bin/prlimit", "--as=" + std::to_string(limit)};
    }
    return run_tarnwell(dir_, args, setup);
  }

  static bool started(const CliResult& result) {
    return result.err.find("error while loading shared libraries") == std::string::npos && result.status != 127;
  }

  // The least limit in [low, high] at which accepted(run) holds, taking it to hold from there on.
  template <typename Accepted>
  size_t least_limit(size_t low, size_t high, Accepted accepted) {
    while (high - low > kGrain) {
      const size_t middle = (low + high) / 2;
      if (accepted(run(middle))) {
        high = middle;
      } else {
        low = middle;
      }
    }
    return high;
  }

  ScratchDir dir_;
};

TEST_P(MemorySweep, EndsWithAMessageUnderEveryLimit) {
  if (const std::string why = address_limits_unavailable(); !why.empty()) GTEST_SKIP() << why;
  if (valgrind_requested()) GTEST_SKIP() << "address-space limits do not apply under valgrind";
  write_inputs(dir_);
  const CliResult unlimited = run(0);
  ASSERT_EQ(unlimited.status, 0) << unlimited.err;
  auto complete_outputs = outputs_of(dir_);
  const CliResult failed = run(0, true);  // what any failed run leaves at the output paths
  ASSERT_EQ(failed.status, 1) << failed.err;
  auto failed_outputs = outputs_of(dir_);

  const size_t lowest = least_limit(1 << 20, 64 << 20, started);
  const size_t peak = least_limit(lowest, 4ull << 30, [](const CliResult& result) { return result.status == 0; });
  // While a sample loads, the message names it on a line of its own.
  const std::regex message("Error: can't allocate ([0-9]+ bytes|memory)\n"
                           "(In sample \"[a-z]+\", line [0-9]+ of sample sheet \"in.tsv\"\n)?");
  // Evenly over the whole range, and in the full sweep as many again closing
  // in on the peak, where the phases after the load (a few hundred KiB of
  // small inputs' blocks) lie close together.
  std::vector<size_t> limits;
  for (size_t step = 0; step <= kSteps; ++step) limits.push_back(lowest + (peak - lowest) * step / kSteps);
  for (size_t step = 1; full_sweep() && step < kSteps; ++step) {
    limits.push_back(peak - (peak - lowest) / kSteps * (kSteps - step) * (kSteps - step) / (kSteps * kSteps));
  }
  int failures = 0;
  std::map<std::string, int> ended_in;  // the progress line each failed run ended on
  for (const size_t limit : limits) {
    SCOPED_TRACE("limit " + std::to_string(limit) + " bytes");
    const CliResult result = run(limit);
    ASSERT_TRUE(result.status == 0 || result.status == 10 || result.status == 11)
        << "status " << result.status << "\n" << result.err;
    if (result.status == 0) {
      EXPECT_EQ(result.out, unlimited.out);
      EXPECT_EQ(result.err, unlimited.err);
      EXPECT_EQ(outputs_of(dir_), complete_outputs);
      continue;
    }
    ++failures;
    // A progress line ends without a line break where its phase fails, so the message may close it.
    const size_t message_at = result.err.rfind("Error: ");
    ++ended_in[phase_of(result.err, message_at)];
    EXPECT_TRUE(message_at != std::string::npos && std::regex_match(result.err.substr(message_at), message))
        << result.err;
    EXPECT_EQ(result.err.find("Failed to deallocate"), std::string::npos) << result.err;
    // The count line comes once the report is complete, and the tables after it.
    EXPECT_TRUE(result.out.empty() || result.out == unlimited.out) << result.out;
    // Each path is as it was (the run ended before creating it), as any
    // failed run leaves it, or holds the start of what a complete run writes
    // (the run ended while writing it, or after).
    const auto left = outputs_of(dir_);
    EXPECT_EQ(left.size(), failed_outputs.size());
    for (const auto& [name, bytes] : left) {
      EXPECT_TRUE(bytes == kEarlier || bytes == failed_outputs[name] || complete_outputs[name].starts_with(bytes))
          << name << " holds \"" << bytes.substr(0, 200) << "\"";
    }
  }
  EXPECT_GT(failures, 0) << "the limits swept from " << lowest << " to " << peak << " bytes";
  RecordProperty("lowest", std::to_string(lowest));
  RecordProperty("peak", std::to_string(peak));
  std::printf("%s %s: %zu runs from %zu to %zu bytes, %d failed, ending on", form().name, mode().name, limits.size(),
              lowest, peak, failures);
  for (const auto& [line, runs] : ended_in) std::printf(" [%s] %d", line.c_str(), runs);
  std::printf("\n");
}

// The suite's four: a sized file, block-gzip on inflating helpers, a pipe, samples loaded at once.
const std::tuple<int, int> kSuitePairs[] = {{0, 1}, {3, 2}, {5, 3}, {6, 2}};

INSTANTIATE_TEST_SUITE_P(FormsAndModes, MemorySweep,
                         full_sweep() ? ::testing::Combine(::testing::Range(0, 7), ::testing::Range(0, 4))
                                      : ::testing::ValuesIn(kSuitePairs),
                         [](const auto& info) {
                           return std::string(kForms[std::get<0>(info.param)].name) +
                                  kModes[std::get<1>(info.param)].name;
                         });

}  // namespace
