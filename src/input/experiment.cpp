#include "input/experiment.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/run_statistics.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"
#include "input/base_qualities.h"
#include "input/fasta_parser.h"
#include "input/fastq_compactor.h"
#include "input/input_buffer.h"
#include "input/input_loader.h"

const char* const kClusterTableColumns[] = {"cluster", "members", "reads", "barcodes", "representative",
                                            "id",      "group",   "known", nullptr};
const char* const kMoleculesColumnSuffix = "_molecules";

namespace {

[[noreturn]] void refuse_line(uint32_t line, const std::string& problem) {
  fail(kExitFailure, "Sample sheet \"%s\", line %u: %s\n", run_state.experiment->sheet_path, line, problem.c_str());
}

// The text of the sheet; exits when it cannot be read.
std::string read_sheet_text(const char* path) {
  std::string text;
  FILE* file = fopen(path, "rb");
  if (file == nullptr) fail(kExitFailure, "Can't read sample sheet \"%s\"\n", path);
  char block[1 << 16];
  size_t got;
  while ((got = fread(block, 1, sizeof block, file)) > 0) text.append(block, got);
  const bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) fail(kExitFailure, "Can't read sample sheet \"%s\"\n", path);
  return text;
}

// The sheet's lines, each without its LF or CR LF end; text after the last line end is a line when not empty.
std::vector<std::string> sheet_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    size_t cut = end;
    if (cut > at && text[cut - 1] == '\r') --cut;
    lines.push_back(text.substr(at, cut - at));
    at = end + 1;
  }
  return lines;
}

std::vector<std::string> tab_fields(const std::string& line) {
  std::vector<std::string> fields;
  size_t at = 0;
  for (;;) {
    const size_t tab = line.find('\t', at);
    fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
    if (tab == std::string::npos) return fields;
    at = tab + 1;
  }
}

// A byte that would end a table cell or row, or garble a terminal.
bool breaks_a_table(const std::string& name) {
  return std::any_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
  });
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// The directory part of the sheet's path, with its slash, or empty.
std::string sheet_directory(const char* sheet_path) {
  const char* slash = strrchr(sheet_path, '/');
  return slash == nullptr ? std::string() : std::string(sheet_path, static_cast<size_t>(slash - sheet_path + 1));
}

// While a sample is loaded or parsed, a failure's message is followed by the sample it concerns.
void name_sample_on_failure(const Sample* sample) {
  static std::string note;
  if (sample == nullptr) {
    set_failure_note(nullptr);
    return;
  }
  note = "In sample \"" + sample->name + "\", line " + std::to_string(sample->sheet_line) + " of sample sheet \"" +
         run_state.experiment->sheet_path + "\"\n";
  set_failure_note(note.c_str());
}

// The record index the FASTQ parse of the sample being loaded counts from.
uint64_t quality_first_record = 0;

void note_sample_qualities(uint64_t record, const char* sequence, const char* quality, uint64_t length) {
  note_base_qualities(quality_first_record + record, sequence, quality, length);
}

// Moves the samples' blocks, each its data and a closing NUL, back to back
// into run_state.input_buffer (total bytes), in sheet order: the first
// sample's block grows into it, the others' pages move in (or their bytes
// are copied, for small ones) and they are released one by one.
void gather_sample_blocks(uint64_t total) {
  RunState& s = run_state;
  std::vector<Sample>& samples = s.experiment->samples;
  Sample& first = samples.front();
  s.input_buffer = static_cast<char*>(tracked_realloc(first.block, first.block_bytes, total));
  s.input_buffer_bytes = total;
  first.block = nullptr;
  first.block_bytes = 0;
  for (size_t k = 1; k < samples.size(); ++k) {
    Sample& sample = samples[k];
    move_into_block(s.input_buffer, total, sample.data_offset, sample.block, sample.block_bytes, sample.data_size + 1);
    tracked_free(sample.block, sample.block_bytes);
    sample.block = nullptr;
    sample.block_bytes = 0;
  }
}

