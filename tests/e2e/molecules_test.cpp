// --umi end to end: every refusal with its exact message; the tables' exact
// bytes on a small input; the UMI positions cut out of template and reads
// give the same clusters, with each cluster's UMIs and
// molecules those the rule by brute force finds in the per-read table; and
// the molecules of generated reads with UMI errors against the generator's
// truth.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <algorithm>
#include <string>
#include <vector>

#include "e2e/cli_harness.h"
#include "support/references.h"

namespace {

const std::string kSixReads = ">r1\nAAACCGT\n>r2\nAAACCGT\n>r3\nCAACCGT\n>r4\nAAGCCGA\n>r5\nNAACCGT\n>r6\nTTTCCGT\n";

struct Refusal {
  std::string umi, message;
};

TEST(Molecules, RefusesBadRangesBeforeAnyFileIsWritten) {
  const auto unparsed = [](const std::string& umi) {
    return Refusal{umi,
                   "Can't parse umi (\"" + umi + "\") - umi should be template positions such as 1-12 or 1-6,30-35\n"};
  };
  const auto unused = [](const std::string& umi, const std::string& why) {
    return Refusal{umi, "Can't use umi (\"" + umi + "\") - " + why + "\n"};
  };
  const std::vector<Refusal> refusals = {
      unparsed(""), unparsed("1-"), unparsed("0-2"), unparsed("1-2,"), unparsed("1 -2"), unparsed("+1-2"),
      unparsed("1234567890"),
      unused("3-1", "range 3-1 is descending"),
      unused("1-3,3-4", "ranges 1-3 and 3-4 overlap"),
      unused("3-4,1-2", "range 1-2 comes after 3-4; ranges should be ascending"),
      unused("2-8", "position 8 is beyond the template's 7 positions"),
      unused("3-4", "position 4 of the template is \"C\", not a barcode position (N or .)"),
      unused("1-3,6-7", "it takes every barcode position of the template, leaving none to cluster"),
  };
  for (const Refusal& refusal : refusals) {
    expect_refusal({{"in.fa", kSixReads}},
                   run_args("1", "NNnCCN.", "in.fa", {"--umi", refusal.umi, "--stats", "s.json"}),
                   "Input path: \"in.fa\"\n" + refusal.message);
  }
  // More than 32 positions, counted over all ranges.
  ScratchDir dir;
  const CliResult result = run_tarnwell(dir, run_args("1", std::string(40, 'N'), "in.fa", {"--u=1-20,22-34"}));
  EXPECT_EQ(result.err, "Input path: \"in.fa\"\nCan't use umi (\"1-20,22-34\") - a UMI has at most 32 positions\n");
  const CliResult missing = run_tarnwell(dir, {"--umi"});
  EXPECT_EQ(missing.err, "Option \"--umi\" requires a value\n" + kHint);
}

TEST(Molecules, TablesAndStatsAreExact) {
  ScratchDir dir;
  dir.write("in.fa", kSixReads);
  // The UMIs AAA (2 reads), CAA and AAG (one each, taken by AAA) and TTT: four UMIs, two molecules.
  const std::string assignments =
      "read\tstatus\tbarcode\tumi\tcluster\nr1\tclustered\tGT\tAAA\t1\nr2\tclustered\tGT\tAAA\t1\n"
      "r3\tclustered\tGT\tCAA\t1\nr4\tclustered\tGA\tAAG\t1\nr5\thas_n\t\t\t\nr6\tclustered\tGT\tTTT\t1\n";
  const std::string clusters = "cluster\tmembers\treads\tbarcodes\trepresentative\tumis\tmolecules\n1\t5\t5\t2\tGT\t4\t2\n";
  const std::string umi_line =
      "  \"umi\": {\"positions\": \"1-3\", \"length\": 3, \"reads\": 5, \"umis\": 4, \"molecules\": 2, "
      "\"reads_per_molecule\": {\"1\": 1, \"4\": 1}},\n";
  for (const char* removal : {"", "-p"}) {
    std::vector<std::string> more = {"--umi", "1-3", "--assignments", "a.tsv", "--cluster-table", "c.tsv", "--stats", "s.json"};
    if (*removal != '\0') more.push_back(removal);
    const CliResult result = run_tarnwell(dir, run_args("1", "NNNCCNN", "in.fa", more));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "1 clusters\n");
    // With -p the duplicates of GT still count towards their UMIs.
    std::string expected = assignments;
    for (const char* duplicate : {"r2\tclustered", "r3\tclustered", "r6\tclustered"}) {
      if (*removal != '\0') expected.replace(expected.find(duplicate), 12, std::string(duplicate, 3) + "duplicate");
    }
    EXPECT_EQ(dir.read("a.tsv"), expected);
    EXPECT_EQ(dir.read("c.tsv"), *removal != '\0' ? "cluster\tmembers\treads\tbarcodes\trepresentative\tumis\tmolecules\n1\t2\t5\t2\tGT\t4\t2\n" : clusters);
    const std::string stats = dir.read("s.json");
    EXPECT_NE(stats.find("  \"clusters\": 1,\n" + umi_line + "  \"passes\""), std::string::npos) << stats;
  }
  // The UMI from the middle and the end of the template, in template order.
  const CliResult result = run_tarnwell(dir, run_args("0", "NNNCCNN", "in.fa", {"--umi", "2,7", "--assignments", "a.tsv"}));
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(split(dir.read("a.tsv"), '\n')[3], "r3\tclustered\tCAG\tAT\t3");
}

