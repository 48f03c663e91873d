#include "output/stats_file.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include <vector>

#include "barcode/barcode_packing.h"
#include "barcode/barcode_search.h"
#include "input/experiment.h"
#include "output/sample_reads.h"
#include "cluster/known_assignment.h"
#include "cluster/merge_ratio.h"
#include "output/cluster_numbering.h"
#include "output/cluster_sizes.h"
#include "output/molecule_counts.h"
#include "barcode/umi_layout.h"
#include "base/run_state.h"
#include "base/run_statistics.h"
#include "base/utf8_text.h"

namespace {

// A JSON string: quotes, backslashes and control bytes escaped; a byte that
// is not part of well-formed UTF-8 is written as the code point of its value.
void put_json_string(const char* text, FILE* file) {
  putc('"', file);
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0';) {
    if (*p == '"' || *p == '\\') {
      fprintf(file, "\\%c", *p++);
    } else if (*p < 0x20 || *p == 0x7f) {
      fprintf(file, "\\u%04x", *p++);
    } else if (*p < 0x80) {
      putc(*p++, file);
    } else if (const int length = utf8_sequence_length(p); length != 0) {
      fwrite(p, 1, static_cast<size_t>(length), file);
      p += length;
    } else {
      fprintf(file, "\\u%04x", *p++);
    }
  }
  putc('"', file);
}

void put_screening(FILE* file) {
  const RunState& s = run_state;
  unsigned long long counts[4] = {0, 0, 0, 0};
  for (uint64_t r = 0; r < s.record_count; ++r) {
    const uint64_t mark = s.record_cluster[r];
    ++counts[(mark & kRejectedFlag) ? mark & kClusterNumberMask : uint64_t{accepted}];
  }
  fprintf(file,
          "  \"screening\": {\"accepted\": %llu, \"template_mismatch\": %llu, \"has_n\": %llu, "
          "\"unknown_character\": %llu},\n",
          counts[accepted], counts[template_mismatch], counts[has_n], counts[unknown_character]);
  fprintf(file, "  \"duplicates_removed\": %llu,\n", counts[accepted] - static_cast<unsigned long long>(s.entry_count));
}

// What the barcode search found; only when one of its options was given.
void put_placements(FILE* file) {
  const RunState& s = run_state;
  if (!s.finding_barcode) return;
  const PlacementCounts& p = s.placement_counts;
  fprintf(file, "  \"barcode_search\": {\"fixed_mismatches\": %u, \"window\": %u, \"both_strands\": %s, \"quality\": ",
          s.fixed_mismatches, s.window, s.both_strands ? "true" : "false");
  if (s.quality_given) {
    fprintf(file, "%u", s.quality_floor);
  } else {
    fputs("null", file);
  }
  fprintf(file, ", \"at_start_forward\": %llu, \"shifted\": %llu, \"reverse_strand\": %llu, \"flank_mismatches\": {",
          static_cast<unsigned long long>(p.at_start_forward), static_cast<unsigned long long>(p.shifted),
          static_cast<unsigned long long>(p.reverse_strand));
  for (uint32_t m = 1; m <= s.fixed_mismatches; ++m) {
    fprintf(file, "%s\"%u\": %llu", m == 1 ? "" : ", ", m, static_cast<unsigned long long>(p.flank_mismatches[m]));
  }
  fprintf(file, "}, \"low_quality\": %llu},\n", static_cast<unsigned long long>(p.low_quality));
}

// The molecules of the run or of one sample: from reads to reads_per_molecule.
void put_molecule_figures(const MoleculeTotals& totals, const MoleculeSize* sizes, uint64_t rows, FILE* file) {
  fprintf(file, "\"reads\": %llu, \"umis\": %llu, \"molecules\": %llu, \"reads_per_molecule\": {",
          static_cast<unsigned long long>(totals.reads), static_cast<unsigned long long>(totals.umis),
          static_cast<unsigned long long>(totals.molecules));
  for (uint64_t i = 0; i < rows; ++i) {
    fprintf(file, "%s\"%llu\": %llu", i == 0 ? "" : ", ", static_cast<unsigned long long>(sizes[i].reads),
            static_cast<unsigned long long>(sizes[i].molecules));
  }
  fputs("}}", file);
}

// The molecules behind the clusters; only with --umi, once they were counted.
void put_molecules(FILE* file) {
  const RunState& s = run_state;
  uint64_t rows = 0;
  const MoleculeSize* sizes = molecule_sizes(&rows);
  if (sizes == nullptr) return;
  const MoleculeTotals totals = molecule_totals();
  fputs("  \"umi\": {\"positions\": ", file);
  put_json_string(s.umi_ranges, file);
  fprintf(file, ", \"length\": %u, ", umi_length());
  put_molecule_figures(totals, sizes, rows, file);
  fputs(",\n", file);
}

