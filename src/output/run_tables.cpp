#include "output/run_tables.h"

#include <cstdio>
#include <initializer_list>

#include "barcode/barcode_packing.h"
#include "barcode/barcode_search.h"
#include "barcode/base_composition.h"
#include "barcode/umi_layout.h"
#include "base/tracked_memory.h"
#include "cluster/known_assignment.h"
#include "input/experiment.h"
#include "output/cluster_numbering.h"
#include "output/molecule_counts.h"
#include "output/sample_reads.h"
#include "output/page_figures.h"
#include "output/run_page.h"
#include "output/stats_file.h"
#include "base/messages.h"
#include "output/output_file.h"
#include "base/run_state.h"

namespace {

struct TableFile {
  const char* RunState::*path;
  FILE* RunState::*file;
};
constexpr TableFile kTableFiles[] = {
    {&RunState::assignments_path, &RunState::assignments_file},
    {&RunState::cluster_table_path, &RunState::cluster_table_file},
    {&RunState::stats_path, &RunState::stats_file},
    {&RunState::page_path, &RunState::page_file},
};

const char* const kStatusNames[] = {"clustered", "template_mismatch", "has_n", "unknown_character"};

// The table rows are written by one thread, so the stream's lock is skipped where the C library allows it.
void put_text(const char* text, FILE* file) {
#ifdef __GLIBC__
  fputs_unlocked(text, file);
#else
  fputs(text, file);
#endif
}

void put_number(uint64_t value, FILE* file) {
  char digits[20];
  int length = 0;
  do {
    digits[length++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (length > 0) putc_unlocked(digits[--length], file);
}

void put_letters(const uint64_t* words, FILE* file) {
  static const char kLetters[4] = {'A', 'C', 'G', 'T'};
  for (uint32_t j = 0; j < run_state.barcode_length; ++j) {
    putc_unlocked(kLetters[(words[j >> 5] >> (62 - 2 * (j & 31))) & 3], file);
  }
}

void put_barcode(const SequenceRecord* record, FILE* file) { put_letters(record_barcode(record), file); }

// With --experiment, rows of the assignments begin with the read's sample; the samples come in record order.
class SampleColumn {
 public:
  explicit SampleColumn(FILE* file) : file_(file) {
    if (run_state.experiment != nullptr) put_text("sample\t", file);
  }
  void put(uint64_t record) {
    const Experiment* experiment = run_state.experiment;
    if (experiment == nullptr) return;
    while (record >= experiment->samples[sample_].first_record + experiment->samples[sample_].record_count) ++sample_;
    put_text(experiment->samples[sample_].name.c_str(), file_);
    putc_unlocked('\t', file_);
  }

 private:
  FILE* file_;
  size_t sample_ = 0;
};

void write_assignments() {
  const RunState& s = run_state;
  FILE* file = s.assignments_file;
  // --umi adds each read's UMI, the barcode search where each barcode was found.
  const uint32_t umi_bases = umi_length();
  const bool placed = s.finding_barcode;
  SampleColumn sample(file);
  put_text(umi_bases != 0 ? "read\tstatus\tbarcode\tumi\tcluster" : "read\tstatus\tbarcode\tcluster", file);
  put_text(placed ? "\toffset\tstrand\n" : "\n", file);
  char umi[kMaxUmiBases + 1];
  for (uint64_t r = 0; r < s.record_count; ++r) {
    const SequenceRecord* record = record_at(r);
    const uint64_t mark = s.record_cluster[r];
    sample.put(r);
    put_text(record->name + 1, file);
    putc_unlocked('\t', file);
    if (mark & kRejectedFlag) {
      put_text(kStatusNames[mark & kClusterNumberMask], file);
      put_text(umi_bases != 0 ? "\t\t\t" : "\t\t", file);
      put_text(placed ? "\t\t\n" : "\n", file);
      continue;
    }
    put_text((mark & kDuplicateFlag) ? "duplicate" : "clustered", file);
    putc_unlocked('\t', file);
    put_barcode(record, file);
    putc_unlocked('\t', file);
    if (umi_bases != 0) {
      umi_letters(record_umi(record), umi_bases, umi);
      put_text(umi, file);
      putc_unlocked('\t', file);
    }
    put_number(mark & kClusterNumberMask, file);
    if (placed) {
      const uint16_t placement = read_placement(r);
      putc_unlocked('\t', file);
      put_number(placement & kOffsetMask, file);
      put_text((placement & kReverseStrand) ? "\t-" : "\t+", file);
    }
    putc_unlocked('\n', file);
  }
}

// With --known: statuses known, ambiguous and unknown, and the distance to the entry.
void write_known_assignments() {
  const RunState& s = run_state;
  const KnownBarcodes& known = *s.known;
  FILE* file = s.assignments_file;
  const bool placed = s.finding_barcode;
  SampleColumn sample(file);
  // --umi adds each read's UMI, the barcode search where each barcode was found.
  const uint32_t umi_bases = umi_length();
  char umi[kMaxUmiBases + 1];
  put_text(umi_bases != 0 ? "read\tstatus\tbarcode\tumi\tcluster\tdistance" : "read\tstatus\tbarcode\tcluster\tdistance",
           file);
  put_text(placed ? "\toffset\tstrand\n" : "\n", file);
  for (uint64_t r = 0; r < s.record_count; ++r) {
    const SequenceRecord* record = record_at(r);
    const uint32_t outcome = known.outcome[r];
    sample.put(r);
    put_text(record->name + 1, file);
    putc_unlocked('\t', file);
    if (outcome == kOutcomeRejected) {
      put_text(kStatusNames[rejection_cause(r)], file);
      put_text(umi_bases != 0 ? "\t\t\t\t" : "\t\t\t", file);
      put_text(placed ? "\t\t\n" : "\n", file);
      continue;
    }
    const bool assigned = outcome_assigned(outcome);
    put_text(!assigned                             ? (outcome == kOutcomeAmbiguous ? "ambiguous" : "unknown")
             : (outcome & kOutcomeDuplicate) != 0 ? "duplicate"
                                                   : "known",
             file);
    putc_unlocked('\t', file);
    put_barcode(record, file);
    putc_unlocked('\t', file);
    if (umi_bases != 0) {
      umi_letters(record_umi(record), umi_bases, umi);
      put_text(umi, file);
      putc_unlocked('\t', file);
    }
    if (assigned) {
      put_number(outcome_entry(outcome) + 1, file);
      putc_unlocked('\t', file);
      put_number(outcome & kOutcomeDistanceMask, file);
    } else {
      putc_unlocked('\t', file);
    }
    if (placed) {
      const uint16_t placement = read_placement(r);
      putc_unlocked('\t', file);
      put_number(placement & kOffsetMask, file);
      put_text((placement & kReverseStrand) ? "\t-" : "\t+", file);
    }
    putc_unlocked('\n', file);
  }
}

// With --experiment, columns per sample after the others, in sheet order:
// each named by its sample, its reads in the cluster; then with --umi each
// named SAMPLE_molecules, the molecules of its reads in the cluster.
class SampleColumns {
 public:
  explicit SampleColumns(FILE* file) : file_(file) {
    if (run_state.experiment == nullptr) return;
    counts_.resize(run_state.experiment->samples.size());
    gather_sample_reads();
  }
  ~SampleColumns() { release_sample_reads(); }
  SampleColumns(const SampleColumns&) = delete;
  SampleColumns& operator=(const SampleColumns&) = delete;
  void put_names() {
    if (run_state.experiment == nullptr) return;
    put_names("");
    if (umi_length() != 0) put_names(kMoleculesColumnSuffix);
  }
  void put_counts(uint64_t cluster) {
    if (counts_.empty()) return;
    cluster_reads_by_sample(cluster, counts_.data());
    put_values();
    if (umi_length() == 0) return;
    cluster_molecules_by_sample(cluster, counts_.data());
    put_values();
  }

 private:
  void put_names(const char* suffix) {
    for (const Sample& sample : run_state.experiment->samples) {
      putc_unlocked('\t', file_);
      put_text(sample.name.c_str(), file_);
      put_text(suffix, file_);
    }
  }
  void put_values() {
    for (uint64_t count : counts_) {
      putc_unlocked('\t', file_);
      put_number(count, file_);
    }
  }

  FILE* file_;
  std::vector<uint64_t> counts_;
};

// With --known: one row per entry, in line order, zeros included.
void write_known_cluster_table() {
  const RunState& s = run_state;
  const KnownBarcodes& known = *s.known;
  const KnownLibrary& library = known.library;
  FILE* file = s.cluster_table_file;
  const bool molecules = umi_length() != 0;
  SampleColumns samples(file);
  put_text(molecules ? "cluster\tid\tgroup\tknown\tmembers\treads\tbarcodes\tumis\tmolecules"
                     : "cluster\tid\tgroup\tknown\tmembers\treads\tbarcodes",
           file);
  samples.put_names();
  putc_unlocked('\n', file);
  for (uint64_t k = 0; k < library.count; ++k) {
    put_number(k + 1, file);
    putc_unlocked('\t', file);
    put_text(library.ids[k], file);
    putc_unlocked('\t', file);
    put_text(library.groups[k], file);
    putc_unlocked('\t', file);
    put_letters(library.barcodes + k * library.barcode_words, file);
    for (uint64_t value : {known.members[k], known_group_reads(known, k), known.distinct[k]}) {
      putc_unlocked('\t', file);
      put_number(value, file);
    }
    if (molecules) {
      for (uint64_t value : {s.cluster_totals[k].umis, s.cluster_totals[k].molecules}) {
        putc_unlocked('\t', file);
        put_number(value, file);
      }
    }
    samples.put_counts(k);
    putc_unlocked('\n', file);
  }
}

void write_cluster_table() {
  const RunState& s = run_state;
  FILE* file = s.cluster_table_file;
  SampleColumns samples(file);
  const bool molecules = umi_length() != 0;
  put_text(molecules ? "cluster\tmembers\treads\tbarcodes\trepresentative\tumis\tmolecules"
                     : "cluster\tmembers\treads\tbarcodes\trepresentative",
           file);
  samples.put_names();
  putc_unlocked('\n', file);
  for (uint64_t c = 0; c < s.cluster_count; ++c) {
    const ClusterTotals& totals = s.cluster_totals[c];
    put_number(c + 1, file);
    for (uint64_t value : {totals.members, totals.reads, totals.barcodes}) {
      putc_unlocked('\t', file);
      put_number(value, file);
    }
    putc_unlocked('\t', file);
    put_barcode(totals.representative, file);
    if (molecules) {
      for (uint64_t value : {totals.umis, totals.molecules}) {
        putc_unlocked('\t', file);
        put_number(value, file);
      }
    }
    samples.put_counts(c);
    putc_unlocked('\n', file);
  }
}

}  // namespace

void create_table_files() {
  RunState& s = run_state;
  for (const TableFile& table : kTableFiles) {
    const char* path = s.*table.path;
    if (path == nullptr) continue;
    refuse_output_that_is_input(path);
    if (same_output_target(path, s.output_path)) fail(kExitFailure, "Output file \"%s\" is the report file\n", path);
    for (const TableFile& other : kTableFiles) {
      if (&other != &table && s.*other.file != nullptr && same_output_target(path, s.*other.path)) {
        fail(kExitFailure, "Output file \"%s\" is named twice\n", path);
      }
    }
    s.*table.file = open_output(path);
  }
}

void write_tables() {
  RunState& s = run_state;
  if (s.assignments_file == nullptr && s.cluster_table_file == nullptr && s.stats_file == nullptr &&
      s.page_file == nullptr)
    return;

  // A page alone needs the numbering only where the engine noted nothing for it.
  if (s.assignments_file != nullptr || s.cluster_table_file != nullptr || s.stats_file != nullptr ||
      (s.page_file != nullptr &&
       (s.known != nullptr || page_needs_numbering() || umi_length() != 0 || s.experiment != nullptr)))
    s.known != nullptr ? number_known_clusters() : number_clusters();
  if (s.cluster_table_file != nullptr || s.stats_file != nullptr || s.page_file != nullptr)
    count_molecules(s.page_file != nullptr);
  if (s.assignments_file != nullptr) {
    s.known != nullptr ? write_known_assignments() : write_assignments();
    close_output(&s.assignments_file, s.assignments_path);
  }
  if (s.cluster_table_file != nullptr) {
    s.known != nullptr ? write_known_cluster_table() : write_cluster_table();
    close_output(&s.cluster_table_file, s.cluster_table_path);
  }
  // The page before the stats, so that the stats' times cover it.
  if (s.page_file != nullptr) {
    write_page(s.page_file);
    close_output(&s.page_file, s.page_path);
  }
  if (s.stats_file != nullptr) {
    write_stats(s.stats_file);
    close_output(&s.stats_file, s.stats_path);
  }
  release_molecule_counts();
  release_cluster_numbering();
  release_page_figures();
  release_work_block(kReadPlacements);
}

void write_summaries_without_matches() {
  RunState& s = run_state;
  // The page's samples section splits each sample's reads by what screening made of them.
  if (s.experiment != nullptr) mark_rejected_records();
  if (s.page_file != nullptr) {
    count_laid_bases();
    write_page(s.page_file);
    close_output(&s.page_file, s.page_path);
    keep_output(s.page_path);
  }
  if (s.stats_file != nullptr) {
    if (s.record_cluster == nullptr) mark_rejected_records();
    write_stats(s.stats_file);
    close_output(&s.stats_file, s.stats_path);
    keep_output(s.stats_path);
  }
  release_cluster_numbering();
}

void release_tables() {
  RunState& s = run_state;
  for (const TableFile& table : kTableFiles) {
    if (s.*table.file != nullptr) {
      fclose(s.*table.file);
      s.*table.file = nullptr;
    }
  }
  release_cluster_numbering();
  release_sample_reads();
}
