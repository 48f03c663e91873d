#include "barcode/barcode_search.h"

#include <cctype>
#include <bit>
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
    return low_quality != nullptr && is_low_quality_base(low_quality, reverse ? 1 : 0, i, run_state.quality_row_bits);
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

void* placements() { return run_state.work_blocks[kReadPlacements].data; }

// A window that fits in seven bits keeps one byte a read, the strand in its top bit.
bool wide_placements() { return run_state.window > 0x7f; }

void store_placement(uint64_t index, uint16_t placement) {
  if (wide_placements()) {
    static_cast<uint16_t*>(placements())[index] = placement;
  } else {
    const uint16_t strand = (placement & kReverseStrand) != 0 ? 0x80 : 0;
    static_cast<unsigned char*>(placements())[index] = static_cast<unsigned char>((placement & 0x7f) | strand);
  }
}

// Leaves a read out under the cause of the walk at offset 0 on the read as given.
// Notes where an accepted read's barcode was found: its offset, its strand
// (1 for the reverse complement) and how many fixed letters differed there.
void note_placement(uint64_t index, uint32_t offset, int strand, uint32_t mismatches, PlacementCounts& counts) {
  store_placement(index, static_cast<uint16_t>(offset | (strand == 1 ? kReverseStrand : 0)));
  if (offset == 0 && strand == 0) ++counts.at_start_forward;
  if (offset > 0) ++counts.shifted;
  if (strand == 1) ++counts.reverse_strand;
  ++counts.flank_mismatches[mismatches];
}

PackResult reject(SequenceRecord* record, uint64_t index, const Walk& plain, PlacementCounts& counts) {
  record->name[0] = '#';
  store_placement(index, static_cast<uint16_t>(plain.result));
  if (plain.low_quality) ++counts.low_quality;
  return plain.result;
}

}  // namespace

void hold_read_placements() {
  if (placements() == nullptr) hold_work_block(kReadPlacements, run_state.record_count * (wide_placements() ? 2 : 1));
}

uint16_t read_placement(uint64_t index) {
  if (wide_placements()) return static_cast<const uint16_t*>(placements())[index];
  const unsigned char byte = static_cast<const unsigned char*>(placements())[index];
  return static_cast<uint16_t>((byte & 0x7f) | ((byte & 0x80) != 0 ? kReverseStrand : 0));
}

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

// The template for the search over all offsets, once as it is and once
// mirrored (position j at L - 1 - j, each letter complemented): laying the
// mirrored template over the read at position n - L - o is walking the
// template along the read's reverse complement at offset o, so both strands
// are searched on one layout of the read as it stands. Per direction, each
// fixed letter as the bit, in the read's letter vectors laid end to end, of
// its letter at its position (code * kSearchBits + position, codes 0 to 3 for
// A, C, G, T; the complement of code c is 3 - c), then the positions of the
// barcode bases.
struct TemplateLayout {
  const uint32_t* fixed_bits;
  const uint32_t* barcode_positions;
};

struct SearchPlan {
  TemplateLayout strands[2];
  uint32_t fixed_count;
  uint32_t last_barcode_position;  // of the template as it is
};

SearchPlan search_plan() {
  const RunState& s = run_state;
  const auto* words = static_cast<const uint32_t*>(s.work_blocks[kSearchPlan].data);
  const uint32_t fixed = s.template_length - s.walk_length;
  const uint32_t* mirrored = words + fixed + s.walk_length;
  return {{{words, words + fixed}, {mirrored, mirrored + fixed}}, fixed, words[fixed + s.walk_length - 1]};
}

// A stretch of the read as bit vectors: bit pad + i of a vector stands for
// read position first + i. A position outside the stretch (before its start
// or past its end) carries every letter and is bad, so that a fixed letter
// there never differs and a barcode base there never passes, as in the walk
// that stops at the read's end. The pad (the template's length and one step
// of offsets, in whole words) lets the mirrored template hang off the read's
// start.
constexpr uint32_t kSearchWords = 128;
constexpr uint32_t kSearchBits = 64 * kSearchWords;
struct ReadBits {
  uint64_t letters[4 * kSearchWords];  // one vector a letter, end to end: the position holds A, C, G, T (either case)
  uint64_t bad[kSearchWords];         // no nucleotide of good quality at the position
  uint64_t first;                     // read position of bit pad
  uint64_t end;                       // read position past the stretch
  uint64_t pad;
  bool has_bad;                       // a bad position within the stretch
};

uint64_t pad_bits() { return (run_state.template_length + 127 + 63) / 64 * 64; }

// Vector words a search reads at offsets 0 to last_offset: the pad, the
// offsets in steps of 128, the template behind the last step, and the two
// words after it that a shifted step takes bits from.
uint64_t words_read(uint64_t last_offset) { return (pad_bits() + (last_offset | 127) + run_state.template_length) / 64 + 3; }

