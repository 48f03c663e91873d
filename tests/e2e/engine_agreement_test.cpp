// The two binaries on the same files: tarnwell (fast engine) and
// tarnwell_reference (straightforward engine) must write the same bytes,
// tables included, and exit alike, for any number of jobs; half the time with
// the barcode search options on reads whose barcodes moved (the fast engine's
// search over all offsets at once against the straightforward walk, windows up
// to the largest, reads near slice ends).
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "e2e/cli_harness.h"
#include "support/random_reads.h"

namespace {

#ifdef TARNWELL_SANITIZED_TESTS
constexpr uint32_t kCases = 40;
#else
constexpr uint32_t kCases = 120;
#endif

// Moves the barcode of some reads: up to most_before random bases before it, the reverse complement, a tail after it.
std::string move_barcodes(CaseRandom& random, const std::string& fasta, uint32_t most_before) {
  std::istringstream lines(fasta);
  std::string moved;
  for (std::string line; std::getline(lines, line);) {
    const bool cr = !line.empty() && line.back() == '\r';
    if (cr) line.pop_back();
    if (!line.empty() && line[0] != '>') {
      const char* bases = "ACGTacgt";
      std::string read;
      for (uint32_t n = random.chance(40) ? random.below(most_before + 1) : 0; n > 0; --n) read += bases[random.below(8)];
      read += line;
      for (uint32_t n = random.below(24); n > 0; --n) read += bases[random.below(8)];
      if (random.chance(40)) {
        std::string reverse(read.rbegin(), read.rend());
        for (char& c : reverse) {
          if (const size_t at = std::string(bases).find(c); at != std::string::npos) c = "TGCAtgca"[at];
        }
        read = reverse;
      }
      line = read;
    }
    moved += line + (cr ? "\r\n" : "\n");
  }
  return moved;
}

TEST(EngineAgreement, BinariesWriteTheSameBytes) {
  for (uint32_t seed = 0; seed < kCases; ++seed) {
    CaseRandom random(5000 + seed);
    const bool search = seed % 2 == 1;
    ReadSet reads = random_read_set(random, seed % 4, search ? 300 : 80);
    std::vector<std::string> args = run_args(std::to_string(random.below(search ? 3 : 4)), reads.template_text);
    args.insert(args.end(), {"--assignments", "a.tsv"});
    if (random.chance(40)) args.push_back("-p");
    if (search) {
      // A quarter of the cases search whole reads: barcodes up to 150 bases in, windows up to the largest.
      const bool wide = random.chance(25);
      reads.fasta = move_barcodes(random, reads.fasta, wide ? 150 : 4);
      const uint32_t window = wide ? (random.chance(50) ? 150 : 4096) : random.below(5);
      args.insert(args.end(),
                  {"--window", std::to_string(window), "--fixed-mismatches", std::to_string(random.below(3))});
      if (random.chance(70)) args.push_back("--both-strands");
    }
    ScratchDir reference_dir;
    reference_dir.write("in.fa", reads.fasta);
    const CliResult expected = run_tarnwell(reference_dir, args, {"/dev/null", "", {}, TARNWELL_REFERENCE_BINARY});
    args.push_back("--jobs=" + std::to_string(1 + random.below(4)));
    ScratchDir fast_dir;
    fast_dir.write("in.fa", reads.fasta);
    const CliResult fast = run_tarnwell(fast_dir, args);
    ASSERT_EQ(fast.status, expected.status) << "seed " << seed;
    ASSERT_EQ(fast.out, expected.out) << "seed " << seed;
    ASSERT_EQ(fast.err, expected.err) << "seed " << seed;
    ASSERT_EQ(fast_dir.read("out.txt"), reference_dir.read("out.txt")) << "seed " << seed;
    ASSERT_EQ(fast_dir.read("a.tsv"), reference_dir.read("a.tsv")) << "seed " << seed;
  }
}

// Reads whose barcodes mostly turn to G after their first bases, as a
// two-colour sequencer's dark cycles read: more than a thousand distinct
// barcodes share their suffix after the first 8 bases, enough for the fast
// engine to look partners up by key in that run at its own sizes; one in
// five reads is one or two substitutions from another, so that clusters form.
TEST(EngineAgreement, BinariesAgreeWhenMostBarcodesEndInG) {
  for (uint32_t seed = 0; seed < 4; ++seed) {
    CaseRandom random(9100 + seed);
    const char* bases = "ACGT";
    std::vector<std::string> barcodes;
    std::string fasta;
    for (uint32_t r = 0; r < 2600; ++r) {
      std::string barcode(20, 'G');
      const uint32_t random_bases = random.chance(70) ? 7 + random.below(2) : 20;
      for (uint32_t i = 0; i < random_bases; ++i) barcode[i] = bases[random.below(4)];
      if (!barcodes.empty() && random.chance(20)) {
        barcode = barcodes[random.below(static_cast<uint32_t>(barcodes.size()))];
        for (uint32_t n = 1 + random.below(2); n > 0; --n) barcode[random.below(20)] = bases[random.below(4)];
      }
      barcodes.push_back(barcode);
      fasta += ">r" + std::to_string(r) + "\nACGTACGT" + barcode + "TTGCA\n";
    }
    std::vector<std::string> args = run_args(std::to_string(1 + seed % 3), "ACGTACGTNNNNNNNNNNNNNNNNNNNN");
    if (seed == 3) args.push_back("-p");
    ScratchDir reference_dir;
    reference_dir.write("in.fa", fasta);
    const CliResult expected = run_tarnwell(reference_dir, args, {"/dev/null", "", {}, TARNWELL_REFERENCE_BINARY});
    args.push_back("--jobs=" + std::to_string(1 + seed));
    ScratchDir fast_dir;
    fast_dir.write("in.fa", fasta);
    const CliResult fast = run_tarnwell(fast_dir, args);
    ASSERT_EQ(fast.status, expected.status) << "seed " << seed;
    ASSERT_EQ(fast.out, expected.out) << "seed " << seed;
    ASSERT_EQ(fast.err, expected.err) << "seed " << seed;
    ASSERT_EQ(fast_dir.read("out.txt"), reference_dir.read("out.txt")) << "seed " << seed;
  }
}

}  // namespace
