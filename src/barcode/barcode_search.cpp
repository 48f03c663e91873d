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
  if (packed != s.barcode_length) return {template_mismatch, mismatches, false};
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

// The template for the search over all offsets: the template positions of its
// fixed letters with each letter's code (0 to 3 for A, C, G, T), then those
// of its barcode positions, in template order.
struct SearchPlan {
  const uint32_t* fixed_positions;
  const uint32_t* fixed_codes;
  const uint32_t* barcode_positions;
  uint32_t fixed_count;
  uint32_t last_barcode_position;
};

SearchPlan search_plan() {
  const RunState& s = run_state;
  const auto* words = static_cast<const uint32_t*>(s.work_blocks[kSearchPlan].data);
  const uint32_t fixed = s.template_length - s.barcode_length;
  return {words, words + fixed, words + 2 * fixed, fixed, words[2 * fixed + s.barcode_length - 1]};
}

// The read seen from one strand as bit vectors: bit i of a vector stands for
// position i of the strand (the read from its start, or its reverse
// complement from its end). A position past the read's end (or past the
// positions the search needs) carries every letter and is bad, so a fixed
// letter there never differs and a barcode base there never passes, as in
// the walk that stops at the read's end.
constexpr uint32_t kSearchWords = 96;
struct StrandBits {
  uint64_t letters[4][kSearchWords];  // the position holds A, C, G, T (either case)
  uint64_t bad[kSearchWords];         // no nucleotide of good quality at the position
  uint64_t first_bad;                 // the first bad position within the read
};

// Vector words the search at offsets 0 to last_offset reads: every offset's
// bit in a word of 64, shifted by up to the template's length, and the word
// after it that a shifted read takes bits from.
uint64_t words_read(uint64_t last_offset) { return ((last_offset | 63) + run_state.template_length + 63) / 64 + 1; }

// Bits k of the masks: byte k of a 16-byte chunk is A, C, G, T (either case); or is any of them.
struct ChunkMasks {
  uint32_t letters[4];
  uint32_t nucleotide;
};

ChunkMasks chunk_masks(const unsigned char* bytes) {
  ChunkMasks masks = {};
#ifdef __SSE2__
  // Clearing bit 5 maps exactly a, c, g, t onto A, C, G, T.
  const __m128i upper = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)),
                                      _mm_set1_epi8(static_cast<char>(0xDF)));
  const char letters[4] = {'A', 'C', 'G', 'T'};
  for (int code = 0; code < 4; ++code) {
    masks.letters[code] = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(upper, _mm_set1_epi8(letters[code]))));
    masks.nucleotide |= masks.letters[code];
  }
#else
  for (uint32_t k = 0; k < 16; ++k) {
    const uint32_t code = run_state.nucleotide_codes[bytes[k]];
    if (code != 0) masks.letters[code - 1] |= 1u << k;
  }
  masks.nucleotide = masks.letters[0] | masks.letters[1] | masks.letters[2] | masks.letters[3];
#endif
  return masks;
}

// The 16 bits of a chunk mask in reverse order.
struct ReversedBytes {
  unsigned char of[256];
  constexpr ReversedBytes() : of() {
    for (int b = 0; b < 256; ++b) {
      for (int k = 0; k < 8; ++k) of[b] |= static_cast<unsigned char>(((b >> k) & 1) << (7 - k));
    }
  }
};
constexpr ReversedBytes kReversedBytes;
uint32_t reversed16(uint32_t mask) { return (kReversedBytes.of[mask & 0xFF] << 8) | kReversedBytes.of[mask >> 8]; }

