// The two binaries on the same files: tarnwell (fast engine) and
// tarnwell_reference (straightforward engine) must print the same bytes and
// exit alike, also on malformed input, for any number of jobs.
#include <gtest/gtest.h>

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

// Breaks a well-formed FASTA text in one of the ways a parse must report.
std::string damage(CaseRandom& random, std::string fasta) {
  const size_t at = random.below(static_cast<uint32_t>(fasta.size()));
  const auto inserted = [&](size_t where, const std::string& bytes) {
    return fasta.substr(0, where) + bytes + fasta.substr(where);
  };
  switch (random.below(8)) {
    case 0:
      return fasta.substr(0, at);  // ends anywhere, inside a name or a sequence
    case 1:
      return inserted(at, ">");  // a '>' that starts no record
    case 2:
      return inserted(at, "\n");  // a blank line, or a sequence over two lines
    case 3:
      return inserted(at, std::string(1, '\0'));
    case 4:
      return " " + fasta;
    case 5:
      for (char& c : fasta) c = c == '\n' ? '\r' : c;
      return fasta;
    case 6:
      return inserted(fasta.find('\n') + 1, "\n\n");  // blank lines after the first name
    default:
      return fasta + ">last\n";  // a name without a sequence
  }
}

TEST(EngineAgreement, BinariesWriteTheSameBytes) {
  for (uint32_t seed = 0; seed < kCases; ++seed) {
    CaseRandom random(5000 + seed);
    ReadSet reads = random_read_set(random, seed % 4, 80);
    if (seed % 3 == 0) reads.fasta = damage(random, reads.fasta);
    std::vector<std::string> args{
        "-i", "in.fa", "-o", "out.txt", "-d", std::to_string(random.below(4)), "-t", reads.template_text};
    if (random.chance(40)) args.push_back("-p");
    ScratchDir reference_dir;
    reference_dir.write("in.fa", reads.fasta);
    const CliResult expected = run_binary(TARNWELL_REFERENCE_BINARY, reference_dir, args);
    args.push_back("--jobs=" + std::to_string(1 + random.below(4)));
    ScratchDir fast_dir;
    fast_dir.write("in.fa", reads.fasta);
    const CliResult fast = run_binary(TARNWELL_BINARY, fast_dir, args);
    ASSERT_EQ(fast.status, expected.status) << "seed " << seed;
    ASSERT_EQ(fast.out, expected.out) << "seed " << seed;
    ASSERT_EQ(fast.err, expected.err) << "seed " << seed;
    ASSERT_EQ(fast_dir.read("out.txt"), reference_dir.read("out.txt")) << "seed " << seed;
  }
}

}  // namespace