// The report with each member line cut to the read's name: the sequences differ by their UMI.
std::string report_names(const std::string& report) {
  std::string names;
  for (const std::string& line : split(report, '\n')) names += line.substr(0, line.find('\t')) + "\n";
  return names;
}

// Removes column `column` of every row of a table.
std::string without_column(const std::string& table, size_t column) {
  std::string rest;
  for (const std::string& row : split(table, '\n')) {
    std::vector<std::string> cells = split(row, '\t');
    cells.erase(cells.begin() + static_cast<long>(column));
    for (size_t i = 0; i < cells.size(); ++i) rest += cells[i] + (i + 1 < cells.size() ? "\t" : "\n");
  }
  return rest;
}

TEST(Molecules, CuttingTheUmiOutGivesTheSameClusters) {
#ifdef TARNWELL_SANITIZED_TESTS
  constexpr uint64_t kCases = 8;
#else
  constexpr uint64_t kCases = 16;
#endif
  for (uint64_t seed = 0; seed < kCases; ++seed) {
    CaseRandom random(seed + 1800);
    const ReadSet set = random_read_set(random, static_cast<uint32_t>(seed % 4), 60);
    const std::string& cut_template = set.template_text;
    const size_t last_barcode = cut_template.find_last_of("Nn.");
    // One to three UMI stretches inserted at or before the last barcode position, at most 32 bases.
    std::vector<std::pair<size_t, size_t>> insertions;  // where in the cut template, how many bases
    uint32_t umi_bases = 0;
    for (uint32_t k = 1 + random.below(3); k > 0 && umi_bases < 32; --k) {
      const uint32_t bases = 1 + random.below(std::min<uint32_t>(12, 32 - umi_bases));
      insertions.push_back({random.below(static_cast<uint32_t>(last_barcode + 1)), bases});
      umi_bases += bases;
    }
    std::sort(insertions.begin(), insertions.end());
    std::string umi_template;
    std::string ranges;
    size_t taken = 0;
    for (const auto& [at, bases] : insertions) {
      umi_template += cut_template.substr(taken, at - taken);
      taken = at;
      if (!ranges.empty()) ranges += ',';
      ranges += std::to_string(umi_template.size() + 1);
      ranges += '-';
      ranges += std::to_string(umi_template.size() + bases);
      for (size_t b = 0; b < bases; ++b) umi_template += "Nn."[random.below(3)];
    }
    umi_template += cut_template.substr(taken);

    std::string cut_fasta, umi_fasta;
    std::map<std::string, std::string> umi_of;  // the UMI each read carries, when it reaches every stretch
    for (const TestRead& record : fasta_records(set.fasta)) {
      std::string sequence, umi;
      size_t copied = 0;
      for (const auto& [at, bases] : insertions) {
        if (at > record.sequence.size()) break;
        sequence += record.sequence.substr(copied, at - copied);
        copied = at;
        for (size_t b = 0; b < bases; ++b) {
          const char base = "ACGT"[random.below(4)];
          umi += base;
          sequence += random.chance(20) ? static_cast<char>(base + 32) : base;
        }
      }
      sequence += record.sequence.substr(copied);
      umi_of[record.name] = umi;
      cut_fasta += ">" + record.name + "\n" + record.sequence + "\n";
      umi_fasta += ">" + record.name + "\n" + sequence + "\n";
    }

    const std::string distance = std::to_string(random.below(4));
    std::vector<std::string> options = {"--assignments", "a.tsv", "--cluster-table", "c.tsv", "--stats", "s.json"};
    if (random.chance(30)) options.push_back("-p");
    if (random.chance(25)) options.insert(options.end(), {"--fixed-mismatches", "1"});
    SCOPED_TRACE("seed " + std::to_string(seed) + ": -t " + umi_template + " --umi " + ranges + " -d " + distance);
    {
      ScratchDir dir;
      dir.write("cut.fa", cut_fasta);
      dir.write("umi.fa", umi_fasta);
      const CliResult cut = run_tarnwell(dir, run_args(distance, cut_template, "cut.fa", options));
      const std::string cut_report = dir.read("out.txt"), cut_assignments = dir.read("a.tsv");
      const std::string cut_clusters = dir.read("c.tsv");
      const CliResult umi =
          run_tarnwell(dir, run_args(distance, umi_template, "umi.fa", with(options, {"--umi", ranges})));
      ASSERT_EQ(umi.status, cut.status) << umi.err;
      EXPECT_EQ(umi.out, cut.out);
      if (cut.status != 0) continue;
      EXPECT_EQ(report_names(dir.read("out.txt")), report_names(cut_report));
      const std::string assignments = dir.read("a.tsv");
      EXPECT_EQ(without_column(assignments, 3), cut_assignments);
      // Each cluster's UMIs and molecules are those of its reads' UMIs by the rule by brute force.
      std::map<std::string, std::map<std::string, uint64_t>> cluster_umis;
      const std::vector<std::string> rows = split(assignments, '\n');
      for (size_t r = 1; r < rows.size(); ++r) {
        const std::vector<std::string> cells = split(rows[r], '\t');
        if (cells[1] != "clustered" && cells[1] != "duplicate") continue;
        EXPECT_EQ(cells[3], umi_of[cells[0]]) << rows[r];
        ++cluster_umis[cells[4]][cells[3]];
      }
      const std::vector<std::string> clusters = split(dir.read("c.tsv"), '\n');
      EXPECT_EQ(without_column(without_column(dir.read("c.tsv"), 6), 5), cut_clusters);
      for (size_t c = 1; c < clusters.size(); ++c) {
        const std::vector<std::string> cells = split(clusters[c], '\t');
        const auto& umis = cluster_umis[cells[0]];
        EXPECT_EQ(cells[5], std::to_string(umis.size())) << clusters[c];
        EXPECT_EQ(cells[6], std::to_string(reference_molecules(umis).size())) << clusters[c];
      }
    }
  }
}

