#include "barcode/barcode_search.h"

#include <cctype>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "base/tracked_memory.h"
#include "input/base_qualities.h"

namespace {

// The complement of every byte: A/T and C/G swap in either case; any other
// byte stays what it is, so N is still N and an unknown byte still unknown.
struct ComplementTable {
  unsigned char of[256];
  constexpr ComplementTable() : of() {
    for (int b = 0; b < 256; ++b) of[b] = static_cast<unsigned char>(b);
    const char* pairs[] = {"AT", "TA", "CG", "GC", "at", "ta", "cg", "gc"};
    for (const char* pair : pairs) of[static_cast<unsigned char>(pair[0])] = static_cast<unsigned char>(pair[1]);
  }
};
constexpr ComplementTable kComplement;

struct Walk {
  PackResult result;
  uint32_t mismatches;  // fixed letters differing
  bool low_quality;     // rejected at a barcode base below --quality
};

// The read seen from one strand: its bytes from the start on the forward
// strand, the complements of its bytes from the end on the reverse one.
struct StrandView {
  const unsigned char* read;
  uint64_t length;  // of the read, or at least quality_reach() on the forward strand
  bool reverse;
  const unsigned char* low_quality;  // the read's quality row, or null

  unsigned char at(uint64_t i) const { return reverse ? kComplement.of[read[length - 1 - i]] : read[i]; }
  bool is_low(uint64_t i) const {
    return low_quality != nullptr && is_low_quality_base(low_quality, reverse ? quality_reach() + i : i);
  }
};

// Walks the template at one offset; packs the barcode into words when they are given and the walk passes.
Walk walk_at(const StrandView& view, uint32_t offset, uint64_t* words) {
  const RunState& s = run_state;
  uint32_t mismatches = 0;
  uint32_t packed = 0;
  uint32_t bases_in_word = 0;
  uint64_t word = 0;
  for (uint32_t j = 0; j < s.template_length && offset + j < view.length; ++j) {
    const unsigned char byte = view.at(offset + j);
    const uint32_t code = s.nucleotide_codes[byte];
    if (s.template_mask[j]) {
      if (code == 0) return {toupper(byte) == 'N' ? has_n : unknown_character, mismatches, false};
      if (view.is_low(offset + j)) return {has_n, mismatches, true};
      if (bases_in_word == 32) {
        if (words != nullptr) *words++ = word;
        word = 0;
        bases_in_word = 0;
      }
      word = (word << 2) | (code - 1);
      ++bases_in_word;
      ++packed;
    } else if (code == 0 && s.fixed_mismatches == 0) {
      // Without a mismatch allowance the nucleotide test comes first, as in the plain walk.
      return {toupper(byte) == 'N' ? has_n : unknown_character, mismatches, false};
    } else if (code != s.nucleotide_codes[static_cast<unsigned char>(s.template_upper[j])] &&
               ++mismatches > s.fixed_mismatches) {
      return {template_mismatch, mismatches, false};
    }
  }
  if (packed != s.walk_length) return {template_mismatch, mismatches, false};
  if (words != nullptr) *words = bases_in_word == 32 ? word : word << (2 * (32 - bases_in_word));
  return {accepted, mismatches, false};
}

unsigned char* placements() { return static_cast<unsigned char*>(run_state.work_blocks[kReadPlacements].data); }

// Leaves a read out under the cause of the walk at offset 0 on the read as given.
// Notes where an accepted read's barcode was found: its offset, its strand
// (1 for the reverse complement) and how many fixed letters differed there.
void note_placement(uint64_t index, uint32_t offset, int strand, uint32_t mismatches, PlacementCounts& counts) {
  placements()[index] = static_cast<unsigned char>(offset | (strand == 1 ? kReverseStrand : 0));
  if (offset == 0 && strand == 0) ++counts.at_start_forward;
  if (offset > 0) ++counts.shifted;
  if (strand == 1) ++counts.reverse_strand;
  ++counts.flank_mismatches[mismatches];
}

PackResult reject(SequenceRecord* record, uint64_t index, const Walk& plain, PlacementCounts& counts) {
  record->name[0] = '#';
  placements()[index] = static_cast<unsigned char>(plain.result);
  if (plain.low_quality) ++counts.low_quality;
  return plain.result;
}

}  // namespace

void hold_read_placements() {
  if (placements() == nullptr) hold_work_block(kReadPlacements, run_state.record_count);
}

unsigned char read_placement(uint64_t index) { return placements()[index]; }

