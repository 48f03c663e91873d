#include "barcode/barcode_search.h"

#include <cctype>
#include <cstring>

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

unsigned char* placements() { return static_cast<unsigned char*>(run_state.work_blocks[kReadPlacements].data); }

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
    placements()[index] = static_cast<unsigned char>(best | (strand == 1 ? kReverseStrand : 0));
    if (best == 0 && strand == 0) ++counts.at_start_forward;
    if (best > 0) ++counts.shifted;
    if (strand == 1) ++counts.reverse_strand;
    ++counts.flank_mismatches[fewest];
    return accepted;
  }
  record->name[0] = '#';
  placements()[index] = static_cast<unsigned char>(plain.result);
  if (plain.low_quality) ++counts.low_quality;
  return plain.result;
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