// Bit k of the masks: byte k of 16 is A, C, G or T in either case; bit 1 of the byte; bit 2 of the byte.
// Bits 1 and 2 tell the letters apart: A 00, C 01 (bit 1 set), G 11, T 10.
struct ChunkMasks {
  uint32_t nucleotide;
  uint32_t bit1;
  uint32_t bit2;
};

ChunkMasks chunk_masks(const unsigned char* bytes) {
#ifdef __SSE2__
  const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
  // Clearing bit 5 maps exactly a, c, g, t onto A, C, G, T.
  const __m128i upper = _mm_and_si128(raw, _mm_set1_epi8(static_cast<char>(0xDF)));
  const __m128i nucleotide = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(upper, _mm_set1_epi8('A')), _mm_cmpeq_epi8(upper, _mm_set1_epi8('C'))),
      _mm_or_si128(_mm_cmpeq_epi8(upper, _mm_set1_epi8('G')), _mm_cmpeq_epi8(upper, _mm_set1_epi8('T'))));
  // Shifting 16-bit lanes left by 6 (5) brings bit 1 (2) of both bytes to their top bits.
  return {static_cast<uint32_t>(_mm_movemask_epi8(nucleotide)),
          static_cast<uint32_t>(_mm_movemask_epi8(_mm_slli_epi16(raw, 6))),
          static_cast<uint32_t>(_mm_movemask_epi8(_mm_slli_epi16(raw, 5)))};
#else
  ChunkMasks masks = {0, 0, 0};
  for (uint32_t k = 0; k < 16; ++k) {
    if (run_state.nucleotide_codes[bytes[k]] != 0) masks.nucleotide |= 1u << k;
    masks.bit1 |= ((bytes[k] >> 1) & 1u) << k;
    masks.bit2 |= ((bytes[k] >> 2) & 1u) << k;
  }
  return masks;
#endif
}

// Lays read positions first to end - 1 out as bits. The quality row marks a position below --quality at
// bit q from the read's start (q < reach) or at bit reach + i for the base i from its end (length bytes).
void lay_out_read(ReadBits& bits, const unsigned char* read, uint64_t length, uint64_t first, uint64_t end,
                  const unsigned char* low_quality, uint64_t words) {
  bits.first = first;
  bits.end = end;
  bits.pad = pad_bits();
  const uint64_t pad_words = bits.pad / 64;
  const uint64_t end_word = pad_words + (end - first + 63) / 64;
  for (uint64_t word = 0; word < words; ++word) {
    if (word == pad_words) word = end_word;
    if (word >= words) break;
    for (int code = 0; code < 4; ++code) bits.letters[code * kSearchWords + word] = ~0ull;
    bits.bad[word] = ~0ull;
  }
  bits.has_bad = false;
  for (uint64_t word = pad_words; word < end_word; ++word) {
    const uint64_t from = first + 64 * (word - pad_words);  // read position of the word's bit 0
    uint64_t nucleotide = 0, bit1 = 0, bit2 = 0;
    for (uint64_t quarter = 0; quarter < 4 && from + 16 * quarter < end; ++quarter) {
      const uint64_t at = from + 16 * quarter;
      unsigned char copy[16];
      const unsigned char* bytes = read + at;
      if (at + 16 > end) {
        // A chunk past the stretch's end is copied, so that no byte past the read is read.
        memset(copy, 0, sizeof copy);
        bytes = static_cast<const unsigned char*>(memcpy(copy, read + at, end - at));
      }
      const ChunkMasks masks = chunk_masks(bytes);
      nucleotide |= static_cast<uint64_t>(masks.nucleotide) << (16 * quarter);
      bit1 |= static_cast<uint64_t>(masks.bit1) << (16 * quarter);
      bit2 |= static_cast<uint64_t>(masks.bit2) << (16 * quarter);
    }
    const uint64_t outside = end - from >= 64 ? 0 : ~0ull << (end - from);
    nucleotide &= ~outside;
    bits.letters[word] = (nucleotide & ~bit1 & ~bit2) | outside;
    bits.letters[kSearchWords + word] = (nucleotide & bit1 & ~bit2) | outside;
    bits.letters[2 * kSearchWords + word] = (nucleotide & bit1 & bit2) | outside;
    bits.letters[3 * kSearchWords + word] = (nucleotide & ~bit1 & bit2) | outside;
    bits.bad[word] = ~nucleotide;
    bits.has_bad |= (~nucleotide & ~outside) != 0;
  }
  if (low_quality != nullptr) {
    const uint64_t reach = quality_reach();
    for (uint64_t q = first; q < end; ++q) {
      // A base is noted from the end it lies within the reach of.
      const bool from_start = q < reach;
      if (is_low_quality_base(low_quality, from_start ? 0 : 1, from_start ? q : length - 1 - q, run_state.quality_row_bits)) {
        const uint64_t bit = bits.pad + q - first;
        bits.bad[bit / 64] |= 1ull << (bit % 64);
        bits.has_bad = true;
      }
    }
  }
}

