#include "run/options.h"

#include <getopt.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "barcode/umi_layout.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "cluster/merge_ratio.h"
#include "input/base_qualities.h"
#include "input/experiment.h"
#include "input/fastq_compactor.h"
#include "input/input_format.h"

namespace {

// Codes the value-taking long options return; the scan treats each like its short letter.
constexpr int kInCode = 256;
constexpr int kOutCode = 257;
constexpr int kDistanceCode = 258;
constexpr int kTemplateCode = 259;
constexpr int kAssignmentsCode = 260;
constexpr int kClusterTableCode = 261;
constexpr int kStatsCode = 262;
constexpr int kJobsCode = 263;
constexpr int kPageCode = 264;
constexpr int kFixedMismatchesCode = 265;
constexpr int kWindowCode = 266;
constexpr int kQualityCode = 267;
constexpr int kUmiCode = 268;
constexpr int kKnownCode = 269;
constexpr int kMergeRatioCode = 270;
constexpr int kExperimentCode = 271;  // the last code: refuse_option checks the range

// Long names beginning with different letters, so any prefix of one letter
// or more is unambiguous. Keep it so when adding one.
const option long_options[] = {
    {"in", required_argument, nullptr, kInCode},
    {"out", required_argument, nullptr, kOutCode},
    {"distance", required_argument, nullptr, kDistanceCode},
    {"template", required_argument, nullptr, kTemplateCode},
    {"remove-duplicate-barcodes", no_argument, &run_state.remove_duplicates, 1},
    {"version", no_argument, &run_state.show_version, 1},
    {"help", no_argument, &run_state.show_help, 1},
    {"assignments", required_argument, nullptr, kAssignmentsCode},
    {"cluster-table", required_argument, nullptr, kClusterTableCode},
    {"stats", required_argument, nullptr, kStatsCode},
    {"jobs", required_argument, nullptr, kJobsCode},
    {"page", required_argument, nullptr, kPageCode},
    {"fixed-mismatches", required_argument, nullptr, kFixedMismatchesCode},
    {"window", required_argument, nullptr, kWindowCode},
    {"both-strands", no_argument, &run_state.both_strands, 1},
    {"quality", required_argument, nullptr, kQualityCode},
    {"umi", required_argument, nullptr, kUmiCode},
    {"known", required_argument, nullptr, kKnownCode},
    {"merge-ratio", required_argument, nullptr, kMergeRatioCode},
    {"experiment", required_argument, nullptr, kExperimentCode},
    {nullptr, 0, nullptr, 0},
};

// Reports an option error that the library found; the argument is the one
// it has just stepped over.
[[noreturn]] void refuse_option(int argc, char** argv) {
  const char* argument = (optind > 0 && optind <= argc) ? argv[optind - 1] : "";
  if (optopt >= kInCode && optopt <= kExperimentCode) {
    say("Option \"%s\" requires a value\n", argument);
  } else if (optopt == 1 && strncmp(argument, "--", 2) == 0) {  // a flag option's table value
    say("Option \"%s\" takes no value\n", argument);
  } else if (optopt != 0) {
    say("Unrecognized option -%c\n", optopt);
  } else {
    say("Unrecognized option \"%s\"\n", argument);
  }
  print_use_help();
  end_run(kExitFailure);
}

bool is_c_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The number of cores this process may run on, at least 1.
uint32_t available_cores() {
#ifdef CPU_COUNT
  cpu_set_t cores;
  if (sched_getaffinity(0, sizeof cores, &cores) != 0) return 1;
  const int count = CPU_COUNT(&cores);
#else
  // Where the affinity mask cannot be read, the cores online.
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
#endif
  return count > 0 ? static_cast<uint32_t>(count) : 1;
}

}  // namespace

void print_version() {
  say("Tarnwell, version %s, 2015-04-17\n", kToolVersion);
  say("Clusters DNA reads by barcode, single linkage on Hamming distance\n");
}

void print_usage() {
  say("Usage: tarnwell <options>\n"
      "Options:\n"
      "  -i, --in FILE      - Specify input FASTA file.\n"
      "  -o, --out FILE     - Specify output file.\n"
      "  -d, --distance D   - Cluster sequences separated by D or fewer substitutions.\n"
      "  -t, --template T   - Use only sequences matching template T.\n"
      "  -p, --remove-duplicate-barcodes - Use only one sequence out of all sharing same barcode.\n"
      "  -v, --version      - Show version.\n"
      "  -h, --help         - Show help.\n");
}

void print_use_help() { say("Use -h for help\n"); }

namespace {

// The strict decimal parse of parse_uint, without the refusal.
bool read_uint(const char* text, uint32_t* value) {
  const char* p = text;
  char last_skipped = '\0';
  while (is_c_space(*p)) last_skipped = *p++;
  if (*p == '+') last_skipped = *p++;
  while (*p == '0') last_skipped = *p++;
  bool ok;
  if (*p == '\0') {
    ok = last_skipped == '0';
  } else {
    size_t digits = 0;
    while (p[digits] >= '0' && p[digits] <= '9') ++digits;
    ok = p[digits] == '\0' && digits <= 10 && (digits < 10 || strcmp(p, "2147483647") <= 0);
  }
  if (!ok) return false;
  *value = 0;
  for (; *p != '\0'; ++p) *value = *value * 10 + static_cast<uint32_t>(*p - '0');
  return true;
}

// A value of the barcode search options: a plain number up to most.
uint32_t parse_setting(const char* text, const char* name, uint32_t most) {
  uint32_t value = 0;
  if (!read_uint(text, &value) || value > most) {
    fail(kExitFailure, "Can't parse %s (\"%s\") - %s should be from 0 to %u\n", name, text, name, most);
  }
  run_state.finding_barcode = 1;
  return value;
}

}  // namespace

