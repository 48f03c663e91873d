#include "input/base_qualities.h"

#include <cstring>

#include "base/run_state.h"
#include "base/tracked_memory.h"

namespace {

uint64_t row_bytes() { return (quality_reach() * (run_state.both_strands ? 2 : 1) + 7) / 8; }

void set_bit(unsigned char* row, uint64_t bit) { row[bit >> 3] |= static_cast<unsigned char>(1u << (bit & 7)); }

// The row of read index, zeroed when new; the block doubles as reads arrive.
unsigned char* grow_rows_to(uint64_t index) {
  WorkBlock& block = run_state.work_blocks[kLowQualityBases];
  const uint64_t needed = (index + 1) * row_bytes();
  if (needed > block.bytes) {
    const uint64_t grown = needed > 2 * block.bytes ? needed + (1 << 16) : 2 * block.bytes;
    block.data = block.data == nullptr ? tracked_malloc(grown) : tracked_realloc(block.data, block.bytes, grown);
    memset(static_cast<unsigned char*>(block.data) + block.bytes, 0, grown - block.bytes);
    block.bytes = grown;
  }
  return static_cast<unsigned char*>(block.data) + index * row_bytes();
}

}  // namespace

uint64_t quality_reach() { return static_cast<uint64_t>(run_state.template_length) + run_state.window; }

void note_base_qualities(uint64_t index, const char* sequence, const char* quality, uint64_t length) {
  if (!run_state.quality_given) return;
  unsigned char* row = grow_rows_to(index);
  // The screening sees a sequence up to its first NUL byte.
  length = strnlen(sequence, length);
  // Phred scores with offset 33: a byte below floor + 33 is a base below the floor.
  const unsigned floor = run_state.quality_floor + 33;
  const auto* score = reinterpret_cast<const unsigned char*>(quality);
  const uint64_t span = quality_reach() < length ? quality_reach() : length;
  for (uint64_t i = 0; i < span; ++i) {
    if (score[i] < floor) set_bit(row, i);
    if (run_state.both_strands && score[length - 1 - i] < floor) set_bit(row, quality_reach() + i);
  }
}

const unsigned char* low_quality_row(uint64_t index) {
  const auto* rows = static_cast<const unsigned char*>(run_state.work_blocks[kLowQualityBases].data);
  return rows == nullptr ? nullptr : rows + index * row_bytes();
}
