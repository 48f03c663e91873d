// Command-line cases, one line each: the arguments, the input file, and the
// exact bytes expected on standard output, standard error, the exit status
// and the report file. Every case runs in a fresh scratch directory where the
// input is "in.fa" and the report "out.txt".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/cli_harness.h"

namespace {

// Marks a file that must not exist (input not written / report not created).
const std::string kAbsent =
    "\x01"
    "absent";

struct CliCase {
  const char* name;
  std::string input;
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err;
  std::string report;
};

const std::string kVersion =
    "Tarnwell, version 0.0.7, 2015-04-17\n"
    "Clusters DNA reads by barcode, single linkage on Hamming distance\n";
const std::string kUsage =
    "Usage: tarnwell <options>\n"
    "Options:\n"
    "  -i, --in FILE      - Specify input FASTA file.\n"
    "  -o, --out FILE     - Specify output file.\n"
    "  -d, --distance D   - Cluster sequences separated by D or fewer substitutions.\n"
    "  -t, --template T   - Use only sequences matching template T.\n"
    "  -p, --remove-duplicate-barcodes - Use only one sequence out of all sharing same barcode.\n"
    "  -v, --version      - Show version.\n"
    "  -h, --help         - Show help.\n";
const std::string kHint = "Use -h for help\n";

// The lines every run that gets past the template prints first.
std::string settings(int distance, const std::string& upper_template, const std::string& input = "in.fa") {
  return "Input path: \"" + input + "\"\nCounting clusters separated by at least " + std::to_string(distance + 1) +
         " mismatch" + (distance != 0 ? "es" : "") + "\nUsing only sequences matching template \"" + upper_template +
         "\"\n";
}

std::string screening(int accepted, int unknown = 0, int with_n = 0, int mismatches = 0) {
  std::string text = "Converting barcodes to binary form\n";
  if (unknown) text += " - " + std::to_string(unknown) + " barcodes have unknown characters\n";
  if (with_n) text += " - " + std::to_string(with_n) + " barcodes have N\n";
  if (mismatches) text += " - " + std::to_string(mismatches) + " template mismatches\n";
  return text + " - " + std::to_string(accepted) + " barcodes match template\n";
}

// The forest line: after the buckets are gone the run holds the template copy
// and mask, bucket_counts and bucket_start, the input and its NUL, the record
// table (24 bytes a record with one barcode word) and 24 bytes a node.
std::string forest_line(size_t template_length, size_t input_bytes, int records, int entries) {
  const size_t held = 2 * template_length + 1 + 2 * 524288 + input_bytes + 1 + 24 * records + 24 * entries;
  return "Creating clusters .. OK (now " + std::to_string(held) + " bytes allocated)\n";
}

std::string parsed(int records) { return "Parsed " + std::to_string(records) + " sequences\n"; }

std::vector<std::string> run_args(const char* distance, const char* template_text) {
  return {"-i", "in.fa", "-o", "out.txt", "-d", distance, "-t", template_text};
}

const std::string kFourReads = ">r1\nCA\n>r2\nAC\n>r3\nCA\n>r4\nAC\n";
const std::string kFourRunHead = settings(0, "NN") + parsed(4) + screening(4) + "Sorting .. OK\n";
const std::string kBadDistance = "Can't parse distance (\"";

const std::vector<CliCase> kCommandLineCases = {
    {"NoArguments", kAbsent, {}, 0, "", kVersion + kUsage, kAbsent},
    {"OnlyHelp", kAbsent, {"-h"}, 1, "", kUsage, kAbsent},
    {"OnlyVersion", kAbsent, {"--version"}, 1, "", kVersion, kAbsent},
    {"HelpThenVersion", kAbsent, {"-h", "-v"}, 1, "", kVersion + kUsage, kAbsent},
    {"GroupedFlags", kAbsent, {"-hv"}, 1, "", kVersion + kUsage, kAbsent},
    {"MissingInput",
     kAbsent,
     {"-o", "out.txt"},
     1,
     "",
     "Input file is not specified (\"--in\" option)\n" + kHint,
     kAbsent},
    {"MissingOutput",
     kAbsent,
     {"-i", "in.fa"},
     1,
     "",
     "Output file is not specified (\"--out\" option)\n" + kHint,
     kAbsent},
    {"MissingDistanceBeforeTemplate",
     kAbsent,
     {"-i", "a", "-o", "b"},
     1,
     "",
     "Distance is not specified (\"--distance\" option)\n" + kHint,
     kAbsent},
    {"MissingTemplate",
     kAbsent,
     {"-i", "a", "-o", "b", "-d", "1"},
     1,
     "",
     "Template is not specified (\"--template\" option)\n" + kHint,
     kAbsent},
    {"EmptyTemplate",
     kAbsent,
     {"-i", "a", "-o", "b", "-d", "1", "-t", ""},
     1,
     "",
     "Template is not specified (\"--template\" option)\n" + kHint,
     kAbsent},
    {"MissingOptionWithHelpIsSilent", kAbsent, {"-h", "-i", "a"}, 1, "", kUsage, kAbsent},
    {"EmptyDistance", kAbsent, {"-d", ""}, 1, "", kBadDistance + "\")\n", kAbsent},
    {"SpacesDistance", kAbsent, {"-d", "  "}, 1, "", kBadDistance + "  \")\n", kAbsent},
    {"LonePlusDistance", kAbsent, {"-d", "+"}, 1, "", kBadDistance + "+\")\n", kAbsent},
    {"TwoPlusDistance", kAbsent, {"-d", "++3"}, 1, "", kBadDistance + "++3\")\n", kAbsent},
    {"TrailingSpaceDistance", kAbsent, {"-d", "3 "}, 1, "", kBadDistance + "3 \")\n", kAbsent},
    {"NegativeDistance", kAbsent, {"-d", "-1"}, 1, "", kBadDistance + "-1\")\n", kAbsent},
    {"HexDistance", kAbsent, {"-d", "0x3"}, 1, "", kBadDistance + "0x3\")\n", kAbsent},
    {"LetterDistance", kAbsent, {"-d", "3a"}, 1, "", kBadDistance + "3a\")\n", kAbsent},
    {"ElevenDigitDistance", kAbsent, {"-d", "12345678901"}, 1, "", kBadDistance + "12345678901\")\n", kAbsent},
    {"JustOverIntDistance", kAbsent, {"-d", "2147483648"}, 1, "", kBadDistance + "2147483648\")\n", kAbsent},
    {"BadDistanceBeforeUnknownOption", kAbsent, {"-d", "x", "-q"}, 1, "", kBadDistance + "x\")\n", kAbsent},
    {"UnknownOptionBeforeBadDistance", kAbsent, {"-q", "-d", "x"}, 1, "", "Unrecognized option -q\n" + kHint, kAbsent},
    {"MaxIntDistanceTooLarge",
     kAbsent,
     {"-i", "in.fa", "-o", "b", "-d", "2147483647", "-t", "N"},
     1,
     "",
     "Input path: \"in.fa\"\nToo large distance. Only distances up to 3 are supported.\n",
     kAbsent},
    {"DistanceFourWithHelp",
     kAbsent,
     {"-h", "-i", "in.fa", "-o", "b", "-d", "4", "-t", "N"},
     1,
     "",
     kUsage + "Input path: \"in.fa\"\nToo large distance. Only distances up to 3 are supported.\n",
     kAbsent},
    {"ShortOptionWithoutValue", kAbsent, {"-i", "a", "-d"}, 1, "", "Unrecognized option -d\n" + kHint, kAbsent},
    {"UnknownLongOption", kAbsent, {"--bogus=3"}, 1, "", "Unrecognized option \"--bogus=3\"\n" + kHint, kAbsent},
    {"UnknownLongOptionAfterStray",
     kAbsent,
     {"stray", "--nope"},
     1,
     "",
     "Unrecognized option \"--nope\"\n" + kHint,
     kAbsent},
    {"LongOptionWithoutValue",
     kAbsent,
     {"-i", "a", "--templ"},
     1,
     "",
     "Option \"--templ\" requires a value\n" + kHint,
     kAbsent},
    {"FlagOptionWithValue",
     kAbsent,
     {"--version=1"},
     1,
     "",
     "Option \"--version=1\" takes no value\n" + kHint,
     kAbsent},
    {"JobsNotANumber", kAbsent, {"--jobs", "x"}, 1, "", "Can't parse jobs (\"x\")\n", kAbsent},
    {"JobsZero", kAbsent, {"-i", "a", "--jobs=0"}, 1, "", "Can't parse jobs (\"0\")\n", kAbsent},
    {"JobsWithoutValue",
     kAbsent,
     {"-i", "a", "--jobs"},
     1,
     "",
     "Option \"--jobs\" requires a value\n" + kHint,
     kAbsent},
    {"StrayArgument", kAbsent, {"-i", "a", "stray", "-o", "b"}, 1, "", "Unrecognized option: \"stray\"\n", kAbsent},
    {"ArgumentAfterDoubleDash", kAbsent, {"-i", "a", "--", "-o"}, 1, "", "Unrecognized option: \"-o\"\n", kAbsent},
};

const std::vector<CliCase> kRunCases = {
    {"DistanceZeroJoinsIdenticalBarcodes", kFourReads, run_args("0", "NN"), 0, "2 clusters\n",
     kFourRunHead + forest_line(2, kFourReads.size(), 4, 4) + "Clustering with distance 0 .. OK, 2 joined\n",
     ">1\nr2\tAC\nr4\tAC\n>2\nr1\tCA\nr3\tCA\n"},
    {"JobsAbbreviatedChangesNoByte",
     kFourReads,
     {"--j=3", "-i", "in.fa", "-o", "out.txt", "-d", "0", "-t", "NN"},
     0,
     "2 clusters\n",
     kFourRunHead + forest_line(2, kFourReads.size(), 4, 4) + "Clustering with distance 0 .. OK, 2 joined\n",
     ">1\nr2\tAC\nr4\tAC\n>2\nr1\tCA\nr3\tCA\n"},
    {"DistanceZeroWithoutDuplicatesWritesBuckets",
     kFourReads,
     {"-p", "-i", "in.fa", "-o", "out.txt", "-d", "0", "-t", "nn"},
     0,
     "2 clusters\n",
     kFourRunHead + "Removing duplicates .. OK, 2 sequences with unique barcodes remain\n",
     ">1\nr2\tAC\n>2\nr1\tCA\n"},
    {"AbbreviatedLongOptions",
     kFourReads,
     {"--i", "in.fa", "--o=out.txt", "--dist", "2", "--t=NN", "--r"},
     0,
     "1 clusters\n",
     settings(2, "NN") + parsed(4) + screening(4) +
         "Sorting .. OK\nRemoving duplicates .. OK, 2 sequences with unique barcodes remain\n" +
         forest_line(2, kFourReads.size(), 4, 2) +
         "Clustering with distance 1 .. OK, 0 joined\nClustering with distance 2 .. OK, 1 joined\n",
     ">1\nr2\tAC\nr1\tCA\n"},
    {"PaddedDistance", ">a\nAC\n", run_args("  +00000000003", "NN"), 0, "1 clusters\n",
     settings(3, "NN") + parsed(1) + screening(1) + "Sorting .. OK\n" + forest_line(2, 6, 1, 1) +
         "Clustering with distance 0 .. OK, 0 joined\nClustering with distance 1 .. OK, 0 joined\n"
         "Clustering with distance 2 .. OK, 0 joined\nClustering with distance 3 .. OK, 0 joined\n",
     ">1\na\tAC\n"},
    {"HelpWithFullCommandLineRuns",
     ">a\nAC\n",
     {"-h", "-p", "-i", "in.fa", "-o", "out.txt", "-d", "0", "-t", "NN"},
     0,
     "1 clusters\n",
     kUsage + settings(0, "NN") + parsed(1) + screening(1) +
         "Sorting .. OK\nRemoving duplicates .. OK, 1 sequences with unique barcodes remain\n",
     ">1\na\tAC\n"},
    {"FiveIdenticalBarcodes", ">a\nGGG\n>b\nGGG\n>c\nGGG\n>d\nGGG\n>e\nGGG\n", run_args("0", "NNN"), 0, "1 clusters\n",
     settings(0, "NNN") + parsed(5) + screening(5) + "Sorting .. OK\n" + forest_line(3, 35, 5, 5) +
         "Clustering with distance 0 .. OK, 4 joined\n",
     ">1\na\tGGG\ne\tGGG\nd\tGGG\nc\tGGG\nb\tGGG\n"},
    {"EmptyNameGivesLeadingTab", ">\nAC\n", run_args("0", "NN"), 0, "1 clusters\n",
     settings(0, "NN") + parsed(1) + screening(1) + "Sorting .. OK\n" + forest_line(2, 5, 1, 1) +
         "Clustering with distance 0 .. OK, 0 joined\n",
     ">1\n\tAC\n"},
    {"ScreeningCountsEveryCause", ">a\nXCGTAC\n>b\nNCGTAC\n>c\nACGTAG\n>d\nACG\n>e\nacgta\n", run_args("0", "nnnnac"),
     0, "1 clusters\n",
     settings(0, "NNNNAC") + parsed(5) + screening(1, 1, 1, 2) + "Sorting .. OK\n" + forest_line(6, 46, 5, 1) +
         "Clustering with distance 0 .. OK, 0 joined\n",
     ">1\ne\tacgta\n"},
    {"NoBarcodeMatches", ">a\nACG\n>b\nNNNN\n", run_args("1", "NNNN"), 1, "",
     settings(1, "NNNN") + parsed(2) + screening(0, 0, 1, 1) + "No barcodes match template\n", ""},
    {"OutputDirectoryMissing",
     kAbsent,
     {"-i", "in.fa", "-o", "no/such/dir/out.txt", "-d", "1", "-t", "X"},
     1,
     "",
     "Input path: \"in.fa\"\nCan't create output file \"no/such/dir/out.txt\"\n",
     kAbsent},
    {"OutputIsInput",
     kFourReads,
     {"-i", "in.fa", "-o", "./in.fa", "-d", "1", "-t", "NN"},
     1,
     "",
     "Input path: \"in.fa\"\nOutput file \"./in.fa\" is the input file\n",
     kAbsent},
    {"BadTemplateLetter", kFourReads, run_args("1", "NNxN"), 1, "",
     "Input path: \"in.fa\"\nCan't parse \"x\" in the template sequence \"NNxN\" - template should only contain "
     "[ATCGN.]\n",
     ""},
    {"TemplateWithoutBarcodePositions", kFourReads, run_args("1", "acgt"), 1, "",
     "Input path: \"in.fa\"\nTemplate \"acgt\" has no barcode positions (N or .)\n", ""},
    {"MissingInputFile", kAbsent, run_args("1", "N.n"), 1, "", settings(1, "N.N") + "Can't open file \"in.fa\"\n", ""},
    {"EmptyInputPath",
     kAbsent,
     {"-i", "", "-o", "out.txt", "-d", "1", "-t", "N"},
     1,
     "",
     settings(1, "N", "") + "Can't open file \"\"\n",
     ""},
    {"EmptyInput", "", run_args("1", "N"), 1, "", settings(1, "N") + "Can't load input data\n", ""},
    {"InputWithoutRecords", "ACGT\n", run_args("1", "N"), 1, "", settings(1, "N") + "Input has no sequences\n", ""},
    {"InputNotStartingWithName", "\n>a\nAC\n", run_args("1", "N"), 1, "",
     settings(1, "N") + "Can't find sequence start ('>') in line 1\n", ""},
    {"SequenceOverTwoLines", ">a\nAC\n>b\nAC\nGT\n", run_args("1", "N"), 1, "",
     settings(1, "N") + "Can't find sequence start ('>') in line 5\n", ""},
    {"NameWithoutLineEnd", ">a\nAC\n>b", run_args("1", "N"), 1, "",
     settings(1, "N") + "Can't find end of sequence name\n", ""},
    {"LoneClosingMark", ">a\nAC\n>", run_args("1", "N"), 1, "", settings(1, "N") + "Can't find end of sequence name\n",
     ""},
    {"NameWithoutSequence", ">a\nAC\n>r7\r\n\r\n", run_args("1", "N"), 1, "",
     settings(1, "N") + "Can't find data for sequence \">r7\"\n", ""},
    {"MarkInsideName", ">a>b\nAC\n", run_args("1", "N"), 1, "", settings(1, "N") + "Failed to parse 2 sequences\n", ""},
    {"TwoNameLines", ">a\n>b\n", run_args("1", "N"), 1, "", settings(1, "N") + "Failed to parse 2 sequences\n", ""},
    {"LineEndsAndBlankLines", ">a\r\n\r\nCA\r\n\r\n>b\rAC\r\r>c\n\nCA", run_args("0", "NN"), 0, "2 clusters\n",
     settings(0, "NN") + parsed(3) + screening(3) + "Sorting .. OK\n" + forest_line(2, 25, 3, 3) +
         "Clustering with distance 0 .. OK, 1 joined\n",
     ">1\nb\tAC\n>2\na\tCA\nc\tCA\n"},
};

void PrintTo(const CliCase& c, std::ostream* os) { *os << c.name; }

class CliTable : public ::testing::TestWithParam<CliCase> {};

TEST_P(CliTable, ProducesExactBytes) {
  const CliCase& c = GetParam();
  ScratchDir dir;
  if (c.input != kAbsent) dir.write("in.fa", c.input);
  const CliResult result = run_tarnwell(dir, c.args);
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.out, c.out);
  EXPECT_EQ(result.err, c.err);
  bool exists = false;
  const std::string report = dir.read("out.txt", &exists);
  if (c.report == kAbsent) {
    EXPECT_FALSE(exists) << "no report file expected";
  } else {
    EXPECT_TRUE(exists) << "report file expected";
    EXPECT_EQ(report, c.report);
  }
  if (c.input != kAbsent) {
    EXPECT_EQ(dir.read("in.fa"), c.input) << "the input must never change";
  }
}

std::string case_name(const ::testing::TestParamInfo<CliCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(CommandLine, CliTable, ::testing::ValuesIn(kCommandLineCases), case_name);
INSTANTIATE_TEST_SUITE_P(Runs, CliTable, ::testing::ValuesIn(kRunCases), case_name);

}  // namespace