// The masks of strand positions 16 * chunk to 16 * chunk + 15 of a read of length bytes, of which the
// first known are set (the rest is past the end). Reads no byte outside the read: a chunk that would
// is copied first.
ChunkMasks strand_chunk(const unsigned char* read, uint64_t length, uint64_t known, int strand, uint64_t chunk) {
  ChunkMasks masks;
  const uint64_t first = 16 * chunk;
  if (first >= known) {
    masks = {{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}, 0};
    return masks;
  }
  unsigned char copy[16] = {};
  if (strand == 0) {
    const unsigned char* bytes = read + first;
    if (first + 16 > length) bytes = static_cast<const unsigned char*>(memcpy(copy, bytes, length - first));
    masks = chunk_masks(bytes);
  } else {
    // Strand position first + k is read position length - 1 - first - k: the chunk ending at length - first.
    const int64_t begin = static_cast<int64_t>(length - first) - 16;
    const unsigned char* bytes = read + begin;
    if (begin < 0) {
      memcpy(copy - begin, read, static_cast<uint64_t>(16 + begin));
      bytes = copy;
    }
    const ChunkMasks of_read = chunk_masks(bytes);
    // The complement of code c is code 3 - c.
    for (int code = 0; code < 4; ++code) masks.letters[code] = reversed16(of_read.letters[3 - code]);
    masks.nucleotide = reversed16(of_read.nucleotide);
  }
  const uint32_t outside = first + 16 > known ? 0xFFFF & ~((1u << (known - first)) - 1) : 0;
  for (uint32_t& letter : masks.letters) letter |= outside;
  masks.nucleotide &= ~outside;
  return masks;
}

// Lays one strand of a read of length bytes out as bits for offsets 0 to last_offset. Quality row bit
// i (forward) or reach + i (reverse) marks strand position i below --quality.
void lay_out_strand(StrandBits& bits, const unsigned char* read, uint64_t length, int strand,
                    const unsigned char* low_quality, uint64_t last_offset) {
  const uint64_t words = words_read(last_offset);
  const uint64_t needed = last_offset + run_state.template_length;
  const uint64_t known = length < needed ? length : needed;
  for (uint64_t word = 0; word < words; ++word) {
    uint64_t letters[4] = {0, 0, 0, 0};
    uint64_t bad = 0;
    for (uint64_t quarter = 0; quarter < 4; ++quarter) {
      const ChunkMasks masks = strand_chunk(read, length, known, strand, 4 * word + quarter);
      for (int code = 0; code < 4; ++code) letters[code] |= static_cast<uint64_t>(masks.letters[code]) << (16 * quarter);
      bad |= static_cast<uint64_t>(~masks.nucleotide & 0xFFFF) << (16 * quarter);
    }
    for (int code = 0; code < 4; ++code) bits.letters[code][word] = letters[code];
    bits.bad[word] = bad;
  }
  if (low_quality != nullptr) {
    const uint64_t base = strand == 1 ? quality_reach() : 0;
    for (uint64_t i = 0; i < known; ++i) {
      if (is_low_quality_base(low_quality, base + i)) bits.bad[i / 64] |= 1ull << (i % 64);
    }
  }
  bits.first_bad = known;
  for (uint64_t word = 0; word * 64 < known; ++word) {
    if (bits.bad[word] != 0) {
      const uint64_t at = 64 * word + static_cast<uint64_t>(std::countr_zero(bits.bad[word]));
      bits.first_bad = at < known ? at : known;
      break;
    }
  }
}

// Bits from..from+63 of a vector.
inline uint64_t bits_at(const uint64_t* vector, uint64_t from) {
  const uint64_t word = from / 64;
  const uint64_t shift = from % 64;
  // Shifting the next word by 64 - shift in two steps keeps shift 0 defined.
  return (vector[word] >> shift) | ((vector[word + 1] << 1) << (63 - shift));
}

struct Placement {
  int64_t offset;  // -1 when the strand has no passing offset
  uint32_t mismatches;
};

