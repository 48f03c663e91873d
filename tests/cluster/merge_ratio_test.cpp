// The ratio test of the abundance rule: exact at the boundary for fractions
// of any length and for counts near the top of 64 bits, where a floating-point
// product or a 64-bit one would round or wrap.
#include "cluster/merge_ratio.h"

#include <gtest/gtest.h>

#include <cstring>

#include "base/run_state.h"

namespace {

MergeRatio ratio_of(const char* text) {
  accept_merge_ratio(text);
  const MergeRatio ratio = *run_state.merge_ratio;
  run_state.merge_ratio = nullptr;
  return ratio;
}

TEST(MergeRatio, MeetsTheRatioExactlyAtTheBoundary) {
  const struct {
    const char* ratio;
    uint64_t taker, taken;
    bool meets;
  } kCases[] = {
      {"5", 10, 2, true},
      {"5", 9, 2, false},
      {"2.5", 5, 2, true},
      {"2.5", 4, 2, false},
      {"2.50000", 5, 2, true},  // trailing zeros change nothing
      {"1", 7, 7, true},
      {"1.0000000000000000000000001", 7, 7, false},  // beyond any 64-bit scale
      {"1.0000000000000000000000001", 8, 7, true},
      // 10 / 3 = 3.333... lies above every finite prefix of it, and 3.4 above it.
      {"3.3333333333333333333333333", 10, 3, true},
      {"3.4", 10, 3, false},
      {"1000000", 1000000, 1, true},
      {"1000000", 999999, 1, false},
      {"0999.9", 9999, 10, true},  // leading zeros are read as digits
      // Products above 2^64: taken near the top of 64 bits.
      {"2", UINT64_MAX, UINT64_MAX / 2, true},
      {"2", UINT64_MAX - 1, UINT64_MAX / 2 + 1, false},
      {"1.5", UINT64_MAX, 12297829382473034410ull, true},  // 1.5 * that is UINT64_MAX exactly
      {"1.5", UINT64_MAX, 12297829382473034411ull, false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(meets_merge_ratio(ratio_of(c.ratio), c.taker, c.taken), c.meets)
        << c.ratio << " " << c.taker << " " << c.taken;
  }
}

TEST(MergeRatioDeathTest, RefusesValuesOutsideTheRange) {
  // The message's bytes are the end-to-end table's.
  for (const char* text : {"1000000.0000001", "1000000.01", "0.9999999", "0.999", "0", "1e3", "5e1", "-2", "+5", " 5",
                           "5.", ".5", "", "2,5", "2.5.1", "inf"}) {
    EXPECT_EXIT(accept_merge_ratio(text), ::testing::ExitedWithCode(1), "Can't parse merge-ratio") << text;
  }
}

}  // namespace
