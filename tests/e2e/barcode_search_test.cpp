// The barcode search options (--fixed-mismatches, --window, --both-strands,
// --quality): exact placements on small reads (ties, forward before reverse,
// qualities) and recovery of generated reads against the generator's truth.
// The engines' agreement under the options is the differential test's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/cli_harness.h"
#include "support/random_reads.h"

namespace {

struct PlacementCase {
  const char* name;
  std::string input;
  std::vector<std::string> options;
  std::string rows;  // of the per-read table, after its header
};

// Template ANNA: fixed A, two barcode bases, fixed A.
// clang-format off
const std::vector<PlacementCase> kPlacementCases = {
    // Offset 0 fails (two mismatches); offsets 1 and 2 pass with one each: the smaller offset wins.
    {"TieGoesToTheSmallerOffset", ">t\nCAGCCA\n", {"--fixed-mismatches", "1", "--window", "2"}, "t\tclustered\tGC\t2\t1\t+\n"},
    // Fewer mismatches win over a smaller offset.
    {"FewerMismatchesWin", ">f\nCAACCA\n", {"--fixed-mismatches", "1", "--window", "2"}, "f\tclustered\tCC\t2\t2\t+\n"},
    // Passes forward at offset 1 with one mismatch, reverse at offset 1 with none: forward wins.
    {"ForwardWinsWheneverItPasses", ">w\nTGGTA\n", {"--fixed-mismatches", "1", "--window", "1", "--both-strands"}, "w\tclustered\tGT\t2\t1\t+\n"},
    // Only the reverse complement (TACCA) passes; lower case and the report keep the read as given.
    {"ReverseStrandWhenForwardFails", ">r\ntggta\n", {"--window", "1", "--both-strands"}, "r\tclustered\tCC\t2\t1\t-\n"},
    // A non-nucleotide at a fixed letter is one mismatch with K >= 1, a barcode with N without.
    {"NAtAFixedLetterIsAMismatch", ">n\nNCCA\n", {"--fixed-mismatches", "1"}, "n\tclustered\tCC\t2\t0\t+\n"},
    {"NAtAFixedLetterWithoutAllowance", ">n\nNCCA\n", {"--window", "0"}, "n\thas_n\t\t\t\t\n"},
    // A read that passes nowhere counts under the cause of offset 0: here the N at offset 0's barcode.
    {"CauseOfOffsetZero", ">c\nANCAGG\n", {"--window", "2", "--both-strands"}, "c\thas_n\t\t\t\t\n"},
    {"CauseOfOffsetZeroWithinK", ">m\nCCCCCA\n", {"--fixed-mismatches", "1", "--window", "1"}, "m\ttemplate_mismatch\t\t\t\t\n"},
    // Quality '#' is Phred 2: below 3 it counts as N, at 2 it does not; fixed letters ignore it.
    {"LowQualityBarcodeBase", "@q\nAGGA\n+\nII#I\n", {"--quality", "3"}, "q\thas_n\t\t\t\t\n"},
    {"QualityAtTheFloor", "@q\nAGGA\n+\nII#I\n", {"--quality", "2"}, "q\tclustered\tGG\t2\t0\t+\n"},
    {"LowQualityFixedLetter", "@q\nAGGA\n+\n#II#\n", {"--quality", "3"}, "q\tclustered\tGG\t2\t0\t+\n"},
    {"HighQualityEverywhere", "@q\nAGGA\n+\n~~~~\n", {"--quality", "93"}, "q\tclustered\tGG\t2\t0\t+\n"},
    // The reverse strand reads the qualities from the read's end.
    {"LowQualityOnTheReverseStrand", "@q\nTCCT\n+\nI#II\n", {"--quality", "3", "--both-strands"}, "q\ttemplate_mismatch\t\t\t\t\n"},
    {"GoodQualityOnTheReverseStrand", "@q\nTCCT\n+\n#II#\n", {"--quality", "3", "--both-strands"}, "q\tclustered\tGG\t2\t0\t-\n"},
};
// clang-format on

void PrintTo(const PlacementCase& c, std::ostream* os) { *os << c.name; }

class Placements : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(Placements, AreExact) {
  const PlacementCase& c = GetParam();
  // A first read that always passes, so that every run has a cluster to write.
  const std::string anchor = c.input[0] == '@' ? "@a\nAAAA\n+\n~~~~\n" : ">a\nAAAA\n";
  for (const char* binary : {TARNWELL_BINARY, TARNWELL_REFERENCE_BINARY}) {
    ScratchDir dir;
    dir.write("in.fa", anchor + c.input);
    const CliResult result =
        run_tarnwell(dir, run_args("0", "ANNA", "in.fa", with({"--assignments", "a.tsv"}, c.options)),
                     {"/dev/null", "", {}, binary});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(dir.read("a.tsv"), "read\tstatus\tbarcode\tcluster\toffset\tstrand\na\tclustered\tAA\t1\t0\t+\n" + c.rows)
        << binary;
  }
}

INSTANTIATE_TEST_SUITE_P(Search, Placements, ::testing::ValuesIn(kPlacementCases), case_name);

// The rows of a table after its header line, seven fields each.
std::vector<std::vector<std::string>> rows_of(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(text);
  std::string line;
  for (std::getline(lines, line); std::getline(lines, line);) {
    rows.emplace_back();
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) rows.back().push_back(field);
    while (rows.back().size() < 7) rows.back().push_back("");
  }
  return rows;
}

