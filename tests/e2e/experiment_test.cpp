// Sample sheets (--experiment): a run over many samples writes the report,
// the count and every table (the sample columns aside) of one run over the
// samples' reads back to back, for any mix of forms; the
// sample columns add up; every refusal names the sheet, its line and the
// problem, before any output exists.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/cli_harness.h"
#include "support/compression.h"
#include "support/random_reads.h"

namespace {

#ifdef TARNWELL_SANITIZED_TESTS
constexpr uint32_t kCases = 8;
#else
constexpr uint32_t kCases = 30;
#endif

// Each line cut after its first `fields` tab-separated fields: the part before the cut, or the part after.
std::string cut_columns(const std::string& table, size_t fields, bool before) {
  std::string kept;
  for (const std::string& line : split(table, '\n')) {
    size_t at = 0;
    for (size_t k = 0; k < fields; ++k) at = line.find('\t', at) + 1;
    kept += (before ? line.substr(0, at == 0 ? line.size() : at - 1) : line.substr(at)) + "\n";
  }
  return kept;
}
std::string first_fields(const std::string& table, size_t fields) { return cut_columns(table, fields, true); }
std::string without_first_fields(const std::string& table, size_t fields) { return cut_columns(table, fields, false); }

// The sample columns add up to `reads`, and each equals the sample's rows of that cluster in the assignments.
void expect_sample_columns_add_up(const Experiment& experiment, const std::string& clusters,
                                  const std::string& assignments, uint32_t seed) {
  std::map<std::pair<std::string, std::string>, uint64_t> assigned;  // (sample, cluster) -> reads
  for (const std::string& row : split(assignments, '\n')) {
    const std::vector<std::string> fields = split(row, '\t');
    if (fields.size() >= 5 && (fields[2] == "clustered" || fields[2] == "duplicate"))
      ++assigned[{fields[0], fields[4]}];
  }
  const std::vector<std::string> rows = split(clusters, '\n');
  std::string header = "cluster\tmembers\treads\tbarcodes\trepresentative";
  for (const std::string& name : experiment.names) header += "\t" + name;
  ASSERT_EQ(rows.at(0), header) << "seed " << seed;
  for (size_t i = 1; i < rows.size(); ++i) {
    const std::vector<std::string> fields = split(rows[i], '\t');
    ASSERT_EQ(fields.size(), 5 + experiment.names.size()) << "seed " << seed;
    uint64_t sum = 0;
    for (size_t k = 0; k < experiment.names.size(); ++k) {
      const uint64_t reads = std::stoull(fields[5 + k]);
      sum += reads;
      EXPECT_EQ(reads, (assigned[{experiment.names[k], fields[0]}])) << "seed " << seed << " row " << i;
    }
    EXPECT_EQ(sum, std::stoull(fields[2])) << "seed " << seed << " row " << i;
  }
}

TEST(Experiment, RunsAsTheSamplesBackToBack) {
  for (uint32_t seed = 0; seed < kCases; ++seed) {
    CaseRandom random(9100 + seed);
    const ReadSet set = random_read_set(random, seed % 4, 120);
    const std::string distance = std::to_string(random.below(4));
    std::vector<std::string> options = {
        "-o", "out.txt", "-d", distance, "-t", set.template_text, "--assignments", "a.tsv", "--cluster-table", "c.tsv"};
    if (random.chance(40)) options.push_back("-p");
    // One job loads the samples one after another; more load them at once.
    const uint32_t jobs = 1 + random.below(4);
    options.push_back("--jobs=" + std::to_string(jobs));

    ScratchDir dir;
    const Experiment experiment = write_experiment(random, dir, set.fasta, 10);
    const CliResult samples = run_tarnwell(dir, with({"--experiment", "data/s.tsv"}, options));
    const std::string report = dir.read("out.txt");
    const std::string assignments = dir.read("a.tsv");
    const std::string clusters = dir.read("c.tsv");

    dir.write("joined", experiment.joined);
    const CliResult joined = run_tarnwell(dir, with({"-i", "joined"}, options));
    ASSERT_EQ(joined.status, 0) << "seed " << seed << joined.err;
    ASSERT_EQ(samples.status, 0) << "seed " << seed << samples.err;
    EXPECT_EQ(samples.out, joined.out) << "seed " << seed;
    EXPECT_EQ(report, dir.read("out.txt")) << "seed " << seed;
    EXPECT_EQ(without_first_fields(assignments, 1), dir.read("a.tsv")) << "seed " << seed;
    EXPECT_EQ(first_fields(clusters, 5), dir.read("c.tsv")) << "seed " << seed;
    expect_sample_columns_add_up(experiment, clusters, assignments, seed);

    // Each assignment row names the sample the read came from, in sheet order.
    std::string expected_samples = "sample\n";
    for (size_t k = 0; k < experiment.names.size(); ++k) {
      for (uint64_t r = 0; r < experiment.reads[k]; ++r) expected_samples += experiment.names[k] + "\n";
    }
    EXPECT_EQ(first_fields(assignments, 1), expected_samples) << "seed " << seed;

    // Loaded at once, the samples leave every byte, the progress and the memory count among them, as loaded in turn.
    if (jobs == 1) continue;
    options.back() = "--jobs=1";
    const CliResult in_turn = run_tarnwell(dir, with({"--experiment", "data/s.tsv"}, options));
    EXPECT_EQ(samples.err, in_turn.err) << "seed " << seed;
    EXPECT_EQ(report, dir.read("out.txt")) << "seed " << seed;
    EXPECT_EQ(assignments, dir.read("a.tsv")) << "seed " << seed;
    EXPECT_EQ(clusters, dir.read("c.tsv")) << "seed " << seed;
  }
}

// A sheet's run: its report and the standard error after the settings.
struct SheetCase {
  const char* name;
  std::map<std::string, std::string> files;
  std::vector<std::string> more;  // options after the run's own
  std::string err;          // after "Sample sheet: ..." and, past the sheet checks, the settings
  bool past_sheet = false;  // the run got to loading: the settings were printed
};
void PrintTo(const SheetCase& c, std::ostream* os) { *os << c.name; }

const std::string kHeader = "sample\tpath\n";
const std::string kReadsA = ">a1\nACAAAAAAGT\n>a2\nACAAAAAAGT\n";
const std::string kReadsB = "@b1\nACAAAAAAGT\n+\nIIIIIIIIII\n@b2\nACCCCCCCGT\n+\nIIIIIIIIII\n";
const std::string kSheetSettings =
    "Counting clusters separated by at least 1 mismatch\nUsing only sequences matching template \"ACNNNNNNGT\"\n";
std::string line_error(int line, const std::string& problem) {
  return "Sample sheet \"s.tsv\", line " + std::to_string(line) + ": " + problem + "\n";
}

// clang-format off
const std::vector<SheetCase> kSheetCases = {
    {"SheetMissing", {}, {}, "Can't read sample sheet \"s.tsv\"\n"},
    {"SheetEmpty", {{"s.tsv", ""}}, {}, line_error(1, "the header is missing; it begins with the fields \"sample\" and \"path\"")},
    {"HeaderWrong", {{"s.tsv", "name\tpath\nA\ta.fa\n"}, {"a.fa", kReadsA}}, {}, line_error(1, "the header must begin with the fields \"sample\" and \"path\", separated by a tab")},
    {"HeaderOneField", {{"s.tsv", "sample path\nA\ta.fa\n"}, {"a.fa", kReadsA}}, {}, line_error(1, "the header must begin with the fields \"sample\" and \"path\", separated by a tab")},
    {"LineOneField", {{"s.tsv", kHeader + "A\ta.fa\nB b.fa\n"}, {"a.fa", kReadsA}}, {}, line_error(3, "a sample line needs a sample name and a path, separated by a tab")},
    {"BlankLine", {{"s.tsv", kHeader + "A\ta.fa\n\n"}, {"a.fa", kReadsA}}, {}, line_error(3, "a sample line needs a sample name and a path, separated by a tab")},
    {"NameEmpty", {{"s.tsv", kHeader + "\ta.fa\n"}, {"a.fa", kReadsA}}, {}, line_error(2, "the sample name is empty")},
    {"NameTwice", {{"s.tsv", kHeader + "A\ta.fa\nB\tb.fq\nA\tc.fa\n"}, {"a.fa", kReadsA}, {"b.fq", kReadsB}, {"c.fa", kReadsA}}, {}, line_error(4, "sample \"A\" is named on line 2 already")},
    {"NameWithCarriageReturn", {{"s.tsv", kHeader + "A\rB\ta.fa\n"}, {"a.fa", kReadsA}}, {}, line_error(2, "the sample name holds a control byte")},
    {"NameWithControlByte", {{"s.tsv", kHeader + "A\x01\ta.fa\n"}, {"a.fa", kReadsA}}, {}, line_error(2, "the sample name holds a control byte")},
    {"NameOfAColumn", {{"s.tsv", kHeader + "reads\ta.fa\n"}, {"a.fa", kReadsA}}, {}, line_error(2, "sample \"reads\" has the name of a column of the cluster table")},
    // With --umi the table also has umis, molecules and SAMPLE_molecules: a name that would repeat one is refused.
    {"NameOfAUmiColumn", {{"s.tsv", kHeader + "A\ta.fa\nmolecules\tb.fq\n"}, {"a.fa", kReadsA}, {"b.fq", kReadsB}}, {"--umi", "3-4"}, line_error(3, "sample \"molecules\" has the name of a column of the cluster table")},
    {"NameOfAMoleculesColumn", {{"s.tsv", kHeader + "A\ta.fa\nA_molecules\tb.fq\n"}, {"a.fa", kReadsA}, {"b.fq", kReadsB}}, {"--umi", "3-4"}, line_error(3, "samples \"A\" (line 2) and \"A_molecules\" clash: with --umi the column of molecules of sample \"A\" is named \"A_molecules\"")},
    {"MoleculesColumnOfALaterName", {{"s.tsv", kHeader + "A_molecules\ta.fa\nA\tb.fq\n"}, {"a.fa", kReadsA}, {"b.fq", kReadsB}}, {"--umi", "3-4"}, line_error(3, "samples \"A_molecules\" (line 2) and \"A\" clash: with --umi the column of molecules of sample \"A\" is named \"A_molecules\"")},
    {"PathEmpty", {{"s.tsv", kHeader + "A\t\n"}}, {}, line_error(2, "the path is empty")},
    {"StandardInput", {{"s.tsv", kHeader + "A\t-\n"}}, {}, line_error(2, "standard input can't be a sample's input")},
    {"FileMissing", {{"s.tsv", kHeader + "A\ta.fa\nB\tnone.fa\n"}, {"a.fa", kReadsA}}, {}, line_error(3, "can't open input file \"none.fa\" of sample \"B\"")},
    {"FileTwice", {{"s.tsv", kHeader + "A\ta.fa\nB\t./a.fa\n"}, {"a.fa", kReadsA}}, {}, line_error(3, "input file \"./a.fa\" is the input of sample \"A\" already")},
    {"NoSample", {{"s.tsv", kHeader}}, {}, "Sample sheet \"s.tsv\" names no sample\n"},
    {"WithIn", {{"s.tsv", kHeader + "A\ta.fa\n"}, {"a.fa", kReadsA}}, {"-i", "a.fa"}, "Options \"--in\" and \"--experiment\" exclude each other: give one input file or one sample sheet\n" + kHint},
    {"ReportIsASamplesFile", {{"s.tsv", kHeader + "A\ta.fa\nB\tb.fq\n"}, {"a.fa", kReadsA}, {"b.fq", kReadsB}}, {"-o", "b.fq"}, "Output file \"b.fq\" is the input file of sample \"B\"\n"},
    {"TableIsASamplesFile", {{"s.tsv", kHeader + "A\ta.fa\nB\tb.fq\n"}, {"a.fa", kReadsA}, {"b.fq", kReadsB}}, {"--stats", "a.fa"}, "Output file \"a.fa\" is the input file of sample \"A\"\n"},
    {"QualityOfFasta", {{"s.tsv", kHeader + "B\tb.fq\nA\ta.fa\n"}, {"a.fa", kReadsA}, {"b.fq", kReadsB}}, {"--quality", "20"}, "Input file \"a.fa\" is FASTA: --quality needs the base qualities of FASTQ\n"},
    {"SampleCorrupt", {{"s.tsv", kHeader + "A\ta.fa\nB\tb.fq.gz\n"}, {"a.fa", kReadsA}, {"b.fq.gz", gzip_member(kReadsB).substr(0, 30)}}, {}, std::string("Can't decompress input file \"b.fq.gz\"\nIn sample \"B\", line 3 of sample sheet \"s.tsv\"\n"), true},
    {"SampleMalformed", {{"s.tsv", kHeader + "A\ta.fa\nB\tb.fq\n"}, {"a.fa", kReadsA}, {"b.fq", "@b1\nACGT\n+\nII\n"}}, {}, "Quality of sequence \"@b1\" in line 4 has 2 bytes, sequence has 4\nIn sample \"B\", line 3 of sample sheet \"s.tsv\"\n", true},
    {"FastaWithoutRecords", {{"s.tsv", kHeader + "A\ta.fa\nB\tb.fa\n"}, {"a.fa", kReadsA}, {"b.fa", "ACGT\n"}}, {}, "Sample \"A\": FASTA, 2 reads\nInput has no sequences\nIn sample \"B\", line 3 of sample sheet \"s.tsv\"\n", true},
    {"EverySampleEmpty", {{"s.tsv", kHeader + "A\ta.fa\nB\tb.fq.gz\n"}, {"a.fa", ""}, {"b.fq.gz", gzip_member("")}}, {}, "Can't load input data\n", true},
};
// clang-format on

class SheetCases : public testing::TestWithParam<SheetCase> {};

TEST_P(SheetCases, RefusesWithTheLineAndTheProblem) {
  const SheetCase& c = GetParam();
  const bool gave_in = c.more.size() == 2 && c.more[0] == "-i";
  expect_refusal(c.files, with({"--experiment", "s.tsv", "-o", "out.txt", "-d", "0", "-t", "ACNNNNNNGT"}, c.more),
                 gave_in ? c.err : "Sample sheet: \"s.tsv\"\n" + (c.past_sheet ? kSheetSettings : "") + c.err);
}

INSTANTIATE_TEST_SUITE_P(Experiment, SheetCases, testing::ValuesIn(kSheetCases), case_name);

// Two samples fail, the second and the fifth of six: whatever the jobs, and
// although the fifth fails at once while the second fails only at its end,
// the run names the second, as a run that loads them in turn does.
TEST(Experiment, FirstFailureInSheetOrderIsReported) {
  std::string long_fastq;  // the second sample's good reads, long enough to be read while the fifth fails
  const uint32_t good_reads = 60000;
  for (uint32_t r = 0; r < good_reads; ++r) long_fastq += "@g" + std::to_string(r) + "\nACAAAAAAGT\n+\nIIIIIIIIII\n";
  const std::string malformed = long_fastq + "@bad\nACAAAAAAGT\n+\nII\n";
  const std::string compressed = gzip_member(long_fastq);
  struct Case {
    std::string second, fifth;  // the bytes of the failing samples
    std::string message;        // for the second
  };
  const Case cases[] = {
      {gzip_member(malformed), gzip_member(kReadsB).substr(0, 30),
       "Quality of sequence \"@bad\" in line " + std::to_string(4 * good_reads + 4) +
           " has 2 bytes, sequence has 10\n"},
      {compressed.substr(0, compressed.size() - 6), "BZh91AY&SY", "Can't decompress input file \"b.gz\"\n"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    dir.write("a.fa", kReadsA);
    dir.write("b.gz", c.second);
    dir.write("c.fa", kReadsA);
    dir.write("d.fq", kReadsB);
    dir.write("e.gz", c.fifth);
    dir.write("f.fa", kReadsA);
    dir.write("s.tsv", kHeader + "A\ta.fa\nB\tb.gz\nC\tc.fa\nD\td.fq\nE\te.gz\nF\tf.fa\n");
    for (const char* jobs : {"1", "2", "3", "4"}) {
      const CliResult result = run_tarnwell(
          dir, {"--experiment", "s.tsv", "-o", "out.txt", "-d", "0", "-t", "ACNNNNNNGT", "--jobs", jobs});
      EXPECT_EQ(result.status, 1) << jobs << " jobs";
      EXPECT_EQ(result.err, "Sample sheet: \"s.tsv\"\n" + kSheetSettings + c.message +
                                "In sample \"B\", line 3 of sample sheet \"s.tsv\"\n")
          << jobs << " jobs";
    }
  }
}

// Records longer than a loading worker's chunk and its carry room (a few
// MiB) cross chunks in every form, beside a sample loaded at the same time.
TEST(Experiment, LongRecordsCrossTheChunks) {
  const std::string long_sequence = "ACAAAAAAGT" + std::string(3 << 20, 'G');
  const std::string fastq = kReadsB + "@long\n" + long_sequence + "\n+\n" + std::string(long_sequence.size(), 'I') +
                            "\n" + kReadsB;
  const std::string fasta = kReadsA + ">long\n" + long_sequence + "\n" + kReadsA;
  ScratchDir dir;
  dir.write("a.fq.gz", gzip_member(fastq));
  dir.write("b.fq.zst", zstd_frame(fastq));
  dir.write("c.fa", fasta);
  dir.write("d.fa.gz", gzip_member(fasta));
  dir.write("s.tsv", kHeader + "A\ta.fq.gz\nB\tb.fq.zst\nC\tc.fa\nD\td.fa.gz\n");
  const std::vector<std::string> options = {"-o", "out.txt", "-d", "1", "-t", "ACNNNNNNGT", "--jobs", "2"};
  const CliResult samples = run_tarnwell(dir, with({"--experiment", "s.tsv"}, options));
  ASSERT_EQ(samples.status, 0) << samples.err;
  const std::string report = dir.read("out.txt");
  // The same reads as FASTA, the FASTQ samples' first.
  const std::string reads_b = ">b1\nACAAAAAAGT\n>b2\nACCCCCCCGT\n";
  const std::string fastq_as_fasta = reads_b + ">long\n" + long_sequence + "\n" + reads_b;
  dir.write("joined.fa", fastq_as_fasta + fastq_as_fasta + fasta + fasta);
  const CliResult one = run_tarnwell(dir, with({"-i", "joined.fa"}, options));
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(samples.out, one.out);
  EXPECT_EQ(report, dir.read("out.txt"));
  EXPECT_NE(samples.err.find("Sample \"A\": FASTQ, gzip, 5 reads\nSample \"B\": FASTQ, 5 reads\n"
                             "Sample \"C\": FASTA, 5 reads\nSample \"D\": FASTA, gzip, 5 reads\n"),
            std::string::npos)
      << samples.err;
}

// Samples of different forms, one with no accepted read and one empty: the
// exact report, tables and the per-sample stats; paths taken from the sheet's directory.
TEST(Experiment, SamplesOfEveryFormInOneMatrix) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.file("data"));
  dir.write("data/a.fa.zst", zstd_frame(kReadsA));
  dir.write("data/b.fq.gz", block_gzip(kReadsB, 20));
  dir.write("data/n.fa", ">n1\nTTTTTTTTTT\n>n2\nACNAAAAAGT\n");
  dir.write("data/e.fq", "");
  dir.write("data/s.tsv", "sample\tpath\r\nA\ta.fa.zst\r\nnone\tn.fa\r\nB\tb.fq.gz\r\nempty\te.fq\r\n");
  const CliResult result =
      run_tarnwell(dir, {"--experiment", "data/s.tsv", "-o", "out.txt", "-d", "0", "-t", "ACNNNNNNGT",
                         "--cluster-table", "c.tsv", "--assignments", "a.tsv", "--stats", "s.json",
                         "--page", "p.html"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "2 clusters\n");
  EXPECT_NE(
      result.err.find("Sample \"A\": FASTA, 2 reads\nSample \"none\": FASTA, 2 reads\n"
                      "Sample \"B\": FASTQ, gzip, 2 reads\nSample \"empty\": empty, 0 reads\nParsed 6 sequences\n"),
      std::string::npos)
      << result.err;
  EXPECT_EQ(dir.read("out.txt"), ">1\na1\tACAAAAAAGT\nb1\tACAAAAAAGT\na2\tACAAAAAAGT\n>2\nb2\tACCCCCCCGT\n");
  EXPECT_EQ(dir.read("c.tsv"),
            "cluster\tmembers\treads\tbarcodes\trepresentative\tA\tnone\tB\tempty\n"
            "1\t3\t3\t1\tAAAAAA\t2\t0\t1\t0\n2\t1\t1\t1\tCCCCCC\t0\t0\t1\t0\n");
  EXPECT_EQ(dir.read("a.tsv"),
            "sample\tread\tstatus\tbarcode\tcluster\nA\ta1\tclustered\tAAAAAA\t1\nA\ta2\tclustered\tAAAAAA\t1\n"
            "none\tn1\ttemplate_mismatch\t\t\nnone\tn2\thas_n\t\t\nB\tb1\tclustered\tAAAAAA\t1\n"
            "B\tb2\tclustered\tCCCCCC\t2\n");
  const std::string stats = dir.read("s.json");
  EXPECT_NE(stats.find("\"settings\": {\"input\": null, \"experiment\": \"data/s.tsv\", "), std::string::npos);
  EXPECT_NE(stats.find("\"input\": {\"format\": \"mixed\", \"gzip\": true, \"bytes\": 116},\n"), std::string::npos);
  EXPECT_NE(
      stats.find(
          "  \"samples\": [\n"
          "    {\"name\": \"A\", \"path\": \"data/a.fa.zst\", \"format\": \"fasta\", \"gzip\": false, \"bytes\": 30, "
          "\"records\": 2, \"screening\": {\"accepted\": 2, \"template_mismatch\": 0, \"has_n\": 0, "
          "\"unknown_character\": 0}, \"clustered\": 2, \"clusters\": 1},\n"
          "    {\"name\": \"none\", \"path\": \"data/n.fa\", \"format\": \"fasta\", \"gzip\": false, \"bytes\": 30, "
          "\"records\": 2, \"screening\": {\"accepted\": 0, \"template_mismatch\": 1, \"has_n\": 1, "
          "\"unknown_character\": 0}, \"clustered\": 0, \"clusters\": 0},\n"
          "    {\"name\": \"B\", \"path\": \"data/b.fq.gz\", \"format\": \"fastq\", \"gzip\": true, \"bytes\": 56, "
          "\"records\": 2, \"screening\": {\"accepted\": 2, \"template_mismatch\": 0, \"has_n\": 0, "
          "\"unknown_character\": 0}, \"clustered\": 2, \"clusters\": 2},\n"
          "    {\"name\": \"empty\", \"path\": \"data/e.fq\", \"format\": \"empty\", \"gzip\": false, \"bytes\": 0, "
          "\"records\": 0, \"screening\": {\"accepted\": 0, \"template_mismatch\": 0, \"has_n\": 0, "
          "\"unknown_character\": 0}, \"clustered\": 0, \"clusters\": 0}\n  ],\n"),
      std::string::npos)
      << stats;
  // The overlap map: a row's share is of its own sample's clustered reads.
  const std::string page = dir.read("p.html");
  for (const char* cell : {"A in clusters also seen in B: 100.0%", "B in clusters also seen in A: 50.0%",
                           "B in clusters also seen in B: 100.0%", "none in clusters also seen in A: 0.0%"}) {
    EXPECT_NE(page.find(cell), std::string::npos) << cell;
  }
  size_t cells = 0;
  for (size_t at = 0; (at = page.find("class=\"mark overlap\"", at)) != std::string::npos; ++at) ++cells;
  EXPECT_EQ(cells, 16u);
  EXPECT_NE(page.find("B, clustered: 2</title>"), std::string::npos);
  EXPECT_NE(page.find("none, left out by screening: 2</title>"), std::string::npos);
}

// The page alone needs each read's cluster for its samples section, which no
// other table asked for. No read matches: the run fails, and the stats and
// the page still tell each sample's screening.
TEST(Experiment, PageAndStatsShowTheSamples) {
  ScratchDir dir;
  dir.write("a.fa", kReadsA);
  dir.write("b.fq", kReadsB);
  dir.write("s.tsv", kHeader + "A\ta.fa\nB\tb.fq\n");
  const std::vector<std::string> sheet = {"--experiment", "s.tsv", "-o", "out.txt", "-d", "0", "--page", "p.html"};
  const CliResult result = run_tarnwell(dir, with(sheet, {"-t", "ACNNNNNNGT"}));
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(dir.read("p.html").find("B in clusters also seen in A: 50.0%"), std::string::npos);
  const CliResult none = run_tarnwell(dir, with(sheet, {"-t", "GGNNNNNNGG", "--stats", "s.json"}));
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(dir.read("p.html").find("B, left out by screening: 2</title>"), std::string::npos);
  EXPECT_NE(dir.read("s.json").find("\"screening\": {\"accepted\": 0, \"template_mismatch\": 2, \"has_n\": 0, "
                                    "\"unknown_character\": 0}, \"clustered\": 0, \"clusters\": 0}"),
            std::string::npos);
}

// Base qualities are noted per read across samples: the second sample's reads
// are filtered by their own qualities, not by those of the first sample's reads.
TEST(Experiment, QualitiesFollowTheirReads) {
  ScratchDir dir;
  dir.write("a.fq", "@a1\nACAAAAAAGT\n+\nIIIIIIIIII\n@a2\nACAAAAAAGT\n+\nIIIIIIIIII\n");
  dir.write("b.fq", "@b1\nACCCCCCCGT\n+\nII#IIIIIII\n@b2\nACCCCCCCGT\n+\nIIIIIIIIII\n");
  dir.write("s.tsv", kHeader + "A\ta.fq\nB\tb.fq\n");
  const CliResult result = run_tarnwell(dir, {"--experiment", "s.tsv", "-o", "out.txt", "-d", "0", "-t", "ACNNNNNNGT",
                                              "--quality", "20", "--cluster-table", "c.tsv"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(dir.read("c.tsv"),
            "cluster\tmembers\treads\tbarcodes\trepresentative\tA\tB\n1\t2\t2\t1\tAAAAAA\t2\t0\n"
            "2\t1\t1\t1\tCCCCCC\t0\t1\n");
}

}  // namespace