PackResult find_barcode(SequenceRecord* record, uint64_t index, PlacementCounts& counts) {
  const RunState& s = run_state;
  const auto* read = reinterpret_cast<const unsigned char*>(record->sequence);
  const unsigned char* low_quality = low_quality_row(index);
  // The forward walks never look past quality_reach() bytes, so a long read is not measured whole for them.
  StrandView view = {read, strnlen(record->sequence, quality_reach()), false, low_quality};
  Walk plain = {accepted, 0, false};
  for (int strand = 0; strand < (s.both_strands ? 2 : 1); ++strand) {
    if (strand == 1) view = {read, strlen(record->sequence), true, low_quality};
    int64_t best = -1;
    uint32_t fewest = 0;
    for (uint32_t offset = 0; offset <= s.window; ++offset) {
      const Walk walk = walk_at(view, offset, nullptr);
      if (strand == 0 && offset == 0) plain = walk;
      if (walk.result == accepted && (best < 0 || walk.mismatches < fewest)) {
        best = offset;
        fewest = walk.mismatches;
        if (fewest == 0) break;  // no later offset can do better
      }
    }
    if (best < 0) continue;
    walk_at(view, static_cast<uint32_t>(best), record_barcode(record));
    note_placement(index, static_cast<uint32_t>(best), strand, fewest, counts);
    return accepted;
  }
  return reject(record, index, plain, counts);
}

namespace {

// The template for 16-byte comparisons, once as it is and once reverse-
// complemented: comparing the reverse-complemented template with the read at
// position n - L - o is walking the template along the read's reverse
// complement at offset o. Per chunk of 16 positions, bit i of the masks marks
// position i as a fixed letter or a barcode position.
struct SearchPlan {
  unsigned char* letters[2];  // fixed letters, upper case; 0 elsewhere
  uint32_t* fixed_bits[2];
  uint32_t* barcode_bits[2];
  uint32_t* barcode_positions;  // in template order
  uint32_t chunks;
};

SearchPlan search_plan() {
  const RunState& s = run_state;
  const uint32_t chunks = (s.template_length + 15) / 16;
  auto* block = static_cast<unsigned char*>(s.work_blocks[kSearchPlan].data);
  auto* words = reinterpret_cast<uint32_t*>(block + 32ull * chunks);
  return {{block, block + 16ull * chunks},
          {words, words + chunks},
          {words + 2 * chunks, words + 3 * chunks},
          words + 4 * chunks,
          chunks};
}

struct Fit {
  bool passes;
  uint32_t mismatches;
};

#ifdef __SSE2__
// The template (strand 0) or its reverse complement (strand 1) laid over the read's bytes from at.
Fit fit_at(const SearchPlan& plan, int strand, const unsigned char* at) {
  const __m128i upper = _mm_set1_epi8(static_cast<char>(0xDF));
  uint32_t mismatches = 0;
  for (uint32_t chunk = 0; chunk < plan.chunks; ++chunk) {
    const __m128i bytes = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * chunk)), upper);
    const __m128i letters = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plan.letters[strand] + 16 * chunk));
    const __m128i nucleotide = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('A')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('C'))),
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('G')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('T'))));
    const uint32_t is_nucleotide = static_cast<uint32_t>(_mm_movemask_epi8(nucleotide));
    const uint32_t fits =
        static_cast<uint32_t>(_mm_movemask_epi8(_mm_and_si128(nucleotide, _mm_cmpeq_epi8(letters, bytes))));
    if (plan.barcode_bits[strand][chunk] & ~is_nucleotide) return {false, 0};
    // Counted one bit at a time, and only until the allowance is exceeded: most offsets fail in the first chunk.
    for (uint32_t differing = plan.fixed_bits[strand][chunk] & ~fits; differing != 0; differing &= differing - 1) {
      if (++mismatches > run_state.fixed_mismatches) return {false, 0};
    }
  }
  return {true, mismatches};
}
#endif

// No barcode base below --quality at this placement (positions counted on the strand, from offset).
bool good_quality_at(const unsigned char* low_quality, const uint32_t* positions, int strand, uint32_t offset) {
  if (low_quality == nullptr) return true;
  const RunState& s = run_state;
  const uint64_t first = (strand == 1 ? quality_reach() : 0) + offset;
  for (uint32_t j = 0; j < s.walk_length; ++j) {
    if (is_low_quality_base(low_quality, first + positions[j])) return false;
  }
  return true;
}

