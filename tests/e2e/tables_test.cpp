// The --assignments, --cluster-table and --stats files: exact bytes on small
// inputs (a hostile input path escaped in the stats) and the failure policy.
// Their agreement with the report on random reads is checked with the page's.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "e2e/cli_harness.h"

namespace {

const std::string kFourReads = ">r1\nCA\n>r2\nAC\n>r3\nCA\n>r4\nAC\n";
const std::string kScreened = ">r1\nAAAG\n>r2\nAAAC\n>r3\nAAAG\n>r4\nAAAC\n>r5\nCCCC\n>r6\nNAAA\n>r7\nAAA\n>r8\nAAXA\n";
const std::string kRejectedRows = "r6\thas_n\t\t\nr7\ttemplate_mismatch\t\t\nr8\tunknown_character\t\t\n";

// The stats of the four reads at distance 0, times as T.
std::string four_read_stats(bool p) {
  return std::string(
             "{\n  \"settings\": {\"input\": \"in.fa\", \"output\": \"out.txt\", \"distance\": 0, \"template\": "
             "\"NN\", ") +
         "\"remove_duplicate_barcodes\": " + (p ? "true" : "false") + "},\n" +
         "  \"input\": {\"format\": \"fasta\", \"gzip\": false, \"bytes\": 28},\n  \"records\": 4,\n" +
         "  \"screening\": {\"accepted\": 4, \"template_mismatch\": 0, \"has_n\": 0, \"unknown_character\": 0},\n" +
         "  \"duplicates_removed\": " + (p ? "2" : "0") + ",\n  \"entries\": " + (p ? "2" : "4") +
         ",\n  \"clusters\": 2,\n" + "  \"passes\": [" + (p ? "" : "{\"distance\": 0, \"joins\": 2, \"seconds\": T}") +
         "],\n  \"cluster_sizes\": {\"2\": 2},\n" +
         "  \"seconds\": {\"load\": T, \"parse\": T, \"screen\": T, \"bucket\": T, " + (p ? "" : "\"forest\": T, ") +
         "\"report\": T, \"tables\": T, \"decompress\": T, \"total\": T}\n}\n";
}

std::string without_times(const std::string& stats) {
  return std::regex_replace(stats, std::regex("[0-9]+\\.[0-9]+"), "T");
}

struct TableCase {
  const char* name;
  std::string input;
  std::vector<std::string> options;
  std::string assignments, clusters, stats;  // rows after the headers; stats unchecked when empty
  std::string input_name = "in.fa";
};

// clang-format off
// A path with quotes, a backslash, a tab, a control byte and bytes that are not UTF-8, escaped in the stats.
// A surrogate and an overlong form are not UTF-8: escaped byte by byte, so that a strict reader takes the file.
const std::string kOddPath = "we\"ird\\na\tme\x01\xc3\xa9\xff\xed\xa0\x80\xc0\xaf.fa";
const std::string kOddPathStats = "{\n  \"settings\": {\"input\": \"we\\\"ird\\\\na\\u0009me\\u0001\xc3\xa9\\u00ff\\u00ed\\u00a0\\u0080\\u00c0\\u00af.fa\", \"output\": \"out.txt\", \"distance\": 1, \"template\": \"NNNN\", \"remove_duplicate_barcodes\": false},\n  \"input\": {\"format\": \"fasta\", \"gzip\": false, \"bytes\": 71},\n  \"records\": 8,\n  \"screening\": {\"accepted\": 5, \"template_mismatch\": 1, \"has_n\": 1, \"unknown_character\": 1},\n  \"duplicates_removed\": 0,\n  \"entries\": 5,\n  \"clusters\": 2,\n  \"passes\": [{\"distance\": 0, \"joins\": 2, \"seconds\": T}, {\"distance\": 1, \"joins\": 1, \"seconds\": T}],\n  \"cluster_sizes\": {\"1\": 1, \"4\": 1},\n  \"seconds\": {\"load\": T, \"parse\": T, \"screen\": T, \"bucket\": T, \"forest\": T, \"report\": T, \"tables\": T, \"decompress\": T, \"total\": T}\n}\n";

const std::vector<TableCase> kTableCases = {
    {"FourReadsDistanceZero", kFourReads, {"-d", "0", "-t", "NN"}, "r1\tclustered\tCA\t2\nr2\tclustered\tAC\t1\nr3\tclustered\tCA\t2\nr4\tclustered\tAC\t1\n", "1\t2\t2\t1\tAC\n2\t2\t2\t1\tCA\n", four_read_stats(false)},
    {"FourReadsWithoutDuplicates", kFourReads, {"-d", "0", "-t", "NN", "-p"}, "r1\tclustered\tCA\t2\nr2\tclustered\tAC\t1\nr3\tduplicate\tCA\t2\nr4\tduplicate\tAC\t1\n", "1\t1\t2\t1\tAC\n2\t1\t2\t1\tCA\n", four_read_stats(true)},
    // AAAC and AAAG carry two reads each: the tie goes to AAAC.
    {"TieGoesToFirstBarcode", kScreened, {"-d", "1", "-t", "nnnn"}, "r1\tclustered\tAAAG\t1\nr2\tclustered\tAAAC\t1\nr3\tclustered\tAAAG\t1\nr4\tclustered\tAAAC\t1\nr5\tclustered\tCCCC\t2\n" + kRejectedRows, "1\t4\t4\t2\tAAAC\n2\t1\t1\t1\tCCCC\n", kOddPathStats, kOddPath},
    // Duplicates dropped on the forest path still count towards their barcode.
    {"DuplicatesMakeTheRepresentative", kScreened + ">r9\nAAAG\n", {"-d", "1", "-t", "NNNN", "-p"}, "r1\tclustered\tAAAG\t1\nr2\tclustered\tAAAC\t1\nr3\tduplicate\tAAAG\t1\nr4\tduplicate\tAAAC\t1\nr5\tclustered\tCCCC\t2\n" + kRejectedRows + "r9\tduplicate\tAAAG\t1\n", "1\t2\t5\t2\tAAAG\n2\t1\t1\t1\tCCCC\n", ""},
};
// clang-format on

void PrintTo(const TableCase& c, std::ostream* os) { *os << c.name; }

class TableBytes : public ::testing::TestWithParam<TableCase> {};

TEST_P(TableBytes, AreExact) {
  const TableCase& c = GetParam();
  ScratchDir dir;
  dir.write(c.input_name, c.input);
  const CliResult result = run_tarnwell(
      dir,
      with({"-i", c.input_name, "-o", "out.txt", "--assign", "a.tsv", "--c=c.tsv", "--stats", "s.json"}, c.options));
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(dir.read("a.tsv"), "read\tstatus\tbarcode\tcluster\n" + c.assignments);
  EXPECT_EQ(dir.read("c.tsv"), "cluster\tmembers\treads\tbarcodes\trepresentative\n" + c.clusters);
  if (!c.stats.empty()) {
    EXPECT_EQ(without_times(dir.read("s.json")), c.stats);
    // As a strict reader takes it.
    EXPECT_EQ(command_output("python3 -c 'import json, sys; json.load(open(sys.argv[1], encoding=\"utf-8\")); "
                             "print(\"read\")' " + dir.file("s.json") + " 2>&1"),
              "read\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, TableBytes, ::testing::ValuesIn(kTableCases), case_name);

TEST(Tables, RefuseOrReportBadFilesAndStayAsTheyWereAfterAFailedRun) {
  ScratchDir dir;
  dir.write("in.fa", kFourReads);
  const std::string head = "Input path: \"in.fa\"\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--stats", "./in.fa"}, head + "Output file \"./in.fa\" is the input file\n"},
      {{"--cluster-table", "out.txt"}, head + "Output file \"out.txt\" is the report file\n"},
      {{"--a", "t.tsv", "--c", "./t.tsv"}, head + "Output file \"./t.tsv\" is named twice\n"},
      {{"--s", "no/such/dir/s.json"}, head + "Can't create output file \"no/such/dir/s.json\"\n"},
      {{"--page", "./in.fa"}, head + "Output file \"./in.fa\" is the input file\n"},
      {{"--p", "out.txt"}, head + "Output file \"out.txt\" is the report file\n"},
      {{"--s", "p.html", "--page", "./p.html"}, head + "Output file \"./p.html\" is named twice\n"},
  };
  for (const auto& [options, message] : cases) {
    expect_refusal({{"in.fa", kFourReads}}, run_args("0", "NN", "in.fa", options), message);
  }

  for (const char* option : {"--assignments", "--page"}) {
    const CliResult full = run_tarnwell(dir, run_args("0", "NN", "in.fa", {option, "/dev/full"}));
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.out, "2 clusters\n");
    EXPECT_TRUE(
        full.err.ends_with("Clustering with distance 0 .. OK, 2 joined\nCan't write output file \"/dev/full\"\n"))
        << full.err;
  }

}

