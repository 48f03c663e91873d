#include "input/base_qualities.h"

#include <cstring>

#include "base/run_state.h"
#include "base/tracked_memory.h"

namespace {

uint64_t row_bytes() { return (quality_reach() * (run_state.both_strands ? 2 : 1) + 7) / 8; }

void set_bit(unsigned char* row, uint64_t bit) { row[bit >> 3] |= static_cast<unsigned char>(1u << (bit & 7)); }

}  // namespace

uint64_t quality_reach() { return static_cast<uint64_t>(run_state.template_length) + run_state.window; }

void hold_base_qualities(uint64_t records) {
  if (!run_state.quality_given) return;
  void* rows = hold_work_block(kLowQualityBases, records * row_bytes());
  memset(rows, 0, records * row_bytes());
}

void note_base_qualities(uint64_t index, const char* quality, uint64_t length) {
  unsigned char* row = const_cast<unsigned char*>(low_quality_row(index));
  if (row == nullptr) return;
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
