// The FASTA parse and the screening: any bytes either become records that a
// plain line-by-line reading of the same bytes finds, each marked and packed
// as the reference screening says, or end the run with that reading's one
// message and status 1. The first input byte picks the template.
#include <algorithm>
#include <string>
#include <vector>

#include "barcode/barcode_packing.h"
#include "barcode/barcode_template.h"
#include "fuzz_support.h"
#include "input/fasta_parser.h"

namespace {

const std::string kTemplates[] = {"N", "NN", "NNNNAC", "nnnnnnnn", "NNNNNNNNN", "ACGTNNNNNNNNNNNNTGCA", "A.C.G.T.",
                                  std::string(32, 'N'), std::string(33, 'N'), std::string(65, 'N')};

struct ReferenceParse {
  std::string message;                               // empty when the parse succeeds
  std::vector<std::pair<size_t, size_t>> records;  // offsets of each '>' and first sequence byte
};

// The input read line by line: a name line, its line end and any blank lines
// after it, the sequence line, then its line end with any blank lines or NUL
// bytes, and the next name line.
ReferenceParse reference_parse(const std::string& bytes) {
  ReferenceParse parse;
  auto fail = [&](const std::string& message) {
    parse.message = message;
    return parse;
  };
  const size_t marks = std::count(bytes.begin(), bytes.end(), '>');
  if (marks == 0) return fail("Input has no sequences\n");
  if (bytes[0] != '>') return fail("Can't find sequence start ('>') in line 1\n");
  for (size_t at = 0;;) {
    const size_t name_end = bytes.find_first_of("\r\n", at);
    if (name_end == std::string::npos) return fail("Can't find end of sequence name\n");
    const size_t sequence = bytes.find_first_not_of("\r\n", name_end);
    if (sequence == std::string::npos) {  // the name as the tool stores it ends at its first NUL
      return fail("Can't find data for sequence \"" + std::string(bytes.substr(at, name_end - at).c_str()) + "\"\n");
    }
    parse.records.push_back({at, sequence});
    const size_t sequence_end = bytes.find_first_of("\r\n", sequence);
    const size_t next = sequence_end == std::string::npos ? sequence_end : bytes.find_first_not_of(std::string("\r\n\0", 3), sequence_end);
    if (next == std::string::npos) break;
    if (bytes[next] != '>') return fail("Can't find sequence start ('>') in line " + std::to_string(2 * parse.records.size() + 1) + "\n");
    at = next;
  }
  if (parse.records.size() != marks) parse.message = "Failed to parse " + std::to_string(marks) + " sequences\n";
  return parse;
}

// The C string the tool sees at an offset: up to the first NUL, CR or LF.
std::string line_text(const std::string& bytes, size_t at) {
  const size_t end = bytes.find_first_of(std::string("\r\n\0", 3), at);
  return bytes.substr(at, (end == std::string::npos ? bytes.size() : end) - at);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;  // the loader refuses an empty input before the parse
  const std::string& template_text = kTemplates[data[0] % std::size(kTemplates)];
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const ReferenceParse expected = reference_parse(bytes);

  ToolRun tool;
  unsigned long long counts[4] = {0, 0, 0, 0};
  bool parsed = false;
  const int status = tool.run([&] {
    run_state.template_text = template_text.c_str();
    prepare_template();
    RunState& s = run_state;  // the input as the loader leaves it
    s.input_size = bytes.size();
    s.input_buffer_bytes = bytes.size() + 1;
    s.input_buffer = static_cast<char*>(tracked_malloc(s.input_buffer_bytes));
    std::memcpy(s.input_buffer, bytes.c_str(), bytes.size() + 1);
    parse_fasta(s.input_buffer, s.input_size);
    parsed = true;

    FUZZ_CHECK(s.record_count == expected.records.size(), "record count differs from the reference", bytes);
    for (uint64_t i = 0; i < s.record_count; ++i) {
      const SequenceRecord* record = record_at(i);
      const auto [name, sequence] = expected.records[i];
      FUZZ_CHECK(record->name == s.input_buffer + name && record->sequence == s.input_buffer + sequence, "pointers", bytes);
      FUZZ_CHECK(line_text(bytes, name) == record->name && line_text(bytes, sequence) == record->sequence, "texts", bytes);
    }
    for (uint64_t i = 0; i < s.record_count; ++i) ++counts[pack_barcode(record_at(i))];
    // Checked after all are packed, so that a record written past its own words shows.
    for (uint64_t i = 0; i < s.record_count; ++i) {
      const SequenceRecord* record = record_at(i);
      const ReferenceBarcode screening = reference_screening(template_text, line_text(bytes, expected.records[i].second).c_str());
      FUZZ_CHECK(record->name[0] == (screening.result == Screening::accepted ? '>' : '#'), "screening mark", bytes);
      if (screening.result == Screening::accepted) check_packed(record, screening.bases);
    }
    convert_barcodes();
  });
  tool.finish();

  if (!expected.message.empty()) {
    FUZZ_CHECK(status == kExitFailure && !parsed, "a malformed input was parsed", bytes);
    FUZZ_CHECK(tool.err().ends_with(expected.message), "the parse failed with another message",
               tool.err() + "expected: " + expected.message);
  } else {
    FUZZ_CHECK(parsed, "a well-formed input was refused", tool.err());
    // convert_barcodes packs again and counts the same way; its report follows the parse line.
    const bool none = counts[accepted] == 0;
    FUZZ_CHECK(status == (none ? kExitFailure : 0), "status after screening", tool.err());
    const std::string tail = " - " + std::to_string(counts[accepted]) + " barcodes match template\n" +
                             (none ? "No barcodes match template\n" : "");
    FUZZ_CHECK(tool.err().ends_with(tail), "screening report", tool.err());
  }
  return 0;
}