// What the abundance rule did; only when it ran.
void put_merge_ratio(FILE* file) {
  const MergeRatio* ratio = run_state.merge_ratio;
  if (ratio == nullptr) return;
  fputs("  \"merge_ratio\": {\"ratio\": ", file);
  print_merge_ratio(*ratio, file);
  fprintf(file, ", \"distinct_barcodes\": %llu, \"started\": %llu, \"taken\": %llu},\n",
          static_cast<unsigned long long>(ratio->distinct_barcodes), static_cast<unsigned long long>(ratio->started),
          static_cast<unsigned long long>(ratio->taken));
}

void put_histogram(FILE* file) {
  const ClusterSizes histogram = count_cluster_sizes();
  fputs("  \"cluster_sizes\": {", file);
  for (uint64_t i = 0; i < histogram.count; ++i) {
    fprintf(file, "%s\"%llu\": %llu", i == 0 ? "" : ", ", static_cast<unsigned long long>(histogram.sizes[i].reads),
            static_cast<unsigned long long>(histogram.sizes[i].clusters));
  }
  fputs("},\n", file);
  release_cluster_sizes();
}

// Hands each letter of a packed barcode to put.
template <typename Put>
void for_each_letter(const uint64_t* words, Put put) {
  for (uint32_t j = 0; j < run_state.barcode_length; ++j) put("ACGT"[(words[j >> 5] >> (62 - 2 * (j & 31))) & 3]);
}

// What the assignment made of the reads, run-wide or one sample's: from entries_without_reads to top_unknown.
void put_known_figures(const KnownSampleFigures& figures, FILE* file) {
  fprintf(file, "\"entries_without_reads\": %llu, \"assigned\": {",
          static_cast<unsigned long long>(figures.entries_without_reads));
  for (uint32_t d = 0; d <= run_state.distance; ++d) {
    fprintf(file, "%s\"%u\": %llu", d == 0 ? "" : ", ", d, static_cast<unsigned long long>(figures.at_distance[d]));
  }
  fprintf(file, "}, \"ambiguous\": %llu, \"unknown\": %llu, \"unknown_barcodes\": %llu, \"gini\": %.6f, ",
          static_cast<unsigned long long>(figures.ambiguous), static_cast<unsigned long long>(figures.unknown),
          static_cast<unsigned long long>(figures.unknown_barcodes), figures.gini);
  fputs("\"top_unknown\": [", file);
  for (uint32_t i = 0; i < figures.top_unknown_count; ++i) {
    fputs(i == 0 ? "{\"barcode\": \"" : ", {\"barcode\": \"", file);
    for_each_letter(record_barcode(figures.top_unknown[i].first), [&](char letter) { putc(letter, file); });
    fprintf(file, "\", \"reads\": %llu}", static_cast<unsigned long long>(figures.top_unknown[i].reads));
  }
  fputs("]}", file);
}

// Whether the assignment ran: without an accepted read the run ends after the funnel.
bool known_assigned() { return run_state.known != nullptr && run_state.known->group_start != nullptr; }

// With --known: the library's figures, and the most frequent unknown barcodes.
void put_known(FILE* file) {
  const RunState& s = run_state;
  if (!known_assigned()) return;
  const KnownBarcodes& known = *s.known;
  fputs("  \"known\": {\"library\": ", file);
  put_json_string(s.known_path, file);
  fprintf(file, ", \"entries\": %llu, ", static_cast<unsigned long long>(known.library.count));
  KnownSampleFigures figures = {};
  figures.entries_without_reads = known_entries_without_reads();
  std::copy(std::begin(known.at_distance), std::end(known.at_distance), figures.at_distance);
  figures.ambiguous = known.ambiguous;
  figures.unknown = known.unknown;
  figures.unknown_barcodes = known.unknown_barcodes;
  figures.gini = known_gini_index();
  std::copy(std::begin(known.top_unknown), std::end(known.top_unknown), figures.top_unknown);
  figures.top_unknown_count = known.top_unknown_count;
  put_known_figures(figures, file);
  fputs(",\n", file);
}

