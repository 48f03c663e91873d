#include "e2e/cli_harness.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarnwell-e2e-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void ScratchDir::write(const std::string& name, const std::string& bytes) const {
  std::ofstream(file(name), std::ios::binary) << bytes;
}

std::string ScratchDir::read(const std::string& name, bool* exists) const { return read_file(file(name), exists); }

std::string read_file(const std::string& path, bool* exists) {
  std::ifstream stream(path, std::ios::binary);
  if (exists != nullptr) *exists = stream.good();
  std::ostringstream bytes;
  bytes << stream.rdbuf();
  return bytes.str();
}

bool valgrind_requested() {
  const char* setting = std::getenv("TARNWELL_E2E_VALGRIND");
  return setting != nullptr && std::string(setting) == "1";
}

std::vector<std::string> binary_command(const std::string& binary) {
  std::vector<std::string> command;
  std::istringstream words(TARNWELL_EMULATOR);
  for (std::string word; words >> word;) command.push_back(word);
  command.push_back(binary);
  return command;
}

std::string address_limits_unavailable() {
#ifdef TARNWELL_SANITIZED
  return "address-space limits do not apply under the sanitizers";
#else
  if (*TARNWELL_EMULATOR != '\0') return "address-space limits do not apply under the emulator";
  return access("/usr/bin/prlimit", X_OK) == 0 ? "" : "prlimit is not installed";
#endif
}

RunSetup address_space(size_t bytes) {
  return {"/dev/null", "", {"/usr/bin/prlimit", "--as=" + std::to_string(bytes)}};
}

std::string command_output(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  for (int c; (c = fgetc(pipe)) != EOF;) output += static_cast<char>(c);
  pclose(pipe);
  return output;
}

