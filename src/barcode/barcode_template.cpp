#include "barcode/barcode_template.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/tracked_memory.h"
#include "barcode/umi_layout.h"

namespace {

bool is_barcode_position(char upper) { return upper == 'N' || upper == '.'; }

}  // namespace

uint32_t count_barcode_positions(const char* template_text) {
  uint32_t positions = 0;
  for (const char* p = template_text; *p != '\0'; ++p) {
    positions += is_barcode_position(static_cast<char>(toupper(static_cast<unsigned char>(*p))));
  }
  return positions;
}

void prepare_template() {
  RunState& s = run_state;
  memset(s.nucleotide_codes, 0, sizeof s.nucleotide_codes);
  // A/a 1, C/c 2, G/g 3, T/t 4: letter pairs in code order.
  const unsigned char* letters = reinterpret_cast<const unsigned char*>("AaCcGgTt");
  for (uint32_t i = 0; i < 8; ++i) s.nucleotide_codes[letters[i]] = i / 2 + 1;

  s.template_length = static_cast<uint32_t>(strlen(s.template_text));
  s.template_upper = static_cast<char*>(tracked_malloc(s.template_length + 1ull));
  s.template_upper[s.template_length] = '\0';
  s.template_mask = static_cast<unsigned char*>(tracked_malloc(s.template_length));

  for (uint32_t i = 0; i < s.template_length; ++i) {
    const unsigned char typed = static_cast<unsigned char>(s.template_text[i]);
    const char upper = static_cast<char>(toupper(typed));
    if (is_barcode_position(upper)) {
      s.template_mask[i] = 1;
      s.walk_length += 1;
    } else if (s.nucleotide_codes[static_cast<unsigned char>(upper)] == 0) {
      fail(kExitFailure, "Can't parse \"%c\" in the template sequence \"%s\" - template should only contain [ATCGN.]\n",
           typed, s.template_text);
    } else {
      s.template_mask[i] = 0;
    }
    s.template_upper[i] = upper;
  }
  // Every record carries at least one barcode word: the prefix key and the
  // packing both live in word 0.
  if (s.walk_length == 0) {
    fail(kExitFailure, "Template \"%s\" has no barcode positions (N or .)\n", s.template_text);
  }
  // The UMI's bases leave the walked ones; its word follows the barcode's.
  s.barcode_length = s.walk_length - umi_length();
  s.barcode_words = (s.barcode_length + 31) >> 5;
  const uint32_t walk_words = (s.walk_length + 31) >> 5;
  const uint32_t words = umi_length() == 0 ? s.barcode_words : std::max(walk_words, s.barcode_words + 1);
  s.record_size = sizeof(SequenceRecord) + 8ull * words;

  s.bucket_bytes = static_cast<uint64_t*>(tracked_calloc(kBucketCount, 8));
  s.bucket_counts = static_cast<uint64_t*>(tracked_calloc(kBucketCount, 8));
  s.bucket_entries = static_cast<SequenceRecord***>(tracked_calloc(kBucketCount, 8));
}
