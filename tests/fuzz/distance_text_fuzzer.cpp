// The strict distance parse: any text either gives the value a plain reading
// of it gives, or is refused with exactly one message and status 1.
#include <string>

#include "fuzz_support.h"
#include "run/options.h"

// White space, at most one plus sign, then one or more decimal digits whose
// value, leading zeros aside, is at most 2147483647.
static bool reference_parse(const std::string& text, uint32_t* value) {
  size_t i = 0;
  while (i < text.size() && std::strchr(" \t\n\v\f\r", text[i]) != nullptr) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  const std::string digits = text.substr(i);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  const size_t first = digits.find_first_not_of('0');
  const std::string significant = first == std::string::npos ? "0" : digits.substr(first);
  if (significant.size() > 10 || std::stoull(significant) > 2147483647u) return false;
  *value = static_cast<uint32_t>(std::stoull(significant));
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A command-line argument ends at its first NUL.
  const std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  uint32_t expected = 0, parsed = 0;
  const bool valid = reference_parse(text, &expected);
  ToolRun tool;
  const int status = tool.run([&] { parsed = parse_uint(text.c_str(), "distance"); });
  tool.finish();
  if (valid) {
    FUZZ_CHECK(status == 0 && tool.err().empty(), "a valid distance was refused", text + "\n" + tool.err());
    FUZZ_CHECK(parsed == expected, "the distance parsed to another value", text);
  } else {
    FUZZ_CHECK(status == kExitFailure, "a bad distance did not end with status 1", text);
    FUZZ_CHECK(tool.err() == "Can't parse distance (\"" + shown(text) + "\")\n", "wrong refusal message", tool.err());
  }
  return 0;
}