constexpr const char* kGeneratedTemplate = "ACGTACGTNNNNNNNNNNNNNNNNNNNNTGCATGCA";

// Half of the reads reverse-complemented, a third shifted by 1 to 3 bases, some flank letters and
// some barcode qualities damaged: every read within the options' reach comes out with the truth's
// barcode, offset and strand, and the stats count what the table shows.
TEST(BarcodeSearch, RecoversGeneratedReadsAsTheTruthSays) {
  ScratchDir dir;
  // The bench generator; its truth file says where each read's barcode sits.
  const std::string command = std::string(TARNWELL_GENERATOR_BINARY) +
                              " --seed 11 --reads 20000 --fastq --true-barcodes 2000 --substitution-rate 0 --n-rate 0 "
                              "--truncation-rate 0 --flank-mismatch-rate 0.02 --stagger 3 --stagger-share 0.34 "
                              "--reverse-share 0.5 --low-quality-rate 0.002 --truth '" +
                              dir.file("truth.tsv") + "' --output '" + dir.file("in.fq") + "'";
  ASSERT_EQ(system(command.c_str()), 0) << command;
  const CliResult run = run_tarnwell(
      dir, {"-i", "in.fq", "-o", "out.txt", "-d", "1", "-t", kGeneratedTemplate, "--window", "3", "--both-strands",
            "--fixed-mismatches", "1", "--quality", "3", "--assignments", "a.tsv", "--stats", "s.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string table = dir.read("a.tsv");

  const auto truth = rows_of("\n" + read_file(dir.file("truth.tsv")));
  const auto rows = rows_of(table);
  ASSERT_EQ(rows.size(), truth.size());
  std::map<std::string, int> shown;
  int low_quality_at_start = 0;
  for (size_t r = 0; r < rows.size(); ++r) {
    const auto& row = rows[r];
    const auto& want = truth[r];  // name, barcode, offset, strand, flank mismatches, low-quality bases, cut
    const bool found = row[1] == "clustered" || row[1] == "duplicate";
    if (found) {
      ++shown[row[4] == "0" && row[5] == "+" ? "at_start_forward" : "other"];
      if (row[4] != "0") ++shown["shifted"];
      if (row[5] == "-") ++shown["reverse_strand"];
      if (want[4] == "1") ++shown["1"];
    }
    if (want[5] != "0") {
      EXPECT_FALSE(found) << want[0];
      if (want[2] == "0" && want[3] == "+" && want[4] == "0") ++low_quality_at_start;
      continue;
    }
    if (std::stoi(want[4]) > 1) continue;  // beyond the allowance: may pass elsewhere or nowhere
    ASSERT_TRUE(found) << want[0];
    EXPECT_EQ(row[2] + " " + row[4] + " " + row[5], want[1] + " " + want[2] + " " + want[3]) << want[0];
  }
  EXPECT_GT(shown["reverse_strand"], 9000);
  EXPECT_GT(shown["shifted"], 5000);
  EXPECT_GT(low_quality_at_start, 10);
  const std::string json = dir.read("s.json");
  const std::string counts = "\"at_start_forward\": " + std::to_string(shown["at_start_forward"]) +
                             ", \"shifted\": " + std::to_string(shown["shifted"]) +
                             ", \"reverse_strand\": " + std::to_string(shown["reverse_strand"]) +
                             ", \"flank_mismatches\": {\"1\": " + std::to_string(shown["1"]) + "}";
  EXPECT_NE(json.find(counts), std::string::npos) << counts << "\n" << json;
}

// Without the options, and with all of them at their plain values, the report and messages stay as they are.
TEST(BarcodeSearch, PlainValuesChangeNoByteOfTheReport) {
  for (uint32_t seed = 0; seed < 12; ++seed) {
    CaseRandom random(9100 + seed);
    const ReadSet reads = random_read_set(random, seed % 4, 80);
    ScratchDir dir;
    dir.write("in.fa", reads.fasta);
    const std::vector<std::string> args = run_args(std::to_string(seed % 4), reads.template_text);
    const CliResult plain = run_tarnwell(dir, args);
    const std::string report = dir.read("out.txt");
    const CliResult zero = run_tarnwell(dir, with(args, {"--fixed-mismatches", "0", "--window", "0", "--jobs", "2"}));
    EXPECT_EQ(zero.status, plain.status) << seed;
    EXPECT_EQ(zero.out, plain.out) << seed;
    // The placement bytes show in the memory figure of the forest line only.
    EXPECT_EQ(zero.err.substr(0, zero.err.find("Creating")), plain.err.substr(0, plain.err.find("Creating"))) << seed;
    EXPECT_EQ(dir.read("out.txt"), report) << seed;
  }
}

}  // namespace