// With --umi the cluster table has the columns umis and molecules, and
// SAMPLE_molecules after the sample columns: no two of them may share a name.
void refuse_molecule_column_clash(const std::vector<Sample>& earlier_samples, const std::string& name, uint32_t line) {
  for (const char* column : {"umis", "molecules"}) {
    if (name == column) refuse_line(line, "sample " + quoted(name) + " has the name of a column of the cluster table");
  }
  const std::string suffix = kMoleculesColumnSuffix;
  for (const Sample& earlier : earlier_samples) {
    const bool earlier_takes = name == earlier.name + suffix;
    if (!earlier_takes && earlier.name != name + suffix) continue;
    const std::string& sample = earlier_takes ? earlier.name : name;
    refuse_line(line, "samples " + quoted(earlier.name) + " (line " + std::to_string(earlier.sheet_line) + ") and " +
                          quoted(name) + " clash: with --umi the column of molecules of sample " + quoted(sample) +
                          " is named " + quoted(sample + suffix));
  }
}

}  // namespace

void read_sample_sheet(const char* path) {
  RunState& s = run_state;
  s.experiment = new Experiment{path, {}};
  const std::vector<std::string> lines = sheet_lines(read_sheet_text(path));
  if (lines.empty()) refuse_line(1, "the header is missing; it begins with the fields \"sample\" and \"path\"");
  const std::vector<std::string> header = tab_fields(lines[0]);
  if (header.size() < 2 || header[0] != "sample" || header[1] != "path") {
    refuse_line(1, "the header must begin with the fields \"sample\" and \"path\", separated by a tab");
  }
  const std::string directory = sheet_directory(path);
  std::vector<Sample>& samples = s.experiment->samples;
  std::vector<std::pair<dev_t, ino_t>> files;
  for (size_t i = 1; i < lines.size(); ++i) {
    const auto line = static_cast<uint32_t>(i + 1);
    const std::vector<std::string> fields = tab_fields(lines[i]);
    if (fields.size() < 2) refuse_line(line, "a sample line needs a sample name and a path, separated by a tab");
    const std::string& name = fields[0];
    if (name.empty()) refuse_line(line, "the sample name is empty");
    if (breaks_a_table(name)) refuse_line(line, "the sample name holds a control byte");
    for (const char* const* column = kClusterTableColumns; *column != nullptr; ++column) {
      if (name == *column)
        refuse_line(line, "sample " + quoted(name) + " has the name of a column of the cluster table");
    }
    for (const Sample& earlier : samples) {
      if (earlier.name == name) {
        refuse_line(line,
                    "sample " + quoted(name) + " is named on line " + std::to_string(earlier.sheet_line) + " already");
      }
    }
    if (s.umi_ranges != nullptr) refuse_molecule_column_clash(samples, name, line);
    const std::string& named = fields[1];
    if (named.empty()) refuse_line(line, "the path is empty");
    if (named == "-") refuse_line(line, "standard input can't be a sample's input");
    Sample sample = {};
    sample.name = name;
    sample.path = named[0] == '/' ? named : directory + named;
    sample.sheet_line = line;
    const int fd = open(sample.path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) {
      if (fd >= 0) close(fd);
      refuse_line(line, "can't open input file " + quoted(sample.path) + " of sample " + quoted(name));
    }
    close(fd);
    for (size_t k = 0; k < files.size(); ++k) {
      if (files[k].first == status.st_dev && files[k].second == status.st_ino) {
        refuse_line(line, "input file " + quoted(sample.path) + " is the input of sample " + quoted(samples[k].name) +
                              " already");
      }
    }
    files.emplace_back(status.st_dev, status.st_ino);
    samples.push_back(std::move(sample));
  }
  if (samples.empty()) fail(kExitFailure, "Sample sheet \"%s\" names no sample\n", path);
}

// Samples loaded at once, whatever --jobs asks for: each loading worker holds
// chunks and inflate state of its own (some 5 MiB), and as in every other
// phase the memory a run takes stops growing with the cores.
constexpr uint32_t kMaxLoadingWorkers = 8;