uint32_t parse_uint(const char* text, const char* name) {
  uint32_t value = 0;
  if (!read_uint(text, &value)) fail(kExitFailure, "Can't parse %s (\"%s\")\n", name, text);
  return value;
}

void parse_options(int argc, char** argv) {
  RunState& s = run_state;
  opterr = 0;
  for (;;) {
    int code = getopt_long(argc, argv, "i:o:d:t:vhp", long_options, nullptr);
    switch (code) {
      case 'i':
      case kInCode:
        s.input_path = optarg;
        break;
      case 'o':
      case kOutCode:
        s.output_path = optarg;
        break;
      case 't':
      case kTemplateCode:
        s.template_text = optarg;
        break;
      case 'd':
      case kDistanceCode:
        s.distance_text = optarg;
        s.distance = parse_uint(optarg, "distance");
        break;
      case kAssignmentsCode:
        s.assignments_path = optarg;
        break;
      case kClusterTableCode:
        s.cluster_table_path = optarg;
        break;
      case kStatsCode:
        s.stats_path = optarg;
        break;
      case kPageCode:
        s.page_path = optarg;
        break;
      case kJobsCode:
        s.jobs = parse_uint(optarg, "jobs");
        // Zero workers would never finish the run.
        if (s.jobs == 0) fail(kExitFailure, "Can't parse jobs (\"%s\")\n", optarg);
        break;
      case kFixedMismatchesCode:
        s.fixed_mismatches = parse_setting(optarg, "fixed-mismatches", 8);
        break;
      case kWindowCode:
        s.window = parse_setting(optarg, "window", 64);
        break;
      case kQualityCode:
        s.quality_floor = parse_setting(optarg, "quality", 93);
        s.quality_given = 1;
        break;
      case kExperimentCode:
        s.experiment_path = optarg;
        break;
      case kUmiCode:
        s.umi_ranges = optarg;
        break;
      case kKnownCode:
        s.known_path = optarg;
        break;
      case kMergeRatioCode:
        accept_merge_ratio(optarg);
        break;
      case 'p':
        s.remove_duplicates = 1;
        break;
      case 'v':
        s.show_version = 1;
        break;
      case 'h':
        s.show_help = 1;
        break;
      case '?':
        refuse_option(argc, argv);
      case -1:
        if (optind > 0 && optind < argc) fail(kExitFailure, "Unrecognized option: \"%s\"\n", argv[optind]);
        return;
      default:
        break;
    }
  }
}

void process_options(int argc, char** argv) {
  RunState& s = run_state;
  if (argc <= 1) {
    print_version();
    print_usage();
    end_run(kExitSuccess);
  }
  parse_options(argc, argv);
  if (s.show_version) print_version();
  if (s.show_help) print_usage();

  const char* missing = nullptr;
  if (s.input_path == nullptr && s.experiment_path == nullptr) {
    missing = "Input file is not specified (\"--in\" option)\n";
  } else if (s.output_path == nullptr) {
    missing = "Output file is not specified (\"--out\" option)\n";
  } else if (s.distance_text == nullptr || s.distance_text[0] == '\0') {
    missing = "Distance is not specified (\"--distance\" option)\n";
  } else if (s.template_text == nullptr || s.template_text[0] == '\0') {
    missing = "Template is not specified (\"--template\" option)\n";
  }
  if (missing != nullptr) {
    if (!s.show_version && !s.show_help) {
      say("%s", missing);
      print_use_help();
    }
    end_run(kExitFailure);
  }

  if (s.input_path != nullptr && s.experiment_path != nullptr) {
    say("Options \"--in\" and \"--experiment\" exclude each other: give one input file or one sample sheet\n");
    print_use_help();
    end_run(kExitFailure);
  }

  if (s.jobs == 0) s.jobs = available_cores();
  if (s.experiment_path != nullptr) {
    say("Sample sheet: \"%s\"\n", s.experiment_path);
  } else {
    say("Input path: \"%s\"\n", s.input_path);
  }
  if (s.distance > 3) fail(kExitFailure, "Too large distance. Only distances up to 3 are supported.\n");
  if (s.umi_ranges != nullptr) prepare_umi_layout();
  // Known barcodes are assigned read by read: there is no cluster for the rule to grow.
  if (s.known_path != nullptr && s.merge_ratio != nullptr) {
    fail(kExitFailure, "Option --merge-ratio has no meaning with --known: each read is assigned on its own\n");
  }
  if (s.experiment_path != nullptr) read_sample_sheet(s.experiment_path);
  if (s.both_strands) s.finding_barcode = 1;
  if (s.quality_given) {
    if (s.experiment != nullptr) {
      for (const Sample& sample : s.experiment->samples) refuse_quality_without_fastq(sample.path.c_str());
    } else {
      refuse_quality_without_fastq(s.input_path);
    }
    // The FASTQ parse drops the quality lines: it hands each one over first.
    fastq_quality_hook = note_base_qualities;
  }
}