CliResult run_tarnwell(const ScratchDir& dir, const std::vector<std::string>& args, const RunSetup& setup) {
  ScratchDir capture;
  const std::string out_path = setup.stdout_path.empty() ? capture.file("stdout") : setup.stdout_path;
  const std::string err_path = capture.file("stderr");
  std::vector<std::string> command = setup.wrapper;
  if (valgrind_requested())
    command.insert(command.end(), {"valgrind", "-q", "--error-exitcode=99", "--leak-check=full"});
  const std::vector<std::string> binary = binary_command(setup.binary);
  command.insert(command.end(), binary.begin(), binary.end());
  command.insert(command.end(), args.begin(), args.end());
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open(setup.stdin_path.c_str(), O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | (setup.stdout_path.empty() ? O_TRUNC : 0), 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || chdir(dir.path().c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    for (std::string& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int wait_status = 0;
  waitpid(pid, &wait_status, 0);
  CliResult result;
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  if (setup.stdout_path.empty()) result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

std::string settings(int distance, const std::string& upper_template, const std::string& input) {
  return "Input path: \"" + input + "\"\nCounting clusters separated by at least " + std::to_string(distance + 1) +
         " mismatch" + (distance != 0 ? "es" : "") + "\nUsing only sequences matching template \"" + upper_template +
         "\"\n";
}

std::string forest_line(size_t template_length, size_t input_bytes, int records, int entries, int record_bytes) {
  const size_t held = 2 * template_length + 1 + 2 * 524288 + input_bytes + 1 + record_bytes * records + 24 * entries;
  return "Creating clusters .. OK (now " + std::to_string(held) + " bytes allocated)\n";
}

std::string forest_run(size_t template_length, size_t input_bytes, int records, int entries, bool removed,
                       const std::string& passes, int record_bytes) {
  std::string text = "Parsed " + std::to_string(records) + " sequences\nConverting barcodes to binary form\n - " +
                     std::to_string(records) + " barcodes match template\nSorting .. OK\n";
  if (removed)
    text += "Removing duplicates .. OK, " + std::to_string(entries) + " sequences with unique barcodes remain\n";
  return text + forest_line(template_length, input_bytes, records, entries, record_bytes) + passes;
}

void expect_case(const CliCase& c) {
  ScratchDir dir;
  if (c.input != kAbsent) dir.write(c.input_name, c.input);
  const CliResult result = run_tarnwell(dir, c.args, c.setup);
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.out, c.out);
  EXPECT_TRUE(result.err == c.err) << "stderr:\n" << result.err.substr(0, 2000);
  bool exists = false;
  const std::string report = dir.read(c.output_name, &exists);
  EXPECT_EQ(exists, c.report != kAbsent) << "report file";
  EXPECT_TRUE(c.report == kAbsent || report == c.report) << "report:\n" << report.substr(0, 2000);
  EXPECT_TRUE(c.input == kAbsent || dir.read(c.input_name) == c.input) << "the input must never change";
  expect_only_named_files(dir, with(c.args, {c.input_name, c.output_name}));
}

void expect_refusal(const std::map<std::string, std::string>& files, const std::vector<std::string>& args,
                    const std::string& err) {
  ScratchDir dir;
  std::vector<std::string> names;
  for (const auto& [name, bytes] : files) {
    dir.write(name, bytes);
    names.push_back(name);
  }
  const CliResult result = run_tarnwell(dir, args);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, err);
  for (const auto& [name, bytes] : files) EXPECT_TRUE(dir.read(name) == bytes) << name << " changed";
  expect_only_named_files(dir, names);
}

void expect_only_named_files(const ScratchDir& dir, const std::vector<std::string>& args) {
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    bool named = false;
    for (const std::string& arg : args) named = named || arg == name || arg == "./" + name;
    EXPECT_TRUE(named) << "a file no option names was left behind: " << name;
  }
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t begin = 0;
  while (begin < text.size()) {
    const size_t end = std::min(text.find(separator, begin), text.size());
    parts.push_back(text.substr(begin, end - begin));
    begin = end + 1;
    if (end + 1 == text.size() && separator != '\n') parts.push_back("");
  }
  return parts;
}

std::vector<TestRead> fasta_records(const std::string& fasta) {
  std::vector<TestRead> records;
  for (std::string line : split(fasta, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '>') {
      records.push_back({line.substr(1), ""});
    } else if (!records.empty()) {
      records.back().sequence += line;
    }
  }
  return records;
}

std::string without_varying_figures(const std::string& page) {
  return std::regex_replace(page, std::regex("class=\"varies\">[^<]*<"), "class=\"varies\"><");
}

namespace {

// The data in one of the forms the tool reads, and the file name's ending.
std::string in_some_form(CaseRandom& random, const std::string& data, std::string* ending) {
  switch (random.below(4)) {
    case 0:
      *ending = "";
      return data;
    case 1:
      *ending = ".gz";
      return gzip_member(data);
    case 2:
      *ending = ".bgz";
      return block_gzip(data, 1 + random.below(200));
    default:
      *ending = ".zst";
      return zstd_frame(data);
  }
}

std::string fastq_of(const std::vector<TestRead>& records) {
  std::string text;
  for (const TestRead& record : records) {
    text += "@" + record.name + "\n" + record.sequence + "\n+\n" + std::string(record.sequence.size(), 'I') + "\n";
  }
  return text;
}

}  // namespace

Experiment write_experiment(CaseRandom& random, const ScratchDir& dir, const std::string& fasta, uint32_t max_samples) {
  const std::vector<TestRead> records = fasta_records(fasta);
  Experiment experiment;
  std::filesystem::create_directory(dir.file("data"));
  const uint32_t samples = 1 + random.below(max_samples);
  const uint32_t mode = random.below(3);  // FASTA, FASTQ, mixed
  std::string sheet = "sample\tpath\tcondition\n";
  size_t at = 0;
  for (uint32_t k = 0; k < samples; ++k) {
    const size_t end =
        k + 1 == samples ? records.size() : at + random.below(static_cast<uint32_t>(records.size() - at + 1));
    const std::vector<TestRead> part(records.begin() + static_cast<long>(at), records.begin() + static_cast<long>(end));
    at = end;
    const bool fastq = mode == 1 || (mode == 2 && random.chance(50));
    std::string data = fastq ? fastq_of(part) : as_fasta(part);
    if (!fastq && mode == 0 && !part.empty() && random.chance(50)) {
      data = reshape(random, data);
      if (!data.empty() && data.back() != '\n' && data.back() != '\r') data += "\n";
    }
    experiment.joined += mode == 2 ? as_fasta(part) : data;
    std::string ending;
    const std::string file = "s" + std::to_string(k) + (fastq ? ".fq" : ".fa");
    const std::string bytes = in_some_form(random, data, &ending);
    dir.write("data/" + file + ending, bytes);
    experiment.names.push_back("sample " + std::to_string(k));
    experiment.reads.push_back(part.size());
    sheet += experiment.names.back() + "\t" + file + ending + "\tarm\n";
  }
  dir.write("data/s.tsv", sheet);
  return experiment;
}