TEST(Molecules, RecoverTheGeneratedMolecules) {
  ScratchDir dir;
  // 150 barcodes of about 50 molecules, some 20 reads a molecule; one read in nine has a UMI substitution.
  const std::string generator = TARNWELL_GENERATOR_BINARY;
  const std::string generated =
      command_output(generator + " --reads 150000 --true-barcodes 150 --umi-length 12 --molecules 50 --umi-error-rate 0.11 --seed 3 --output " +
                     dir.file("umi.fa") + " --molecule-truth " + dir.file("truth.tsv") + " && " + generator +
                     " --umi-length 12 --print-template");
  const std::string umi_template = generated.substr(0, generated.find('\n'));
  const CliResult result = run_tarnwell(dir, run_args("1", umi_template, "umi.fa", {"--umi", "1-12", "--cluster-table", "c.tsv", "--page", "p.html", "--stats", "s.json"}));
  ASSERT_EQ(result.status, 0) << result.err;
  // The page's saturation curve ends at the run's molecules and reads, and its subsamples nest.
  const std::string stats = dir.read("s.json"), page = dir.read("p.html");
  const size_t umi_at = stats.find("\"umi\": {");
  ASSERT_NE(umi_at, std::string::npos);
  const auto stat = [&](const std::string& key) {
    return std::stoull(stats.substr(stats.find("\"" + key + "\": ", umi_at) + key.size() + 4));
  };
  const auto grouped = [](uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string text;
    for (size_t i = 0; i < digits.size(); ++i) {
      if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
      text += digits[i];
    }
    return text;
  };
  EXPECT_NE(page.find(grouped(stat("molecules")) + " molecules in " + grouped(stat("reads")) + " reads (100%)"),
            std::string::npos);
  const size_t tenth = page.find(" reads (10%)");
  ASSERT_NE(tenth, std::string::npos);
  const size_t reads_at = page.rfind(" in ", tenth) + 4;
  const uint64_t tenth_reads = std::stoull(std::regex_replace(page.substr(reads_at, tenth - reads_at), std::regex(","), ""));
  EXPECT_GT(tenth_reads, stat("reads") / 12);
  EXPECT_LT(tenth_reads, stat("reads") / 8);
  std::map<std::string, uint64_t> found;  // molecules by representative barcode
  for (const std::string& row : split(dir.read("c.tsv"), '\n')) {
    const std::vector<std::string> cells = split(row, '\t');
    if (cells[0] != "cluster") found[cells[4]] = std::stoull(cells[6]);
  }
  uint64_t barcodes = 0, close = 0;
  for (const std::string& row : split(dir.read("truth.tsv"), '\n')) {
    const std::vector<std::string> cells = split(row, '\t');
    const uint64_t molecules = std::stoull(cells[1]);
    if (molecules < 20) continue;
    ++barcodes;
    const double off = static_cast<double>(found[cells[0]]) - static_cast<double>(molecules);
    close += (off < 0 ? -off : off) <= 0.02 * static_cast<double>(molecules);
  }
  ASSERT_GT(barcodes, 100u);
  EXPECT_GE(static_cast<double>(close), 0.95 * static_cast<double>(barcodes)) << close << " of " << barcodes;
}

}  // namespace

