#include "output/run_page.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "barcode/barcode_packing.h"
#include "barcode/base_composition.h"
#include "base/run_state.h"
#include "base/run_statistics.h"
#include "cluster/known_assignment.h"
#include "cluster/merge_ratio.h"
#include "input/experiment.h"
#include "output/cluster_sizes.h"
#include "output/molecule_counts.h"
#include "output/page_figures.h"
#include "output/sample_page.h"
#include "output/svg_plot.h"
#include "run/options.h"

namespace {

// The read funnel's causes of leaving a read out, in the order shown. A
// cause that screening gains gets its line here.
struct ScreeningCause {
  PackResult result;
  const char* label;
};
constexpr ScreeningCause kScreeningCauses[] = {
    {template_mismatch, "Template mismatch"},
    {has_n, "Barcode has N"},
    {unknown_character, "Unknown character"},
};

// Longest representative barcode and read name shown in full.
constexpr uint32_t kShownBases = 48;
constexpr size_t kShownNameBytes = 60;

constexpr int kPlotWidth = 760;

const char kStyle[] =
    "<style>\n"
    ":root{color-scheme:light}\n"
    "body{margin:0;background:#f3f4f6;color:#1f2933;"
    "font:15px/1.45 \"Liberation Sans\",\"Helvetica Neue\",Arial,sans-serif}\n"
    "main{max-width:820px;margin:0 auto;padding:28px 20px 36px}\n"
    "header h1{font-size:26px;margin:0 0 2px;letter-spacing:-0.01em;overflow-wrap:anywhere}\n"
    "header p{margin:0 0 20px;color:#52606d}\n"
    "header p.hint{margin:-12px 0 20px;padding:10px 14px;background:#fff8e6;border:1px solid #f0d48a;"
    "border-radius:6px;color:#1f2933}\n"
    "section{background:#fff;border:1px solid #d9dee4;border-radius:8px;padding:16px 22px 18px;margin:0 0 18px}\n"
    "h2{font-size:18px;margin:0 0 2px}\n"
    "p.caption{margin:0 0 12px;color:#52606d;font-size:13.5px}\n"
    "table{border-collapse:collapse;font-variant-numeric:tabular-nums}\n"
    "th,td{padding:4px 14px 4px 0;text-align:left;border-bottom:1px solid #edf0f3;vertical-align:baseline}\n"
    "thead th{font-size:13px;color:#52606d;font-weight:600;border-bottom:1px solid #cbd2d9}\n"
    "table.facts{table-layout:fixed;width:100%}\n"
    "table.facts th{font-weight:600;color:#3e4c59;width:190px}\n"
    "table.facts td{overflow-wrap:anywhere;word-break:break-all}\n"
    "td.number,th.number{text-align:right}\n"
    ".barcode{font-family:\"DejaVu Sans Mono\",\"Liberation Mono\",monospace;font-size:12.5px}\n"
    ".name{color:#52606d;word-break:break-all}\n"
    "table.largest{table-layout:fixed;width:100%}\n"
    "table.largest td.barcode,table.largest td.name{overflow-wrap:anywhere;word-break:break-all}\n"
    "p.callout{margin:0 0 12px;padding:8px 12px;background:#fdecea;border:1px solid #f1b0a8;border-radius:6px}\n"
    ".plot{display:block;max-width:100%;height:auto;font-family:inherit}\n"
    ".plot text{font-size:12px;fill:#3e4c59}\n"
    ".plot .title{font-size:12.5px;fill:#1f2933}\n"
    ".plot .label{font-size:13px;fill:#1f2933}\n"
    ".plot .value{font-size:12.5px;fill:#3e4c59}\n"
    ".plot .callout{font-size:13px;font-weight:600;fill:#1f2933}\n"
    ".plot .grid{stroke:#e4e7eb}\n"
    ".plot .baseline,.plot .tickmark{stroke:#9aa5b1}\n"
    ".mark.reads{fill:#52606d}.mark.lost{fill:#d64545}.mark.duplicates{fill:#9aa5b1}.mark.kept{fill:#2f8f83}\n"
    ".mark.size{fill:#3b82c4}.mark.singletons{fill:#e8833a}.mark.pass{fill:#7c5cbf}\n"
    ".mark.base-a{fill:#3aa757}.mark.base-c{fill:#3b6fd6}.mark.base-g{fill:#f2b233}.mark.base-t{fill:#d64545}\n"
    ".curve{fill:none;stroke:#3b82c4;stroke-width:2;stroke-linejoin:round}\n"
    ".point{fill:#fff;stroke:#1f2933;stroke-width:1.5}\n"
    "footer{color:#7b8794;font-size:12.5px;text-align:center}\n"
    "</style>\n";

void put_barcode_letters(FILE* file, const SequenceRecord* record) {
  static const char kLetters[4] = {'A', 'C', 'G', 'T'};
  const uint64_t* words = record_barcode(record);
  const uint32_t length = run_state.barcode_length;
  for (uint32_t j = 0; j < length && j < kShownBases; ++j)
    putc(kLetters[(words[j >> 5] >> (62 - 2 * (j & 31))) & 3], file);
  if (length > kShownBases) fputs("&#x2026;", file);
}

void put_fact(FILE* file, const char* name, const char* css_class = nullptr) {
  fprintf(file, "<tr><th>%s</th><td%s%s%s>", name, css_class ? " class=\"" : "", css_class ? css_class : "",
          css_class ? "\"" : "");
}

// Peak resident memory of the process in MiB: what the system charged the
// run, buffers of the C library and zlib and thread stacks included.
double peak_memory_mib() {
  rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// The barcode search's settings and where it found the accepted reads.
void write_search_facts(FILE* file) {
  const RunState& s = run_state;
  const PlacementCounts& p = s.placement_counts;
  put_fact(file, "Barcode search");
  fprintf(file, "up to %u fixed letters differing, offsets 0 to %u, %s, ", s.fixed_mismatches, s.window,
          s.both_strands ? "both strands" : "forward strand only");
  if (s.quality_given) {
    fprintf(file, "barcode bases below quality %u left out</td></tr>\n", s.quality_floor);
  } else {
    fputs("qualities not used</td></tr>\n", file);
  }
  put_fact(file, "Barcodes found");
  put_count(file, p.at_start_forward);
  fputs(" at the start of the read as given, ", file);
  put_count(file, p.shifted);
  fputs(" shifted, ", file);
  put_count(file, p.reverse_strand);
  fputs(" on the reverse strand; ", file);
  uint64_t with_mismatches = 0;
  for (uint32_t m = 1; m <= s.fixed_mismatches && m < 9; ++m) with_mismatches += p.flank_mismatches[m];
  put_count(file, with_mismatches);
  fputs(" with fixed letters differing</td></tr>\n", file);
}

// What the page is about: the input file, or the sample sheet.
const char* input_title() {
  const RunState& s = run_state;
  return s.experiment != nullptr ? s.experiment->sheet_path : s.input_path;
}

void write_run_section(FILE* file) {
  const RunState& s = run_state;
  put_section_start(file, "run", "The run",
                    "What was read and how: the settings of this run, its wall-clock time and its peak memory.");
  fputs("<table class=\"facts\">\n", file);
  put_fact(file, s.experiment != nullptr ? "Sample sheet" : "Input");
  put_html_text(file, input_title());
  if (s.experiment != nullptr) {
    fputs(", ", file);
    put_count(file, s.experiment->samples.size());
    fputs(s.experiment->samples.size() == 1 ? " sample" : " samples", file);
  }
  fprintf(file, "</td></tr>\n");
  put_fact(file, "Format");
  fprintf(file, "%s%s, ", samples_mix_formats() ? "FASTA and FASTQ" : (s.input_is_fastq ? "FASTQ" : "FASTA"),
          s.input_compressed ? ", gzip" : "");
  put_count(file, s.input_data_bytes);
  fputs(" bytes of data</td></tr>\n", file);
  put_fact(file, "Reads");
  put_count(file, s.record_count);
  fputs("</td></tr>\n", file);
  put_fact(file, "Template", "barcode");
  put_html_text(file, s.template_upper, 200);
  fprintf(file, "</td></tr>\n");
  put_fact(file, "Distance D");
  fprintf(file, "%u</td></tr>\n", s.distance);
  if (s.finding_barcode) write_search_facts(file);
  if (s.merge_ratio != nullptr) {
    put_fact(file, "Merge ratio R");
    print_merge_ratio(*s.merge_ratio, file);
    fputs(": ", file);
    put_count(file, s.merge_ratio->started);
    fputs(" barcodes started a cluster, ", file);
    put_count(file, s.merge_ratio->taken);
    fputs(" were taken into another</td></tr>\n", file);
  }
  put_fact(file, "Duplicate barcodes (-p)");
  fputs(s.remove_duplicates ? "removed</td></tr>\n" : "kept</td></tr>\n", file);
  put_fact(file, "Clusters");
  put_count(file, s.cluster_count);
  fputs("</td></tr>\n", file);
  put_fact(file, "Report");
  put_html_text(file, s.output_path);
  fputs("</td></tr>\n", file);
  put_fact(file, "Tool");
  fprintf(file, "tarnwell %s</td></tr>\n", kToolVersion);
  put_fact(file, "Wall-clock time", "varies");
  fprintf(file, "%.2f s</td></tr>\n", monotonic_seconds() - run_statistics.run_start);
  put_fact(file, "Peak memory", "varies");
  fprintf(file, "%.1f MiB</td></tr>\n", peak_memory_mib());
  fputs("</table>\n</section>\n", file);
}

// One bar of the funnel: label, bar as a share of all reads, count and share.
void put_funnel_row(FILE* file, int row, const char* label, uint64_t count, const char* css_class) {
  const uint64_t reads = run_state.record_count;
  const double y = 12 + 30.0 * row;
  const double width = reads == 0 ? 0 : 400.0 * static_cast<double>(count) / static_cast<double>(reads);
  fprintf(file, "<text class=\"label\" x=\"214\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n", y + 15, label);
  open_mark(file, 224, y, width, 20, css_class);
  fputs(label, file);
  fputs(": ", file);
  put_count(file, count);
  close_mark(file);
  fprintf(file, "<text class=\"value\" x=\"%.1f\" y=\"%.1f\">", 224 + width + 8, y + 15);
  put_count(file, count);
  fputs(" (", file);
  put_percent(file, count, reads);
  fputs("%)</text>\n", file);
}

void write_funnel_section(FILE* file, const PageFigures& figures) {
  put_section_start(file, "funnel", "Read funnel",
                    "Every read in, by what became of it: left out by screening (red), dropped as a duplicate "
                    "barcode (grey), or clustered (green); bars and percentages are shares of all reads.");
  constexpr int kCauses = sizeof kScreeningCauses / sizeof kScreeningCauses[0];
  // Reads left out for a low-quality barcode base count as barcodes with N;
  // with --quality they get a bar of their own, taken out of that cause's.
  const uint64_t low_quality = run_state.quality_given ? run_state.placement_counts.low_quality : 0;
  const int rows = kCauses + 3 + (run_state.quality_given ? 1 : 0);
  open_svg(file, kPlotWidth, 16 + 30 * rows, "funnel-plot", "Read funnel");
  int row = 0;
  put_funnel_row(file, row++, "Reads in", run_state.record_count, "reads");
  for (const ScreeningCause& cause : kScreeningCauses) {
    const uint64_t count = figures.screening[cause.result];
    put_funnel_row(file, row++, cause.label, cause.result == has_n ? count - low_quality : count, "lost");
    if (cause.result == has_n && run_state.quality_given)
      put_funnel_row(file, row++, "Low-quality barcode base", low_quality, "lost");
  }
  put_funnel_row(file, row++, "Duplicates removed", figures.duplicates_removed, "duplicates");
  put_funnel_row(file, row++, "Clustered", run_state.entry_count, "kept");
  close_svg(file);
  fputs("</section>\n", file);
}

// Bars of things (clusters, molecules) by their size in reads, both axes
// logarithmic, each bar spanning sizes from a power of two to the next; a
// callout with the things of one read. Leaves the SVG open for more marks.
template <typename SizeOf>
void draw_size_bars(FILE* file, const char* id, const char* label, const char* x_title, const char* thing,
                    const char* things, uint64_t rows, uint64_t total, SizeOf size_of) {
  // Bin k holds sizes 2^k to 2^(k+1) - 1.
  uint64_t bins[64] = {};
  int bin_count = 1;
  uint64_t singletons = 0;
  for (uint64_t i = 0; i < rows; ++i) {
    const auto [reads, count] = size_of(i);
    const int bin = 63 - __builtin_clzll(reads);
    bins[bin] += count;
    if (bin + 1 > bin_count) bin_count = bin + 1;
    if (reads == 1) singletons = count;
  }
  uint64_t tallest = 1;
  for (int k = 0; k < bin_count; ++k) tallest = bins[k] > tallest ? bins[k] : tallest;
  open_svg(file, kPlotWidth, 300, id, label);
  PlotFrame frame = {file,
                     80,
                     34,
                     640,
                     200,
                     decades_around(1, static_cast<double>(2ull << (bin_count - 1))),
                     decades_around(1, static_cast<double>(tallest))};
  frame.y.low = 0.5;  // so that a bin of one still shows
  draw_axes(frame, x_title, things);
  for (int k = 0; k < bin_count; ++k) {
    if (bins[k] == 0) continue;
    const uint64_t first = 1ull << k;
    const uint64_t last = (2ull << k) - 1;
    const double left = plot_x(frame, static_cast<double>(first));
    const double right = plot_x(frame, static_cast<double>(2ull << k));
    const double top = plot_y(frame, static_cast<double>(bins[k]));
    open_mark(file, left + 1, top, right - left - 2, frame.top + frame.height - top,
              k == 0 ? "size singletons" : "size");
    put_counted(file, bins[k], thing, things);
    fputs(k == 0 ? " of 1 read" : " of ", file);
    if (k != 0) {
      put_count(file, first);
      fputs("&#x2013;", file);
      put_count(file, last);
      fputs(" reads", file);
    }
    close_mark(file);
  }
  fprintf(file, "<text class=\"callout\" x=\"%.1f\" y=\"22\">", frame.left);
  put_counted(file, singletons, "singleton", "singletons");
  fputs(" (", file);
  put_percent(file, singletons, total);
  fprintf(file, "%% of %s)</text>\n", things);
}

void write_sizes_section(FILE* file, const PageFigures& figures) {
  const ClusterSizes& sizes = figures.sizes;
  put_section_start(file, "cluster-sizes", "Cluster sizes",
                    "How many clusters hold how many reads, both axes logarithmic; each bar spans sizes from a power "
                    "of two to the next. A tall left bar is many error singletons; bars far right are dominant "
                    "barcodes.");
  draw_size_bars(file, "sizes-plot", "Cluster sizes", "cluster size (reads)", "cluster", "clusters", sizes.count,
                 run_state.cluster_count, [&](uint64_t i) {
                   return std::pair<uint64_t, uint64_t>(sizes.sizes[i].reads, sizes.sizes[i].clusters);
                 });
  close_svg(file);
  fputs("</section>\n", file);
}

// With --umi: reads per molecule, and molecules found against reads drawn.
void write_molecule_sections(FILE* file) {
  uint64_t rows = 0;
  const MoleculeSize* sizes = molecule_sizes(&rows);
  const MoleculeTotals* curve = saturation_curve();
  if (sizes == nullptr || curve == nullptr) return;
  const MoleculeTotals& all = curve[kSaturationSteps - 1];
  put_section_start(file, "reads-per-molecule", "Reads per molecule",
                    "How many molecules (UMIs after correction, cluster by cluster) carry how many reads, both axes "
                    "logarithmic. Many molecules of one read mean the library was sequenced shallowly; a long right "
                    "tail is uneven amplification.");
  draw_size_bars(file, "molecules-plot", "Reads per molecule", "reads per molecule", "molecule", "molecules", rows,
                 all.molecules,
                 [&](uint64_t i) { return std::pair<uint64_t, uint64_t>(sizes[i].reads, sizes[i].molecules); });
  close_svg(file);
  fputs("</section>\n", file);

  put_section_start(file, "saturation", "Saturation",
                    "Molecules found in a tenth, two tenths, ... of the reads (the same reads every run). A curve "
                    "still climbing at the right would find more molecules with deeper sequencing; a flat one has "
                    "found nearly all.");
  open_svg(file, kPlotWidth, 300, "saturation-plot", "Saturation");
  const PlotFrame frame = {file, 80, 34, 640, 200, zero_to_round(static_cast<double>(all.reads)),
                           zero_to_round(static_cast<double>(all.molecules))};
  draw_axes(frame, "reads", "molecules");
  fprintf(file, "<polyline class=\"mark curve\" points=\"%.1f,%.1f", plot_x(frame, 0), plot_y(frame, 0));
  for (uint32_t step = 0; step < kSaturationSteps; ++step) {
    fprintf(file, " %.1f,%.1f", plot_x(frame, static_cast<double>(curve[step].reads)),
            plot_y(frame, static_cast<double>(curve[step].molecules)));
  }
  fputs("\"><title>Molecules against reads</title></polyline>\n", file);
  for (uint32_t step = 0; step < kSaturationSteps; ++step) {
    const double x = plot_x(frame, static_cast<double>(curve[step].reads));
    const double y = plot_y(frame, static_cast<double>(curve[step].molecules));
    open_mark(file, x - 3, y - 3, 6, 6, "point");
    put_count(file, curve[step].molecules);
    fputs(" molecules in ", file);
    put_count(file, curve[step].reads);
    fprintf(file, " reads (%u0%%)", step + 1);
    close_mark(file);
  }
  // The last step's gain: molecules the last tenth of the reads added, per cent of all.
  const uint64_t before = kSaturationSteps > 1 ? curve[kSaturationSteps - 2].molecules : 0;
  fprintf(file, "<text class=\"callout\" x=\"%.1f\" y=\"22\">The last tenth of the reads added ", frame.left);
  put_count(file, all.molecules - before);
  fputs(" molecules (", file);
  put_percent(file, all.molecules - before, all.molecules);
  fputs("%)</text>\n", file);
  close_svg(file);
  fputs("</section>\n", file);
}

void write_rank_section(FILE* file, const PageFigures& figures) {
  const RunState& s = run_state;
  const ClusterSizes& sizes = figures.sizes;
  put_section_start(file, "rank-abundance", "Rank and abundance",
                    "Reads per cluster against the cluster's rank, largest first, both axes logarithmic; a long flat "
                    "head then a steep drop means a few barcodes dominate. The table gives the share of all "
                    "clustered reads held by the largest clusters.");
  const uint64_t largest = sizes.count > 0 ? sizes.sizes[sizes.count - 1].reads : 1;
  open_svg(file, kPlotWidth, 290, "rank-plot", "Reads per cluster by rank");
  const PlotFrame frame = {file,
                           80,
                           16,
                           640,
                           210,
                           decades_around(1, static_cast<double>(s.cluster_count)),
                           decades_around(1, static_cast<double>(largest))};
  draw_axes(frame, "cluster rank", "reads in the cluster");
  // A step through every run of equal sizes, keeping only the first and
  // last point of each pixel column: the curve stays small for any input.
  fputs("<polyline class=\"mark curve\" points=\"", file);
  long column = -1;
  double pending_x = 0;
  double pending_y = 0;
  bool pending = false;
  uint64_t rank = 0;
  auto add_point = [&](uint64_t at_rank, uint64_t reads) {
    const double x = plot_x(frame, static_cast<double>(at_rank));
    const double y = plot_y(frame, static_cast<double>(reads));
    const long this_column = static_cast<long>(x);
    if (this_column != column) {
      if (pending) fprintf(file, "%.1f,%.1f ", pending_x, pending_y);
      fprintf(file, "%.1f,%.1f ", x, y);
      column = this_column;
      pending = false;
    } else {
      pending_x = x;
      pending_y = y;
      pending = true;
    }
  };
  for (uint64_t i = sizes.count; i-- > 0;) {
    add_point(rank + 1, sizes.sizes[i].reads);
    rank += sizes.sizes[i].clusters;
    add_point(rank, sizes.sizes[i].reads);
  }
  if (pending) fprintf(file, "%.1f,%.1f", pending_x, pending_y);
  fputs("\"><title>reads per cluster by rank</title></polyline>\n", file);

  // The top 1, 10, 100, 1,000 clusters: a point on the curve and a share.
  uint64_t shares[4] = {};
  uint64_t ranks[4] = {};
  int shown = 0;
  const uint64_t accepted_reads = figures.screening[accepted];
  for (uint64_t top = 1; top <= 1000 && top <= s.cluster_count; top *= 10) {
    uint64_t held = 0;
    uint64_t taken = 0;
    uint64_t last_reads = 0;
    for (uint64_t i = sizes.count; i-- > 0 && taken < top;) {
      const uint64_t take = sizes.sizes[i].clusters < top - taken ? sizes.sizes[i].clusters : top - taken;
      held += take * sizes.sizes[i].reads;
      taken += take;
      last_reads = sizes.sizes[i].reads;
    }
    fprintf(file, "<circle class=\"mark point\" cx=\"%.1f\" cy=\"%.1f\" r=\"4\"><title>rank ",
            plot_x(frame, static_cast<double>(top)), plot_y(frame, static_cast<double>(last_reads)));
    put_count(file, top);
    fputs(": ", file);
    put_counted(file, last_reads, "read", "reads");
    fputs("</title></circle>\n", file);
    ranks[shown] = top;
    shares[shown++] = held;
  }
  close_svg(file);
  fputs(
      "<table class=\"shares\">\n<thead><tr><th>Largest clusters</th><th class=\"number\">Reads</th>"
      "<th class=\"number\">Share of clustered reads</th></tr></thead>\n<tbody>\n",
      file);
  for (int i = 0; i < shown; ++i) {
    fputs("<tr><td>Top ", file);
    put_count(file, ranks[i]);
    fputs("</td><td class=\"number\">", file);
    put_count(file, shares[i]);
    fputs("</td><td class=\"number\">", file);
    put_percent(file, shares[i], accepted_reads);
    fputs("%</td></tr>\n", file);
  }
  fputs("</tbody>\n</table>\n</section>\n", file);
}

void write_passes_section(FILE* file) {
  const RunState& s = run_state;
  const RunStatistics& r = run_statistics;
  put_section_start(file, "distance-passes", "Joins per distance pass",
                    "How many joins each distance pass made, and the clusters left after it; a pass that joins "
                    "little means a smaller D would have given nearly the same clusters.");
  open_svg(file, kPlotWidth, 270, "passes-plot", "Joins per distance pass");
  uint64_t most = 1;
  for (uint32_t i = 0; i < r.pass_count; ++i) most = r.passes[i].joins > most ? r.passes[i].joins : most;
  const PlotFrame frame = {file, 80, 20, 640, 190, {0, 1, false}, zero_to_round(static_cast<double>(most))};
  draw_axes(frame, nullptr, "joins");
  if (s.merge_ratio != nullptr) {
    fprintf(file,
            "<text class=\"label\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">No distance pass ran: "
            "the read ratio rule made the clusters.</text>\n",
            frame.left + frame.width / 2, frame.top + frame.height / 2);
  } else if (r.pass_count == 0) {
    fprintf(file,
            "<text class=\"label\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">No distance pass ran: "
            "with -p and D = 0 every distinct barcode is a cluster of its own.</text>\n",
            frame.left + frame.width / 2, frame.top + frame.height / 2);
  }
  uint64_t clusters = s.entry_count;
  const double slot = frame.width / (r.pass_count > 0 ? r.pass_count : 1);
  for (uint32_t i = 0; i < r.pass_count; ++i) {
    const PassRecord& pass = r.passes[i];
    clusters -= pass.joins;
    const double middle = frame.left + slot * (i + 0.5);
    const double width = slot * 0.5 < 120 ? slot * 0.5 : 120;
    const double top = plot_y(frame, static_cast<double>(pass.joins));
    open_mark(file, middle - width / 2, top, width, frame.top + frame.height - top, "pass");
    fprintf(file, "distance %u: ", pass.distance);
    put_counted(file, pass.joins, "join", "joins");
    close_mark(file);
    fprintf(file, "<text class=\"value\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">", middle, top - 6);
    put_counted(file, pass.joins, "join", "joins");
    fputs("</text>\n", file);
    fprintf(file, "<text class=\"label\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">distance %u</text>\n", middle,
            frame.top + frame.height + 20, pass.distance);
    fprintf(file, "<text class=\"value\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">", middle,
            frame.top + frame.height + 38);
    put_counted(file, clusters, "cluster after", "clusters after");
    fputs("</text>\n", file);
  }
  close_svg(file);
  fputs("</section>\n", file);
}

void write_composition_section(FILE* file, const PageFigures& figures) {
  const uint32_t length = run_state.barcode_length;
  const bool none_matched = figures.screening[accepted] == 0;
  put_section_start(file, "base-composition", "Base composition per barcode position",
                    none_matched
                        ? "No read matched, so this is the share of A, C, G and T at each barcode position of the "
                          "template laid at the start of every read; random barcodes give four even bands, and a "
                          "position dominated by one base points to a shifted or wrong template."
                        : "The share of A, C, G and T at each barcode position over the accepted reads; random "
                          "barcodes give four even bands, and a position dominated by one base points to a shifted "
                          "or wrong template.");
  const uint32_t group = composition_group_positions();
  const uint32_t bars = (length + group - 1) / group;
  open_svg(file, kPlotWidth, 290, "composition-plot", "Base composition per barcode position");
  const PlotFrame frame = {file, 80, 30, 640, 200, {0, 1, false}, {0, 100, false}};
  draw_axes(frame, nullptr, none_matched ? "% of reads" : "% of accepted reads");
  static const char* const kBaseClasses[4] = {"base-a", "base-c", "base-g", "base-t"};
  static const char kBases[4] = {'A', 'C', 'G', 'T'};
  for (int b = 0; b < 4; ++b) {
    const double x = frame.left + 10 + 60 * b;
    fprintf(file, "<rect class=\"mark %s\" x=\"%.1f\" y=\"6\" width=\"12\" height=\"12\"><title>%c</title></rect>",
            kBaseClasses[b], x, kBases[b]);
    fprintf(file, "<text class=\"label\" x=\"%.1f\" y=\"17\">%c</text>\n", x + 17, kBases[b]);
  }
  const double slot = frame.width / bars;
  const uint32_t label_every = bars <= 30 ? 1 : (bars <= 60 ? 5 : 10);
  for (uint32_t bar = 0; bar < bars; ++bar) {
    const uint32_t first = bar * group;
    const uint32_t end = first + group < length ? first + group : length;
    const uint64_t* counts = figures.base_counts + 4ull * bar;
    const uint64_t total = counts[0] + counts[1] + counts[2] + counts[3];
    double level = 0;
    const double x = frame.left + slot * bar + (slot > 6 ? 1 : 0);
    const double width = slot > 6 ? slot - 2 : slot;
    for (int b = 0; b < 4; ++b) {
      const double share = total == 0 ? 0 : 100.0 * static_cast<double>(counts[b]) / static_cast<double>(total);
      const double top = plot_y(frame, level + share);
      open_mark(file, x, top, width, plot_y(frame, level) - top, kBaseClasses[b]);
      fprintf(file, "position %u", first + 1);
      if (end - first > 1) fprintf(file, "&#x2013;%u", end);
      fprintf(file, ": %c ", kBases[b]);
      put_percent(file, counts[b], total);
      fputs("%", file);
      close_mark(file);
      level += share;
    }
    if ((first + 1) % label_every == 0 || first == 0 || label_every == 1) {
      fprintf(file, "<text class=\"tick\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%u</text>\n", x + width / 2,
              frame.top + frame.height + 16, first + 1);
    }
  }
  fprintf(file, "<text class=\"title\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">barcode position%s</text>\n",
          frame.left + frame.width / 2, frame.top + frame.height + 38, group > 1 ? " (grouped)" : "");
  close_svg(file);
  fputs("</section>\n", file);
}

void write_largest_section(FILE* file, const PageFigures& figures) {
  put_section_start(file, "largest-clusters", "The 20 largest clusters",
                    "The clusters with the most reads, numbered as in the report; the representative is the "
                    "cluster's most frequent barcode, shown with the name of a read that carries it.");
  // One cluster with most of the reads: the sign that D is too large for the barcode length.
  const uint64_t clustered = figures.screening[accepted];
  if (figures.top_count > 0 && 2 * figures.top_clusters[0].reads > clustered) {
    fputs("<p class=\"callout\">Cluster ", file);
    put_count(file, figures.top_clusters[0].number);
    fputs(" holds ", file);
    put_percent(file, figures.top_clusters[0].reads, clustered);
    fprintf(file,
            "%% of the clustered reads: at distance %u most barcodes joined into one cluster, the sign that D is too "
            "large for barcodes of %u bases.</p>\n",
            run_state.distance, run_state.barcode_length);
  }
  fputs(
      "<table class=\"largest\">\n<thead><tr><th class=\"number\">Cluster</th><th class=\"number\">Reads</th>"
      "<th class=\"number\">% of clustered</th><th class=\"number\">Barcodes</th><th>Representative barcode</th>"
      "<th>A read with it</th></tr></thead>\n<tbody>\n",
      file);
  for (uint32_t i = 0; i < figures.top_count; ++i) {
    const TopCluster& totals = figures.top_clusters[i];
    fputs("<tr><td class=\"number\">", file);
    put_count(file, totals.number);
    fputs("</td><td class=\"number\">", file);
    put_count(file, totals.reads);
    fputs("</td><td class=\"number\">", file);
    put_percent(file, totals.reads, figures.screening[accepted]);
    fputs("%</td><td class=\"number\">", file);
    put_count(file, totals.barcodes);
    fputs("</td><td class=\"barcode\">", file);
    put_barcode_letters(file, totals.representative);
    fputs("</td><td class=\"name\">", file);
    put_html_text(file, totals.representative->name + 1, kShownNameBytes);
    fputs("</td></tr>\n", file);
  }
  fputs("</tbody>\n</table>\n</section>\n", file);
}

// With --known: the funnel ends in the reads assigned, ambiguous and unknown.
void write_known_funnel_section(FILE* file, const PageFigures& figures) {
  const KnownBarcodes& known = *run_state.known;
  put_section_start(file, "funnel", "Read funnel",
                    "Every read in, by what became of it: left out by screening, near no known barcode (unknown) or "
                    "equally near two (ambiguous) (red), dropped as a duplicate barcode (grey), or assigned to a "
                    "known barcode (green); bars and percentages are shares of all reads.");
  constexpr int kCauses = sizeof kScreeningCauses / sizeof kScreeningCauses[0];
  open_svg(file, kPlotWidth, 16 + 30 * (kCauses + 5), "funnel-plot", "Read funnel");
  int row = 0;
  put_funnel_row(file, row++, "Reads in", run_state.record_count, "reads");
  for (const ScreeningCause& cause : kScreeningCauses) {
    put_funnel_row(file, row++, cause.label, figures.screening[cause.result], "lost");
  }
  put_funnel_row(file, row++, "Unknown", known.unknown, "lost");
  put_funnel_row(file, row++, "Ambiguous", known.ambiguous, "lost");
  put_funnel_row(file, row++, "Duplicates removed", known.duplicates, "duplicates");
  put_funnel_row(file, row++, "Assigned", known.accepted - known.unknown - known.ambiguous - known.duplicates, "kept");
  close_svg(file);
  fputs("</section>\n", file);
}

// Reads per known barcode: the entries without reads, then bins from a power of two to the next.
void write_known_reads_section(FILE* file, const ClusterSizes& sizes) {
  const RunState& s = run_state;
  put_section_start(file, "known-reads", "Reads per known barcode",
                    "How many known barcodes got how many reads; the first bar (red) counts those that got none. "
                    "Each other bar spans read counts from a power of two to the next.");
  // Bin 0 holds the entries without reads; bin k + 1 read counts 2^k to 2^(k+1) - 1.
  uint64_t bins[65] = {};
  int bin_count = 1;
  for (uint64_t i = 0; i < sizes.count; ++i) {
    const int bin = sizes.sizes[i].reads == 0 ? 0 : 64 - __builtin_clzll(sizes.sizes[i].reads);
    bins[bin] += sizes.sizes[i].clusters;
    if (bin + 1 > bin_count) bin_count = bin + 1;
  }
  uint64_t tallest = 1;
  for (int k = 0; k < bin_count; ++k) tallest = bins[k] > tallest ? bins[k] : tallest;
  open_svg(file, kPlotWidth, 300, "known-reads-plot", "Reads per known barcode");
  const PlotFrame frame = {
      file, 80, 34, 640, 200, {0, static_cast<double>(bin_count), false}, zero_to_round(static_cast<double>(tallest))};
  draw_axes(frame, nullptr, "known barcodes");
  const double step = frame.width / bin_count;
  for (int k = 0; k < bin_count; ++k) {
    const double left = frame.left + step * k;
    const double top = plot_y(frame, static_cast<double>(bins[k]));
    open_mark(file, left + 1, top, step - 2, frame.top + frame.height - top, k == 0 ? "lost" : "size");
    put_count(file, bins[k]);
    fputs(" known barcodes with ", file);
    if (k <= 1) {
      fputs(k == 0 ? "no reads" : "1 read", file);
    } else {
      put_count(file, 1ull << (k - 1));
      fputs("&#x2013;", file);
      put_count(file, (2ull << (k - 1)) - 1);
      fputs(" reads", file);
    }
    close_mark(file);
    fprintf(file, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">", left + step / 2,
            frame.top + frame.height + 16);
    if (k <= 1) {
      fputs(k == 0 ? "0" : "1", file);
    } else {
      fprintf(file, "%llu", 1ull << (k - 1));
    }
    fputs("</text>\n", file);
  }
  fprintf(file, "<text class=\"callout\" x=\"%.1f\" y=\"22\">", frame.left);
  put_count(file, bins[0]);
  fputs(" of ", file);
  put_count(file, s.cluster_count);
  fputs(" known barcodes without reads (", file);
  put_percent(file, bins[0], s.cluster_count);
  fputs("%)</text>\n", file);
  close_svg(file);
  fputs("</section>\n", file);
}

// The Lorenz curve: the share of the reads held by the known barcodes with the fewest, against their share.
void write_lorenz_section(FILE* file, const ClusterSizes& sizes) {
  const RunState& s = run_state;
  const double gini = known_gini_index();
  put_section_start(file, "lorenz", "Evenness",
                    "The share of the assigned reads held by the known barcodes with the fewest reads, against their "
                    "share of the library. The diagonal is a perfectly even library; the Gini index is 0 there and "
                    "near 1 when one barcode has every read.");
  uint64_t total = 0;
  for (uint64_t i = 0; i < sizes.count; ++i) total += sizes.sizes[i].reads * sizes.sizes[i].clusters;
  open_svg(file, kPlotWidth, 420, "lorenz-plot", "Lorenz curve");
  const PlotFrame frame = {file, 80, 34, 340, 340, {0, 1, false}, {0, 1, false}};
  draw_axes(frame, "share of known barcodes", "share of reads");
  fprintf(file, "<polyline class=\"grid\" points=\"%.1f,%.1f %.1f,%.1f\"/>\n", plot_x(frame, 0), plot_y(frame, 0),
          plot_x(frame, 1), plot_y(frame, 1));
  fprintf(file, "<polyline class=\"mark curve\" points=\"%.1f,%.1f", plot_x(frame, 0), plot_y(frame, 0));
  uint64_t entries = 0;
  uint64_t reads = 0;
  double last_x = plot_x(frame, 0);
  for (uint64_t i = 0; i < sizes.count; ++i) {
    entries += sizes.sizes[i].clusters;
    reads += sizes.sizes[i].reads * sizes.sizes[i].clusters;
    const double x = plot_x(frame, static_cast<double>(entries) / static_cast<double>(s.cluster_count));
    // Points less than a pixel apart add nothing but bytes; the last one always goes.
    if (x - last_x < 1 && i + 1 < sizes.count) continue;
    last_x = x;
    fprintf(file, " %.1f,%.1f", x,
            plot_y(frame, total == 0 ? 0 : static_cast<double>(reads) / static_cast<double>(total)));
  }
  fputs("\"><title>Lorenz curve of reads over known barcodes</title></polyline>\n", file);
  fprintf(file, "<text class=\"callout\" x=\"%.1f\" y=\"22\">Gini index %.3f</text>\n", frame.left, gini);
  close_svg(file);
  fputs("</section>\n", file);
}

// Assigned reads by their distance to the known barcode, with the ambiguous and unknown ones.
void write_known_distance_section(FILE* file) {
  const RunState& s = run_state;
  const KnownBarcodes& known = *s.known;
  put_section_start(file, "known-distance", "Reads by distance",
                    "Reads assigned at each distance from their known barcode, and those equally near two (ambiguous) "
                    "or near none (unknown); shares of all reads. Many reads at distance 1 or more point at sequencing "
                    "errors or a shifted barcode.");
  open_svg(file, kPlotWidth, 16 + 30 * static_cast<int>(s.distance + 3), "known-distance-plot", "Reads by distance");
  int row = 0;
  char label[32];
  for (uint32_t d = 0; d <= s.distance; ++d) {
    snprintf(label, sizeof label, "Distance %u", d);
    put_funnel_row(file, row++, label, known.at_distance[d], "kept");
  }
  put_funnel_row(file, row++, "Ambiguous", known.ambiguous, "lost");
  put_funnel_row(file, row++, "Unknown", known.unknown, "lost");
  close_svg(file);
  fputs("</section>\n", file);
}

// The most frequent barcodes near no known barcode: a wrong library or a contamination shows here.
void write_top_unknown_section(FILE* file) {
  const RunState& s = run_state;
  const KnownBarcodes& known = *s.known;
  put_section_start(file, "top-unknown", "Most frequent unknown barcodes",
                    "The barcodes of the most reads that no known barcode is near; a wrong library, a shifted "
                    "template or a contamination shows here at once.");
  fputs(
      "<table>\n<thead><tr><th class=\"number\">#</th><th>Barcode</th><th class=\"number\">Reads</th>"
      "<th class=\"number\">Share of reads</th><th>A read carrying it</th></tr></thead>\n<tbody>\n",
      file);
  for (uint32_t i = 0; i < known.top_unknown_count; ++i) {
    const UnknownBarcode& unknown = known.top_unknown[i];
    fprintf(file, "<tr><td class=\"number\">%u</td><td class=\"barcode\">", i + 1);
    put_barcode_letters(file, unknown.first);
    fputs("</td><td class=\"number\">", file);
    put_count(file, unknown.reads);
    fputs("</td><td class=\"number\">", file);
    put_percent(file, unknown.reads, s.record_count);
    fputs("%</td><td class=\"name\">", file);
    put_html_text(file, unknown.first->name + 1, kShownNameBytes);
    fputs("</td></tr>\n", file);
  }
  fputs("</tbody>\n</table>\n</section>\n", file);
}

void write_known_sections(FILE* file, const PageFigures& figures) {
  const ClusterSizes sizes = count_cluster_sizes();
  write_known_funnel_section(file, figures);
  write_known_reads_section(file, sizes);
  write_lorenz_section(file, sizes);
  write_known_distance_section(file);
  write_top_unknown_section(file);
  release_cluster_sizes();
}

}  // namespace

void write_page(FILE* file) {
  const RunState& s = run_state;
  PageFigures figures = {};
  // With --known the figures come from the assignment; the screening counts are shared.
  // With no read accepted there are no clusters: the screening counts and the bases where the template was laid.
  const bool none_matched = s.screened[accepted] == 0;
  if (s.known != nullptr || none_matched) {
    std::copy(s.screened, s.screened + 4, figures.screening);
    figures.base_counts = composition_counts();
  } else {
    gather_page_figures(figures);
  }
  fputs(
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>tarnwell: ",
      file);
  put_html_text(file, input_title(), 120);
  fputs("</title>\n", file);
  fputs(kStyle, file);
  fputs("</head>\n<body>\n<main>\n<header>\n<h1>Barcode clusters of ", file);
  put_html_text(file, input_title(), 120);
  fputs("</h1>\n<p>", file);
  if (none_matched) {
    put_counted(file, s.record_count, "read", "reads");
    fputs(", none of them matching the template</p>\n", file);
    fputs(
        "<p class=\"hint\">To try: a window (<code>--window W</code>) when the barcode sits further into the reads, "
        "the other strand (<code>--both-strands</code>) when reads come in both orientations, flank mismatches "
        "(<code>--fixed-mismatches K</code>) when the fixed letters carry errors.</p>\n</header>\n",
        file);
    write_run_section(file);
    write_samples_section(file);
    write_funnel_section(file, figures);
    write_composition_section(file, figures);
  } else if (s.known != nullptr) {
    put_counted(file, s.record_count, "read", "reads");
    fputs(", ", file);
    put_count(file, s.known->accepted - s.known->unknown - s.known->ambiguous);
    fprintf(file, " assigned within distance %u to ", s.distance);
    put_count(file, s.cluster_count);
    fputs(" known barcodes</p>\n</header>\n", file);
    write_run_section(file);
    write_samples_section(file);
    write_known_sections(file, figures);
    write_molecule_sections(file);
  } else {
    put_counted(file, s.record_count, "read", "reads");
    fputs(", ", file);
    put_count(file, s.entry_count);
    fputs(" clustered at distance ", file);
    fprintf(file, "%u into ", s.distance);
    put_counted(file, s.cluster_count, "cluster", "clusters");
    fputs("</p>\n</header>\n", file);
    write_run_section(file);
    write_samples_section(file);
    write_funnel_section(file, figures);
    write_sizes_section(file, figures);
    write_rank_section(file, figures);
    write_passes_section(file);
    write_composition_section(file, figures);
    write_largest_section(file, figures);
    write_molecule_sections(file);
  }
  fprintf(file,
          "<footer>Written by tarnwell %s. Everything is in this one file: no script, nothing fetched.</footer>\n",
          kToolVersion);
  fputs("</main>\n</body>\n</html>\n", file);
  release_page_figures();
}
