// Command-line cases, one a line: the input, the arguments, and the exact
// status, standard output, standard error and report expected. Each runs in a
// fresh scratch directory where the input is "in.fa" and the report "out.txt".
// Distance texts are covered in full by the distance-parse fuzz target.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/cli_harness.h"

namespace {

std::string screening(int accepted, int unknown = 0, int with_n = 0, int mismatches = 0) {
  std::string text = "Converting barcodes to binary form\n";
  if (unknown) text += " - " + std::to_string(unknown) + " barcodes have unknown characters\n";
  if (with_n) text += " - " + std::to_string(with_n) + " barcodes have N\n";
  if (mismatches) text += " - " + std::to_string(mismatches) + " template mismatches\n";
  return text + " - " + std::to_string(accepted) + " barcodes match template\n";
}

std::string parsed(int records) { return "Parsed " + std::to_string(records) + " sequences\n"; }

const std::string kFourReads = ">r1\nCA\n>r2\nAC\n>r3\nCA\n>r4\nAC\n";
const std::string kFourRunHead = settings(0, "NN") + parsed(4) + screening(4) + "Sorting .. OK\n";
const std::string kNuls(">a\0x\r\nCA\0y\n\0\0>b\rAC\n>c\n\0CGT\n", 27);
const std::string kWrapped = ">a\r\nAC\r\n\r\nG\r\nT\r\n>b x>y\rAC\rGT";

// clang-format off
const std::vector<CliCase> kCommandLineCases = {
    {"NoArguments", kAbsent, {}, 0, "", kVersion + kUsage, kAbsent},
    {"OnlyHelp", kAbsent, {"-h"}, 1, "", kUsage, kAbsent},
    {"OnlyVersion", kAbsent, {"--version"}, 1, "", kVersion, kAbsent},
    {"GroupedFlags", kAbsent, {"-hv"}, 1, "", kVersion + kUsage, kAbsent},
    {"MissingInput", kAbsent, {"-o", "out.txt"}, 1, "", "Input file is not specified (\"--in\" option)\n" + kHint, kAbsent},
    {"MissingOutput", kAbsent, {"-i", "in.fa"}, 1, "", "Output file is not specified (\"--out\" option)\n" + kHint, kAbsent},
    {"MissingDistanceBeforeTemplate", kAbsent, {"-i", "a", "-o", "b"}, 1, "", "Distance is not specified (\"--distance\" option)\n" + kHint, kAbsent},
    {"MissingTemplate", kAbsent, {"-i", "a", "-o", "b", "-d", "1"}, 1, "", "Template is not specified (\"--template\" option)\n" + kHint, kAbsent},
    {"EmptyTemplate", kAbsent, {"-i", "a", "-o", "b", "-d", "1", "-t", ""}, 1, "", "Template is not specified (\"--template\" option)\n" + kHint, kAbsent},
    {"MissingOptionWithHelpIsSilent", kAbsent, {"-h", "-i", "a"}, 1, "", kUsage, kAbsent},
    {"BadDistanceBeforeUnknownOption", kAbsent, {"-d", "x", "-q"}, 1, "", "Can't parse distance (\"x\")\n", kAbsent},
    {"UnknownOptionBeforeBadDistance", kAbsent, {"-q", "-d", "x"}, 1, "", "Unrecognized option -q\n" + kHint, kAbsent},
    {"MaxIntDistanceTooLarge", kAbsent, {"-i", "in.fa", "-o", "b", "-d", "2147483647", "-t", "N"}, 1, "", "Input path: \"in.fa\"\nToo large distance. Only distances up to 3 are supported.\n", kAbsent},
    {"DistanceFourWithHelp", kAbsent, {"-h", "-i", "in.fa", "-o", "b", "-d", "4", "-t", "N"}, 1, "", kUsage + "Input path: \"in.fa\"\nToo large distance. Only distances up to 3 are supported.\n", kAbsent},
    {"ShortOptionWithoutValue", kAbsent, {"-i", "a", "-d"}, 1, "", "Unrecognized option -d\n" + kHint, kAbsent},
    {"UnknownLongOption", kAbsent, {"--bogus=3"}, 1, "", "Unrecognized option \"--bogus=3\"\n" + kHint, kAbsent},
    {"UnknownLongOptionAfterStray", kAbsent, {"stray", "--nope"}, 1, "", "Unrecognized option \"--nope\"\n" + kHint, kAbsent},
    {"LongOptionWithoutValue", kAbsent, {"-i", "a", "--templ"}, 1, "", "Option \"--templ\" requires a value\n" + kHint, kAbsent},
    {"FlagOptionWithValue", kAbsent, {"--version=1"}, 1, "", "Option \"--version=1\" takes no value\n" + kHint, kAbsent},
    {"JobsZero", kAbsent, {"-i", "a", "--jobs=0"}, 1, "", "Can't parse jobs (\"0\")\n", kAbsent},
    {"JobsWithoutValue", kAbsent, {"-i", "a", "--jobs"}, 1, "", "Option \"--jobs\" requires a value\n" + kHint, kAbsent},
    {"FixedMismatchesTooLarge", kAbsent, {"--fixed-mismatches", "9"}, 1, "", "Can't parse fixed-mismatches (\"9\") - fixed-mismatches should be from 0 to 8\n", kAbsent},
    {"WindowTooLarge", kAbsent, {"--window", "4097"}, 1, "", "Can't parse window (\"4097\") - window should be from 0 to 4096\n", kAbsent},
    {"QualityTooLarge", kAbsent, {"--q", "94"}, 1, "", "Can't parse quality (\"94\") - quality should be from 0 to 93\n", kAbsent},
    {"MergeRatioByPrefix", kAbsent, {"--m=0"}, 1, "", "Can't parse merge-ratio (\"0\") - merge-ratio should be a number from 1 to 1000000\n", kAbsent},
    {"MergeRatioWithKnown", kFourReads, {"-i", "in.fa", "-o", "out.txt", "-d", "1", "-t", "NN", "--known", "lib.tsv", "--merge-ratio", "5"}, 1, "", "Input path: \"in.fa\"\nOption --merge-ratio has no meaning with --known: each read is assigned on its own\n", kAbsent},
    {"MergeRatioWithoutValue", kAbsent, {"-i", "a", "--merge-ratio"}, 1, "", "Option \"--merge-ratio\" requires a value\n" + kHint, kAbsent},
    {"BothStrandsWithValue", kAbsent, {"--both-strands=1"}, 1, "", "Option \"--both-strands=1\" takes no value\n" + kHint, kAbsent},
    {"StrayArgument", kAbsent, {"-i", "a", "stray", "-o", "b"}, 1, "", "Unrecognized option: \"stray\"\n", kAbsent},
    {"ArgumentAfterDoubleDash", kAbsent, {"-i", "a", "--", "-o"}, 1, "", "Unrecognized option: \"-o\"\n", kAbsent},
};
// clang-format on

// clang-format off
const std::vector<CliCase> kRunCases = {
    {"DistanceZeroJoinsIdenticalBarcodesOnAnyJobs", kFourReads, {"--j=3", "-i", "in.fa", "-o", "out.txt", "-d", "0", "-t", "NN"}, 0, "2 clusters\n", kFourRunHead + forest_line(2, kFourReads.size(), 4, 4) + "Clustering with distance 0 .. OK, 2 joined\n", ">1\nr2\tAC\nr4\tAC\n>2\nr1\tCA\nr3\tCA\n"},
    {"DistanceZeroWithoutDuplicatesWritesBuckets", kFourReads, {"-p", "-i", "in.fa", "-o", "out.txt", "-d", "0", "-t", "nn"}, 0, "2 clusters\n", kFourRunHead + "Removing duplicates .. OK, 2 sequences with unique barcodes remain\n", ">1\nr2\tAC\n>2\nr1\tCA\n"},
    {"AbbreviatedLongOptions", kFourReads, {"--i", "in.fa", "--o=out.txt", "--dist", "2", "--t=NN", "--r"}, 0, "1 clusters\n", settings(2, "NN") + parsed(4) + screening(4) + "Sorting .. OK\nRemoving duplicates .. OK, 2 sequences with unique barcodes remain\n" + forest_line(2, kFourReads.size(), 4, 2) + "Clustering with distance 1 .. OK, 0 joined\nClustering with distance 2 .. OK, 1 joined\n", ">1\nr2\tAC\nr1\tCA\n"},
    {"PaddedDistance", ">a\nAC\n", run_args("  +00000000003", "NN"), 0, "1 clusters\n", settings(3, "NN") + parsed(1) + screening(1) + "Sorting .. OK\n" + forest_line(2, 6, 1, 1) + "Clustering with distance 0 .. OK, 0 joined\nClustering with distance 1 .. OK, 0 joined\n" "Clustering with distance 2 .. OK, 0 joined\nClustering with distance 3 .. OK, 0 joined\n", ">1\na\tAC\n"},
    {"HelpWithFullCommandLineRuns", ">a\nAC\n", {"-h", "-p", "-i", "in.fa", "-o", "out.txt", "-d", "0", "-t", "NN"}, 0, "1 clusters\n", kUsage + settings(0, "NN") + parsed(1) + screening(1) + "Sorting .. OK\nRemoving duplicates .. OK, 1 sequences with unique barcodes remain\n", ">1\na\tAC\n"},
    {"FiveIdenticalBarcodes", ">a\nGGG\n>b\nGGG\n>c\nGGG\n>d\nGGG\n>e\nGGG\n", run_args("0", "NNN"), 0, "1 clusters\n", settings(0, "NNN") + parsed(5) + screening(5) + "Sorting .. OK\n" + forest_line(3, 35, 5, 5) + "Clustering with distance 0 .. OK, 4 joined\n", ">1\na\tGGG\ne\tGGG\nd\tGGG\nc\tGGG\nb\tGGG\n"},
    {"EmptyNameGivesLeadingTab", ">\nAC\n", run_args("0", "NN"), 0, "1 clusters\n", settings(0, "NN") + parsed(1) + screening(1) + "Sorting .. OK\n" + forest_line(2, 5, 1, 1) + "Clustering with distance 0 .. OK, 0 joined\n", ">1\n\tAC\n"},
    {"ScreeningCountsEveryCause", ">a\nXCGTAC\n>b\nNCGTAC\n>c\nACGTAG\n>d\nACG\n>e\nacgta\n", run_args("0", "nnnnac"), 0, "1 clusters\n", settings(0, "NNNNAC") + parsed(5) + screening(1, 1, 1, 2) + "Sorting .. OK\n" + forest_line(6, 46, 5, 1) + "Clustering with distance 0 .. OK, 0 joined\n", ">1\ne\tacgta\n"},
    {"NoBarcodeMatches", ">a\nACG\n>b\nNNNN\n", run_args("1", "NNNN"), 1, "", settings(1, "NNNN") + parsed(2) + screening(0, 0, 1, 1) + "No barcodes match template\n", kAbsent},
    // FASTA has no qualities: refused before the output file is made, or, where the input cannot be read twice, after the parse.
    {"QualityWithFasta", kFourReads, {"-i", "in.fa", "-o", "out.txt", "-d", "0", "-t", "NN", "--quality", "20"}, 1, "", "Input path: \"in.fa\"\nInput file \"in.fa\" is FASTA: --quality needs the base qualities of FASTQ\n", kAbsent},
    {"QualityWithGzipFasta", gzip_member(kFourReads), {"-i", "in.fa", "-o", "out.txt", "-d", "0", "-t", "NN", "--quality", "20"}, 1, "", "Input path: \"in.fa\"\nInput file \"in.fa\" is FASTA: --quality needs the base qualities of FASTQ\n", kAbsent},
    {"QualityWithFastaOnStandardInput", kFourReads, {"-i", "-", "-o", "out.txt", "-d", "0", "-t", "NN", "--quality", "20"}, 1, "", settings(0, "NN", "-") + parsed(4) + "Input file \"-\" is FASTA: --quality needs the base qualities of FASTQ\n", kAbsent, "in.fa", "out.txt", {"/dev/null", "", {"sh", "-c", "exec \"$0\" \"$@\" <in.fa"}}},
    {"OutputDirectoryMissing", kAbsent, {"-i", "in.fa", "-o", "no/such/dir/out.txt", "-d", "1", "-t", "X"}, 1, "", "Input path: \"in.fa\"\nCan't create output file \"no/such/dir/out.txt\"\n", kAbsent},
    {"OutputIsInput", kFourReads, {"-i", "in.fa", "-o", "./in.fa", "-d", "1", "-t", "NN"}, 1, "", "Input path: \"in.fa\"\nOutput file \"./in.fa\" is the input file\n", kAbsent},
    {"BadTemplateLetter", kFourReads, run_args("1", "NNxN"), 1, "", "Input path: \"in.fa\"\nCan't parse \"x\" in the template sequence \"NNxN\" - template should only contain " "[ATCGN.]\n", kAbsent},
    {"TemplateWithoutBarcodePositions", kFourReads, run_args("1", "acgt"), 1, "", "Input path: \"in.fa\"\nTemplate \"acgt\" has no barcode positions (N or .)\n", kAbsent},
    {"MissingInputFile", kAbsent, run_args("1", "N.n"), 1, "", settings(1, "N.N") + "Can't open file \"in.fa\"\n", kAbsent},
    {"EmptyInputPath", kAbsent, {"-i", "", "-o", "out.txt", "-d", "1", "-t", "N"}, 1, "", settings(1, "N", "") + "Can't open file \"\"\n", kAbsent},
    {"EmptyInput", "", run_args("1", "N"), 1, "", settings(1, "N") + "Can't load input data\n", kAbsent},
    {"InputWithoutRecords", "ACGT\n", run_args("1", "N"), 1, "", settings(1, "N") + "Input has no sequences\n", kAbsent},
    {"InputNotStartingWithName", "\n>a\nAC\n", run_args("1", "N"), 1, "", settings(1, "N") + "Can't find sequence start ('>') in line 1\n", kAbsent},
    // Sequence lines of a record are joined; line numbers of later faults count every line but blank ones.
    {"WrappedSequencesAndMarksInNames", kWrapped, run_args("0", "NNNN"), 0, "1 clusters\n", settings(0, "NNNN") + parsed(2) + screening(2) + "Sorting .. OK\n" + forest_line(4, kWrapped.size(), 2, 2) + "Clustering with distance 0 .. OK, 1 joined\n", ">1\na\tACGT\nb x>y\tACGT\n"},
    {"NameLineAfterWrappedRecord", ">a\nAC\nGT\n\n>b\n>c\nAC\n", run_args("1", "N"), 1, "", settings(1, "N") + "Can't find sequence start ('>') in line 6\n", kAbsent},
    {"NameWithoutLineEnd", ">a\nAC\n>b", run_args("1", "N"), 1, "", settings(1, "N") + "Can't find end of sequence name\n", kAbsent},
    {"LoneClosingMark", ">a\nAC\n>", run_args("1", "N"), 1, "", settings(1, "N") + "Can't find end of sequence name\n", kAbsent},
    {"NameWithoutSequence", ">a\nAC\n>r7\r\n\r\n", run_args("1", "N"), 1, "", settings(1, "N") + "Can't find data for sequence \">r7\"\n", kAbsent},
    {"NameLineAsSequenceCountsEveryMark", ">a>z\n>b\n", run_args("1", "N"), 1, "", settings(1, "N") + "Failed to parse 3 sequences\n", kAbsent},
    {"TwoNameLines", ">a\n>b\n", run_args("1", "N"), 1, "", settings(1, "N") + "Failed to parse 2 sequences\n", kAbsent},
    {"LineEndsAndBlankLines", ">a\r\n\r\nCA\r\n\r\n>b\rAC\r\r>c\n\nCA", run_args("0", "NN"), 0, "2 clusters\n", settings(0, "NN") + parsed(3) + screening(3) + "Sorting .. OK\n" + forest_line(2, 25, 3, 3) + "Clustering with distance 0 .. OK, 1 joined\n", ">1\nb\tAC\n>2\na\tCA\nc\tCA\n"},
    // A NUL ends the text of its line; NULs between lines vanish; one that opens a sequence line empties it.
    {"NulBytes", kNuls, run_args("0", "NN"), 0, "2 clusters\n", settings(0, "NN") + parsed(3) + screening(2, 0, 0, 1) + "Sorting .. OK\n" + forest_line(2, kNuls.size(), 3, 2) + "Clustering with distance 0 .. OK, 0 joined\n", ">1\nb\tAC\n>2\na\tCA\n"},
};
// clang-format on

std::string n_times(char base, int count) { return std::string(count, base); }

std::string pass_lines(int first, const std::vector<int>& joined) {
  std::string text;
  for (int joins : joined)
    text += "Clustering with distance " + std::to_string(first++) + " .. OK, " + std::to_string(joins) + " joined\n";
  return text;
}

// Clustering runs whose member order pins the order of the joins: within a
// bucket, across passes, across subpasses (neighbour rank, not key order),
// and at the word boundaries of the packed barcodes.
const std::string kChainAcrossPasses = ">r1\nAAAAAAAAAA\n>r2\nAAAAAAAAGG\n>r3\nAAAAAAAAGT\n>r4\nAAAAAAAAAA\n";
const std::string kChainAcrossSubpasses = ">r1\nCAAAAAAA\n>r2\nAAAAAAAA\n>r3\nAAAAAAAT\n>r4\nAAAAAAAA\n";
const std::string kSixBases = ">r1\nAAAAAA\n>r2\nCCAAAA\n";
const std::string kNineBases = ">r1\nAAAAAAAAC\n>r2\nAAAAAAAAA\n";
const std::string kThirtyTwoBases = ">r1\n" + n_times('A', 31) + "C\n>r2\n" + n_times('A', 32) + "\n";
const std::string kThirtyThreeBases =
    ">r1\n" + n_times('A', 32) + "C\n>r2\n" + n_times('A', 33) + "\n>r3\nC" + n_times('A', 31) + "G\n";
const std::string kSixtyFiveBases = ">r1\n" + n_times('A', 64) + "T\n>r2\n" + n_times('A', 65) + "\n>r3\n" +
                                    n_times('A', 31) + "G" + n_times('A', 33) + "\n";
const std::string kEdgeKeys = ">r1\nTTTTTTTT\n>r2\nTTTTTTTG\n>r3\nAAAAAAAA\n>r4\nCAAAAAAA\n";

std::string run_head(int distance, const std::string& upper_template, int records) {
  return settings(distance, upper_template) + parsed(records) + screening(records) + "Sorting .. OK\n";
}

// clang-format off
const std::vector<CliCase> kClusteringCases = {
    {"ChainAcrossPasses", kChainAcrossPasses, run_args("2", "NNNNNNNNNN"), 0, "1 clusters\n", run_head(2, "NNNNNNNNNN", 4) + forest_line(10, kChainAcrossPasses.size(), 4, 4) + pass_lines(0, {1, 1, 1}), ">1\nr1\tAAAAAAAAAA\nr3\tAAAAAAAAGT\nr2\tAAAAAAAAGG\nr4\tAAAAAAAAAA\n"},
    {"ChainAcrossSubpassesFollowsNeighbourRank", kChainAcrossSubpasses, {"-p", "-i", "in.fa", "-o", "out.txt", "-d", "1", "-t", "NNNNNNNN"}, 0, "1 clusters\n", run_head(1, "NNNNNNNN", 4) + "Removing duplicates .. OK, 3 sequences with unique barcodes remain\n" + forest_line(8, kChainAcrossSubpasses.size(), 4, 3) + pass_lines(1, {2}), ">1\nr2\tAAAAAAAA\nr3\tAAAAAAAT\nr1\tCAAAAAAA\n"},
    {"SixBasesJoinOnlyInTheirSubpass", kSixBases, {"-p", "-i", "in.fa", "-o", "out.txt", "-d", "2", "-t", "NNNNNN"}, 0, "1 clusters\n", run_head(2, "NNNNNN", 2) + "Removing duplicates .. OK, 2 sequences with unique barcodes remain\n" + forest_line(6, kSixBases.size(), 2, 2) + pass_lines(1, {0, 1}), ">1\nr1\tAAAAAA\nr2\tCCAAAA\n"},
    {"NineBasesJoinInsideTheBucket", kNineBases, run_args("1", "NNNNNNNNN"), 0, "1 clusters\n", run_head(1, "NNNNNNNNN", 2) + forest_line(9, kNineBases.size(), 2, 2) + pass_lines(0, {0, 1}), ">1\nr2\tAAAAAAAAA\nr1\tAAAAAAAAC\n"},
    {"ThirtyTwoBasesFillOneWord", kThirtyTwoBases, run_args("1", n_times('N', 32).c_str()), 0, "1 clusters\n", run_head(1, n_times('N', 32), 2) + forest_line(32, kThirtyTwoBases.size(), 2, 2) + pass_lines(0, {0, 1}), ">1\nr2\t" + n_times('A', 32) + "\nr1\t" + n_times('A', 31) + "C\n"},
    {"ThirtyThreeBasesSpillIntoWordTwo", kThirtyThreeBases, run_args("1", n_times('N', 33).c_str()), 0, "2 clusters\n", run_head(1, n_times('N', 33), 3) + forest_line(33, kThirtyThreeBases.size(), 3, 3, 32) + pass_lines(0, {0, 1}), ">1\nr2\t" + n_times('A', 33) + "\nr1\t" + n_times('A', 32) + "C\n>2\nr3\tC" + n_times('A', 31) + "G\n"},
    {"SixtyFiveBasesSpillIntoWordThree", kSixtyFiveBases, run_args("1", n_times('N', 65).c_str()), 0, "1 clusters\n", run_head(1, n_times('N', 65), 3) + forest_line(65, kSixtyFiveBases.size(), 3, 3, 40) + pass_lines(0, {0, 2}), ">1\nr2\t" + n_times('A', 65) + "\nr3\t" + n_times('A', 31) + "G" + n_times('A', 33) + "\nr1\t" + n_times('A', 64) + "T\n"},
    {"FirstAndLastBucketKeys", kEdgeKeys, run_args("1", "NNNNNNNN"), 0, "2 clusters\n", run_head(1, "NNNNNNNN", 4) + forest_line(8, kEdgeKeys.size(), 4, 4) + pass_lines(0, {0, 2}), ">1\nr3\tAAAAAAAA\nr4\tCAAAAAAA\n>2\nr2\tTTTTTTTG\nr1\tTTTTTTTT\n"},
};
// clang-format on

// Command lines that scripts and people get wrong: options given twice, empty
// values, values that look like options, a template of a hundred thousand
// letters, paths with spaces, quotes and bytes that are not UTF-8, shown
// exactly as given.
const std::string kTwoReads = ">a\nAC\n>b\nAA\n";

const std::string kLongTemplate(100000, 'N');
const std::string kLongRead(100000, 'G');
const std::string kOddPath = "in \xff\xfe \"quoted\" 'single'.fa";
const std::string kOddOutput = "out \"x\" \xc3\x28.txt";

// clang-format off
const std::vector<CliCase> kHostileCommandLines = {
    {"EveryOptionTwiceLastOneWins", kTwoReads, {"-i", "missing.fa", "--in", "in.fa", "-o", "other.txt", "--out=out.txt", "-d", "3", "--dist", "1", "-t", "XX", "--templ=nn", "-p", "--remove", "-v", "--version", "-h", "-hv"}, 0, "1 clusters\n", kVersion + kUsage + settings(1, "NN") + forest_run(2, kTwoReads.size(), 2, 2, true, "Clustering with distance 1 .. OK, 1 joined\n"), ">1\nb\tAA\na\tAC\n"},
    {"LaterTooLargeDistanceWins", kAbsent, {"-i", "a", "-o", "b", "-d", "1", "-d", "4", "-t", "N"}, 1, "", "Input path: \"a\"\nToo large distance. Only distances up to 3 are supported.\n", kAbsent, "in.fa", "b"},
    {"EarlierBadDistanceEndsTheScan", kAbsent, {"-d", "1x", "-d", "1"}, 1, "", "Can't parse distance (\"1x\")\n", kAbsent},
    {"EmptyOutputPath", kTwoReads, {"-i", "in.fa", "-o", "", "-d", "1", "-t", "N"}, 1, "", "Input path: \"in.fa\"\nCan't create output file \"\"\n", kAbsent},
    {"EmptyStrayArgument", kAbsent, {"-i", "a", ""}, 1, "", "Unrecognized option: \"\"\n", kAbsent},
    {"LoneDashIsAStrayArgument", kAbsent, {"-", "-i", "a"}, 1, "", "Unrecognized option: \"-\"\n", kAbsent},
    {"EmptyLongOptionName", kAbsent, {"--=x"}, 1, "", "Unrecognized option \"--=x\"\n" + kHint, kAbsent},
    {"OptionTakenAsValue", kAbsent, {"-i", "-o", "out.txt"}, 1, "", "Unrecognized option: \"out.txt\"\n", kAbsent},
    {"ShortOptionHighByte", kAbsent, {"-\xff"}, 1, "", "Unrecognized option -\xff\n" + kHint, kAbsent},
    {"FlagGivenValueInGroup", kAbsent, {"-p\x01"}, 1, "", "Unrecognized option -\\x01\n" + kHint, kAbsent},
    // Control bytes in what is echoed show as \xHH: a carriage return cannot hide the message, an escape cannot drive the terminal.
    {"CarriageReturnInTemplateShownAsHex", kTwoReads, {"-i", "in.fa", "-o", "out.txt", "-d", "1", "-t", "NN\r"}, 1, "", "Input path: \"in.fa\"\nCan't parse \"\\x0d\" in the template sequence \"NN\\x0d\" - template should only contain [ATCGN.]\n", kAbsent},
    {"EscapeSequenceInInputPathShownAsHex", kAbsent, {"-i", "in\x1b[2J\x7f.fa", "-o", "out.txt", "-d", "1", "-t", "NN"}, 1, "", settings(1, "NN", "in\\x1b[2J\\x7f.fa") + "Can't open file \"in\\x1b[2J\\x7f.fa\"\n", kAbsent},
    {"HundredThousandLetterTemplate", ">long\n" + kLongRead + "\n", run_args("0", kLongTemplate), 0, "1 clusters\n", settings(0, kLongTemplate) + forest_run(100000, 100007, 1, 1, false, "Clustering with distance 0 .. OK, 0 joined\n", 16 + 8 * 3125), ">1\nlong\t" + kLongRead + "\n"},
    {"HundredThousandLetterTemplateWithBadLetter", kTwoReads, run_args("0", kLongTemplate + "u"), 1, "", "Input path: \"in.fa\"\nCan't parse \"u\" in the template sequence \"" + kLongTemplate + "u\" - template should only contain [ATCGN.]\n", kAbsent},
    {"PathsWithSpacesQuotesAndNonUtf8Bytes", kTwoReads, {"-i", kOddPath, "-o", kOddOutput, "-d", "1", "-t", "NN"}, 0, "1 clusters\n", settings(1, "NN", kOddPath) + forest_run(2, kTwoReads.size(), 2, 2, false, "Clustering with distance 0 .. OK, 0 joined\nClustering with distance 1 .. OK, 1 joined\n"), ">1\nb\tAA\na\tAC\n", kOddPath, kOddOutput},
    {"MissingInputNamedWithQuotes", kAbsent, run_args("1", "N", "no \"such\" file.fa"), 1, "", settings(1, "N", "no \"such\" file.fa") + "Can't open file \"no \"such\" file.fa\"\n", kAbsent},
    {"OutputInMissingDirectoryWithQuotes", kAbsent, {"-i", "in.fa", "-o", "no dir/\"x\".txt", "-d", "1", "-t", "N"}, 1, "", "Input path: \"in.fa\"\nCan't create output file \"no dir/\"x\".txt\"\n", kAbsent},
};
// clang-format on

// A million record marks: on one line, before one read, on lines of their own.
const std::string kMarks(1000000, '>');
std::string mark_lines() {
  std::string lines;
  for (int i = 0; i < 1000000; ++i) lines += ">\n";
  return lines;
}

// clang-format off
const std::vector<CliCase> kMillionMarks = {
    {"MillionRecordMarks", kMarks, run_args("1", "NNNN"), 1, "", settings(1, "NNNN") + "Can't find end of sequence name\n", kAbsent},
    {"MillionRecordMarksAndLineEnd", kMarks + "\n", run_args("1", "NNNN"), 1, "", settings(1, "NNNN") + "Can't find data for sequence \"" + kMarks + "\"\n", kAbsent},
    {"MillionRecordMarksNamingOneRead", kMarks + "\nACGT\n", run_args("0", "NNNN"), 0, "1 clusters\n", settings(0, "NNNN") + forest_run(4, kMarks.size() + 6, 1, 1, false, "Clustering with distance 0 .. OK, 0 joined\n"), ">1\n" + kMarks.substr(1) + "\tACGT\n"},
    // Each name line takes the next as its sequence.
    {"MillionRecordMarksOnLinesOfTheirOwn", mark_lines(), run_args("1", "NNNN"), 1, "", settings(1, "NNNN") + "Failed to parse 1000000 sequences\n", kAbsent},
};
// clang-format on

class CliTable : public ::testing::TestWithParam<CliCase> {};
TEST_P(CliTable, ProducesExactBytes) { expect_case(GetParam()); }

INSTANTIATE_TEST_SUITE_P(CommandLine, CliTable, ::testing::ValuesIn(kCommandLineCases), case_name);
INSTANTIATE_TEST_SUITE_P(Runs, CliTable, ::testing::ValuesIn(kRunCases), case_name);
INSTANTIATE_TEST_SUITE_P(Clustering, CliTable, ::testing::ValuesIn(kClusteringCases), case_name);
INSTANTIATE_TEST_SUITE_P(Hostile, CliTable, ::testing::ValuesIn(kHostileCommandLines), case_name);
INSTANTIATE_TEST_SUITE_P(HostileInput, CliTable, ::testing::ValuesIn(kMillionMarks), case_name);

}  // namespace