namespace {

// Per cluster row with reads, keyed by its representative (de novo) or its id (--known): the columns named.
std::map<std::string, std::string> rows_by_key(const std::string& table, const std::vector<std::string>& columns) {
  const std::vector<std::string> rows = split(table, '\n');
  const std::vector<std::string> header = split(rows.at(0), '\t');
  const auto column = [&](const std::string& name) {
    return static_cast<size_t>(std::find(header.begin(), header.end(), name) - header.begin());
  };
  const size_t key = std::min(column("representative"), column("id"));
  std::map<std::string, std::string> kept;
  for (size_t i = 1; i < rows.size(); ++i) {
    const std::vector<std::string> fields = split(rows[i], '\t');
    std::string values;
    for (const std::string& name : columns) values += fields.at(column(name)) + " ";
    if (fields.at(column(columns[0])) != "0") kept[fields.at(key)] = values;
  }
  return kept;
}

// The text from `from` to the first `to` after it, `to` included, within the stats after `after`.
std::string stats_part(const std::string& stats, const std::string& after, const std::string& from,
                       const std::string& to) {
  const size_t begin = stats.find(from, stats.find(after));
  return begin == std::string::npos ? "" : stats.substr(begin, stats.find(to, begin) + to.size() - begin);
}

}  // namespace

// Each sample of a sheet, counted in the one run, is what a run on its file
// alone counts, wherever the clusters cannot differ: against a library (each
// read is judged alone) and de novo at distance 0. Its reads, its molecules
// (its reads' UMIs corrected on their own), its stats' umi and known objects.
TEST(Molecules, EachSampleCountsAsARunOfItsOwn) {
  const std::string examples = TARNWELL_EXAMPLES_DIR;
  const std::vector<std::string> samples = {"plasmid", "early", "late"};
  const std::vector<std::string> common = {"-t", "NNNNNNNNACGTACGTNNNNNNNNNNNNNNNNNNNNTGCATGCA", "--umi", "1-8",
                                           "--cluster-table", "c.tsv", "--stats", "s.json", "--jobs", "3"};
  for (const bool known : {true, false}) {
    std::vector<std::string> options = with({"-o", "out.txt", "-d", known ? "1" : "0"}, common);
    if (known) options = with(options, {"--known", examples + "/screen_library.csv", "-p"});
    ScratchDir dir;
    const CliResult pooled =
        run_tarnwell(dir, with({"--experiment", examples + "/umi_screen/sheet.tsv", "--page", "p.html"}, options));
    ASSERT_EQ(pooled.status, 0) << pooled.err;
    // The page tells of known barcodes where there are, and has the molecules' sections in both modes.
    const std::string page = dir.read("p.html");
    for (const std::string& text :
         {std::string("<h2>Reads per molecule</h2>"), std::string("<h2>Saturation</h2>"),
          std::string(known ? "plasmid on known barcodes also seen in late: " : "plasmid in clusters also seen in late: "),
          std::string(known ? "early, unknown or ambiguous: " : "early, clustered: ")}) {
      EXPECT_NE(page.find(text), std::string::npos) << text;
    }
    const std::string table = dir.read("c.tsv");
    const std::string stats = dir.read("s.json");
    // The sample columns add up to each row's reads.
    std::map<std::string, uint64_t> reads;
    for (const std::string& sample : samples) {
      for (const auto& [key, value] : rows_by_key(table, {sample})) reads[key] += std::stoull(value);
    }
    for (const auto& [key, value] : rows_by_key(table, {"reads"})) EXPECT_EQ(std::stoull(value), reads[key]) << key;
    for (const std::string& sample : samples) {
      const CliResult alone = run_tarnwell(dir, with({"-i", examples + "/umi_screen/" + sample + ".fa.gz"}, options));
      ASSERT_EQ(alone.status, 0) << alone.err;
      const std::string where = sample + (known ? " against the library" : " de novo");
      EXPECT_EQ(rows_by_key(table, {sample, sample + "_molecules"}), rows_by_key(dir.read("c.tsv"), {"reads", "molecules"}))
          << where;
      const std::string own = dir.read("s.json");
      const std::string in_sheet = "{\"name\": \"" + sample + "\"";
      EXPECT_EQ(stats_part(stats, in_sheet, "\"reads\": ", "}}"), stats_part(own, "\"umi\"", "\"reads\": ", "}}"))
          << where;
      if (known) {
        EXPECT_EQ(stats_part(stats, in_sheet, "\"entries_without_reads\"", "]}"),
                  stats_part(own, "\"known\"", "\"entries_without_reads\"", "]}"))
            << where;
      }
    }
  }
}
