// The FASTA parse and the screening: any bytes either become the records that
// the reference reading of the same bytes finds (sequence lines joined), each marked and packed
// as the reference screening says, or end the run with that reading's one
// message and status 1. The first input byte picks the template.
#include <algorithm>
#include <string>
#include <vector>

#include "barcode/barcode_packing.h"
#include "barcode/barcode_template.h"
#include "fuzz_support.h"
#include "base/size_thresholds.h"
#include "input/fasta_parser.h"
#include "support/references.h"

namespace {

const std::string kTemplates[] = {"N", "NN", "NNNNAC", "nnnnnnnn", "NNNNNNNNN", "ACGTNNNNNNNNNNNNTGCA", "A.C.G.T.",
                                  std::string(32, 'N'), std::string(33, 'N'), std::string(65, 'N')};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;  // the loader refuses an empty input before the parse
  const std::string& template_text = kTemplates[data[0] % std::size(kTemplates)];
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const ReferenceParse expected = reference_fasta(bytes);
  size_thresholds.fasta_slice_bytes = 1 + data[0] / std::size(kTemplates) % 4 * 16;  // many parse jobs, or one

  ToolRun tool;
  unsigned long long counts[4] = {0, 0, 0, 0};
  bool parsed = false;
  const int status = tool.run([&] {
    run_state.jobs = 1 + data[0] / 40 % 3;
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
      const ReferenceRecord& r = expected.records[i];
      FUZZ_CHECK(record->name == s.input_buffer + r.name_at && record->sequence == s.input_buffer + r.sequence_at, "pointers", bytes);
      FUZZ_CHECK(">" + r.name == record->name && r.sequence == record->sequence, "texts", bytes);
    }
    for (uint64_t i = 0; i < s.record_count; ++i) ++counts[pack_barcode(record_at(i))];
    // Checked after all are packed, so that a record written past its own words shows.
    for (uint64_t i = 0; i < s.record_count; ++i) {
      const SequenceRecord* record = record_at(i);
      const ReferenceBarcode screening = reference_screening(template_text, expected.records[i].sequence.c_str());
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
