#include "input/base_qualities.h"

#include <cstring>

#include "base/run_state.h"
#include "base/tracked_memory.h"

namespace {

uint64_t row_bytes_for(uint64_t row_bits) { return row_bits / 8 * (run_state.both_strands ? 2 : 1); }

void set_bit(unsigned char* row, uint64_t bit) { row[bit >> 3] |= static_cast<unsigned char>(1u << (bit & 7)); }

// Makes rows row_bits wide (a multiple of 8, larger than now) for the reads before index: each row's
// halves move to their new places in a new block.
void widen_rows(uint64_t index, uint64_t row_bits) {
  RunState& s = run_state;
  WorkBlock& block = s.work_blocks[kLowQualityBases];
  const uint64_t old_bytes = s.quality_row_bits / 8;
  const uint64_t new_bytes = row_bits / 8;
  s.quality_row_bits = row_bits;
  if (block.data == nullptr) return;
  const uint64_t bytes = index * row_bytes_for(row_bits) + (1 << 16);
  auto* wide = static_cast<unsigned char*>(tracked_malloc(bytes));
  memset(wide, 0, bytes);
  const auto* narrow = static_cast<const unsigned char*>(block.data);
  const uint64_t halves = s.both_strands ? 2 : 1;
  for (uint64_t r = 0; r < index; ++r) {
    for (uint64_t half = 0; half < halves; ++half) {
      memcpy(wide + (r * halves + half) * new_bytes, narrow + (r * halves + half) * old_bytes, old_bytes);
    }
  }
  tracked_free(block.data, block.bytes);
  block.data = wide;
  block.bytes = bytes;
}

// The row of read index, zeroed when new; the block doubles as reads arrive.
unsigned char* grow_rows_to(uint64_t index) {
  WorkBlock& block = run_state.work_blocks[kLowQualityBases];
  const uint64_t row_bytes = row_bytes_for(run_state.quality_row_bits);
  const uint64_t needed = (index + 1) * row_bytes;
  if (needed > block.bytes) {
    const uint64_t grown = needed > 2 * block.bytes ? needed + (1 << 16) : 2 * block.bytes;
    block.data = block.data == nullptr ? tracked_malloc(grown) : tracked_realloc(block.data, block.bytes, grown);
    memset(static_cast<unsigned char*>(block.data) + block.bytes, 0, grown - block.bytes);
    block.bytes = grown;
  }
  return static_cast<unsigned char*>(block.data) + index * row_bytes;
}

}  // namespace

uint64_t quality_reach() { return static_cast<uint64_t>(run_state.template_length) + run_state.window; }

void note_base_qualities(uint64_t index, const char* sequence, const char* quality, uint64_t length) {
  RunState& s = run_state;
  if (!s.quality_given) return;
  // The screening sees a sequence up to its first NUL byte.
  length = strnlen(sequence, length);
  const uint64_t span = quality_reach() < length ? quality_reach() : length;
  if (span > s.quality_row_bits) {
    // At least doubled, so that reads growing one base at a time widen the rows a few times only.
    const uint64_t most = (quality_reach() + 7) / 8 * 8;
    const uint64_t wanted = span > 2 * s.quality_row_bits ? (span + 7) / 8 * 8 : 2 * s.quality_row_bits;
    widen_rows(index, wanted < most ? wanted : most);
  }
  unsigned char* row = grow_rows_to(index);
  // Phred scores with offset 33: a byte below floor + 33 is a base below the floor.
  const unsigned floor = s.quality_floor + 33;
  const auto* score = reinterpret_cast<const unsigned char*>(quality);
  for (uint64_t i = 0; i < span; ++i) {
    if (score[i] < floor) set_bit(row, i);
    if (s.both_strands && score[length - 1 - i] < floor) set_bit(row, s.quality_row_bits + i);
  }
}

const unsigned char* low_quality_row(uint64_t index) {
  const auto* rows = static_cast<const unsigned char*>(run_state.work_blocks[kLowQualityBases].data);
  return rows == nullptr ? nullptr : rows + index * row_bytes_for(run_state.quality_row_bits);
}
