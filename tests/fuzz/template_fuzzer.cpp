// The template compiler, and the packing of one read along the compiled
// template. Input: the template, a NUL, the read (both as a command line and
// a FASTA line could carry them).
#include <string>

#include "barcode/barcode_packing.h"
#include "barcode/barcode_template.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const size_t template_size = strnlen(bytes, size);
  const std::string template_text(bytes, template_size);
  const std::string read = template_size < size ? std::string(bytes + template_size + 1, size - template_size - 1) : "";
  if (template_text.empty()) return 0;  // the command line refuses an empty template

  size_t bad = template_text.size();
  size_t positions = 0;
  for (size_t i = 0; i < template_text.size(); ++i) {
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(template_text[i])));
    if (is_barcode_position(upper)) {
      ++positions;
    } else if (std::strchr("ACGT", upper) == nullptr && bad == template_text.size()) {
      bad = i;
    }
  }

  ToolRun tool;
  std::string record_block;  // the record and its words, sized once the template is known
  PackResult packed = accepted;
  const int status = tool.run([&] {
    run_state.template_text = template_text.c_str();
    prepare_template();
    record_block.assign(run_state.record_size, '\0');
    SequenceRecord* record = reinterpret_cast<SequenceRecord*>(record_block.data());
    std::string name = ">r";
    record->name = name.data();
    record->sequence = const_cast<char*>(read.c_str());
    packed = pack_barcode(record);
    FUZZ_CHECK((packed == accepted) == (name[0] == '>'), "the screening mark disagrees with the result", read);

    const ReferenceBarcode expected = reference_screening(template_text, read.c_str());
    FUZZ_CHECK(static_cast<int>(packed) == static_cast<int>(expected.result), "screening differs from the reference",
               template_text + " / " + read);
    if (packed == accepted) check_packed(record, expected.bases);

    const RunState& s = run_state;
    FUZZ_CHECK(s.template_length == template_text.size(), "template length", template_text);
    FUZZ_CHECK(s.barcode_length == positions, "barcode length", template_text);
    FUZZ_CHECK(s.barcode_words == (positions + 31) / 32, "barcode words", template_text);
    FUZZ_CHECK(s.record_size == 16 + 8 * s.barcode_words, "record size", template_text);
    for (size_t i = 0; i < template_text.size(); ++i) {
      FUZZ_CHECK(s.template_upper[i] == std::toupper(static_cast<unsigned char>(template_text[i])), "upper copy",
                 template_text);
      FUZZ_CHECK(s.template_mask[i] == is_barcode_position(template_text[i]), "mask", template_text);
    }
    FUZZ_CHECK(s.template_upper[template_text.size()] == '\0', "upper copy is not closed", template_text);
  });
  tool.finish();

  if (bad < template_text.size()) {
    FUZZ_CHECK(status == kExitFailure, "a bad template byte was accepted", template_text);
    const std::string message = std::string("Can't parse \"") + template_text[bad] + "\" in the template sequence \"" +
                                template_text + "\" - template should only contain [ATCGN.]\n";
    FUZZ_CHECK(tool.err() == message, "wrong message for a bad template byte", tool.err());
  } else if (positions == 0) {
    FUZZ_CHECK(status == kExitFailure, "a template without barcode positions was accepted", template_text);
    FUZZ_CHECK(tool.err() == "Template \"" + template_text + "\" has no barcode positions (N or .)\n",
               "wrong message for a template without barcode positions", tool.err());
  } else {
    FUZZ_CHECK(status == 0, "a good template was refused", tool.err());
  }
  return 0;
}
