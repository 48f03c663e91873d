#include "barcode/barcode_packing.h"

#include <cctype>

#include "barcode/barcode_search.h"
#include "barcode/umi_layout.h"
#include "base/messages.h"
#include "input/input_format.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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
  if (packed != s.walk_length) return reject(record, template_mismatch);
  if (bases_in_word < 32) *word <<= 2 * (32 - bases_in_word);
  return accepted;
}

namespace {

// Takes the UMI out of an accepted record's walked bases; nothing without --umi.
PackResult split_accepted(SequenceRecord* record, PackResult result, const UmiLayout* umi) {
  if (result == accepted && umi != nullptr) split_umi(record, *umi);
  return result;
}

// The screening report; the engine ends the run when nothing was accepted.
void report_screening(const unsigned long long* counts) {
  if (counts[unknown_character] != 0) say(" - %llu barcodes have unknown characters\n", counts[unknown_character]);
  if (counts[has_n] != 0) say(" - %llu barcodes have N\n", counts[has_n]);
  if (counts[template_mismatch] != 0) say(" - %llu template mismatches\n", counts[template_mismatch]);
  say(" - %llu barcodes match template\n", counts[accepted]);
  for (int result = 0; result < 4; ++result) run_state.screened[result] = counts[result];
}

}  // namespace

void convert_barcodes() {
  RunState& s = run_state;
  refuse_quality_after_parse();
  say("Converting barcodes to binary form\n");
  const UmiLayout* umi = umi_layout();
  unsigned long long counts[4] = {0, 0, 0, 0};
  if (s.finding_barcode) {
    hold_read_placements();
    PlacementCounts placed = {};
    for (uint64_t i = 0; i < s.record_count; ++i)
      ++counts[split_accepted(record_at(i), find_barcode(record_at(i), i, placed), umi)];
    add_placement_counts(placed);
  } else {
    for (uint64_t i = 0; i < s.record_count; ++i) ++counts[split_accepted(record_at(i), pack_barcode(record_at(i)), umi)];
  }
  release_work_block(kLowQualityBases);
  report_screening(counts);
}

PackResult rejection_cause(uint64_t index) {
  if (run_state.finding_barcode) return static_cast<PackResult>(read_placement(index));
  // Packing a rejected record again finds the same cause; only its unused words change.
  return pack_barcode(record_at(index));
}

