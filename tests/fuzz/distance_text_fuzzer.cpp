// The strict distance parse: any text either gives the value a plain
// reading of it gives, or is refused with exactly one message and status 1.
#include <string>

#include "fuzz_support.h"
#include "run/options.h"

namespace {

bool is_c_space(char c) { return c != '\0' && std::strchr(" \t\n\v\f\r", c) != nullptr; }

// White space, at most one plus sign, then one or more decimal digits whose
// value, leading zeros aside, is at most 2147483647.
bool reference_parse(const std::string& text, uint32_t* value) {
  size_t i = 0;
  while (i < text.size() && is_c_space(text[i])) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  const std::string digits = text.substr(i);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  const size_t first = digits.find_first_not_of('0');
  const std::string significant = first == std::string::npos ? "" : digits.substr(first);
  if (significant.size() > 10) return false;
  uint64_t number = 0;
  for (char digit : significant) number = number * 10 + static_cast<uint64_t>(digit - '0');
  if (number > 2147483647u) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A command-line argument ends at its first NUL.
  const std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  uint32_t expected = 0;
  const bool valid = reference_parse(text, &expected);

  uint32_t parsed = 0;
  ToolRun tool;
  const int status = tool.run([&] { parsed = parse_uint(text.c_str(), "distance"); });
  tool.finish();
  if (valid) {
    FUZZ_CHECK(status == 0, "a valid distance was refused", text);
    FUZZ_CHECK(parsed == expected, "the distance parsed to another value", text);
    FUZZ_CHECK(tool.err().empty(), "a valid distance printed a message", tool.err());
  } else {
    FUZZ_CHECK(status == kExitFailure, "a bad distance did not end with status 1", text);
    FUZZ_CHECK(tool.err() == "Can't parse distance (\"" + text + "\")\n", "wrong refusal message", tool.err());
  }
  return 0;
}
