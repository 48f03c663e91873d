#include "barcode/barcode_packing.h"

#include <cctype>

#include "run/messages.h"
#include "run/worker_pool.h"

namespace {

PackResult reject(SequenceRecord* record, PackResult cause) {
  record->name[0] = '#';
  return cause;
}

}  // namespace

PackResult pack_barcode(SequenceRecord* record) {
  const RunState& s = run_state;
  uint64_t* word = record_barcode(record);
  *word = 0;
  uint32_t bases_in_word = 0;
  uint32_t packed = 0;
  const unsigned char* read = reinterpret_cast<const unsigned char*>(record->sequence);
  if (read[0] != '\0') {
    for (uint32_t i = 0;; ++i) {
      const uint32_t code = s.nucleotide_codes[read[i]];
      // The nucleotide test comes first, at fixed letters too.
      if (code == 0) return reject(record, toupper(read[i]) == 'N' ? has_n : unknown_character);
      if (s.template_mask[i]) {
        if (bases_in_word == 32) {
          *++word = 0;
          bases_in_word = 0;
        }
        *word = (*word << 2) | (code - 1);
        ++bases_in_word;
        ++packed;
      } else if (code != s.nucleotide_codes[static_cast<unsigned char>(s.template_upper[i])]) {
        // Both are nucleotide letters here, so equal codes mean equal letters in either case.
        return reject(record, template_mismatch);
      }
      if (read[i + 1] == '\0' || i + 1 >= s.template_length) break;
    }
  }
  if (packed != s.barcode_length) return reject(record, template_mismatch);
  if (bases_in_word < 32) *word <<= 2 * (32 - bases_in_word);
  return accepted;
}

namespace {

// The screening report; ends the run when nothing was accepted.
void report_screening(const unsigned long long* counts) {
  if (counts[unknown_character] != 0) say(" - %llu barcodes have unknown characters\n", counts[unknown_character]);
  if (counts[has_n] != 0) say(" - %llu barcodes have N\n", counts[has_n]);
  if (counts[template_mismatch] != 0) say(" - %llu template mismatches\n", counts[template_mismatch]);
  say(" - %llu barcodes match template\n", counts[accepted]);
  if (counts[accepted] == 0) fail(kExitFailure, "No barcodes match template\n");
}

}  // namespace

void convert_barcodes() {
  RunState& s = run_state;
  say("Converting barcodes to binary form\n");
  unsigned long long counts[4] = {0, 0, 0, 0};
  for (uint64_t i = 0; i < s.record_count; ++i) ++counts[pack_barcode(record_at(i))];
  report_screening(counts);
}

void convert_barcodes_fast() {
  RunState& s = run_state;
  say("Converting barcodes to binary form\n");
  constexpr uint64_t kMaxSlices = 1024;
  unsigned long long slice_counts[kMaxSlices][4] = {};
  const uint64_t slices = job_count_for(s.record_count, 4096, kMaxSlices);
  run_jobs(slices, [&](uint64_t slice, uint32_t) {
    const uint64_t end = job_begin(slice + 1, slices, s.record_count);
    for (uint64_t i = job_begin(slice, slices, s.record_count); i < end; ++i) {
      ++slice_counts[slice][pack_barcode(record_at(i))];
    }
  });
  unsigned long long counts[4] = {0, 0, 0, 0};
  for (uint64_t slice = 0; slice < slices; ++slice) {
    for (int result = 0; result < 4; ++result) counts[result] += slice_counts[slice][result];
  }
  report_screening(counts);
}
