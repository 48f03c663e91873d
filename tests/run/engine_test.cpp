// The fast engine against the straightforward one on random read sets, some
// of them wrapped and with blank lines and NULs: every byte of standard error,
// standard output and the report must agree, for every barcode length class,
// distance, -p and number of jobs; the records must be those the reference
// reading finds, and the clusters the components that single linkage by brute
// force finds. With a page asked for, the page's cluster figures, which the
// fast engine notes as it goes, must equal those of the straightforward one
// (with -p taken from the cluster numbering), and no printed figure may change.
#include "run/engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "barcode/base_composition.h"
#include "base/size_thresholds.h"
#include "base/worker_pool.h"
#include "cluster/merge_ratio.h"
#include "output/cluster_numbering.h"
#include "output/page_figures.h"
#include "support/in_process_run.h"
#include "support/random_reads.h"
#include "support/references.h"

namespace {

#ifdef TARNWELL_SANITIZED_TESTS
constexpr uint32_t kCasesPerClass = 150;
constexpr uint32_t kThresholdCases = 90;
#else
constexpr uint32_t kCasesPerClass = 500;
constexpr uint32_t kThresholdCases = 375;
#endif

struct EngineCase {
  ReadSet reads;
  uint32_t distance;
  bool remove_duplicates;
  bool page;
  const char* merge_ratio = nullptr;  // --merge-ratio, or null for single linkage
};

// Cluster sizes, the largest clusters and the base counts, as the page would show them.
std::string page_figures_text() {
  if (page_needs_numbering()) number_clusters();
  PageFigures figures;
  gather_page_figures(figures);
  std::string text;
  for (uint64_t i = 0; i < figures.sizes.count; ++i) {
    text += std::to_string(figures.sizes.sizes[i].reads) + "x" + std::to_string(figures.sizes.sizes[i].clusters) + " ";
  }
  for (uint32_t i = 0; i < figures.top_count; ++i) {
    const TopCluster& top = figures.top_clusters[i];
    text += "\n#" + std::to_string(top.number) + " " + std::to_string(top.reads) + " reads " +
            std::to_string(top.barcodes) + " barcodes " + std::string(top.representative->name + 1);
  }
  const uint32_t groups =
      (run_state.barcode_length + composition_group_positions() - 1) / composition_group_positions();
  for (uint32_t i = 0; i < 4 * groups; ++i) text += (i % 4 == 0 ? "\n" : " ") + std::to_string(figures.base_counts[i]);
  release_page_figures();
  return text;
}

InProcessOutput run_engine(void (*engine)(), const EngineCase& c, uint32_t jobs) {
  start_run(jobs, c.reads.template_text.c_str(), c.reads.fasta, [&](RunState& s) {
    s.distance = c.distance;
    s.remove_duplicates = c.remove_duplicates;
    s.page_path = c.page ? "page.html" : nullptr;
  });
  if (c.merge_ratio != nullptr) accept_merge_ratio(c.merge_ratio);
  return finish_run(engine, [&] { return c.page ? page_figures_text() : std::string(); });
}

void expect_same_bytes(const EngineCase& c, uint32_t jobs, const std::string& label) {
  const InProcessOutput expected = run_engine(run_straightforward_engine, c, 1);
  const InProcessOutput fast = run_engine(run_fast_engine, c, jobs);
  const std::string where = label + " template " + c.reads.template_text + " -d " + std::to_string(c.distance) +
                            (c.remove_duplicates ? " -p" : "") + (c.page ? " --page" : "") + " --jobs " +
                            std::to_string(jobs) +
                            (c.merge_ratio != nullptr ? std::string(" --merge-ratio ") + c.merge_ratio : "");
  ASSERT_EQ(fast.err, expected.err) << where << "\n" << c.reads.fasta;
  ASSERT_EQ(fast.out, expected.out) << where << "\n" << c.reads.fasta;
  ASSERT_EQ(fast.report, expected.report) << where << "\n" << c.reads.fasta;
  ASSERT_EQ(fast.page, expected.page) << where << "\n" << c.reads.fasta;
  ASSERT_EQ(fast.bytes_left, 0) << where;
  ASSERT_EQ(expected.bytes_left, 0) << where;
  const std::string parsed = "Parsed " + std::to_string(reference_fasta(c.reads.fasta).records.size()) + " sequences\n";
  ASSERT_NE(expected.err.find(parsed), std::string::npos) << where << "\n" << c.reads.fasta;
  if (c.merge_ratio != nullptr) return;
  const Clusters clusters =
      expected_clusters(reference_members(c.reads.fasta, c.reads.template_text, c.remove_duplicates), c.distance);
  ASSERT_EQ(report_clusters(expected.report), clusters) << where << "\n" << c.reads.fasta;
  ASSERT_EQ(expected.out, std::to_string(clusters.size()) + " clusters\n") << where;
}

class EngineAgreement : public ::testing::TestWithParam<uint32_t> {};

TEST_P(EngineAgreement, SameBytesOnRandomReads) {
  const uint32_t length_class = GetParam();
  static const uint32_t kJobs[] = {1, 2, 3, 8};
  for (uint32_t seed = 0; seed < kCasesPerClass; ++seed) {
    CaseRandom random(seed * 4 + length_class);
    EngineCase c{random_read_set(random, length_class, seed % 10 == 0 ? 300 : 60), random.below(4), random.chance(40),
                 seed % 2 == 1};
    if (random.chance(30)) c.reads.fasta = reshape(random, c.reads.fasta);
    expect_same_bytes(c, kJobs[random.below(4)], "seed " + std::to_string(seed));
    if (HasFatalFailure()) return;
  }
}

std::string length_class_name(const ::testing::TestParamInfo<uint32_t>& info) {
  static const char* kNames[] = {"ShorterThan8", "Exactly8", "From9To32", "From33To70"};
  return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(BarcodeLengths, EngineAgreement, ::testing::Values(0u, 1u, 2u, 3u), length_class_name);

// Thresholds lowered so that a few hundred reads take every path the fast
// engine keeps for large inputs: parse slices of a few bytes, several fill
// slices, the windowed forest, buckets larger than the sort scratch, both pair
// searches, and every phase cut into many jobs. Each set of thresholds meets
// every shape of reads on one to four workers, or on more than hold their
// scratch in full (the blanked-suffix search then runs on fewer threads, and
// the sort scratch, pair slots and report slots are shares). Barcodes whose
// first bases hardly vary crowd into one bucket of the first 8 bases: the
// search may key on other positions, by the buckets' spread or forced either
// way, and such buckets are sorted by all workers at once; barcodes that end
// in a run of G share their suffix, whose long runs find partners by key.
// Now and then the abundance rule on reads of skewed abundance takes its
// pairs through the same search, ratios whole and fractional (1 joins equal counts).
TEST(EngineThresholds, SameBytesOnEveryPathForLargeInputs) {
  static const BarcodeStart kStarts[] = {BarcodeStart::as_drawn, BarcodeStart::constant, BarcodeStart::two_letters,
                                         BarcodeStart::mostly_one_key, BarcodeStart::g_run_end};
  static const SizeThresholds kLowered[] = {{4, 8, 3, 16, 2, 1},
                                            {64, 1, 1, 1, 1, -1},
                                            {2, 64, 16, 64, 8, 0},
                                            {1, 2, 2, 7, 3, 1},
                                            {4, 8, 3, 16, 2, 1, 0, 3, 2, 1},
                                            {64, 1, 1, 1, 1, -1, 1, 2, 3, 0},
                                            {2, 64, 16, 64, 8, 0, 1, 16, 2, 1},
                                            {1, 2, 2, 7, 3, 1, -1, 1, 5, 0},
                                            {1 << 18, 1 << 20, 1 << 20, 1 << 20, 0, 0, 0}};
  static const char* const kRatios[] = {"1", "1.5", "2", "3", "5", "2.25", "1000000"};
  for (uint32_t seed = 0; seed < kThresholdCases; ++seed) {
    CaseRandom random(2000003 + seed);
    const BarcodeStart start = kStarts[seed % 5];
    const bool as_drawn = start == BarcodeStart::as_drawn;
    EngineCase c{shaped_read_set(random, start, as_drawn ? random.below(4) : 2 + random.below(2), 300),
                 as_drawn ? random.below(4) : 1 + random.below(3), random.chance(40), random.chance(30),
                 random.chance(30) ? kRatios[random.below(7)] : nullptr};
    if (c.merge_ratio != nullptr) c.reads.fasta = skew_abundance(random, c.reads.fasta);
    if (as_drawn && c.merge_ratio == nullptr && random.chance(50)) c.reads.fasta = reshape(random, c.reads.fasta);
    size_thresholds = kLowered[seed / 5 % 9];
    const uint32_t workers = random.chance(80) ? 1 + random.below(4) : kMaxScratchWorkers + 1 + random.below(5);
    expect_same_bytes(c, workers, "seed " + std::to_string(seed) + " thresholds " + std::to_string(seed / 5 % 9));
    size_thresholds = SizeThresholds{};
    if (HasFatalFailure()) return;
  }
}

// Some file systems take every write and fail only when the file is closed
// (quotas, network file systems): the run must not pass for complete.
TEST(EngineDeathTest, ReportThatFailsWhenClosedFailsTheRun) {
  for (void (*engine)() : {run_fast_engine, run_straightforward_engine}) {
    EXPECT_EXIT(
        {
          start_run(2, "NN", ">a\nAC\n", [](RunState&) {});
          run_state.output_path = "late.txt";
          cookie_io_functions_t io{};
          io.write = [](void*, const char*, size_t size) { return static_cast<ssize_t>(size); };
          io.close = [](void*) { return -1; };
          run_state.output_file = fopencookie(nullptr, "w", io);
          engine();
          exit(0);
        },
        ::testing::ExitedWithCode(1), "Can't write output file \"late.txt\"\n$");
  }
}

}  // namespace
