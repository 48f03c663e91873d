// Reads against a library of known barcodes: the fast engine (index of
// segments, workers) against the straightforward one (every read against
// every entry), and both against a plain reading of the rule, on random
// libraries that hold the reads' barcodes, barcodes a substitution or two
// away from them (so that reads fall between two entries) and random ones.
#include "cluster/known_assignment.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/size_thresholds.h"
#include "run/engine.h"
#include "support/in_process_run.h"
#include "support/random_reads.h"
#include "support/references.h"

namespace {

#ifdef TARNWELL_SANITIZED_TESTS
constexpr uint32_t kCases = 150;
#else
constexpr uint32_t kCases = 600;
#endif

// A library file that goes away with the test.
class LibraryFile {
 public:
  explicit LibraryFile(const std::string& text) {
    char name[] = "/tmp/tarnwell-known-XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    path_ = name;
  }
  ~LibraryFile() { unlink(path_.c_str()); }
  LibraryFile(const LibraryFile&) = delete;
  LibraryFile& operator=(const LibraryFile&) = delete;
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

struct KnownCase {
  ReadSet reads;
  std::vector<std::string> entries;  // the library's barcodes in line order
  uint32_t distance;
  bool remove_duplicates;
};

uint32_t hamming(const std::string& a, const std::string& b) {
  uint32_t d = 0;
  for (size_t i = 0; i < a.size(); ++i) d += a[i] != b[i];
  return d;
}

// Entries drawn from the reads' barcodes: as they are, one or two bases
// changed, or random; each barcode at most once.
std::vector<std::string> random_entries(CaseRandom& random, const std::vector<Member>& members, size_t length) {
  std::vector<std::string> entries;
  const uint32_t wanted = 1 + random.below(members.size() < 4 ? 4 : 16);
  for (uint32_t tries = 0; entries.size() < wanted && tries < 4 * wanted; ++tries) {
    std::string barcode = members[random.below(static_cast<uint32_t>(members.size()))].barcode;
    const uint32_t kind = random.below(10);
    if (kind >= 5) {
      for (uint32_t n = kind >= 8 ? 2 : 1; n > 0; --n)
        barcode[random.below(static_cast<uint32_t>(length))] = "ACGT"[random.below(4)];
    }
    if (kind == 9) {
      for (char& base : barcode) base = "ACGT"[random.below(4)];
    }
    if (std::find(entries.begin(), entries.end(), barcode) == entries.end()) entries.push_back(barcode);
  }
  return entries;
}

std::string library_text(const std::vector<std::string>& entries, char separator) {
  const std::string sep(1, separator);
  std::string text = "id" + sep + "barcode" + sep + "gene\n";
  for (size_t k = 0; k < entries.size(); ++k) {
    text.append("e").append(std::to_string(k)).append(sep).append(entries[k]).append(sep);
    text.append("g").append(std::to_string(k % 3)).append("\n");
  }
  return text;
}

// The report the rule gives: each entry's block in line order, its reads in
// input order (with -p the first read of each barcode); a read goes to the
// one nearest entry within D, nowhere on a tie or beyond D.
std::string expected_report(const KnownCase& c) {
  std::vector<std::string> blocks(c.entries.size());
  std::map<std::string, bool> seen;
  for (const Member& member : reference_members(c.reads.fasta, c.reads.template_text, false)) {
    uint32_t best = c.distance + 1;
    size_t nearest = 0;
    uint32_t at_best = 0;
    for (size_t k = 0; k < c.entries.size(); ++k) {
      const uint32_t d = hamming(member.barcode, c.entries[k]);
      if (d < best) {
        best = d;
        nearest = k;
        at_best = 1;
      } else if (d == best) {
        ++at_best;
      }
    }
    if (best > c.distance || at_best != 1) continue;
    if (c.remove_duplicates && !seen.emplace(member.barcode, true).second) continue;
    blocks[nearest] += member.line + "\n";
  }
  std::string report;
  for (size_t k = 0; k < blocks.size(); ++k)
    report.append(">").append(std::to_string(k + 1)).append("\n").append(blocks[k]);
  return report;
}

InProcessOutput run_known(void (*engine)(), const KnownCase& c, const char* library_path, uint32_t jobs) {
  start_run(jobs, c.reads.template_text.c_str(), c.reads.fasta, [&](RunState& s) {
    s.distance = c.distance;
    s.remove_duplicates = c.remove_duplicates;
    s.known_path = library_path;
    load_known_barcodes();
  });
  return finish_run(engine, [] { return std::string(); });
}

TEST(KnownAssignment, FastEqualsStraightforwardAndTheRule) {
  for (uint32_t seed = 0; seed < kCases; ++seed) {
    CaseRandom random(7100 + seed);
    KnownCase c{random_read_set(random, seed % 4, seed % 10 == 0 ? 300 : 60), {}, random.below(4), random.chance(40)};
    const std::vector<Member> members = reference_members(c.reads.fasta, c.reads.template_text, false);
    ASSERT_FALSE(members.empty());
    c.entries = random_entries(random, members, members[0].barcode.size());
    const LibraryFile library(library_text(c.entries, random.chance(50) ? '\t' : ','));
    // Jobs of a few items each, now and then, so that small inputs take the paths of many jobs.
    if (random.chance(50)) size_thresholds.items_per_job = 1 + random.below(8);
    const uint32_t jobs = 1 + random.below(4);
    const InProcessOutput expected = run_known(run_straightforward_engine, c, library.path(), 1);
    const InProcessOutput fast = run_known(run_fast_engine, c, library.path(), jobs);
    size_thresholds = SizeThresholds{};
    const std::string where = "seed " + std::to_string(seed) + " template " + c.reads.template_text + " -d " +
                              std::to_string(c.distance) + (c.remove_duplicates ? " -p" : "") + " --jobs " +
                              std::to_string(jobs) + "\n" + library_text(c.entries, '\t') + c.reads.fasta;
    ASSERT_EQ(expected.report, expected_report(c)) << where;
    ASSERT_EQ(expected.out, std::to_string(c.entries.size()) + " clusters\n") << where;
    ASSERT_EQ(fast.report, expected.report) << where;
    ASSERT_EQ(fast.out, expected.out) << where;
    ASSERT_EQ(fast.err, expected.err) << where;
    ASSERT_EQ(fast.bytes_left, 0) << where;
    ASSERT_EQ(expected.bytes_left, 0) << where;
  }
}

}  // namespace
