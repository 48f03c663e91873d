#include "output/page_figures.h"

#include <algorithm>
#include <cassert>

#include "barcode/barcode_packing.h"
#include "base/run_state.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"
#include "output/cluster_numbering.h"

namespace {

static_assert(unknown_character < kScreeningSlots, "every screening cause needs a slot");

// Per-worker tables above this many bytes in all are counted on one thread:
// only barcodes of hundreds of bases get there.
constexpr uint64_t kMaxParallelTableBytes = 64ull << 20;

// A worker's counts: the screening slots, then for every byte of the packed
// barcode (four bases) how many accepted reads carry each of its 256 values.
// Counting whole bytes takes a quarter of the increments of counting bases.
uint64_t barcode_bytes() { return (run_state.barcode_length + 3) / 4; }
uint64_t region_words() { return kScreeningSlots + 256 * barcode_bytes(); }

void count_records(uint64_t begin, uint64_t end, uint64_t* region) {
  const RunState& s = run_state;
  const uint64_t bytes = barcode_bytes();
  uint64_t* byte_counts = region + kScreeningSlots;
  for (uint64_t r = begin; r < end; ++r) {
    const uint64_t mark = s.record_cluster[r];
    if (mark & kRejectedFlag) {
      assert((mark & kClusterNumberMask) < kScreeningSlots && "every screening cause needs a slot");
      ++region[mark & kClusterNumberMask];
      continue;
    }
    ++region[accepted];
    const uint64_t* words = record_barcode(record_at(r));
    for (uint64_t b = 0; b < bytes; ++b) ++byte_counts[256 * b + ((words[b >> 3] >> (56 - 8 * (b & 7))) & 0xff)];
  }
}

// Spreads the byte counts over the four positions each byte holds (first
// base in the top bits); the zero fill past the barcode's end is dropped.
void spread_byte_counts(const uint64_t* byte_counts, uint64_t* base_counts) {
  const uint32_t length = run_state.barcode_length;
  std::fill(base_counts, base_counts + 4ull * length, 0);
  for (uint64_t b = 0; b < barcode_bytes(); ++b) {
    for (uint32_t value = 0; value < 256; ++value) {
      const uint64_t reads = byte_counts[256 * b + value];
      if (reads == 0) continue;
      for (uint32_t k = 0; k < 4 && 4 * b + k < length; ++k)
        base_counts[4 * (4 * b + k) + ((value >> (6 - 2 * k)) & 3)] += reads;
    }
  }
}

void count_screening_and_bases(PageFigures& figures) {
  const RunState& s = run_state;
  const uint64_t words = region_words();
  uint32_t workers = worker_count();
  if (workers > 1 && workers * words * sizeof(uint64_t) > kMaxParallelTableBytes) workers = 1;
  auto* block = static_cast<uint64_t*>(
      hold_work_block(kPageCounts, (workers * words + 4ull * s.barcode_length) * sizeof(uint64_t)));
  std::fill(block, block + workers * words, 0);
  if (workers == 1) {
    count_records(0, s.record_count, block);
  } else {
    const uint64_t jobs = job_count_for(s.record_count, 1 << 16, 1024);
    run_jobs(jobs, [&](uint64_t job, uint32_t worker) {
      count_records(job_begin(job, jobs, s.record_count), job_begin(job + 1, jobs, s.record_count),
                    block + worker * words);
    });
    for (uint32_t w = 1; w < workers; ++w) {
      for (uint64_t i = 0; i < words; ++i) block[i] += block[w * words + i];
    }
  }
  std::copy(block, block + kScreeningSlots, figures.screening);
  uint64_t* base_counts = block + workers * words;
  spread_byte_counts(block + kScreeningSlots, base_counts);
  figures.base_counts = base_counts;
}

// The clusters with the most reads; a tie keeps the earlier cluster first.
void pick_top_clusters(PageFigures& figures) {
  const RunState& s = run_state;
  uint32_t count = 0;
  for (uint64_t c = 0; c < s.cluster_count; ++c) {
    const uint64_t reads = s.cluster_totals[c].reads;
    if (count == kTopClusters && reads <= s.cluster_totals[figures.top_clusters[count - 1]].reads) continue;
    uint32_t place = count < kTopClusters ? count++ : count - 1;
    while (place > 0 && s.cluster_totals[figures.top_clusters[place - 1]].reads < reads) {
      figures.top_clusters[place] = figures.top_clusters[place - 1];
      --place;
    }
    figures.top_clusters[place] = c;
  }
  figures.top_count = count;
}

}  // namespace

void gather_page_figures(PageFigures& figures) {
  figures = {};
  count_screening_and_bases(figures);
  figures.duplicates_removed = figures.screening[accepted] - run_state.entry_count;
  figures.sizes = count_cluster_sizes();
  pick_top_clusters(figures);
}

void release_page_figures() {
  release_work_block(kPageCounts);
  release_cluster_sizes();
}
