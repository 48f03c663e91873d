// The sizes at which the fast engine changes its way of working. Real inputs
// meet them only at hundreds of thousands of records; the tests lower them so
// that small inputs take every path (several fill slices, the windowed forest,
// buckets larger than the scratch, many jobs per phase). The tool itself
// never changes them.
#pragma once

#include <cstdint>

struct SizeThresholds {
  uint64_t fill_records_per_slice = 1 << 18;  // records per counting slice of the bucket fill
  uint64_t large_forest_entries = 1 << 20;    // from here on the forest is built a window at a time
  uint64_t max_scratch_entries = 1 << 20;     // per-worker sort scratch; larger buckets sort from the records
  uint64_t fasta_slice_bytes = 1 << 20;       // input bytes per job of the FASTA parse
  uint64_t items_per_job = 0;                 // when not 0, every phase's job size in items
  int blanked_suffix_search = 0;              // 0: by cost; 1: always; -1: never
  int rekeyed_search = 0;  // search keyed by the most even positions; 0: by spread; 1: always; -1: never
  uint64_t split_bucket_entries = 1 << 16;  // a bucket this large is sorted by all workers at once
  uint32_t long_suffix_run = 1024;          // runs of equal suffixes this long are indexed by key
  int suffix_key_lookup = 0;  // members of indexed runs look partners up; 0: by cost; 1: always
};

inline SizeThresholds size_thresholds;
