// The strict decimal parse of the distance.
#include "run/options.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Escapes the characters that have a meaning of their own in an extended regular expression.
std::string regex_quote(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::string(".[]{}()\\*+?^$|").find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

struct Accepted {
  const char* text;
  uint32_t value;
};

TEST(ParseUint, AcceptsPlainDecimalsWithLeadingBlanksSignAndZeros) {
  const Accepted cases[] = {{"0", 0},
                            {"00", 0},
                            {"+0", 0},
                            {"+00", 0},
                            {" 0", 0},
                            {"3", 3},
                            {"+3", 3},
                            {"  3", 3},
                            {"0003", 3},
                            {"000000000003", 3},
                            {"10", 10},
                            {"+0999", 999},
                            {" \t\n\v\f\r7", 7},
                            {"1000000000", 1000000000},
                            {"2147483647", 2147483647u},
                            {"0000000002147483647", 2147483647u}};
  for (const Accepted& c : cases) EXPECT_EQ(parse_uint(c.text, "distance"), c.value) << '"' << c.text << '"';
}

TEST(ParseUintDeathTest, RefusesAnythingElseQuotingTheTextAsTyped) {
  const char* refused[] = {
      "",    " ",   "\t", "+",  "++3",         "+ 3",        "+-3",        "-1",  "-0",  "3 ",  "0 ",
      "1 2", "0x3", "3a", "a3", "12345678901", "2147483648", "9999999999", "3.0", "+0+", "03-", "1e3",
  };
  for (const char* text : refused) {
    EXPECT_EXIT((void)parse_uint(text, "distance"), ::testing::ExitedWithCode(1),
                "^Can't parse distance \\(\"" + regex_quote(text) + "\"\\)\n$")
        << '"' << text << '"';
  }
}

}  // namespace