// Packs the barcode found at offset on the strand; the reverse strand reads complements from the read's end.
void pack_placed(SequenceRecord* record, const unsigned char* read, uint64_t length, int strand, uint32_t offset,
                 const uint32_t* positions) {
  const RunState& s = run_state;
  uint64_t* word = record_barcode(record);
  for (uint32_t first = 0; first < s.walk_length; first += 32) {
    const uint32_t bases = s.walk_length - first < 32 ? s.walk_length - first : 32;
    uint64_t packed = 0;
    for (uint32_t j = first; j < first + bases; ++j) {
      const uint64_t at = offset + positions[j];
      packed = (packed << 2) | (strand == 0 ? s.nucleotide_codes[read[at]] - 1 : 4 - s.nucleotide_codes[read[length - 1 - at]]);
    }
    *word++ = bases == 32 ? packed : packed << (2 * (32 - bases));
  }
}

}  // namespace

void prepare_search() {
  const RunState& s = run_state;
  const uint32_t chunks = (s.template_length + 15) / 16;
  hold_work_block(kSearchPlan, 32ull * chunks + 4ull * (4 * chunks + s.walk_length));
  const SearchPlan plan = search_plan();
  memset(plan.letters[0], 0, 32ull * chunks + 16ull * chunks);
  uint32_t barcode_bases = 0;
  for (uint32_t i = 0; i < s.template_length; ++i) {
    const uint32_t mirrored = s.template_length - 1 - i;
    const uint32_t bit = 1u << (i % 16);
    const uint32_t mirrored_bit = 1u << (mirrored % 16);
    if (s.template_mask[i]) {
      plan.barcode_bits[0][i / 16] |= bit;
      plan.barcode_bits[1][mirrored / 16] |= mirrored_bit;
      plan.barcode_positions[barcode_bases++] = i;
    } else {
      plan.letters[0][i] = static_cast<unsigned char>(s.template_upper[i]);
      plan.letters[1][mirrored] = kComplement.of[static_cast<unsigned char>(s.template_upper[i])];
      plan.fixed_bits[0][i / 16] |= bit;
      plan.fixed_bits[1][mirrored / 16] |= mirrored_bit;
    }
  }
}

void release_search() { release_work_block(kSearchPlan); }

PackResult find_barcode_quickly(SequenceRecord* record, uint64_t index, const char* limit, PlacementCounts& counts) {
#ifdef __SSE2__
  const RunState& s = run_state;
  const SearchPlan plan = search_plan();
  const auto* read = reinterpret_cast<const unsigned char*>(record->sequence);
  const uint64_t reach = quality_reach();
  const uint64_t compared = 16ull * plan.chunks;  // bytes each comparison loads
  // Reads shorter than the reach end some walks early, which the comparisons do not model.
  if (strnlen(record->sequence, reach) < reach || record->sequence + s.window + compared > limit) {
    return find_barcode(record, index, counts);
  }
  const unsigned char* low_quality = low_quality_row(index);
  for (int strand = 0; strand < (s.both_strands ? 2 : 1); ++strand) {
    uint64_t length = reach;
    if (strand == 1) {
      length = strlen(record->sequence);
      if (record->sequence + length - s.template_length + compared > limit) return find_barcode(record, index, counts);
    }
    int64_t best = -1;
    uint32_t fewest = 0;
    for (uint32_t offset = 0; offset <= s.window; ++offset) {
      const Fit fit = fit_at(plan, strand, strand == 0 ? read + offset : read + length - s.template_length - offset);
      if (fit.passes && (best < 0 || fit.mismatches < fewest) && good_quality_at(low_quality, plan.barcode_positions, strand, offset)) {
        best = offset;
        fewest = fit.mismatches;
        if (fewest == 0) break;
      }
    }
    if (best < 0) continue;
    pack_placed(record, read, length, strand, static_cast<uint32_t>(best), plan.barcode_positions);
    note_placement(index, static_cast<uint32_t>(best), strand, fewest, counts);
    return accepted;
  }
  const StrandView view = {read, reach, false, low_quality};
  return reject(record, index, walk_at(view, 0, nullptr), counts);
#else
  (void)limit;
  return find_barcode(record, index, counts);
#endif
}

void note_plain_acceptance(uint64_t index, PlacementCounts& counts) {
  placements()[index] = 0;
  ++counts.at_start_forward;
  ++counts.flank_mismatches[0];
}

void add_placement_counts(const PlacementCounts& counts) {
  PlacementCounts& total = run_state.placement_counts;
  total.at_start_forward += counts.at_start_forward;
  total.shifted += counts.shifted;
  total.reverse_strand += counts.reverse_strand;
  total.low_quality += counts.low_quality;
  for (int m = 0; m < 9; ++m) total.flank_mismatches[m] += counts.flank_mismatches[m];
}

bool has_low_quality_barcode(uint64_t index) {
  const unsigned char* row = low_quality_row(index);
  if (row == nullptr) return false;
  for (uint32_t j = 0; j < run_state.template_length; ++j) {
    if (run_state.template_mask[j] && is_low_quality_base(row, j)) return true;
  }
  return false;
}
