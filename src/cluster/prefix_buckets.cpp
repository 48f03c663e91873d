#include "cluster/prefix_buckets.h"

#include <cstdlib>
#include <cstring>

#include "run/messages.h"
#include "run/tracked_memory.h"

void fill_buckets() {
  RunState& s = run_state;
  for (uint64_t i = 0; i < s.record_count; ++i) {
    const SequenceRecord* record = record_at(i);
    if (is_accepted(record)) ++s.bucket_bytes[prefix_key(record)];
  }
  for (uint32_t k = 0; k < kBucketCount; ++k) {
    s.bucket_bytes[k] *= sizeof(SequenceRecord*);
    if (s.bucket_bytes[k] != 0) s.bucket_entries[k] = static_cast<SequenceRecord**>(tracked_malloc(s.bucket_bytes[k]));
  }
  for (uint64_t i = 0; i < s.record_count; ++i) {
    SequenceRecord* record = record_at(i);
    if (!is_accepted(record)) continue;
    const PrefixKey key = prefix_key(record);
    s.bucket_entries[key][s.bucket_counts[key]++] = record;
  }
}

int compare_records(const void* a, const void* b) {
  const SequenceRecord* ra = *static_cast<SequenceRecord* const*>(a);
  const SequenceRecord* rb = *static_cast<SequenceRecord* const*>(b);
  const uint64_t* wa = record_barcode(ra);
  const uint64_t* wb = record_barcode(rb);
  for (uint32_t j = 0; j < run_state.barcode_words; ++j) {
    if (wa[j] != wb[j]) return wa[j] < wb[j] ? -1 : 1;
  }
  return ra->name < rb->name ? -1 : 1;
}

void sort_buckets() {
  RunState& s = run_state;
  for (uint32_t k = 0; k < kBucketCount; ++k) {
    if (s.bucket_counts[k] > 1) qsort(s.bucket_entries[k], s.bucket_counts[k], sizeof(SequenceRecord*), compare_records);
  }
}

void remove_duplicate_barcodes() {
  RunState& s = run_state;
  const size_t barcode_bytes = 8ull * s.barcode_words;
  for (uint32_t k = 0; k < kBucketCount; ++k) {
    const uint64_t count = s.bucket_counts[k];
    if (count <= 1) continue;
    SequenceRecord** entries = s.bucket_entries[k];
    const SequenceRecord* kept = entries[0];
    uint64_t written = 1;
    for (uint64_t r = 1; r < count; ++r) {
      if (memcmp(record_barcode(entries[r]), record_barcode(kept), barcode_bytes) == 0) continue;
      entries[written++] = entries[r];
      kept = entries[r];
    }
    s.bucket_counts[k] = written;
  }
}

uint64_t total_bucket_count() {
  uint64_t total = 0;
  for (uint32_t k = 0; k < kBucketCount; ++k) total += run_state.bucket_counts[k];
  return total;
}

void bucket_records() {
  RunState& s = run_state;
  say("Sorting ..");
  fill_buckets();
  sort_buckets();
  say(" OK\n");
  if (s.remove_duplicates) {
    say("Removing duplicates ..");
    remove_duplicate_barcodes();
    s.entry_count = total_bucket_count();
    say(" OK, %llu sequences with unique barcodes remain\n", static_cast<unsigned long long>(s.entry_count));
  } else {
    s.entry_count = total_bucket_count();
  }
}
