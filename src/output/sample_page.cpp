#include "output/sample_page.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/run_state.h"
#include "input/experiment.h"
#include "output/sample_reads.h"
#include "output/svg_plot.h"

namespace {

constexpr int kWidth = 760;
constexpr int kLabelWidth = 190;  // sample names, right-aligned before the bars and the rows of the map
constexpr size_t kShownNameBytes = 24;

// The words of the section: with --known a read is assigned to a known barcode rather than clustered.
struct SectionWords {
  const char* kept;            // a bar's segment of reads in a cluster
  const char* unassigned;      // a bar's segment of accepted reads in none
  const char* cluster;         // after a bar
  const char* clusters;
  const char* also_seen;       // in a cell of the map
  const char* map_axis;        // below the map
};
constexpr SectionWords kClusterWords = {"clustered", "in no cluster", " cluster", " clusters",
                                        " in clusters also seen in ", "in clusters also seen in sample"};
constexpr SectionWords kKnownWords = {"assigned", "unknown or ambiguous", " known barcode", " known barcodes",
                                      " on known barcodes also seen in ", "on known barcodes also seen in sample"};
const SectionWords& words() { return run_state.known != nullptr ? kKnownWords : kClusterWords; }

// Rows stay readable for a few samples and fit for a hundred.
int row_height(size_t samples) { return samples <= 24 ? 24 : 14; }

struct SampleRow {
  uint64_t lost;          // left out by screening
  uint64_t unassigned;    // accepted but in no cluster (--known: unknown or ambiguous)
  uint64_t duplicates;    // dropped by -p; their cluster counts them
  uint64_t kept;          // clustered, duplicates aside
  uint64_t clusters;      // clusters holding at least one of its reads
  uint64_t clustered;     // kept and duplicates
};

void put_segment(FILE* file, double* x, double y, double scale, double height, uint64_t count, const char* css_class,
                 const Sample& sample, const char* what) {
  if (count == 0) return;
  const double width = scale * static_cast<double>(count);
  open_mark(file, *x, y, width, height, css_class);
  put_html_text(file, sample.name.c_str(), kShownNameBytes);
  fprintf(file, ", %s: ", what);
  put_count(file, count);
  close_mark(file);
  *x += width;
}

void write_bars(FILE* file, const std::vector<Sample>& samples, const std::vector<SampleRow>& rows) {
  const int row = row_height(samples.size());
  uint64_t most = 1;
  for (size_t k = 0; k < samples.size(); ++k) most = std::max(most, samples[k].record_count);
  const double scale = 330.0 / static_cast<double>(most);
  open_svg(file, kWidth, 8 + row * static_cast<int>(samples.size()), "samples-plot", "Reads per sample");
  for (size_t k = 0; k < samples.size(); ++k) {
    const SampleRow& r = rows[k];
    const double y = 4 + row * static_cast<double>(k);
    const double height = row - 6;
    fprintf(file, "<text class=\"label\" x=\"%d\" y=\"%.1f\" text-anchor=\"end\">", kLabelWidth - 8,
            y + height / 2 + 4);
    put_html_text(file, samples[k].name.c_str(), kShownNameBytes);
    fputs("</text>\n", file);
    double x = kLabelWidth;
    put_segment(file, &x, y, scale, height, r.kept, "kept", samples[k], words().kept);
    put_segment(file, &x, y, scale, height, r.duplicates, "duplicates", samples[k], "duplicates removed");
    put_segment(file, &x, y, scale, height, r.unassigned, "reads", samples[k], words().unassigned);
    put_segment(file, &x, y, scale, height, r.lost, "lost", samples[k], "left out by screening");
    fprintf(file, "<text class=\"value\" x=\"%.1f\" y=\"%.1f\">", x + 8, y + height / 2 + 4);
    put_count(file, samples[k].record_count);
    fputs(" reads, ", file);
    put_count(file, r.clusters);
    fputs(r.clusters == 1 ? words().cluster : words().clusters, file);
    fputs("</text>\n", file);
  }
  close_svg(file);
}

// shared[i * n + j]: reads of sample i in clusters that also hold a read of sample j.
void write_overlap(FILE* file, const std::vector<Sample>& samples, const std::vector<SampleRow>& rows,
                   const std::vector<uint64_t>& shared) {
  const size_t n = samples.size();
  const double cell = std::max(4.0, std::min(28.0, 540.0 / static_cast<double>(n)));
  // Every label where the cells leave room for it, else every few.
  const size_t label_every = cell >= 12 ? 1 : static_cast<size_t>(12.0 / cell + 0.999);
  const double top = 8;
  const double side = cell * static_cast<double>(n);
  open_svg(file, kWidth, static_cast<int>(top + side + 34), "overlap-plot",
           "Share of each sample's reads in clusters also seen in another sample");
  for (size_t i = 0; i < n; ++i) {
    const double y = top + cell * static_cast<double>(i);
    if (i % label_every == 0) {
      fprintf(file, "<text class=\"label\" x=\"%d\" y=\"%.1f\" text-anchor=\"end\">", kLabelWidth - 8,
              y + cell / 2 + 4);
      fprintf(file, "%zu ", i + 1);
      put_html_text(file, samples[i].name.c_str(), kShownNameBytes);
      fputs("</text>\n", file);
      fprintf(file, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%zu</text>\n",
              kLabelWidth + cell * (static_cast<double>(i) + 0.5), top + side + 14, i + 1);
    }
    for (size_t j = 0; j < n; ++j) {
      const uint64_t whole = rows[i].clustered;
      const double share = whole == 0 ? 0 : static_cast<double>(shared[i * n + j]) / static_cast<double>(whole);
      // From the page's background grey to the clustered green.
      const auto channel = [&](int from, int to) { return static_cast<int>(from + (to - from) * share + 0.5); };
      fprintf(file,
              "<rect class=\"mark overlap\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" "
              "fill=\"rgb(%d,%d,%d)\"><title>",
              kLabelWidth + cell * static_cast<double>(j), y, cell, cell, channel(243, 47), channel(244, 143),
              channel(246, 131));
      put_html_text(file, samples[i].name.c_str(), kShownNameBytes);
      fputs(words().also_seen, file);
      put_html_text(file, samples[j].name.c_str(), kShownNameBytes);
      fputs(": ", file);
      put_percent(file, shared[i * n + j], whole);
      fputs("%</title></rect>\n", file);
    }
  }
  fprintf(file, "<text class=\"title\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n",
          kLabelWidth + side / 2, top + side + 30, words().map_axis);
  close_svg(file);
}

}  // namespace

