// The template compiler, and the packing of one read along the compiled
// template. Input: the template, a NUL, the read.
#include <string>

#include "barcode/barcode_packing.h"
#include "barcode/barcode_template.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const std::string templ(bytes, strnlen(bytes, size));
  const std::string read = templ.size() < size ? std::string(bytes + templ.size() + 1, size - templ.size() - 1) : "";
  if (templ.empty()) return 0;  // the command line refuses an empty template
  size_t bad = templ.size(), positions = 0;
  for (size_t i = 0; i < templ.size(); ++i) {
    if (is_barcode_position(templ[i])) {
      ++positions;
    } else if (std::strchr("ACGTacgt", templ[i]) == nullptr && bad == templ.size()) {
      bad = i;
    }
  }

  ToolRun tool;
  std::string record_block;  // the record and its words, sized once the template is known
  const int status = tool.run([&] {
    run_state.template_text = templ.c_str();
    prepare_template();
    const RunState& s = run_state;
    FUZZ_CHECK(s.template_length == templ.size() && s.barcode_length == positions, "template or barcode length", templ);
    FUZZ_CHECK(s.barcode_words == (positions + 31) / 32 && s.record_size == 16 + 8 * s.barcode_words, "words", templ);
    for (size_t i = 0; i <= templ.size(); ++i) {
      FUZZ_CHECK(s.template_upper[i] == std::toupper(static_cast<unsigned char>(templ[i])), "upper copy", templ);
      FUZZ_CHECK(i == templ.size() || s.template_mask[i] == is_barcode_position(templ[i]), "mask", templ);
    }
    record_block.assign(s.record_size, '\0');
    SequenceRecord* record = reinterpret_cast<SequenceRecord*>(record_block.data());
    std::string name = ">r";
    record->name = name.data();
    record->sequence = const_cast<char*>(read.c_str());
    const PackResult packed = pack_barcode(record);
    FUZZ_CHECK((packed == accepted) == (name[0] == '>'), "the screening mark disagrees with the result", read);
    const ReferenceBarcode expected = reference_screening(templ, read.c_str());
    FUZZ_CHECK(static_cast<int>(packed) == static_cast<int>(expected.result), "screening differs from the reference",
               templ + " / " + read);
    if (packed == accepted) check_packed(record, expected.bases);
  });
  tool.finish();

  if (bad < templ.size()) {
    FUZZ_CHECK(status == kExitFailure && tool.err() == std::string("Can't parse \"") + templ[bad] +
                                                           "\" in the template sequence \"" + templ +
                                                           "\" - template should only contain [ATCGN.]\n",
               "wrong refusal of a bad template byte", tool.err());
  } else if (positions == 0) {
    FUZZ_CHECK(status == kExitFailure && tool.err() == "Template \"" + templ + "\" has no barcode positions (N or .)\n",
               "wrong refusal of a template without barcode positions", tool.err());
  } else {
    FUZZ_CHECK(status == 0, "a good template was refused", tool.err());
  }
  return 0;
}
