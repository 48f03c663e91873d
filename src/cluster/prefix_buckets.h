// Distributes the accepted records over 65536 buckets by their first eight
// barcode bases (PrefixKey), sorts each bucket by barcode (ties in input
// order) and, with -p, keeps one record per barcode. Sets bucket_bytes,
// bucket_counts, bucket_entries and entry_count.
#pragma once

#include <cstdint>

#include "base/run_state.h"

using PrefixKey = uint16_t;

// The first eight bases of a packed barcode: the top 16 bits of word 0.
inline PrefixKey prefix_key(const SequenceRecord* record) {
  return static_cast<PrefixKey>(record_barcode(record)[0] >> 48);
}

// True while the record's screening mark says it was accepted.
inline bool is_accepted(const SequenceRecord* record) { return record->name[0] == '>'; }

// Counting, allocation and fill passes; each bucket holds its records in input order.
void fill_buckets();

// Sorts every bucket of two or more entries with compare_records.
void sort_buckets();

// Orders two bucket entries by barcode words, then by input position; never 0.
int compare_records(const void* a, const void* b);

// A record with its barcode's first word beside it: a sort of these keeps most
// comparisons inside the key array, where a sort of the records themselves
// fetches two records, from all over the record table, for every comparison.
struct SortKey {
  uint64_t word;
  SequenceRecord* record;
};

// Orders like compare_records: barcode words, then input position. Inlined
// into the sort, where a call per comparison would cost more than the comparison.
inline bool sorts_before(const SortKey& a, const SortKey& b) {
  if (a.word != b.word) return a.word < b.word;
  if (run_state.barcode_words > 1) {
    const uint64_t* wa = record_barcode(a.record);
    const uint64_t* wb = record_barcode(b.record);
    for (uint32_t j = 1; j < run_state.barcode_words; ++j) {
      if (wa[j] != wb[j]) return wa[j] < wb[j];
    }
  }
  return a.record < b.record;
}

// Compacts every bucket in place to the first record of each barcode.
void remove_duplicate_barcodes();

[[nodiscard]] uint64_t total_bucket_count();

// True when the duplicate removal notes how many reads each kept entry stands
// for: -p with a page or --merge-ratio asked for, in the fast engine.
[[nodiscard]] bool kept_reads_wanted();

// Those reads, one per kept entry in bucket order (which the nodes keep), in
// the kKeptEntryReads work block; null when they were not noted.
[[nodiscard]] uint64_t* kept_entry_reads();

// The whole phase with its messages; fixes entry_count.
void bucket_records();

// The same phase on all workers: the fill in slices of the record table, the
// sort and the duplicate removal in groups of buckets.
void bucket_records_fast();