// With --experiment: per sample, in sheet order, its input and what its reads became.
void put_samples(FILE* file) {
  const RunState& s = run_state;
  if (s.experiment == nullptr) return;
  gather_sample_reads();
  const std::vector<SampleOutcome> outcomes = sample_outcomes();
  release_sample_reads();
  // With --umi, once the molecules were counted: each sample's, its reads corrected on their own.
  uint64_t rows = 0;
  const bool molecules = molecule_sizes(&rows) != nullptr;
  const std::vector<MoleculeTotals> molecule_totals = molecules ? sample_molecule_totals() : std::vector<MoleculeTotals>();
  const std::vector<std::vector<MoleculeSize>> sizes =
      molecules ? sample_molecule_sizes() : std::vector<std::vector<MoleculeSize>>();
  fputs("  \"samples\": [", file);
  for (size_t k = 0; k < outcomes.size(); ++k) {
    const Sample& sample = s.experiment->samples[k];
    const SampleOutcome& outcome = outcomes[k];
    fputs(k == 0 ? "\n    {\"name\": " : ",\n    {\"name\": ", file);
    put_json_string(sample.name.c_str(), file);
    fputs(", \"path\": ", file);
    put_json_string(sample.path.c_str(), file);
    fprintf(file, ", \"format\": \"%s\", \"gzip\": %s, \"bytes\": %llu, \"records\": %llu, ",
            sample.data_size == 0 ? "empty" : (sample.fastq ? "fastq" : "fasta"), sample.gzip ? "true" : "false",
            static_cast<unsigned long long>(sample.data_bytes), static_cast<unsigned long long>(sample.record_count));
    fprintf(file,
            "\"screening\": {\"accepted\": %llu, \"template_mismatch\": %llu, \"has_n\": %llu, "
            "\"unknown_character\": %llu}, ",
            static_cast<unsigned long long>(outcome.screened[accepted]),
            static_cast<unsigned long long>(outcome.screened[template_mismatch]),
            static_cast<unsigned long long>(outcome.screened[has_n]),
            static_cast<unsigned long long>(outcome.screened[unknown_character]));
    if (s.finding_barcode) {
      uint64_t found[3] = {0, 0, 0};  // at the start on the read as given, shifted, on the reverse strand
      for (uint64_t r = sample.first_record; r < sample.first_record + sample.record_count; ++r) {
        if (s.record_cluster[r] & kRejectedFlag) continue;
        const unsigned char placement = read_placement(r);
        if ((placement & kOffsetMask) != 0) ++found[1];
        if (placement & kReverseStrand) ++found[2];
        if (placement == 0) ++found[0];
      }
      fprintf(file,
              "\"barcode_search\": {\"at_start_forward\": %llu, \"shifted\": %llu, \"reverse_strand\": %llu}, ",
              static_cast<unsigned long long>(found[0]), static_cast<unsigned long long>(found[1]),
              static_cast<unsigned long long>(found[2]));
    }
    fprintf(file, "\"clustered\": %llu, \"clusters\": %llu", static_cast<unsigned long long>(outcome.clustered),
            static_cast<unsigned long long>(outcome.clusters));
    if (molecules) {
      fputs(", \"umi\": {", file);
      put_molecule_figures(molecule_totals[k], sizes[k].data(), sizes[k].size(), file);
    }
    if (known_assigned()) {
      fputs(", \"known\": {", file);
      put_known_figures(known_sample_figures(sample.first_record, sample.record_count), file);
    }
    putc('}', file);
  }
  fputs("\n  ],\n", file);
}

void put_seconds(FILE* file) {
  const RunStatistics& r = run_statistics;
  end_phase();
  const double now = monotonic_seconds();
  fputs("  \"seconds\": {", file);
  for (uint32_t i = 0; i < r.phase_count; ++i) {
    const Phase phase = r.phases[i].phase;
    if (phase == Phase::setup || phase == Phase::pass || phase == Phase::teardown) continue;
    fprintf(file, "\"%s\": %.6f, ", phase_name(r.phases[i]), r.phases[i].seconds);
  }
  fprintf(file, "\"decompress\": %.6f, \"total\": %.6f}\n", r.decompress_seconds, now - r.run_start);
}

}  // namespace

void write_stats(FILE* file) {
  const RunState& s = run_state;
  const RunStatistics& r = run_statistics;
  fputs("{\n  \"settings\": {\"input\": ", file);
  if (s.experiment != nullptr) {
    fputs("null, \"experiment\": ", file);
    put_json_string(s.experiment->sheet_path, file);
  } else {
    put_json_string(s.input_path, file);
  }
  fputs(", \"output\": ", file);
  put_json_string(s.output_path, file);
  fprintf(file, ", \"distance\": %u, \"template\": ", s.distance);
  put_json_string(s.template_upper, file);
  fprintf(file, ", \"remove_duplicate_barcodes\": %s},\n", s.remove_duplicates ? "true" : "false");
  fprintf(file, "  \"input\": {\"format\": \"%s\", \"gzip\": %s, \"bytes\": %llu},\n",
          samples_mix_formats() ? "mixed" : (s.input_is_fastq ? "fastq" : "fasta"),
          s.input_compressed ? "true" : "false", static_cast<unsigned long long>(s.input_data_bytes));
  fprintf(file, "  \"records\": %llu,\n", static_cast<unsigned long long>(s.record_count));
  put_screening(file);
  put_placements(file);
  fprintf(file, "  \"entries\": %llu,\n  \"clusters\": %llu,\n", static_cast<unsigned long long>(s.entry_count),
          static_cast<unsigned long long>(s.cluster_count));
  put_molecules(file);
  fputs("  \"passes\": [", file);
  for (uint32_t i = 0; i < r.pass_count; ++i) {
    fprintf(file, "%s{\"distance\": %u, \"joins\": %llu, \"seconds\": %.6f}", i == 0 ? "" : ", ", r.passes[i].distance,
            static_cast<unsigned long long>(r.passes[i].joins), r.passes[i].seconds);
  }
  fputs("],\n", file);
  put_merge_ratio(file);
  put_histogram(file);
  put_samples(file);
  // The library's figures come from the assignment, which a run without matches never reaches.
  if (s.screened[accepted] != 0) put_known(file);
  put_seconds(file);
  fputs("}\n", file);
}
