// Runs the built tarnwell binary in a scratch directory and captures the
// exact bytes of standard output, standard error and the exit status; the
// texts every run prints.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/compression.h"
#include "support/random_reads.h"

// A scratch directory removed with everything in it when it goes out of scope.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& bytes) const;
  std::string read(const std::string& name, bool* exists = nullptr) const;

 private:
  std::string path_;
};

// Reads a whole file; empty when missing (*exists then false).
std::string read_file(const std::string& path, bool* exists = nullptr);

struct CliResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

// Where standard input comes from, where standard output goes (empty:
// captured), and an optional command (prlimit, sh -c) that runs the binary.
struct RunSetup {
  std::string stdin_path = "/dev/null";
  std::string stdout_path;
  std::vector<std::string> wrapper;
  std::string binary = TARNWELL_BINARY;  // or the build with the straightforward engine
};

// Runs tarnwell with args in dir, its working directory. TARNWELL_E2E_VALGRIND=1
// runs it under valgrind memcheck, whose findings end the run with status 99.
CliResult run_tarnwell(const ScratchDir& dir, const std::vector<std::string>& args, const RunSetup& setup = {});

bool valgrind_requested();
// The words that run a built binary: the binary itself, or the emulator and
// the binary when the tests were cross-built (the emulator runs them, too).
std::vector<std::string> binary_command(const std::string& binary);
// What a shell command prints on standard output.
std::string command_output(const std::string& command);

inline std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}
inline std::vector<std::string> run_args(const std::string& distance, const std::string& templ,
                                         const std::string& input = "in.fa",
                                         const std::vector<std::string>& more = {}) {
  return with({"-i", input, "-o", "out.txt", "-d", distance, "-t", templ}, more);
}
// The run on one of the two binaries, the fast engine's or the straightforward one's.
inline RunSetup on(const std::string& binary) {
  RunSetup setup;
  setup.binary = binary;
  return setup;
}
inline const std::vector<std::string> kBothBinaries = {TARNWELL_BINARY, TARNWELL_REFERENCE_BINARY};

// The parts between separators, empty ones included; a text ending in '\n' has no empty last line.
std::vector<std::string> split(const std::string& text, char separator);
// The records of FASTA text (sequence lines joined, line ends of any kind).
std::vector<TestRead> fasta_records(const std::string& fasta);
// The page with its time and memory figures blanked.
std::string without_varying_figures(const std::string& page);

// A sample sheet data/s.tsv in dir over the records of `fasta`, cut into 1 to
// max_samples samples (some perhaps empty), each FASTA or FASTQ (all one, or
// mixed), plain, gzip, block-gzip or zstd, wrapped now and then.
struct Experiment {
  std::vector<std::string> names;
  std::vector<uint64_t> reads;  // per sample
  std::string joined;           // the samples' data back to back, as one input (FASTA when mixed)
};
Experiment write_experiment(CaseRandom& random, const ScratchDir& dir, const std::string& fasta, uint32_t max_samples);

// Why a run under an address-space limit cannot be tested here (sanitizers, no prlimit), or empty.
std::string address_limits_unavailable();
// The run under an address-space limit of `bytes`.
RunSetup address_space(size_t bytes);

// Inline, so that they are ready before the case tables of other files.
inline const std::string kVersion =
    "Tarnwell, version 0.0.7, 2015-04-17\n"
    "Clusters DNA reads by barcode, single linkage on Hamming distance\n";
inline const std::string kUsage =
    "Usage: tarnwell <options>\n"
    "Options:\n"
    "  -i, --in FILE      - Specify input FASTA file.\n"
    "  -o, --out FILE     - Specify output file.\n"
    "  -d, --distance D   - Cluster sequences separated by D or fewer substitutions.\n"
    "  -t, --template T   - Use only sequences matching template T.\n"
    "  -p, --remove-duplicate-barcodes - Use only one sequence out of all sharing same barcode.\n"
    "  -v, --version      - Show version.\n"
    "  -h, --help         - Show help.\n";
inline const std::string kHint = "Use -h for help\n";

// The lines every run that gets past the template prints first.
std::string settings(int distance, const std::string& upper_template, const std::string& input = "in.fa");
// The forest line: the run then holds the template copy and mask, bucket_counts
// and bucket_start, the input and its NUL, the records and 24 bytes a node.
std::string forest_line(size_t template_length, size_t input_bytes, int records, int entries, int record_bytes = 24);
// Everything a forest-path run prints after the settings, for records that all match the template.
std::string forest_run(size_t template_length, size_t input_bytes, int records, int entries, bool removed,
                       const std::string& passes, int record_bytes = 24);

// A case of the exact-bytes tables, one a line: the input, the arguments and
// the status, standard output, standard error and report expected.
inline const std::string kAbsent =
    "\x01"
    "absent";  // a file that must not exist
struct CliCase {
  const char* name;
  std::string input;  // kAbsent: none written
  std::vector<std::string> args;
  int status;
  std::string out, err, report;
  std::string input_name = "in.fa", output_name = "out.txt";
  RunSetup setup = {};
};
inline void PrintTo(const CliCase& c, std::ostream* os) { *os << c.name; }
// Names the cases of any table by their name field.
inline constexpr auto case_name = [](const auto& info) { return std::string(info.param.name); };
// Runs the case in a fresh scratch directory and checks every byte, and that the input never changes.
void expect_case(const CliCase& c);
// A refused run in a fresh directory of `files`: status 1, nothing on standard
// output, exactly `err` on standard error, the inputs as they were, and no other file.
void expect_refusal(const std::map<std::string, std::string>& files, const std::vector<std::string>& args,
                    const std::string& err);
// Every file in dir is one the arguments name: no new output file was left behind.
void expect_only_named_files(const ScratchDir& dir, const std::vector<std::string>& args);