// Two words of 64 placements side by side; the compiler keeps them in one vector register where there is one.
using Lanes = uint64_t __attribute__((vector_size(16)));

// Bits from..from+127 of a vector, the first 64 in lane 0.
inline Lanes lanes_at(const uint64_t* vector, uint64_t from) {
  const uint64_t word = from / 64;
  const uint64_t shift = from % 64;
  Lanes low;
  Lanes high;
  memcpy(&low, vector + word, sizeof low);
  memcpy(&high, vector + word + 1, sizeof high);
  // Shifting the next words by 64 - shift in two steps keeps shift 0 defined.
  return (low >> shift) | ((high << 1) << (63 - shift));
}

struct Placement {
  int64_t offset;  // -1 when the strand has no passing offset
  uint32_t mismatches;
};

// The passing offset with the fewest fixed letters differing, the smallest among equals, on one strand
// of a read of length bytes. 128 offsets at a time: bit b of a step stands for the template laid at read
// position start + b; each placement's count is kept in unary, bit b of at_least[m] set once it has m
// or more. Forward, offset o lies at read position o; reverse, the mirrored template lies at n - L - o,
// so a step's offsets run downwards along its bits.
template <uint32_t K, int Strand>
Placement search_strand(const ReadBits& bits, const SearchPlan& plan, uint64_t length, uint64_t last_offset) {
  const RunState& s = run_state;
  const TemplateLayout& layout = plan.strands[Strand];
  Placement best = {-1, K + 1};
  for (uint64_t step = 0; step <= last_offset; step += 128) {
    const uint64_t last = step + 127 < last_offset ? step + 127 : last_offset;
    const int64_t start = Strand == 0 ? static_cast<int64_t>(step)
                                      : static_cast<int64_t>(length) - s.template_length - static_cast<int64_t>(step) - 127;
    const uint64_t from = static_cast<uint64_t>(start - static_cast<int64_t>(bits.first) + static_cast<int64_t>(bits.pad));
    Lanes at_least[K + 2] = {};
    at_least[0] = ~at_least[0];
    for (uint32_t f = 0; f < plan.fixed_count; ++f) {
      const Lanes differs = ~lanes_at(bits.letters, from + layout.fixed_bits[f]);
      for (uint32_t m = K + 1; m > 0; --m) at_least[m] |= at_least[m - 1] & differs;
    }
    Lanes failed = at_least[K + 1];
    // Reads seldom hold a bad base at all.
    if (bits.has_bad) {
      for (uint32_t j = 0; j < s.walk_length; ++j) failed |= lanes_at(bits.bad, from + layout.barcode_positions[j]);
    }
    // Offsets step to last, smallest first: forward bits 0 up, reverse bits 127 down.
    for (uint64_t part = 0; part < 2; ++part) {
      const uint64_t part_first = step + 64 * part;
      if (part_first > last) break;
      const uint64_t count = last - part_first >= 63 ? 64 : last - part_first + 1;
      const uint64_t lane = Strand == 0 ? part : 1 - part;
      const uint64_t wanted = count == 64 ? ~0ull : Strand == 0 ? (1ull << count) - 1 : ~0ull << (64 - count);
      const uint64_t passing = ~failed[lane] & wanted;
      for (uint32_t m = 0; m <= K && m < best.mismatches && passing != 0; ++m) {
        const uint64_t with_m = passing & ~at_least[m + 1][lane];
        if (with_m != 0) {
          const uint64_t nearest = Strand == 0 ? std::countr_zero(with_m) : std::countl_zero(with_m);
          best = {static_cast<int64_t>(part_first + nearest), m};
          break;
        }
      }
      if (best.mismatches == 0) return best;  // no later offset can do better
    }
  }
  return best;
}

// One search per allowance and strand, so that the counting loop is unrolled for it.
using StrandSearch = Placement (*)(const ReadBits&, const SearchPlan&, uint64_t, uint64_t);
template <int Strand>
constexpr StrandSearch kStrandSearches[9] = {
    search_strand<0, Strand>, search_strand<1, Strand>, search_strand<2, Strand>,
    search_strand<3, Strand>, search_strand<4, Strand>, search_strand<5, Strand>,
    search_strand<6, Strand>, search_strand<7, Strand>, search_strand<8, Strand>};