void write_samples_section(FILE* file) {
  const RunState& s = run_state;
  if (s.experiment == nullptr) return;
  const std::vector<Sample>& samples = s.experiment->samples;
  const size_t n = samples.size();
  gather_sample_reads();
  const std::vector<SampleOutcome> outcomes = sample_outcomes();
  std::vector<SampleRow> rows(n);
  for (size_t k = 0; k < n; ++k) {
    const SampleOutcome& o = outcomes[k];
    rows[k] = {samples[k].record_count - o.screened[0], o.screened[0] - o.clustered, o.duplicates,
               o.clustered - o.duplicates, o.clusters, o.clustered};
  }
  std::vector<uint64_t> shared(n * n, 0);
  std::vector<uint64_t> reads(n);
  std::vector<uint32_t> present;
  for (uint64_t c = 0; c < s.cluster_count; ++c) {
    cluster_reads_by_sample(c, reads.data());
    present.clear();
    for (uint32_t k = 0; k < n; ++k) {
      if (reads[k] != 0) present.push_back(k);
    }
    for (uint32_t i : present) {
      for (uint32_t j : present) shared[i * n + j] += reads[i];
    }
  }
  release_sample_reads();

  put_section_start(file, "samples", "Samples",
                    s.known != nullptr
                        ? "Each sample's reads, by what became of them: assigned to a known barcode (green), dropped "
                          "as a duplicate barcode (grey), unknown or ambiguous (dark grey), left out by screening (red); "
                          "after each bar its reads and the known barcodes it reaches. The map below shows, for the "
                          "sample of each row, the share of its assigned reads that fall on known barcodes also seen "
                          "in the sample of the column: dark green is all of them."
                        : "Each sample's reads, by what became of them: clustered (green), dropped as a duplicate "
                          "barcode (grey), left out by screening (red); after each bar its reads and the clusters it "
                          "reaches. The map below shows, for the sample of each row, the share of its clustered reads "
                          "that fall in clusters also seen in the sample of the column: dark green is all of them.");
  write_bars(file, samples, rows);
  write_overlap(file, samples, rows, shared);
  fputs("</section>\n", file);
}
