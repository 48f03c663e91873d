// The two binaries on the same files: tarnwell (fast engine) and
// tarnwell_reference (straightforward engine) must write the same bytes and
// exit alike, for any number of jobs. Each case draws its options: the
// barcode search on reads whose barcodes moved (windows up to the largest),
// a sample sheet of mixed forms, UMI positions, a library of known barcodes
// or the abundance rule, -p; every table, the stats and the page come out
// alike. Now and then the reads are thousands whose barcodes mostly end in a
// run of G, enough for the fast engine to look partners up by key at its own
// sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "e2e/cli_harness.h"
#include "support/random_reads.h"

namespace {

#ifdef TARNWELL_SANITIZED_TESTS
constexpr uint32_t kCases = 40;
#else
constexpr uint32_t kCases = 200;
#endif

const char* const kBases = "ACGTacgt";

// Moves the barcode of some reads: up to most_before random bases before it, the reverse complement, a tail after it.
std::string move_barcodes(CaseRandom& random, const std::string& fasta, uint32_t most_before) {
  std::string moved;
  for (std::string line : split(fasta, '\n')) {
    const bool cr = !line.empty() && line.back() == '\r';
    if (cr) line.pop_back();
    if (!line.empty() && line[0] != '>') {
      std::string read;
      for (uint32_t n = random.chance(40) ? random.below(most_before + 1) : 0; n > 0; --n)
        read += kBases[random.below(8)];
      read += line;
      for (uint32_t n = random.below(24); n > 0; --n) read += kBases[random.below(8)];
      if (random.chance(40)) {
        std::reverse(read.begin(), read.end());
        for (char& c : read) {
          if (const size_t at = std::string(kBases).find(c); at != std::string::npos) c = "TGCAtgca"[at];
        }
      }
      line = read;
    }
    moved += line + (cr ? "\r\n" : "\n");
  }
  return moved;
}

// 2,600 reads of 20-base barcodes, most of them turning to G after 7 or 8
// bases, as a two-colour sequencer's dark cycles read; one in five is one
// or two substitutions from an earlier one, so that clusters form.
ReadSet g_run_reads(CaseRandom& random) {
  ReadSet set{"ACGTACGTNNNNNNNNNNNNNNNNNNNN", ""};
  std::vector<std::string> barcodes;
  for (uint32_t r = 0; r < 2600; ++r) {
    std::string barcode(20, 'G');
    const uint32_t random_bases = random.chance(70) ? 7 + random.below(2) : 20;
    for (uint32_t i = 0; i < random_bases; ++i) barcode[i] = kBases[random.below(4)];
    if (!barcodes.empty() && random.chance(20)) {
      barcode = barcodes[random.below(static_cast<uint32_t>(barcodes.size()))];
      for (uint32_t n = 1 + random.below(2); n > 0; --n) barcode[random.below(20)] = kBases[random.below(4)];
    }
    barcodes.push_back(barcode);
    set.fasta += ">r" + std::to_string(r) + "\nACGTACGT" + barcode + "TTGCA\n";
  }
  return set;
}

// The template's barcode positions, from 0.
std::vector<size_t> barcode_positions(const std::string& template_text) {
  std::vector<size_t> positions;
  for (size_t i = 0; i < template_text.size(); ++i) {
    if (template_text[i] == 'N' || template_text[i] == 'n' || template_text[i] == '.') positions.push_back(i);
  }
  return positions;
}

// Up to three barcode positions (1-based, ascending) for --umi, leaving at least one; the others stay the barcode's.
std::string take_umi_positions(CaseRandom& random, std::vector<size_t>* positions) {
  std::string ranges;
  std::vector<size_t> kept;
  uint32_t left = 1 + random.below(3);
  for (size_t i = 0; i < positions->size(); ++i) {
    if (left > 0 && positions->size() - i > 1 && random.chance(50)) {
      if (!ranges.empty()) ranges += ',';
      ranges += std::to_string((*positions)[i] + 1);
      --left;
    } else {
      kept.push_back((*positions)[i]);
    }
  }
  if (ranges.empty()) {
    ranges = std::to_string(positions->front() + 1);
    kept.erase(kept.begin());
  }
  *positions = kept;
  return ranges;
}

// A library of the barcodes of some reads at the given positions, some changed in a base or two, and random ones.
std::string random_library(CaseRandom& random, const std::string& fasta, const std::vector<size_t>& positions) {
  std::vector<std::string> barcodes;
  for (const TestRead& read : fasta_records(fasta)) {
    if (read.sequence.size() <= positions.back()) continue;
    std::string barcode;
    for (size_t p : positions) barcode += static_cast<char>(toupper(read.sequence[p]));
    if (barcode.find_first_not_of("ACGT") == std::string::npos) barcodes.push_back(barcode);
  }
  std::vector<std::string> entries;
  for (uint32_t n = 1 + random.below(20); n > 0; --n) {
    std::string barcode(positions.size(), 'A');
    if (!barcodes.empty() && random.chance(80))
      barcode = barcodes[random.below(static_cast<uint32_t>(barcodes.size()))];
    for (uint32_t changes = random.below(3); changes > 0; --changes) {
      barcode[random.below(static_cast<uint32_t>(barcode.size()))] = kBases[random.below(4)];
    }
    if (std::find(entries.begin(), entries.end(), barcode) == entries.end()) entries.push_back(barcode);
  }
  std::string library = "id\tsequence\tgene\n";
  for (size_t k = 0; k < entries.size(); ++k)
    library.append("g").append(std::to_string(k)).append("\t").append(entries[k]).append("\tG\n");
  return library;
}

// What a run wrote, but the seconds and the memory and time figures of the page.
std::string outputs(const CliResult& result, const ScratchDir& dir) {
  std::string all = std::to_string(result.status) + "\n" + result.out + result.err;
  for (const char* file : {"out.txt", "a.tsv", "c.tsv"}) all += std::string("== ") + file + "\n" + dir.read(file);
  all += "== s.json\n" + std::regex_replace(dir.read("s.json"), std::regex("\"seconds\": (\\{[^}]*\\}|[0-9.]+)"), "");
  return all + "== p.html\n" + without_varying_figures(dir.read("p.html"));
}

TEST(EngineAgreement, BinariesWriteTheSameBytes) {
  for (uint32_t seed = 0; seed < kCases; ++seed) {
    CaseRandom random(5000 + seed);
    const bool crowded = seed % 40 == 19;
    ReadSet reads = crowded ? g_run_reads(random) : random_read_set(random, seed % 4, seed % 3 == 0 ? 300 : 100);
    std::vector<size_t> positions = barcode_positions(reads.template_text);
    std::vector<std::string> options = {"-o",
                                        "out.txt",
                                        "-d",
                                        std::to_string(crowded ? 1 + random.below(3) : random.below(4)),
                                        "--assignments",
                                        "a.tsv",
                                        "--cluster-table",
                                        "c.tsv"};
    if (random.chance(40)) options.push_back("-p");
    if (random.chance(40)) options.insert(options.end(), {"--stats", "s.json", "--page", "p.html"});
    // Skewed abundances give the abundance rule and the UMI correction ties and takers.
    if (!crowded && random.chance(40)) reads.fasta = skew_abundance(random, reads.fasta);
    if (!crowded && positions.size() > 1 && random.chance(30))
      options.insert(options.end(), {"--umi", take_umi_positions(random, &positions)});
    const uint32_t rule = crowded ? 0 : random.below(10);  // a library, the abundance rule, or neither
    const std::string library = rule < 3 ? random_library(random, reads.fasta, positions) : "";
    if (rule < 3) options.insert(options.end(), {"--known", "lib.tsv"});
    static const char* const kRatios[] = {"1", "1.5", "2", "4", "2.25", "1000000"};
    if (rule == 3 || rule == 4) options.insert(options.end(), {"--merge-ratio", kRatios[random.below(6)]});
    if (!crowded && random.chance(40)) {
      // A quarter of these search whole reads: barcodes up to 150 bases in, windows up to the largest.
      const bool wide = random.chance(25);
      reads.fasta = move_barcodes(random, reads.fasta, wide ? 150 : 4);
      const uint32_t window = wide ? (random.chance(50) ? 150 : 4096) : random.below(5);
      options.insert(options.end(),
                     {"--window", std::to_string(window), "--fixed-mismatches", std::to_string(random.below(3))});
      if (random.chance(70)) options.push_back("--both-strands");
    }
    const bool sheet = !crowded && random.chance(30);
    options =
        with(sheet ? std::vector<std::string>{"--experiment", "data/s.tsv"} : std::vector<std::string>{"-i", "in.fa"},
             with(options, {"-t", reads.template_text}));
    std::string written[2];
    for (int binary = 0; binary < 2; ++binary) {
      ScratchDir dir;
      CaseRandom same(seed);
      sheet ? (void)write_experiment(same, dir, reads.fasta, 4) : dir.write("in.fa", reads.fasta);
      dir.write("lib.tsv", library);
      const std::vector<std::string> args =
          binary == 0 ? with(options, {"--jobs=" + std::to_string(1 + random.below(4))}) : options;
      written[binary] = outputs(run_tarnwell(dir, args, on(kBothBinaries[binary])), dir);
    }
    std::string command;
    for (const std::string& option : options) command += " " + option;
    ASSERT_EQ(written[0], written[1]) << "seed " << seed << ":" << command;
  }
}

}  // namespace
