// --known on the built binaries: the exact bytes of a small screen (an entry
// without reads, reads between two entries, unknown reads, -p), the library
// read plain or gzip, with CR LF and a byte-order mark; every refusal with its
// message, before any output file exists. The engines' agreement on random
// libraries is the differential test's.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "e2e/cli_harness.h"
#include "support/compression.h"

namespace {

// Reads GA + a 6-base barcode; r2 lies between A1 and A2, r4 and r7 near nothing, r6 has an N.
const std::string kReads =
    ">r1\nGAACGTACyy\n>r2\nGAACGTGCyy\n>r3\nGATTTTGAyy\n>r4\nGACCCCCCyy\n>r5\nGAACGTACyy\n>r6\nGAACNTACyy\n"
    ">r7\nGACCCCCCyy\n>r8\nGATTTTGGyy\n>r9\nGAACGTAAyy\n";
const std::string kLibrary = "id,barcode,gene,note\nA1,ACGTAC,geneA,x\nA2,ACGTTC,geneA\nB1,TTTTGG,geneB\nZ9,GGGGGG\n";

const std::string kReport = ">1\nr1\tGAACGTACyy\nr9\tGAACGTAAyy\n>2\n>3\nr3\tGATTTTGAyy\nr8\tGATTTTGGyy\n>4\n";
const std::string kAssignments =
    "read\tstatus\tbarcode\tcluster\tdistance\nr1\tknown\tACGTAC\t1\t0\nr2\tambiguous\tACGTGC\t\t\n"
    "r3\tknown\tTTTTGA\t3\t1\nr4\tunknown\tCCCCCC\t\t\nr5\tduplicate\tACGTAC\t1\t0\nr6\thas_n\t\t\t\n"
    "r7\tunknown\tCCCCCC\t\t\nr8\tknown\tTTTTGG\t3\t0\nr9\tknown\tACGTAA\t1\t1\n";
const std::string kClusterTable =
    "cluster\tid\tgroup\tknown\tmembers\treads\tbarcodes\n1\tA1\tgeneA\tACGTAC\t2\t3\t2\n2\tA2\tgeneA\tACGTTC\t0\t0\t0"
    "\n"
    "3\tB1\tgeneB\tTTTTGG\t2\t2\t2\n4\tZ9\t\tGGGGGG\t0\t0\t0\n";
const std::string kKnownStats =
    "  \"known\": {\"library\": \"lib.csv\", \"entries\": 4, \"entries_without_reads\": 2, \"assigned\": {\"0\": 3, "
    "\"1\": 2}, \"ambiguous\": 1, \"unknown\": 2, \"unknown_barcodes\": 1, \"gini\": 0.550000, \"top_unknown\": "
    "[{\"barcode\": \"CCCCCC\", \"reads\": 2}]},\n";
const std::string kErr =
    "Input path: \"in.fa\"\nCounting clusters separated by at least 2 mismatches\n"
    "Using only sequences matching template \"GANNNNNN\"\nParsed 9 sequences\nConverting barcodes to binary form\n"
    " - 1 barcodes have N\n - 8 barcodes match template\nAssigning reads to 4 known barcodes .. OK\n"
    " - 5 reads assigned to known barcodes (3 at distance 0, 2 at distance 1)\n - 1 reads ambiguous\n"
    " - 2 reads unknown\n - 1 reads left out of the report as duplicates of a barcode\n";

std::vector<std::string> known_args(const std::string& library) {
  return {"-i",    "in.fa",           "-o",    "out.txt", "-d",     "1",
          "-t",    "GANNNNNN",        "-p",    "--known", library,  "--assignments",
          "a.tsv", "--cluster-table", "c.tsv", "--stats", "s.json", "--page",
          "p.html"};
}

std::string known_line(const std::string& stats) {
  const size_t at = stats.find("  \"known\"");
  return at == std::string::npos ? "" : stats.substr(at, stats.find('\n', at) + 1 - at);
}

TEST(KnownBarcodes, SmallScreenIsExactInEveryForm) {
  // The same library as tab-separated gzip with CR LF line ends and a byte-order mark.
  std::string crlf = "\xef\xbb\xbf" + std::regex_replace(kLibrary, std::regex("\n"), "\r\n");
  crlf = std::regex_replace(crlf, std::regex(","), "\t");
  for (const auto& [name, bytes] :
       {std::pair<std::string, std::string>{"lib.csv", kLibrary}, {"lib.gz", gzip_member(crlf)}}) {
    for (const std::string& binary : kBothBinaries) {
      ScratchDir dir;
      dir.write("in.fa", kReads);
      dir.write(name, bytes);
      const CliResult result = run_tarnwell(dir, known_args(name), on(binary));
      ASSERT_EQ(result.status, 0) << name << " " << result.err;
      EXPECT_EQ(result.out, "4 clusters\n");
      EXPECT_EQ(result.err, kErr);
      EXPECT_EQ(dir.read("out.txt"), kReport);
      EXPECT_EQ(dir.read("a.tsv"), kAssignments);
      EXPECT_EQ(dir.read("c.tsv"), kClusterTable);
      // The page's figures for the library: the entries without reads, the evenness, the unknown barcodes.
      const std::string page = dir.read("p.html");
      for (const char* figure : {"2 of 4 known barcodes without reads (50.0%)", "Gini index 0.550",
                                 "<td class=\"barcode\">CCCCCC</td><td class=\"number\">2</td>", "Distance 1: 2"}) {
        EXPECT_NE(page.find(figure), std::string::npos) << figure;
      }
      EXPECT_EQ(known_line(dir.read("s.json")),
                name == "lib.csv" ? kKnownStats : std::regex_replace(kKnownStats, std::regex("lib.csv"), "lib.gz"));
    }
  }
}

// With --umi the library's barcodes leave the UMI out, and each entry gets its UMIs and molecules (AAA and AAC
// are one molecule: the first has at least twice the reads of the second, less one).
TEST(KnownBarcodes, UmiColumnsFollowTheEntry) {
  ScratchDir dir;
  dir.write("in.fa",
            ">q1\nAAAGAACGTACyy\n>q2\nAAAGAACGTACyy\n>q3\nAAAGAACGTACyy\n>q4\nAACGAACGTAAyy\n"
            ">q5\nCCCGAACGTACyy\n>q6\nCCCGATTTTTTyy\n");
  dir.write("lib.csv", kLibrary);
  const CliResult result =
      run_tarnwell(dir, {"-i", "in.fa", "-o", "out.txt", "-d", "1", "-t", "NNNGANNNNNN", "--umi", "1-3", "--known",
                         "lib.csv", "--assignments", "a.tsv", "--cluster-table", "c.tsv"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(dir.read("a.tsv"),
            "read\tstatus\tbarcode\tumi\tcluster\tdistance\nq1\tknown\tACGTAC\tAAA\t1\t0\n"
            "q2\tknown\tACGTAC\tAAA\t1\t0\nq3\tknown\tACGTAC\tAAA\t1\t0\nq4\tknown\tACGTAA\tAAC\t1\t1\n"
            "q5\tknown\tACGTAC\tCCC\t1\t0\nq6\tunknown\tTTTTTT\tCCC\t\t\n");
  EXPECT_EQ(dir.read("c.tsv"),
            "cluster\tid\tgroup\tknown\tmembers\treads\tbarcodes\tumis\tmolecules\n"
            "1\tA1\tgeneA\tACGTAC\t5\t5\t2\t3\t2\n2\tA2\tgeneA\tACGTTC\t0\t0\t0\t0\t0\n"
            "3\tB1\tgeneB\tTTTTGG\t0\t0\t0\t0\t0\n4\tZ9\t\tGGGGGG\t0\t0\t0\t0\t0\n");
}

// No read matches the template: nothing was assigned, and the stats and the page still show the funnel.
TEST(KnownBarcodes, NoMatchingReadStillWritesTheSummaries) {
  ScratchDir dir;
  dir.write("in.fa", ">a\nGANNNNNN\n");
  dir.write("lib.csv", kLibrary);
  const CliResult result = run_tarnwell(dir, {"-i", "in.fa", "-o", "out.txt", "-d", "1", "-t", "GANNNNNN", "--known",
                                              "lib.csv", "--stats", "s.json", "--page", "p.html"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(dir.read("s.json").find("\"accepted\": 0"), std::string::npos);
  EXPECT_EQ(known_line(dir.read("s.json")), "");
  EXPECT_NE(dir.read("p.html").find("none of them matching the template"), std::string::npos);
}

struct Refusal {
  const char* name;
  std::string library;  // kAbsent: no file
  std::string message;
};

// clang-format off
const std::vector<Refusal> kRefusals = {
    {"Missing", kAbsent, "Can't open known barcodes file \"lib.tsv\"\n"},
    {"Empty", "", "Known barcodes file \"lib.tsv\" is empty\n"},
    {"HeaderWithoutSeparator", "id barcode\nA1\tACGTAC\n", "Known barcodes file \"lib.tsv\", line 1: no header (column names separated by a tab or a comma, such as \"id<TAB>barcode<TAB>group\")\n"},
    {"EntryInsteadOfHeader", "A1\tACGTAC\nA2\tACGTTC\n", "Known barcodes file \"lib.tsv\", line 1: no header (it holds the barcode \"ACGTAC\")\n"},
    {"NoEntries", "id\tbarcode\n\n", "Known barcodes file \"lib.tsv\" has no entries after its header\n"},
    {"WrongLength", "id\tbarcode\nA1\tACGTAC\nA2\tACGTA\n", "Known barcodes file \"lib.tsv\", line 3: barcode \"ACGTA\" has 5 bases; the template's has 6\n"},
    {"WrongLetter", "id\tbarcode\nA1\tACGNAC\n", "Known barcodes file \"lib.tsv\", line 2: barcode \"ACGNAC\" has \"N\"; only A, C, G and T are allowed\n"},
    {"EmptyId", "id\tbarcode\n\tACGTAC\n", "Known barcodes file \"lib.tsv\", line 2: empty id before \"ACGTAC\"\n"},
    {"NoBarcode", "id\tbarcode\nA1\n", "Known barcodes file \"lib.tsv\", line 2: no barcode after the id \"A1\"\n"},
    // The first repeat in file order is named, whichever kind it is.
    {"RepeatedId", "id\tbarcode\nA1\tACGTAC\nB1\tTTTTTT\nA1\tACGTTC\nC1\tTTTTTT\n", "Known barcodes file \"lib.tsv\", line 4: id \"A1\" is also on line 2\n"},
    {"RepeatedBarcode", "id\tbarcode\nA1\tACGTAC\nB1\tacgtac\nB1\tTTTTTT\n", "Known barcodes file \"lib.tsv\", line 3: barcode ACGTAC is also on line 2\n"},
    {"CorruptGzip", std::string("\x1f\x8b\x08\x00garbage", 12), "Can't decompress known barcodes file \"lib.tsv\"\n"},
};
// clang-format on

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class KnownRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(KnownRefusals, NameTheFileAndLineBeforeAnyOutputExists) {
  const Refusal& r = GetParam();
  std::map<std::string, std::string> files = {{"in.fa", kReads}};
  if (r.library != kAbsent) files["lib.tsv"] = r.library;
  expect_refusal(files, known_args("lib.tsv"), "Input path: \"in.fa\"\n" + r.message);
}

INSTANTIATE_TEST_SUITE_P(Library, KnownRefusals, ::testing::ValuesIn(kRefusals), case_name);

}  // namespace
