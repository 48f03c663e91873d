#include "barcode/base_composition.h"

#include <algorithm>

#include "base/run_state.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"
#include "cluster/prefix_buckets.h"

namespace {

// Up to this length a barcode is counted a packed byte (four bases) at a
// time, 256 counters per byte place: a quarter of the increments of counting
// bases. Longer barcodes are counted base by base, in tables 16 times smaller.
constexpr uint32_t kMaxBytewiseBases = 256;

struct BaseTables {
  uint64_t* tables;  // per worker, table_words each
  uint64_t table_words;
  uint32_t workers;
  bool bytewise;
};
BaseTables held;
uint64_t groups[4 * kCompositionGroups];

uint64_t barcode_bytes() { return (run_state.barcode_length + 3) / 4; }

uint64_t* group_of(uint32_t position) { return groups + 4 * (position / composition_group_positions()); }

// Spreads byte counts over the four positions each byte holds (first base in
// the top bits); the zero fill past the barcode's end is dropped.
void add_byte_counts(const uint64_t* byte_counts) {
  const uint32_t length = run_state.barcode_length;
  for (uint32_t b = 0; b < barcode_bytes(); ++b) {
    for (uint32_t value = 0; value < 256; ++value) {
      const uint64_t reads = byte_counts[256 * b + value];
      if (reads == 0) continue;
      for (uint32_t k = 0; k < 4 && 4 * b + k < length; ++k) group_of(4 * b + k)[(value >> (6 - 2 * k)) & 3] += reads;
    }
  }
}

}  // namespace

void begin_base_counts() {
  const RunState& s = run_state;
  std::fill(groups, groups + 4 * kCompositionGroups, 0);
  if (s.page_path == nullptr) return;
  held.workers = worker_count();
  held.bytewise = s.barcode_length <= kMaxBytewiseBases;
  held.table_words = held.bytewise ? 256 * barcode_bytes() : 4ull * s.barcode_length;
  const uint64_t words = held.workers * held.table_words;
  held.tables = static_cast<uint64_t*>(hold_work_block(kPageCounts, words * sizeof(uint64_t)));
  std::fill(held.tables, held.tables + words, 0);
}

void count_accepted_bases(uint64_t begin, uint64_t end, uint32_t worker) {
  if (run_state.work_blocks[kPageCounts].data == nullptr) return;
  const uint32_t length = run_state.barcode_length;
  uint64_t* counts = held.tables + worker * held.table_words;
  if (held.bytewise) {
    const uint64_t bytes = barcode_bytes();
    for (uint64_t r = begin; r < end; ++r) {
      const SequenceRecord* record = record_at(r);
      if (!is_accepted(record)) continue;
      const uint64_t* words = record_barcode(record);
      for (uint64_t b = 0; b < bytes; ++b) ++counts[256 * b + ((words[b >> 3] >> (56 - 8 * (b & 7))) & 0xff)];
    }
    return;
  }
  for (uint64_t r = begin; r < end; ++r) {
    const SequenceRecord* record = record_at(r);
    if (!is_accepted(record)) continue;
    const uint64_t* words = record_barcode(record);
    for (uint32_t j = 0; j < length; ++j) ++counts[4 * j + ((words[j >> 5] >> (62 - 2 * (j & 31))) & 3)];
  }
}

void finish_base_counts() {
  if (run_state.work_blocks[kPageCounts].data == nullptr) return;
  for (uint32_t w = 0; w < held.workers; ++w) {
    const uint64_t* table = held.tables + w * held.table_words;
    if (held.bytewise) {
      add_byte_counts(table);
    } else {
      for (uint32_t p = 0; p < run_state.barcode_length; ++p) {
        for (int b = 0; b < 4; ++b) group_of(p)[b] += table[4 * p + b];
      }
    }
  }
  release_work_block(kPageCounts);
  held = {};
}

uint32_t composition_group_positions() {
  return (run_state.barcode_length + kCompositionGroups - 1) / kCompositionGroups;
}

const uint64_t* composition_counts() { return groups; }
