// The strict decimal parse of the distance, in process: accepted texts give
// their value; any other text ends the run with status 1 and the text quoted.
#include "run/options.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <utility>

namespace {

TEST(ParseUint, AcceptsPlainDecimalsWithLeadingBlanksSignAndZeros) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"0", 0}, {"+00", 0}, {" 0", 0}, {"+3", 3}, {"  3", 3}, {"000000000003", 3}, {"10", 10}, {"+0999", 999},
      {" \t\n\v\f\r7", 7}, {"1000000000", 1000000000}, {"2147483647", 2147483647u}, {"0000000002147483647", 2147483647u}};
  for (const auto& [text, value] : cases) EXPECT_EQ(parse_uint(text, "distance"), value) << '"' << text << '"';
}

TEST(ParseUintDeathTest, RefusesAnythingElseQuotingTheTextAsTyped) {
  const char* refused[] = {"",   " ",  "\t", "+",   "++3", "+ 3", "+-3",         "-1",         "-0",         "3 ",
                           "0 ", "1 2", "0x3", "3a", "a3", "3.0", "12345678901", "2147483648", "9999999999", "1e3"};
  const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  for (const char* text : refused) {
    EXPECT_EXIT((void)parse_uint(text, "distance"), ::testing::ExitedWithCode(1),
                "^Can't parse distance \\(\"" + std::regex_replace(text, special, "\\$&") + "\"\\)\n$")
        << '"' << text << '"';
  }
}

}  // namespace