// The passing offset with the fewest fixed letters differing, the smallest among equals, 64 offsets at
// a time: each offset's count is kept in unary, bit o of at_least[m] set once offset o has m or more.
template <uint32_t K>
Placement search_strand(const StrandBits& bits, const SearchPlan& plan, uint64_t last_offset) {
  const RunState& s = run_state;
  Placement best = {-1, K + 1};
  for (uint64_t first = 0; first <= last_offset; first += 64) {
    const uint64_t last = first + 63 < last_offset ? first + 63 : last_offset;
    const uint64_t in_window = last - first == 63 ? ~0ull : (1ull << (last - first + 1)) - 1;
    uint64_t at_least[K + 2] = {};
    at_least[0] = ~0ull;
    for (uint32_t f = 0; f < plan.fixed_count; ++f) {
      const uint64_t differs = ~bits_at(bits.letters[plan.fixed_codes[f]], first + plan.fixed_positions[f]);
      for (uint32_t m = K + 1; m > 0; --m) at_least[m] |= at_least[m - 1] & differs;
    }
    uint64_t failed = at_least[K + 1];
    // Reads seldom hold a bad base where a barcode base of these offsets may lie.
    if (bits.first_bad <= last + plan.last_barcode_position) {
      for (uint32_t j = 0; j < s.barcode_length; ++j) failed |= bits_at(bits.bad, first + plan.barcode_positions[j]);
    }
    const uint64_t passing = ~failed & in_window;
    if (passing == 0) continue;
    for (uint32_t m = 0; m <= K && m < best.mismatches; ++m) {
      const uint64_t with_m = passing & ~at_least[m + 1];
      if (with_m != 0) {
        best = {static_cast<int64_t>(first) + std::countr_zero(with_m), m};
        break;
      }
    }
    if (best.mismatches == 0) break;  // no later offset can do better
  }
  return best;
}

// One search per allowance, so that the counting loop is unrolled for it.
using StrandSearch = Placement (*)(const StrandBits&, const SearchPlan&, uint64_t);
constexpr StrandSearch kStrandSearches[9] = {search_strand<0>, search_strand<1>, search_strand<2>,
                                             search_strand<3>, search_strand<4>, search_strand<5>,
                                             search_strand<6>, search_strand<7>, search_strand<8>};

// Packs the barcode found at offset on the strand; the reverse strand reads complements from the read's end.
void pack_placed(SequenceRecord* record, const unsigned char* read, uint64_t length, int strand, uint32_t offset,
                 const uint32_t* positions) {
  const RunState& s = run_state;
  uint64_t* word = record_barcode(record);
  for (uint32_t first = 0; first < s.barcode_length; first += 32) {
    const uint32_t bases = s.barcode_length - first < 32 ? s.barcode_length - first : 32;
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
  const uint32_t fixed = s.template_length - s.barcode_length;
  auto* words = static_cast<uint32_t*>(hold_work_block(kSearchPlan, 4ull * (2 * fixed + s.barcode_length)));
  uint32_t fixed_letters = 0;
  uint32_t barcode_bases = 0;
  for (uint32_t i = 0; i < s.template_length; ++i) {
    if (s.template_mask[i]) {
      words[2 * fixed + barcode_bases++] = i;
    } else {
      words[fixed_letters] = i;
      words[fixed + fixed_letters++] = s.nucleotide_codes[static_cast<unsigned char>(s.template_upper[i])] - 1;
    }
  }
}

void release_search() { release_work_block(kSearchPlan); }

PackResult find_barcode_quickly(SequenceRecord* record, uint64_t index, const char* limit, PlacementCounts& counts) {
  (void)limit;
  const RunState& s = run_state;
  if (words_read(s.window) > kSearchWords) return find_barcode(record, index, counts);
  const SearchPlan plan = search_plan();
  const StrandSearch search = kStrandSearches[s.fixed_mismatches];
  const auto* read = reinterpret_cast<const unsigned char*>(record->sequence);
  const unsigned char* low_quality = low_quality_row(index);
  const uint64_t reach = quality_reach();
  // The forward walks never look past reach bytes, so a long read is not measured whole for them.
  const uint64_t forward_length = strnlen(record->sequence, reach);
  StrandBits bits;
  for (int strand = 0; strand < (s.both_strands ? 2 : 1); ++strand) {
    const uint64_t length = strand == 0 || forward_length < reach ? forward_length : strlen(record->sequence);
    // A placement needs every barcode position inside the read.
    if (length <= plan.last_barcode_position) break;
    const uint64_t last_room = length - 1 - plan.last_barcode_position;
    const uint64_t last_offset = s.window < last_room ? s.window : last_room;
    lay_out_strand(bits, read, length, strand, low_quality, last_offset);
    const Placement best = search(bits, plan, last_offset);
    if (best.offset < 0) continue;
    pack_placed(record, read, length, strand, static_cast<uint32_t>(best.offset), plan.barcode_positions);
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
    if (run_state.template_mask[j] && is_low_quality_base(row, j)) return true;
  }
  return false;
}
