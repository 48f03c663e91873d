#include "barcode/base_composition.h"

#include <algorithm>
#include <cstring>

#include "base/run_state.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"

namespace {

// Up to this length a barcode is counted a packed byte (four bases) at a
// time, 256 counters per byte place: a quarter of the increments of counting
// bases. Longer barcodes are counted base by base, in tables 16 times smaller.
constexpr uint32_t kMaxBytewiseBases = 256;

struct BaseTables {
  uint64_t* tables;  // per worker, table_words each
  uint64_t table_words;
  uint64_t bytes;  // barcode_bytes()
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
  held.bytes = barcode_bytes();
  held.table_words = held.bytewise ? 256 * barcode_bytes() : 4ull * s.barcode_length;
  const uint64_t words = held.workers * held.table_words;
  held.tables = static_cast<uint64_t*>(hold_work_block(kPageCounts, words * sizeof(uint64_t)));
  std::fill(held.tables, held.tables + words, 0);
}

bool counting_bases() { return run_state.work_blocks[kPageCounts].data != nullptr; }

namespace {

// count_barcode_bases, inlined into the loop over sorted runs.
inline void add_barcode_bases(const uint64_t* words, uint64_t reads, uint32_t worker) {
  uint64_t* const counts = held.tables + worker * held.table_words;
  if (held.bytewise) {
    // Each word's bytes taken from the top, the counters walked along with them.
    const uint64_t bytes = held.bytes;
    uint64_t* place = counts;
    for (uint64_t b = 0; b < bytes; b += 8) {
      uint64_t word = *words++;
      for (const uint64_t* last = place + 256 * (bytes - b < 8 ? bytes - b : 8); place != last; place += 256) {
        place[word >> 56] += reads;
        word <<= 8;
      }
    }
  } else {
    for (uint32_t j = 0; j < run_state.barcode_length; ++j)
      counts[4 * j + ((words[j >> 5] >> (62 - 2 * (j & 31))) & 3)] += reads;
  }
}

}  // namespace

void count_barcode_bases(const uint64_t* words, uint64_t reads, uint32_t worker) {
  add_barcode_bases(words, reads, worker);
}

void count_sorted_bases(SequenceRecord* const* entries, const uint64_t* first_words, uint64_t count, uint32_t worker) {
  const RunState& s = run_state;
  const size_t barcode_size = 8ull * s.barcode_words;
  for (uint64_t e = 0; e < count;) {
    const uint64_t* words = record_barcode(entries[e]);
    uint64_t end = e + 1;
    if (first_words != nullptr && s.barcode_words == 1) {
      while (end < count && first_words[end] == first_words[e]) ++end;
    } else {
      while (end < count && memcmp(record_barcode(entries[end]), words, barcode_size) == 0) ++end;
    }
    add_barcode_bases(words, end - e, worker);
    e = end;
  }
}

void finish_base_counts() {
  if (!counting_bases()) return;
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

void count_laid_bases() {
  const RunState& s = run_state;
  std::fill(groups, groups + 4 * kCompositionGroups, 0);
  for (uint64_t r = 0; r < s.record_count; ++r) {
    const unsigned char* read = reinterpret_cast<const unsigned char*>(record_at(r)->sequence);
    uint32_t position = 0;
    for (uint32_t i = 0; i < s.template_length && read[i] != '\0' && position < s.barcode_length; ++i) {
      if (!s.template_mask[i]) continue;
      const uint32_t code = s.nucleotide_codes[read[i]];
      if (code != 0) ++group_of(position)[code - 1];
      ++position;
    }
  }
}

uint32_t composition_group_positions() {
  return (run_state.barcode_length + kCompositionGroups - 1) / kCompositionGroups;
}

const uint64_t* composition_counts() { return groups; }
