// Command lines that scripts and people get wrong: options given twice,
// empty values, values that look like options, a template of a hundred
// thousand letters, bytes that are not UTF-8, paths with spaces and quotes.
// Messages show every path and template exactly as given.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/cli_harness.h"

namespace {

const std::string kTwoReads = ">a\nAC\n>b\nAA\n";

const std::string kLongTemplate(100000, 'N');
const std::string kLongRead(100000, 'G');
const std::string kOddPath = "in \xff\xfe \"quoted\" 'single'.fa";
const std::string kOddOutput = "out \"x\" \xc3\x28.txt";

// clang-format off
const std::vector<CliCase> kCases = {
    {"EveryOptionTwiceLastOneWins", kTwoReads, {"-i", "missing.fa", "--in", "in.fa", "-o", "other.txt", "--out=out.txt", "-d", "3", "--dist", "1", "-t", "XX", "--templ=nn", "-p", "--remove", "-v", "--version", "-h", "-hv"}, 0, "1 clusters\n", kVersion + kUsage + settings(1, "NN") + forest_run(2, kTwoReads.size(), 2, 2, true, "Clustering with distance 1 .. OK, 1 joined\n"), ">1\nb\tAA\na\tAC\n"},
    {"LaterTooLargeDistanceWins", kAbsent, {"-i", "a", "-o", "b", "-d", "1", "-d", "4", "-t", "N"}, 1, "", "Input path: \"a\"\nToo large distance. Only distances up to 3 are supported.\n", kAbsent, "in.fa", "b"},
    {"EarlierBadDistanceEndsTheScan", kAbsent, {"-d", "1x", "-d", "1"}, 1, "", "Can't parse distance (\"1x\")\n", kAbsent},
    {"EmptyOutputPath", kTwoReads, {"-i", "in.fa", "-o", "", "-d", "1", "-t", "N"}, 1, "", "Input path: \"in.fa\"\nCan't create output file \"\"\n", kAbsent},
    {"EmptyStrayArgument", kAbsent, {"-i", "a", ""}, 1, "", "Unrecognized option: \"\"\n", kAbsent},
    {"LoneDashIsAStrayArgument", kAbsent, {"-", "-i", "a"}, 1, "", "Unrecognized option: \"-\"\n", kAbsent},
    {"EmptyLongOptionName", kAbsent, {"--=x"}, 1, "", "Unrecognized option \"--=x\"\n" + kHint, kAbsent},
    {"OptionTakenAsValue", kAbsent, {"-i", "-o", "out.txt"}, 1, "", "Unrecognized option: \"out.txt\"\n", kAbsent},
    {"ShortOptionHighByte", kAbsent, {"-\xff"}, 1, "", "Unrecognized option -\xff\n" + kHint, kAbsent},
    {"FlagGivenValueInGroup", kAbsent, {"-p\x01"}, 1, "", "Unrecognized option -\x01\n" + kHint, kAbsent},
    {"HundredThousandLetterTemplate", ">long\n" + kLongRead + "\n", run_args("0", kLongTemplate), 0, "1 clusters\n", settings(0, kLongTemplate) + forest_run(100000, 100007, 1, 1, false, "Clustering with distance 0 .. OK, 0 joined\n", 16 + 8 * 3125), ">1\nlong\t" + kLongRead + "\n"},
    {"HundredThousandLetterTemplateWithBadLetter", kTwoReads, run_args("0", kLongTemplate + "u"), 1, "", "Input path: \"in.fa\"\nCan't parse \"u\" in the template sequence \"" + kLongTemplate + "u\" - template should only contain [ATCGN.]\n", ""},
    {"PathsWithSpacesQuotesAndNonUtf8Bytes", kTwoReads, {"-i", kOddPath, "-o", kOddOutput, "-d", "1", "-t", "NN"}, 0, "1 clusters\n", settings(1, "NN", kOddPath) + forest_run(2, kTwoReads.size(), 2, 2, false, "Clustering with distance 0 .. OK, 0 joined\nClustering with distance 1 .. OK, 1 joined\n"), ">1\nb\tAA\na\tAC\n", kOddPath, kOddOutput},
    {"MissingInputNamedWithQuotes", kAbsent, run_args("1", "N", "no \"such\" file.fa"), 1, "", settings(1, "N", "no \"such\" file.fa") + "Can't open file \"no \"such\" file.fa\"\n", ""},
    {"OutputInMissingDirectoryWithQuotes", kAbsent, {"-i", "in.fa", "-o", "no dir/\"x\".txt", "-d", "1", "-t", "N"}, 1, "", "Input path: \"in.fa\"\nCan't create output file \"no dir/\"x\".txt\"\n", kAbsent},
};
// clang-format on

class HostileCommandLine : public ::testing::TestWithParam<CliCase> {};
TEST_P(HostileCommandLine, ProducesExactBytes) { expect_case(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Hostile, HostileCommandLine, ::testing::ValuesIn(kCases), case_name);

}  // namespace
