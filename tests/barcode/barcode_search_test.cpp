// The search over all offsets at once against the walk offset by offset, on
// random templates (fixed letters on either side of the barcode, longer than
// a vector word or a single base), windows from 0 to the largest, every
// mismatch allowance, both strands and qualities; reads of every length
// around the template's, in either case, with N and other bytes, and with
// planted copies of the template (whole, cut off by either end of the read,
// or twice, for ties). Every read must come out alike: its cause or its
// placement, its barcode words, and the counts.
#include "barcode/barcode_search.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "barcode/barcode_template.h"
#include "base/run_state.h"
#include "input/base_qualities.h"
#include "run/teardown.h"
#include "support/random_reads.h"

namespace {

#ifdef TARNWELL_SANITIZED_TESTS
constexpr uint32_t kCases = 120;
#else
constexpr uint32_t kCases = 400;
#endif

std::string random_template(CaseRandom& random) {
  const uint32_t length = random.chance(10) ? 65 + random.below(100) : 1 + random.below(40);
  std::string text;
  // Mostly flank, barcode, flank, as libraries are built; now and then letters and barcode bases mixed.
  const bool mixed = random.chance(25);
  const uint32_t left = random.below(length);
  const uint32_t barcode = 1 + random.below(length - left);
  for (uint32_t i = 0; i < length; ++i) {
    const bool barcode_position = mixed ? random.chance(50) : (i >= left && i < left + barcode);
    text += barcode_position ? (random.chance(90) ? 'N' : '.') : "ACGTacgt"[random.below(8)];
  }
  if (text.find_first_of("N.") == std::string::npos) text[random.below(length)] = 'N';
  return text;
}

char complement(char c) {
  const char* from = "ACGTacgt";
  const char* at = strchr(from, c);
  return c != '\0' && at != nullptr ? "TGCAtgca"[at - from] : c;
}

// A read of random bases with the template's letters planted up to twice, some of them differing.
std::string random_read(CaseRandom& random, const std::string& template_text, uint32_t window) {
  const uint32_t length = random.below(static_cast<uint32_t>(template_text.size()) + (window < 200 ? window : 200) + 40);
  std::string read;
  for (uint32_t i = 0; i < length; ++i) {
    const uint32_t roll = random.below(1000);
    read += roll < 10 ? 'N' : roll < 14 ? "X.\x80-"[random.below(4)] : "ACGTACGTACGTacgt"[random.below(16)];
  }
  for (uint32_t copies = random.below(3); copies > 0 && length > 0; --copies) {
    std::string copy;
    for (char letter : template_text) {
      const bool barcode_position = letter == 'N' || letter == '.';
      copy += barcode_position || random.chance(8) ? "ACGTacgt"[random.below(8)] : letter;
    }
    if (random.chance(50)) {
      copy = std::string(copy.rbegin(), copy.rend());
      for (char& c : copy) c = complement(c);
    }
    // Anywhere from hanging off the read's start to hanging off its end.
    const int64_t at = static_cast<int64_t>(random.below(length + static_cast<uint32_t>(copy.size()))) -
                       static_cast<int64_t>(copy.size()) / 2;
    for (size_t i = 0; i < copy.size(); ++i) {
      if (at + static_cast<int64_t>(i) >= 0 && at + static_cast<int64_t>(i) < length) read[at + i] = copy[i];
    }
  }
  return read;
}

struct SearchOutcome {
  std::vector<std::string> rows;  // per read: cause or placement, and the barcode words
  PlacementCounts counts;
};

// Runs one search over every read on a record table of its own.
template <typename Search>
SearchOutcome search_all(const std::vector<std::string>& reads, Search search) {
  const RunState& s = run_state;
  std::vector<std::string> names(reads.size(), ">r");
  std::vector<uint64_t> table(reads.size() * s.record_size / 8 + 1);
  SearchOutcome outcome = {{}, {}};
  for (size_t i = 0; i < reads.size(); ++i) {
    auto* record = reinterpret_cast<SequenceRecord*>(reinterpret_cast<char*>(table.data()) + i * s.record_size);
    record->name = names[i].data();
    record->sequence = const_cast<char*>(reads[i].c_str());
    const PackResult result = search(record, i, outcome.counts);
    std::string row = std::to_string(result);
    row.append(1, names[i][0]).append(std::to_string(read_placement(i)));
    if (result == accepted) {
      for (uint32_t w = 0; w < s.barcode_words; ++w) row.append(" ").append(std::to_string(record_barcode(record)[w]));
    }
    outcome.rows.push_back(row);
  }
  return outcome;
}

std::string counts_text(const PlacementCounts& counts) {
  std::string text;
  for (uint64_t n : {counts.at_start_forward, counts.shifted, counts.reverse_strand, counts.low_quality}) {
    text.append(std::to_string(n)).append(" ");
  }
  for (uint64_t n : counts.flank_mismatches) text.append(" ").append(std::to_string(n));
  return text;
}

TEST(BarcodeSearch, AllOffsetsAtOnceAgreeWithTheWalk) {
  uint64_t accepted_reads = 0, shifted = 0, reverse = 0;
  for (uint32_t seed = 0; seed < kCases; ++seed) {
    CaseRandom random(7700 + seed);
    RunState& s = run_state;
    memset(&s, 0, sizeof s);
    const std::string template_text = random_template(random);
    s.template_text = template_text.c_str();
    prepare_template();
    const uint32_t roll = random.below(10);
    s.window = roll < 3 ? random.below(6) : roll < 9 ? random.below(300) : kLargestWindow;
    s.fixed_mismatches = random.chance(70) ? random.below(3) : random.below(9);
    s.both_strands = random.chance(60);
    s.quality_given = random.chance(30);
    s.quality_floor = random.below(41);
    s.finding_barcode = 1;

    std::vector<std::string> reads, qualities;
    for (uint32_t r = 0, count = 1 + random.below(150); r < count; ++r) {
      reads.push_back(random_read(random, template_text, s.window));
      qualities.emplace_back();
      for (size_t i = 0; i < reads.back().size(); ++i) qualities.back() += static_cast<char>('!' + random.below(42));
      if (s.quality_given) note_base_qualities(r, reads.back().c_str(), qualities.back().c_str(), reads.back().size());
    }
    s.record_count = reads.size();
    // The rows, widened as longer reads came, hold every base within the reach from either end.
    for (size_t r = 0; r < reads.size() && s.quality_given && low_quality_row(0) != nullptr; ++r) {
      const uint64_t length = strnlen(reads[r].c_str(), reads[r].size());
      for (uint64_t i = 0; i < length && i < quality_reach(); ++i) {
        for (int strand = 0; strand < (s.both_strands ? 2 : 1); ++strand) {
          const char score = qualities[r][strand == 0 ? i : length - 1 - i];
          ASSERT_EQ(is_low_quality_base(low_quality_row(r), strand, i, s.quality_row_bits),
                    score < static_cast<char>(s.quality_floor + 33))
              << "seed " << seed << " read " << r << " strand " << strand << " base " << i;
        }
      }
    }
    hold_read_placements();
    prepare_search();
    const SearchOutcome walked = search_all(reads, find_barcode);
    const SearchOutcome quick = search_all(reads, [](SequenceRecord* record, uint64_t index, PlacementCounts& counts) {
      return find_barcode_quickly(record, index, nullptr, counts);
    });
    for (size_t r = 0; r < reads.size(); ++r) {
      ASSERT_EQ(quick.rows[r], walked.rows[r]) << "seed " << seed << " template " << template_text << " window "
                                               << s.window << " K " << s.fixed_mismatches << " read " << reads[r];
    }
    ASSERT_EQ(counts_text(quick.counts), counts_text(walked.counts)) << "seed " << seed;
    accepted_reads += quick.counts.at_start_forward + quick.counts.shifted + quick.counts.reverse_strand;
    shifted += quick.counts.shifted;
    reverse += quick.counts.reverse_strand;
    release_search();
    release_all();
    ASSERT_EQ(s.bytes_allocated, 0) << "seed " << seed;
  }
  // The cases reach what they are for: reads found shifted, and on the other strand (in proportion to the
  // cases run: the sanitized builds run fewer).
  EXPECT_GT(shifted, 1000u * kCases / 400);
  EXPECT_GT(reverse, 500u * kCases / 400);
  EXPECT_GT(accepted_reads, shifted);
}

}  // namespace