namespace {

// The template laid out for checking 16 read bytes at a time: the fixed
// letter at each position (0 at barcode positions and past the end, padded to
// whole 16-byte chunks), then the barcode positions in order.
struct PackPlan {
  const unsigned char* fixed_letters;
  const uint32_t* barcode_positions;
  uint32_t chunks;
};

PackPlan make_pack_plan() {
  const RunState& s = run_state;
  const uint32_t chunks = (s.template_length + 15) / 16;
  auto* block = static_cast<unsigned char*>(hold_work_block(kPackPlan, 16ull * chunks + 4ull * s.walk_length));
  uint32_t* positions = reinterpret_cast<uint32_t*>(block + 16ull * chunks);
  uint32_t barcode_bases = 0;
  for (uint32_t i = 0; i < 16 * chunks; ++i) {
    const bool fixed = i < s.template_length && s.template_mask[i] == 0;
    block[i] = fixed ? static_cast<unsigned char>(s.template_upper[i]) : 0;
    if (i < s.template_length && !fixed) positions[barcode_bases++] = i;
  }
  return {block, positions, chunks};
}

// The walk for a read the quick check does not settle.
PackResult walk_slowly(SequenceRecord* record, uint64_t index, const char* limit, PlacementCounts& placed) {
  return run_state.finding_barcode ? find_barcode_quickly(record, index, limit, placed) : pack_barcode(record);
}

// pack_barcode for the usual read: one that carries a nucleotide at every
// template position, the fixed letters matched. Such a read is walked to the
// template's end and accepted, so its barcode can be packed straight from the
// barcode positions. Any other read takes the walk, and so does one whose
// chunks would reach limit: the first byte that another worker may write
// while this one reads (the mark of the first record of the next slice).
PackResult pack_barcode_quickly(SequenceRecord* record, uint64_t index, const PackPlan& plan, const char* limit,
                                PlacementCounts& placed) {
#ifdef __SSE2__
  const RunState& s = run_state;
  const unsigned char* read = reinterpret_cast<const unsigned char*>(record->sequence);
  if (record->sequence + 16 * plan.chunks > limit) return walk_slowly(record, index, limit, placed);
  // Upper-casing by clearing bit 5 maps exactly a, c, g, t onto A, C, G, T.
  const __m128i upper = _mm_set1_epi8(static_cast<char>(0xDF));
  const __m128i zero = _mm_setzero_si128();
  for (uint32_t chunk = 0; chunk < plan.chunks; ++chunk) {
    const __m128i bytes = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(read + 16 * chunk)), upper);
    const __m128i letters = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plan.fixed_letters + 16 * chunk));
    const __m128i nucleotide = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('A')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('C'))),
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('G')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('T'))));
    const __m128i fits = _mm_or_si128(_mm_cmpeq_epi8(letters, zero), _mm_cmpeq_epi8(letters, bytes));
    const uint32_t good = static_cast<uint32_t>(_mm_movemask_epi8(_mm_and_si128(nucleotide, fits)));
    const uint32_t positions = s.template_length - 16 * chunk;
    const uint32_t wanted = positions >= 16 ? 0xFFFF : (1u << positions) - 1;
    if ((good & wanted) != wanted) return walk_slowly(record, index, limit, placed);
  }
  if (s.finding_barcode) {
    if (has_low_quality_barcode(index)) return walk_slowly(record, index, limit, placed);
    note_plain_acceptance(index, placed);
  }
  uint64_t* word = record_barcode(record);
  for (uint32_t first = 0; first < s.walk_length; first += 32) {
    const uint32_t bases = s.walk_length - first < 32 ? s.walk_length - first : 32;
    uint64_t packed = 0;
    for (uint32_t j = first; j < first + bases; ++j)
      packed = (packed << 2) | (s.nucleotide_codes[read[plan.barcode_positions[j]]] - 1);
    *word++ = bases == 32 ? packed : packed << (2 * (32 - bases));
  }
  return accepted;
#else
  (void)plan;
  return walk_slowly(record, index, limit, placed);
#endif
}

}  // namespace

void convert_barcodes_fast() {
  RunState& s = run_state;
  refuse_quality_after_parse();
  say("Converting barcodes to binary form\n");
  const PackPlan plan = make_pack_plan();
  const UmiLayout* umi = umi_layout();
  if (s.finding_barcode) {
    hold_read_placements();
    prepare_search();
  }
  constexpr uint64_t kMaxSlices = 1024;
  unsigned long long slice_counts[kMaxSlices][4] = {};
  PlacementCounts slice_placed[kMaxSlices];  // each slice clears its own
  const uint64_t slices = job_count_for(s.record_count, 4096, kMaxSlices);
  run_jobs(slices, [&](uint64_t slice, uint32_t) {
    const uint64_t end = job_begin(slice + 1, slices, s.record_count);
    const char* limit = end < s.record_count ? record_at(end)->name : s.input_buffer + s.input_size + 1;
    PlacementCounts& placed = slice_placed[slice];
    placed = {};
    for (uint64_t i = job_begin(slice, slices, s.record_count); i < end; ++i) {
      // The UMI comes out while the record's words are at hand.
      ++slice_counts[slice][split_accepted(record_at(i), pack_barcode_quickly(record_at(i), i, plan, limit, placed), umi)];
    }
  });
  release_work_block(kPackPlan);
  release_search();
  release_work_block(kLowQualityBases);
  for (uint64_t slice = 0; slice < slices; ++slice) add_placement_counts(slice_placed[slice]);
  unsigned long long counts[4] = {0, 0, 0, 0};
  for (uint64_t slice = 0; slice < slices; ++slice) {
    for (int result = 0; result < 4; ++result) counts[result] += slice_counts[slice][result];
  }
  report_screening(counts);
}
