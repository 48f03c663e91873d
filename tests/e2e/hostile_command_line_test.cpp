// Command lines that scripts and people get wrong: options given twice,
// empty values, values that look like options, a template of a hundred
// thousand letters, bytes that are not UTF-8, paths with spaces and quotes.
// Messages show every path and template exactly as given.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/cli_harness.h"

namespace {

const std::string kAbsent = "\x01" "absent";  // a file that must not exist
const std::string kTwoReads = ">a\nAC\n>b\nAA\n";

struct HostileCase {
  const char* name;
  std::string input_name;  // where the input is written ("" for none)
  std::string input;
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err;
  std::string output_name;  // the report file to check
  std::string report;       // its bytes, or kAbsent when it must not exist
};

// Everything a forest-path run prints after the settings, for records that
// all match the template and hold one barcode word.
std::string forest_run(size_t template_length, size_t input_bytes, int records, int entries, bool removed,
                       const std::string& passes, int record_bytes = 24) {
  std::string text = "Parsed " + std::to_string(records) + " sequences\nConverting barcodes to binary form\n - " +
                     std::to_string(records) + " barcodes match template\nSorting .. OK\n";
  if (removed)
    text += "Removing duplicates .. OK, " + std::to_string(entries) + " sequences with unique barcodes remain\n";
  return text + forest_line(template_length, input_bytes, records, entries, record_bytes) + passes;
}

const std::string kLongTemplate(100000, 'N');
const std::string kLongRead(100000, 'G');
const std::string kOddPath = "in \xff\xfe \"quoted\" 'single'.fa";
const std::string kOddOutput = "out \"x\" \xc3\x28.txt";

// clang-format off
const std::vector<HostileCase> kCases = {
    {"EveryOptionTwiceLastOneWins", "in.fa", kTwoReads,
     {"-i", "missing.fa", "--in", "in.fa", "-o", "other.txt", "--out=out.txt", "-d", "3", "--dist", "1", "-t", "XX",
      "--templ=nn", "-p", "--remove", "-v", "--version", "-h", "-hv"},
     0, "1 clusters\n",
     kVersion + kUsage + settings(1, "NN") +
         forest_run(2, kTwoReads.size(), 2, 2, true, "Clustering with distance 1 .. OK, 1 joined\n"),
     "out.txt", ">1\nb\tAA\na\tAC\n"},
    {"LaterTooLargeDistanceWins", "", "", {"-i", "a", "-o", "b", "-d", "1", "-d", "4", "-t", "N"}, 1, "",
     "Input path: \"a\"\nToo large distance. Only distances up to 3 are supported.\n", "b", kAbsent},
    {"EarlierBadDistanceEndsTheScan", "", "", {"-d", "1x", "-d", "1"}, 1, "", "Can't parse distance (\"1x\")\n", "",
     kAbsent},
    {"EmptyOutputPath", "in.fa", kTwoReads, {"-i", "in.fa", "-o", "", "-d", "1", "-t", "N"}, 1, "",
     "Input path: \"in.fa\"\nCan't create output file \"\"\n", "", kAbsent},
    {"EmptyStrayArgument", "", "", {"-i", "a", ""}, 1, "", "Unrecognized option: \"\"\n", "", kAbsent},
    {"LoneDashIsAStrayArgument", "", "", {"-", "-i", "a"}, 1, "", "Unrecognized option: \"-\"\n", "", kAbsent},
    {"EmptyLongOptionName", "", "", {"--=x"}, 1, "", "Unrecognized option \"--=x\"\n" + kHint, "", kAbsent},
    {"OptionTakenAsValue", "", "", {"-i", "-o", "out.txt"}, 1, "", "Unrecognized option: \"out.txt\"\n", "out.txt",
     kAbsent},
    {"ShortOptionHighByte", "", "", {"-\xff"}, 1, "", "Unrecognized option -\xff\n" + kHint, "", kAbsent},
    {"FlagGivenValueInGroup", "", "", {"-p\x01"}, 1, "", "Unrecognized option -\x01\n" + kHint, "", kAbsent},
    {"HundredThousandLetterTemplate", "in.fa", ">long\n" + kLongRead + "\n",
     run_args("0", kLongTemplate), 0, "1 clusters\n",
     settings(0, kLongTemplate) + forest_run(100000, 100007, 1, 1, false, "Clustering with distance 0 .. OK, 0 joined\n", 16 + 8 * 3125),
     "out.txt", ">1\nlong\t" + kLongRead + "\n"},
    {"HundredThousandLetterTemplateWithBadLetter", "in.fa", kTwoReads,
     run_args("0", kLongTemplate + "u"), 1, "",
     "Input path: \"in.fa\"\nCan't parse \"u\" in the template sequence \"" + kLongTemplate +
         "u\" - template should only contain [ATCGN.]\n",
     "out.txt", ""},
    {"NonUtf8TemplateByte", "in.fa", kTwoReads, run_args("0", "NN\xc3\xa9"), 1, "",
     "Input path: \"in.fa\"\nCan't parse \"\xc3\" in the template sequence \"NN\xc3\xa9\" - template should only "
     "contain [ATCGN.]\n",
     "out.txt", ""},
    {"LineEndInTemplate", "in.fa", kTwoReads, run_args("0", "N\nN"), 1, "",
     "Input path: \"in.fa\"\nCan't parse \"\n\" in the template sequence \"N\nN\" - template should only contain "
     "[ATCGN.]\n",
     "out.txt", ""},
    {"PathsWithSpacesQuotesAndNonUtf8Bytes", kOddPath, kTwoReads,
     {"-i", kOddPath, "-o", kOddOutput, "-d", "1", "-t", "NN"}, 0, "1 clusters\n",
     settings(1, "NN", kOddPath) + forest_run(2, kTwoReads.size(), 2, 2, false,
                                              "Clustering with distance 0 .. OK, 0 joined\n"
                                              "Clustering with distance 1 .. OK, 1 joined\n"),
     kOddOutput, ">1\nb\tAA\na\tAC\n"},
    {"MissingInputNamedWithQuotes", "", "", {"-i", "no \"such\" file.fa", "-o", "out.txt", "-d", "1", "-t", "N"}, 1,
     "", settings(1, "N", "no \"such\" file.fa") + "Can't open file \"no \"such\" file.fa\"\n", "out.txt", ""},
    {"OutputInMissingDirectoryWithQuotes", "", "", {"-i", "in.fa", "-o", "no dir/\"x\".txt", "-d", "1", "-t", "N"},
     1, "", "Input path: \"in.fa\"\nCan't create output file \"no dir/\"x\".txt\"\n", "", kAbsent},
};
// clang-format on

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

class HostileCommandLine : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileCommandLine, ProducesExactBytes) {
  const HostileCase& c = GetParam();
  ScratchDir dir;
  if (!c.input_name.empty()) dir.write(c.input_name, c.input);
  const CliResult result = run_tarnwell(dir, c.args);
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.out, c.out);
  EXPECT_TRUE(result.err == c.err) << "stderr:\n" << result.err.substr(0, 2000);
  if (!c.output_name.empty()) {
    bool exists = false;
    const std::string report = dir.read(c.output_name, &exists);
    if (c.report == kAbsent) {
      EXPECT_FALSE(exists) << "no report file expected";
    } else {
      EXPECT_TRUE(exists) << "report file expected";
      EXPECT_TRUE(report == c.report) << "report differs";
    }
  }
  if (!c.input_name.empty()) {
    EXPECT_TRUE(dir.read(c.input_name) == c.input) << "the input must never change";
  }
}

std::string case_name(const ::testing::TestParamInfo<HostileCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Hostile, HostileCommandLine, ::testing::ValuesIn(kCases), case_name);

}  // namespace
