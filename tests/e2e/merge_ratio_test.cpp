// The abundance rule through the built binaries: two abundant barcodes two
// substitutions apart, each with its error barcodes, stay apart under the rule
// and become one cluster under single linkage; the report orders members by
// barcode with ties in input order; a ratio the counts only just meet.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/cli_harness.h"

namespace {

constexpr const char* kTemplate = "TTNNNNNNNNNNGG";
// A and B differ at two positions; each error barcode is one substitution
// from its own barcode and two from the other's, so chains link all four.
constexpr const char* kBarcodeA = "ACGTACGTAC";
constexpr const char* kBarcodeB = "ACTTACTTAC";
constexpr const char* kErrorOfA = "ACCTACGTAC";
constexpr const char* kErrorOfB = "ACTTACTTAG";

struct Library {
  std::string fasta;
  std::vector<std::string> names[4];  // per barcode above, in input order
};

// 1,000 reads each of A and B and 3 of each error barcode, interleaved.
Library two_abundant_barcodes() {
  const char* barcodes[4] = {kBarcodeA, kBarcodeB, kErrorOfA, kErrorOfB};
  Library library;
  CaseRandom random(19);
  uint32_t left[4] = {1000, 1000, 3, 3};
  for (uint32_t r = 0; left[0] + left[1] + left[2] + left[3] > 0; ++r) {
    uint32_t which = random.below(4);
    while (left[which] == 0) which = (which + 1) % 4;
    --left[which];
    std::string name = "r";
    name += std::to_string(r);
    library.names[which].push_back(name);
    library.fasta += ">" + name + "\nTT" + barcodes[which] + "GG\n";
  }
  return library;
}

std::string members(const std::vector<std::string>& names, const char* barcode) {
  std::string text;
  for (const std::string& name : names) text += name + "\tTT" + barcode + "GG\n";
  return text;
}

// At R = 5 the rule keeps A and B apart where single linkage joins all four,
// with the members in barcode order. 1,000 reads take 3 at R = 333.3 (999.9
// <= 1,000) and not at 333.34; with -p the dropped duplicates still count,
// and a ratio of 1 lets equal counts join. Both engines alike.
TEST(MergeRatio, KeepsTwoAbundantBarcodesApartAndComparesExactly) {
  const Library library = two_abundant_barcodes();
  // Members in barcode order: the error of A sorts before A, B before its error.
  const std::string expected = ">1\n" + members(library.names[2], kErrorOfA) + members(library.names[0], kBarcodeA) +
                               ">2\n" + members(library.names[1], kBarcodeB) + members(library.names[3], kErrorOfB);
  const struct {
    std::vector<std::string> more;
    const char* clusters;
  } kCases[] = {
      {{"--merge-ratio", "5", "--stats", "s.json"}, "2 clusters\n"},
      {{}, "1 clusters\n"},
      {{"--merge-ratio", "333.3"}, "2 clusters\n"},
      {{"--merge-ratio", "333.34"}, "4 clusters\n"},
      {{"--merge-ratio", "333.3", "-p"}, "2 clusters\n"},
      {{"--merge-ratio", "333.34", "-p"}, "4 clusters\n"},
      {{"--merge-ratio", "1"}, "1 clusters\n"},
      {{"--merge-ratio", "5", "-d", "0"}, "4 clusters\n"},
      {{"--merge-ratio", "5", "-d", "0", "-p"}, "4 clusters\n"},
  };
  for (const auto& c : kCases) {
    for (const std::string& binary : kBothBinaries) {
      SCOPED_TRACE((c.more.empty() ? "" : c.more[1]) + " " + std::to_string(c.more.size()) + " " + binary);
      ScratchDir dir;
      dir.write("in.fa", library.fasta);
      const CliResult result =
          run_tarnwell(dir, run_args("2", kTemplate, "in.fa", with(c.more, {"--jobs=3"})), on(binary));
      ASSERT_EQ(result.status, 0) << result.err;
      EXPECT_EQ(result.out, c.clusters);
      if (c.more.size() != 4 || c.more[2] != "--stats") continue;
      EXPECT_EQ(dir.read("out.txt"), expected);
      EXPECT_NE(result.err.find("Counting reads per barcode .. OK, 4 distinct barcodes\n"
                                "Merging by read ratio 5 within distance 2 .. OK, 2 barcodes started a cluster, "
                                "2 were taken into another\n"),
                std::string::npos)
          << result.err;
      EXPECT_EQ(result.err.find("joined"), std::string::npos) << result.err;
      EXPECT_NE(dir.read("s.json").find("  \"passes\": [],\n  \"merge_ratio\": {\"ratio\": 5, "
                                        "\"distinct_barcodes\": 4, \"started\": 2, \"taken\": 2},\n"),
                std::string::npos);
    }
  }
}

struct Recovery {
  uint32_t true_barcodes = 0, kept = 0;  // true barcodes of 50 or more reads, and those alone in their cluster
  uint32_t error_reads = 0, placed = 0;  // their reads with a wrong barcode, and those in their true barcode's cluster
};

// Scores a run's assignments against the generator's origins (read, true
// barcode number, its bases), as bench/merge_ratio_recovery.py does.
Recovery score(const std::string& origins, const std::string& assignments) {
  std::map<std::string, std::pair<int, std::string>> origin;
  std::istringstream origin_lines(origins);
  for (std::string name, number, bases; origin_lines >> name >> number >> bases;) origin[name] = {std::stoi(number), bases};
  std::map<int, int> reads, exact_cluster;
  std::map<int, std::set<int>> true_barcodes_of_cluster;
  std::vector<std::pair<int, int>> error_reads;
  std::istringstream rows(assignments);
  std::string row;
  std::getline(rows, row);  // read, status, barcode, cluster
  while (std::getline(rows, row)) {
    std::istringstream fields(row);
    std::string name, status, barcode, cluster;
    std::getline(fields, name, '\t');
    std::getline(fields, status, '\t');
    std::getline(fields, barcode, '\t');
    std::getline(fields, cluster, '\t');
    if (cluster.empty()) continue;
    const auto& [number, bases] = origin.at(name);
    ++reads[number];
    if (barcode == bases) {
      exact_cluster[number] = std::stoi(cluster);
      true_barcodes_of_cluster[std::stoi(cluster)].insert(number);
    } else {
      error_reads.emplace_back(number, std::stoi(cluster));
    }
  }
  Recovery recovery;
  for (const auto& [number, count] : reads) {
    if (count < 50 || exact_cluster.count(number) == 0) continue;
    ++recovery.true_barcodes;
    recovery.kept += true_barcodes_of_cluster[exact_cluster[number]].size() == 1;
  }
  for (const auto& [number, cluster] : error_reads) {
    if (reads[number] < 50 || exact_cluster.count(number) == 0) continue;
    ++recovery.error_reads;
    recovery.placed += exact_cluster[number] == cluster;
  }
  return recovery;
}

// A crowded generated library, true barcodes 4 apart: single linkage at D=2
// chains some of them through their error barcodes, the rule keeps every one
// with 50 or more reads apart and places at least 99% of the error reads.
TEST(MergeRatio, RecoversTheTrueBarcodesOfACrowdedLibrary) {
  ScratchDir dir;
  const std::string command = std::string(TARNWELL_GENERATOR_BINARY) +
                              " --seed 19 --reads 60000 --true-barcodes 300 --spacing 4 --substitution-rate 0.01 "
                              "--origins '" + dir.file("origins.tsv") + "' --output '" + dir.file("in.fa") + "'";
  ASSERT_EQ(system(command.c_str()), 0) << command;
  const std::string origins = read_file(dir.file("origins.tsv"));
  // The true barcodes lie 4 or more apart, and many exactly 4.
  std::set<std::string> true_barcodes;
  std::istringstream origin_lines(origins);
  for (std::string name, number, bases; origin_lines >> name >> number >> bases;) true_barcodes.insert(bases);
  ASSERT_EQ(true_barcodes.size(), 300u);
  uint32_t at_four = 0;
  for (auto a = true_barcodes.begin(); a != true_barcodes.end(); ++a) {
    for (auto b = std::next(a); b != true_barcodes.end(); ++b) {
      uint32_t differing = 0;
      for (size_t i = 0; i < a->size(); ++i) differing += (*a)[i] != (*b)[i];
      ASSERT_GE(differing, 4u) << *a << " " << *b;
      at_four += differing == 4;
    }
  }
  EXPECT_GE(at_four, 299u);

  const auto recovery = [&](const std::vector<std::string>& more) {
    const CliResult run = run_tarnwell(dir, run_args("2", "ACGTACGTNNNNNNNNNNNNNNNNNNNNTGCATGCA", "in.fa",
                                                     with({"--assignments", "a.tsv"}, more)));
    EXPECT_EQ(run.status, 0) << run.err;
    return score(origins, dir.read("a.tsv"));
  };
  const Recovery single = recovery({});
  const Recovery rule = recovery({"--merge-ratio", "5"});
  EXPECT_GT(single.true_barcodes, 200u);
  EXPECT_LT(single.kept, single.true_barcodes * 95 / 100) << single.kept << " of " << single.true_barcodes;
  EXPECT_EQ(rule.true_barcodes, single.true_barcodes);
  EXPECT_EQ(rule.kept, rule.true_barcodes);
  EXPECT_GT(rule.error_reads, 5000u);
  EXPECT_GE(rule.placed * 100, rule.error_reads * 99);
}

}  // namespace