// No read matches: the run fails as ever, the report and the tables stay as
// they were, but the stats and the page show the funnel that left nothing
// and the bases where the template was laid.
TEST(Tables, StatsAndPageStillTellWhyNoReadMatched) {
  ScratchDir dir;
  dir.write("in.fa", ">a\nACG\n>b\nNAGT\n>c\nTAG\n");
  dir.write("a.tsv", "stale");
  const std::vector<std::string> tables = {"--assignments", "a.tsv",  "--cluster-table", "c.tsv",
                                           "--stats",       "s.json", "--page",          "p.html"};
  const CliResult result = run_tarnwell(dir, run_args("1", "NNNN", "in.fa", tables));
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(result.err.ends_with(" - 0 barcodes match template\nNo barcodes match template\n")) << result.err;
  EXPECT_EQ(dir.read("a.tsv"), "stale");
  expect_only_named_files(dir, {"in.fa", "a.tsv", "s.json", "p.html"});
  const std::string stats = dir.read("s.json");
  EXPECT_EQ(stats.substr(0, stats.find("  \"seconds\"")),
            "{\n  \"settings\": {\"input\": \"in.fa\", \"output\": \"out.txt\", \"distance\": 1, \"template\": \"NNNN\", "
            "\"remove_duplicate_barcodes\": false},\n  \"input\": {\"format\": \"fasta\", \"gzip\": false, \"bytes\": 22},\n"
            "  \"records\": 3,\n  \"screening\": {\"accepted\": 0, \"template_mismatch\": 2, \"has_n\": 1, "
            "\"unknown_character\": 0},\n  \"duplicates_removed\": 0,\n  \"entries\": 0,\n  \"clusters\": 0,\n"
            "  \"passes\": [],\n  \"cluster_sizes\": {},\n");
  const std::string page = dir.read("p.html");
  EXPECT_NE(page.find("3 reads, none of them matching the template"), std::string::npos);
  EXPECT_NE(page.find("<p class=\"hint\">To try: a window (<code>--window W</code>)"), std::string::npos);
  // The three reads where the template was laid: A, N, T at the first position; C, A, A at the second.
  for (const char* mark : {"position 1: A 50.0%", "position 1: T 50.0%", "position 2: A 66.7%", "position 2: C 33.3%",
                           "position 3: G 100.0%", "position 4: T 100.0%"})
    EXPECT_NE(page.find(mark), std::string::npos) << mark;
}

}  // namespace
