#include "output/run_tables.h"

#include <cstdio>
#include <initializer_list>

#include "barcode/barcode_packing.h"
#include "barcode/barcode_search.h"
#include "barcode/base_composition.h"
#include "barcode/umi_layout.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "base/tracked_memory.h"
#include "cluster/known_assignment.h"
#include "input/experiment.h"
#include "output/cluster_numbering.h"
#include "output/molecule_counts.h"
#include "output/output_file.h"
#include "output/page_figures.h"
#include "output/run_page.h"
#include "output/sample_reads.h"
#include "output/stats_file.h"

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

// The columns both kinds of assignments share: with --experiment the read's
// sample first, then the read, its status, its barcode and with --umi its UMI;
// the mode's cluster columns; with the barcode search where it was found.
class AssignmentRows {
 public:
  AssignmentRows(FILE* file, const char* cluster_columns, uint32_t cluster_fields)
      : file_(file), umi_bases_(umi_length()), placed_(run_state.finding_barcode) {
    if (run_state.experiment != nullptr) put_text("sample\t", file);
    put_text(umi_bases_ != 0 ? "read\tstatus\tbarcode\tumi\t" : "read\tstatus\tbarcode\t", file);
    put_text(cluster_columns, file);
    put_text(placed_ ? "\toffset\tstrand\n" : "\n", file);
    empty_fields_ = 1 + (umi_bases_ != 0) + cluster_fields + 2 * placed_;
  }

  // A read left out: every column after its status is empty.
  void put_rejected(uint64_t r, const char* status) {
    begin(r, status);
    for (uint32_t f = 0; f < empty_fields_; ++f) putc_unlocked('\t', file_);
    putc_unlocked('\n', file_);
  }

  // An accepted read up to its cluster columns, which the caller writes.
  void begin_accepted(uint64_t r, const char* status) {
    begin(r, status);
    putc_unlocked('\t', file_);
    const SequenceRecord* record = record_at(r);
    put_barcode(record, file_);
    putc_unlocked('\t', file_);
    if (umi_bases_ != 0) {
      char umi[kMaxUmiBases + 1];
      umi_letters(record_umi(record), umi_bases_, umi);
      put_text(umi, file_);
      putc_unlocked('\t', file_);
    }
  }

  void end_accepted(uint64_t r) {
    if (placed_) {
      const uint16_t placement = read_placement(r);
      putc_unlocked('\t', file_);
      put_number(placement & kOffsetMask, file_);
      put_text((placement & kReverseStrand) ? "\t-" : "\t+", file_);
    }
    putc_unlocked('\n', file_);
  }

 private:
  // The samples come in record order.
  void begin(uint64_t r, const char* status) {
    if (const Experiment* experiment = run_state.experiment) {
      while (r >= experiment->samples[sample_].first_record + experiment->samples[sample_].record_count) ++sample_;
      put_text(experiment->samples[sample_].name.c_str(), file_);
      putc_unlocked('\t', file_);
    }
    put_text(record_at(r)->name + 1, file_);
    putc_unlocked('\t', file_);
    put_text(status, file_);
  }

  FILE* file_;
  uint32_t umi_bases_;
  bool placed_;
  uint32_t empty_fields_;
  size_t sample_ = 0;
};

void write_assignments() {
  const RunState& s = run_state;
  AssignmentRows rows(s.assignments_file, "cluster", 1);
  for (uint64_t r = 0; r < s.record_count; ++r) {
    const uint64_t mark = s.record_cluster[r];
    if (mark & kRejectedFlag) {
      rows.put_rejected(r, kStatusNames[mark & kClusterNumberMask]);
      continue;
    }
    rows.begin_accepted(r, (mark & kDuplicateFlag) ? "duplicate" : "clustered");
    put_number(mark & kClusterNumberMask, s.assignments_file);
    rows.end_accepted(r);
  }
}

// With --known: statuses known, ambiguous and unknown, and the distance to the entry.
void write_known_assignments() {
  const RunState& s = run_state;
  const KnownBarcodes& known = *s.known;
  FILE* file = s.assignments_file;
  AssignmentRows rows(file, "cluster\tdistance", 2);
  for (uint64_t r = 0; r < s.record_count; ++r) {
    const uint32_t outcome = known.outcome[r];
    if (outcome == kOutcomeRejected) {
      rows.put_rejected(r, kStatusNames[rejection_cause(r)]);
      continue;
    }
    const bool assigned = outcome_assigned(outcome);
    rows.begin_accepted(r, !assigned ? (outcome == kOutcomeAmbiguous ? "ambiguous" : "unknown")
                           : (outcome & kOutcomeDuplicate) != 0 ? "duplicate"
                                                                : "known");
    if (assigned) {
      put_number(outcome_entry(outcome) + 1, file);
      putc_unlocked('\t', file);
      put_number(outcome & kOutcomeDistanceMask, file);
    } else {
      putc_unlocked('\t', file);
    }
    rows.end_accepted(r);
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