// Packs the barcode found at offset on the strand; the reverse strand reads complements from the read's end.
void pack_placed(SequenceRecord* record, const unsigned char* read, uint64_t length, int strand, uint32_t offset,
                 const uint32_t* positions) {
  const RunState& s = run_state;
  uint64_t* word = record_barcode(record);
  for (uint32_t first = 0; first < s.walk_length; first += 32) {
    const uint32_t bases = s.walk_length - first < 32 ? s.walk_length - first : 32;
    uint64_t packed = 0;
    if (strand == 0) {
      const unsigned char* placed = read + offset;
      for (uint32_t j = first; j < first + bases; ++j) packed = (packed << 2) | (s.nucleotide_codes[placed[positions[j]]] - 1);
    } else {
      // Base j of the reverse strand is the complement of the byte positions[j] before the placement's end.
      const unsigned char* placed = read + length - 1 - offset;
      for (uint32_t j = first; j < first + bases; ++j) packed = (packed << 2) | (4 - s.nucleotide_codes[*(placed - positions[j])]);
    }
    *word++ = bases == 32 ? packed : packed << (2 * (32 - bases));
  }
}

}  // namespace

void prepare_search() {
  const RunState& s = run_state;
  const uint32_t fixed = s.template_length - s.walk_length;
  const uint64_t per_strand = fixed + s.walk_length;
  auto* words = static_cast<uint32_t*>(hold_work_block(kSearchPlan, 2 * 4 * per_strand));
  uint32_t fixed_letters = 0;
  uint32_t barcode_bases = 0;
  for (uint32_t i = 0; i < s.template_length; ++i) {
    // The mirrored template lists its positions from the template's end.
    const uint32_t mirrored = s.template_length - 1 - i;
    if (s.template_mask[i]) {
      words[fixed + barcode_bases] = i;
      words[per_strand + fixed + (s.walk_length - 1 - barcode_bases)] = mirrored;
      ++barcode_bases;
    } else {
      const uint32_t code = s.nucleotide_codes[static_cast<unsigned char>(s.template_upper[i])] - 1;
      words[fixed_letters] = code * kSearchBits + i;
      words[per_strand + (fixed - 1 - fixed_letters)] = (3 - code) * kSearchBits + mirrored;
      ++fixed_letters;
    }
  }
}

void release_search() { release_work_block(kSearchPlan); }

PackResult find_barcode_quickly(SequenceRecord* record, uint64_t index, const char* limit, PlacementCounts& counts) {
  (void)limit;
  const RunState& s = run_state;
  if (words_read(s.window) > kSearchWords) return find_barcode(record, index, counts);
  const SearchPlan plan = search_plan();
  const auto* read = reinterpret_cast<const unsigned char*>(record->sequence);
  const unsigned char* low_quality = low_quality_row(index);
  const uint64_t reach = quality_reach();
  // The forward walks never look past reach bytes, so a long read is not measured whole for them.
  const uint64_t forward_length = strnlen(record->sequence, reach);
  ReadBits bits;
  bits.end = 0;
  for (int strand = 0; strand < (s.both_strands ? 2 : 1); ++strand) {
    const uint64_t length = strand == 0 || forward_length < reach ? forward_length : strlen(record->sequence);
    // A placement needs every barcode position inside the read.
    if (length <= plan.last_barcode_position) break;
    const uint64_t last_room = length - 1 - plan.last_barcode_position;
    const uint64_t last_offset = s.window < last_room ? s.window : last_room;
    // The read positions the walks at offsets 0 to last_offset reach on this strand.
    const uint64_t reached = last_offset + s.template_length < length ? last_offset + s.template_length : length;
    const uint64_t first = strand == 0 ? 0 : length - reached;
    // The forward layout serves the reverse strand when it holds the read to its end.
    if (strand == 0 || bits.end != length || bits.first > first) {
      lay_out_read(bits, read, length, first, first + reached, low_quality, words_read(last_offset));
    }
    const Placement best = strand == 0 ? kStrandSearches<0>[s.fixed_mismatches](bits, plan, length, last_offset)
                                       : kStrandSearches<1>[s.fixed_mismatches](bits, plan, length, last_offset);
    if (best.offset < 0) continue;
    pack_placed(record, read, length, strand, static_cast<uint32_t>(best.offset), plan.strands[0].barcode_positions);
    note_placement(index, static_cast<uint32_t>(best.offset), strand, best.mismatches, counts);
    return accepted;
  }
  const StrandView view = {read, forward_length, false, low_quality};
  return reject(record, index, walk_at(view, 0, nullptr), counts);
}

void note_plain_acceptance(uint64_t index, PlacementCounts& counts) {
  store_placement(index, 0);
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
    if (run_state.template_mask[j] && is_low_quality_base(row, 0, j, run_state.quality_row_bits)) return true;
  }
  return false;
}