void load_samples() {
  RunState& s = run_state;
  std::vector<Sample>& samples = s.experiment->samples;
  const double started = monotonic_seconds();
  std::vector<LoadedInput> loaded(samples.size());
  const auto load_sample = [&](size_t k, bool on_worker) {
    Sample& sample = samples[k];
    InputBlock block = {&sample.block, &sample.block_bytes, 0, 0, 0, on_worker};
    loaded[k] = load_input(sample.path.c_str(), block, true);
    sample.data_size = block.size;
  };
  // The qualities are noted under each record's index in the whole input,
  // which is known only once the samples before it are loaded: then, as on
  // one worker, the samples load one after another on this thread, each
  // read or inflated on a thread of its own as a single input is.
  if (s.quality_given) fastq_quality_hook = note_sample_qualities;
  if (s.quality_given || worker_count() == 1 || samples.size() == 1) {
    for (size_t k = 0; k < samples.size(); ++k) {
      name_sample_on_failure(&samples[k]);
      load_sample(k, false);
      if (loaded[k].end != LoadEnd::kLoaded) report_load_failure(loaded[k], samples[k].path.c_str());
      quality_first_record += loaded[k].fastq_records;
    }
    name_sample_on_failure(nullptr);
  } else {
    // Past a failed sample nothing more is started: the first failure in sheet order is the one reported.
    std::atomic<size_t> first_failed{samples.size()};
    // Each job loads one sample on one worker (gzip data inflate on that
    // worker alone): its memory is counted atomically, and a failure, memory
    // that runs out among them, comes back in its result, for this thread to
    // report once every worker is done.
    run_jobs(
        samples.size(),
        [&](uint64_t k, uint32_t) {
          if (k > first_failed.load(std::memory_order_relaxed)) return;
          load_sample(k, true);
          if (loaded[k].end == LoadEnd::kLoaded) return;
          size_t seen = first_failed.load(std::memory_order_relaxed);
          while (k < seen && !first_failed.compare_exchange_weak(seen, k, std::memory_order_relaxed)) {
          }
        },
        kMaxLoadingWorkers);
  }

  uint64_t total = 0;
  bool all_fastq = true;
  bool any_gzip = false;
  uint64_t data_bytes = 0;
  for (size_t k = 0; k < samples.size(); ++k) {
    Sample& sample = samples[k];
    if (loaded[k].end != LoadEnd::kLoaded) {
      name_sample_on_failure(&sample);
      report_load_failure(loaded[k], sample.path.c_str());
    }
    sample.data_offset = total;
    sample.data_bytes = loaded[k].data_bytes;
    sample.fastq = loaded[k].fastq;
    sample.gzip = loaded[k].gzip;
    sample.fastq_records = loaded[k].fastq_records;
    if (sample.data_size > 0) all_fastq = all_fastq && sample.fastq;
    any_gzip = any_gzip || sample.gzip;
    data_bytes += sample.data_bytes;
    total += sample.data_size + 1;
  }
  gather_sample_blocks(total);
  // input_size covers the NUL bytes between samples, not the last one.
  s.input_size = total - 1;
  s.input_data_bytes = data_bytes;
  s.input_is_fastq = all_fastq;
  s.input_compressed = any_gzip;
  if (any_gzip) run_statistics.decompress_seconds = monotonic_seconds() - started;
  if (data_bytes == 0) fail(kExitFailure, "Can't load input data\n");
}

void parse_samples() {
  RunState& s = run_state;
  for (Sample& sample : s.experiment->samples) {
    name_sample_on_failure(&sample);
    sample.first_record = s.record_count;
    char* data = s.input_buffer + sample.data_offset;
    if (sample.fastq) {
      // A FASTQ file of blank lines only keeps no record.
      if (sample.fastq_records > 0) grow_record_table(s.record_count + sample.fastq_records);
      index_compact_fastq(data, sample.fastq_records, sample.first_record);
    } else if (sample.data_size > 0) {
      parse_fasta(data, sample.data_size);
    }
    sample.record_count = s.record_count - sample.first_record;
    say("Sample \"%s\": %s%s, %llu reads\n", sample.name.c_str(),
        sample.data_size == 0 ? "empty" : (sample.fastq ? "FASTQ" : "FASTA"), sample.gzip ? ", gzip" : "",
        static_cast<unsigned long long>(sample.record_count));
  }
  name_sample_on_failure(nullptr);
  // No sample kept a record: an empty table, as a one-file input of no records has.
  if (s.record_table == nullptr) grow_record_table(0);
}

bool samples_mix_formats() {
  const RunState& s = run_state;
  if (s.experiment == nullptr || s.input_is_fastq) return false;
  const std::vector<Sample>& samples = s.experiment->samples;
  return std::any_of(samples.begin(), samples.end(), [](const Sample& sample) { return sample.fastq != 0; });
}

void release_experiment() {
  if (run_state.experiment == nullptr) return;
  // A run that ended while the samples were loaded leaves their blocks.
  for (Sample& sample : run_state.experiment->samples) {
    if (sample.block != nullptr) tracked_free(sample.block, sample.block_bytes);
  }
  delete run_state.experiment;
  run_state.experiment = nullptr;
}
