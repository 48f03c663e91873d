#include "cluster/prefix_buckets.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "barcode/base_composition.h"
#include "base/messages.h"
#include "base/size_thresholds.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"

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
    if (s.bucket_counts[k] > 1)
      qsort(s.bucket_entries[k], s.bucket_counts[k], sizeof(SequenceRecord*), compare_records);
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

bool kept_reads_wanted() {
  return (run_state.page_path != nullptr || run_state.merge_ratio != nullptr) && run_state.remove_duplicates;
}

uint64_t* kept_entry_reads() { return static_cast<uint64_t*>(run_state.work_blocks[kKeptEntryReads].data); }

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
  begin_base_counts();
  if (counting_bases()) {
    for (uint32_t k = 0; k < kBucketCount; ++k) count_sorted_bases(s.bucket_entries[k], nullptr, s.bucket_counts[k], 0);
  }
  finish_base_counts();
  if (s.remove_duplicates) {
    say("Removing duplicates ..");
    remove_duplicate_barcodes();
    s.entry_count = total_bucket_count();
    say(" OK, %llu sequences with unique barcodes remain\n", static_cast<unsigned long long>(s.entry_count));
  } else {
    s.entry_count = total_bucket_count();
  }
}

namespace {

// Sorting and duplicate removal take stretches of buckets holding about this many entries.
constexpr uint64_t kEntriesPerJob = 4096;
constexpr uint64_t kMaxBucketJobs = 256;

uint64_t accepted_count() {
  uint64_t count = 0;
  for (uint32_t k = 0; k < kBucketCount; ++k) count += run_state.bucket_counts[k];
  return count;
}

// Scratch of the fill and the sort holds at most this many entries per worker.
uint64_t max_scratch_entries() { return size_thresholds.max_scratch_entries; }

// A worker's room for the entries of one bucket or group; past
// kMaxScratchWorkers workers a share, larger ones going the slower way.
uint64_t worker_scratch_entries() { return scratch_share(max_scratch_entries(), worker_count()); }

// Where bucket k's entries begin among all entries in bucket order, and the
// first barcode word of each entry in that order; both live from the fill to
// the end of the phase, so that sorting and duplicate removal read barcodes
// one after the other instead of all over the record table.
uint64_t* bucket_offset() { return static_cast<uint64_t*>(run_state.work_blocks[kBucketOffsets].data); }
uint64_t* entry_words() { return static_cast<uint64_t*>(run_state.work_blocks[kEntryWords].data); }

// Fill in parallel: each slice of the record table counts its records per
// bucket. Then each slice lays out the indices of its records by their first
// four bases, in 256 runs behind the slices before it, and each of those runs
// fills its 256 buckets: two passes whose writes stay in few places at a time,
// instead of one that writes all over 65536 buckets. Input order holds within
// every bucket.
void fill_buckets_fast() {
  RunState& s = run_state;
  // Each slice counts in a table of its own, worth it only for many records.
  constexpr uint64_t kMaxSlices = 16;
  const uint64_t records_per_slice = size_thresholds.fill_records_per_slice;
  constexpr uint32_t kGroups = 256;  // bucket groups by the first four bases
  const uint64_t slices = std::min<uint64_t>({s.record_count / records_per_slice + 1, worker_count(), kMaxSlices});
  const auto slice_begin = [&](uint64_t slice) { return s.record_count * slice / slices; };
  uint64_t* counts = static_cast<uint64_t*>(hold_work_block(kBucketCountsByThread, slices * kBucketTableBytes));
  memset(counts, 0, slices * kBucketTableBytes);
  run_jobs(slices, [&](uint64_t slice, uint32_t) {
    uint64_t* slice_counts = counts + slice * kBucketCount;
    for (uint64_t i = slice_begin(slice); i < slice_begin(slice + 1); ++i) {
      const SequenceRecord* record = record_at(i);
      if (is_accepted(record)) ++slice_counts[prefix_key(record)];
    }
  });
  // Same allocation pass as fill_buckets: bucket by bucket, exact sizes.
  uint64_t* offset = static_cast<uint64_t*>(hold_work_block(kBucketOffsets, kBucketTableBytes));
  uint64_t group_start[kMaxSlices][kGroups + 1] = {};  // per slice, where its records of each group go
  uint64_t entries = 0;
  for (uint32_t k = 0; k < kBucketCount; ++k) {
    uint64_t total = 0;
    for (uint64_t slice = 0; slice < slices; ++slice) {
      group_start[slice][(k >> 8) + 1] += counts[slice * kBucketCount + k];
      total += counts[slice * kBucketCount + k];
    }
    offset[k] = entries;
    entries += total;
    s.bucket_counts[k] = total;
    s.bucket_bytes[k] = total * sizeof(SequenceRecord*);
    if (s.bucket_bytes[k] != 0) s.bucket_entries[k] = static_cast<SequenceRecord**>(tracked_malloc(s.bucket_bytes[k]));
  }
  release_work_block(kBucketCountsByThread);
  // Group g's records start where group g's buckets do; within it, slice by slice.
  for (uint32_t group = 0; group < kGroups; ++group) {
    uint64_t start = offset[group << 8];
    for (uint64_t slice = 0; slice < slices; ++slice) {
      const uint64_t count = group_start[slice][group + 1];
      group_start[slice][group] = start;
      start += count;
    }
  }
  // The first pass leaves each record's index and first barcode word at its
  // place in the group; the second moves them from a copy of the group's
  // words to their buckets, without touching the records again.
  uint64_t* words = static_cast<uint64_t*>(hold_work_block(kEntryWords, 8 * entries));
  uint64_t* order = static_cast<uint64_t*>(hold_work_block(kFillOrder, 8 * entries));
  run_jobs(slices, [&](uint64_t slice, uint32_t) {
    uint64_t* next = group_start[slice];
    for (uint64_t i = slice_begin(slice); i < slice_begin(slice + 1); ++i) {
      const SequenceRecord* record = record_at(i);
      if (!is_accepted(record)) continue;
      const uint64_t place = next[prefix_key(record) >> 8]++;
      order[place] = i;
      words[place] = record_barcode(record)[0];
    }
  });
  const auto group_end = [&](uint64_t group) { return group + 1 < kGroups ? offset[(group + 1) << 8] : entries; };
  uint64_t largest = 0;
  for (uint64_t group = 0; group < kGroups; ++group) largest = std::max(largest, group_end(group) - offset[group << 8]);
  // A group larger than the copy takes its words from the records instead.
  const uint64_t copy_entries = std::min<uint64_t>(largest, worker_scratch_entries());
  uint64_t* copies = static_cast<uint64_t*>(hold_work_block(kSortScratch, 8 * worker_count() * copy_entries + 8));
  run_jobs(kGroups, [&](uint64_t group, uint32_t worker) {
    const uint64_t begin = offset[group << 8];
    const bool copied = group_end(group) - begin <= copy_entries;
    uint64_t* copy = copies + worker * copy_entries;
    if (copied) memcpy(copy, words + begin, 8 * (group_end(group) - begin));
    uint64_t filled[256] = {};
    for (uint64_t j = begin; j < group_end(group); ++j) {
      const uint64_t word = copied ? copy[j - begin] : record_barcode(record_at(order[j]))[0];
      const PrefixKey key = static_cast<PrefixKey>(word >> 48);
      const uint64_t position = filled[key & 255]++;
      s.bucket_entries[key][position] = record_at(order[j]);
      words[offset[key] + position] = word;
    }
  });
  release_work_block(kSortScratch);
  release_work_block(kFillOrder);
}

// Sorts count entries of one bucket and their first words: through keys (a
// worker's scratch of scratch_entries) when they fit, from the records otherwise.
void sort_entries(SequenceRecord** entries, uint64_t* words, uint64_t count, SortKey* keys, uint64_t scratch_entries) {
  if (count <= 1) return;
  if (count > scratch_entries) {
    std::sort(entries, entries + count,
              [](SequenceRecord* a, SequenceRecord* b) { return compare_records(&a, &b) < 0; });
    for (uint64_t e = 0; e < count; ++e) words[e] = record_barcode(entries[e])[0];
    return;
  }
  for (uint64_t e = 0; e < count; ++e) keys[e] = {words[e], entries[e]};
  std::sort(keys, keys + count, [](const SortKey& a, const SortKey& b) { return sorts_before(a, b); });
  for (uint64_t e = 0; e < count; ++e) {
    entries[e] = keys[e].record;
    words[e] = keys[e].word;
  }
}

// Buckets at least this large are sorted by all workers together.
bool split_when_sorted(uint64_t count) { return count >= size_thresholds.split_bucket_entries && count > 1; }

// Sorts one large bucket on all workers. Its first words agree above the
// highest bit in which any two differ, so the 12 bits from that one down
// order the entries before the rest of the barcode does: the entries are
// moved into runs by those bits, in place, then the runs are sorted on their
// own, many at once. A bucket whose barcodes begin alike (a constant flank
// read as barcode, one sample index) sorts as fast as many small buckets.
// Barcodes whose first words are all equal are sorted as any bucket is.
void sort_split_bucket(uint32_t k, SortKey* scratch, uint64_t scratch_entries) {
  RunState& s = run_state;
  const uint64_t count = s.bucket_counts[k];
  SequenceRecord** entries = s.bucket_entries[k];
  uint64_t* words = entry_words() + bucket_offset()[k];
  constexpr uint64_t kMaxParts = 16;
  const uint64_t parts = std::min<uint64_t>({kMaxParts, worker_count(), count / kEntriesPerJob + 1});
  uint64_t differing_of_part[kMaxParts] = {};
  run_jobs(parts, [&](uint64_t part, uint32_t) {
    uint64_t differing = 0;
    for (uint64_t e = job_begin(part, parts, count); e < job_begin(part + 1, parts, count); ++e)
      differing |= words[e] ^ words[0];
    differing_of_part[part] = differing;
  });
  uint64_t differing = 0;
  for (uint64_t part = 0; part < parts; ++part) differing |= differing_of_part[part];
  if (differing == 0) {
    sort_entries(entries, words, count, scratch, scratch_entries);
    return;
  }
  constexpr uint32_t kDigitBits = 12;
  constexpr uint32_t kDigits = 1 << kDigitBits;
  const uint32_t highest = 63 - static_cast<uint32_t>(__builtin_clzll(differing));
  const uint32_t shift = highest < kDigitBits ? 0 : highest + 1 - kDigitBits;
  const auto digit = [shift](uint64_t word) { return static_cast<uint32_t>(word >> shift) & (kDigits - 1); };
  uint64_t start[kDigits + 1] = {};
  for (uint64_t e = 0; e < count; ++e) ++start[digit(words[e]) + 1];
  for (uint32_t value = 1; value <= kDigits; ++value) start[value] += start[value - 1];
  // Each entry in turn is swapped to the next free place of its run until
  // the one that belongs where it stands comes back.
  uint64_t next[kDigits];
  memcpy(next, start, sizeof next);
  for (uint32_t value = 0; value < kDigits; ++value) {
    for (uint64_t& e = next[value]; e < start[value + 1];) {
      uint32_t owner = digit(words[e]);
      while (owner != value) {
        const uint64_t to = next[owner]++;
        std::swap(words[e], words[to]);
        std::swap(entries[e], entries[to]);
        owner = digit(words[e]);
      }
      ++e;
    }
  }
  // Jobs of whole runs, about equal in entries.
  const uint64_t jobs = job_count_for(count, kEntriesPerJob, kMaxBucketJobs);
  uint32_t first_digit[kMaxBucketJobs + 1];
  for (uint64_t job = 0; job < jobs; ++job) {
    first_digit[job] = static_cast<uint32_t>(
        std::upper_bound(start, start + kDigits, job_begin(job, jobs, count)) - start - 1);
  }
  first_digit[0] = 0;
  first_digit[jobs] = kDigits;
  run_jobs(jobs, [&](uint64_t job, uint32_t worker) {
    for (uint32_t value = first_digit[job]; value < first_digit[job + 1]; ++value) {
      sort_entries(entries + start[value], words + start[value], start[value + 1] - start[value],
                   scratch + worker * scratch_entries, scratch_entries);
    }
  });
}

void sort_buckets_fast() {
  RunState& s = run_state;
  uint64_t largest = 0;
  for (uint32_t k = 0; k < kBucketCount; ++k) largest = s.bucket_counts[k] > largest ? s.bucket_counts[k] : largest;
  const uint64_t scratch_entries = std::min<uint64_t>(largest, worker_scratch_entries());
  SortKey* scratch =
      static_cast<SortKey*>(hold_work_block(kSortScratch, worker_count() * scratch_entries * sizeof(SortKey)));
  const uint64_t jobs = job_count_for(accepted_count(), kEntriesPerJob, kMaxBucketJobs);
  run_jobs(jobs, [&](uint64_t job, uint32_t worker) {
    for (uint64_t k = job_begin(job, jobs, kBucketCount); k < job_begin(job + 1, jobs, kBucketCount); ++k) {
      if (split_when_sorted(s.bucket_counts[k])) continue;
      sort_entries(s.bucket_entries[k], entry_words() + bucket_offset()[k], s.bucket_counts[k],
                   scratch + worker * scratch_entries, scratch_entries);
    }
  });
  for (uint32_t k = 0; k < kBucketCount; ++k) {
    if (split_when_sorted(s.bucket_counts[k])) sort_split_bucket(k, scratch, scratch_entries);
  }
  release_work_block(kSortScratch);
}

// With kNoteReads (-p with a page), each bucket's first words give way, from
// its start on, to the reads of its kept entries: a kept entry's count is
// written once the next barcode is found, always behind the word being read.
// Each kept barcode's bases are then counted once, with those reads.
template <bool kNoteReads>
void remove_duplicate_barcodes_fast(uint64_t* kept_by_job) {
  RunState& s = run_state;
  const size_t barcode_bytes = 8ull * s.barcode_words;
  const uint64_t jobs = job_count_for(accepted_count(), kEntriesPerJob, kMaxBucketJobs);
  // A one-word barcode is its first word: no need to read the record.
  const bool bases = counting_bases();
  const auto note = [barcode_bytes, bases](uint64_t* slot, uint64_t word, const SequenceRecord* record, uint64_t reads,
                                           uint32_t worker) {
    *slot = reads;
    if (bases) count_barcode_bases(barcode_bytes == 8 ? &word : record_barcode(record), reads, worker);
  };
  run_jobs(jobs, [&](uint64_t job, uint32_t worker) {
    [[maybe_unused]] uint64_t kept_in_job = 0;
    for (uint64_t k = job_begin(job, jobs, kBucketCount); k < job_begin(job + 1, jobs, kBucketCount); ++k) {
      const uint64_t count = s.bucket_counts[k];
      if (count <= 1) {
        if constexpr (kNoteReads) {
          uint64_t* slot = entry_words() + bucket_offset()[k];
          if (count == 1) note(slot, *slot, s.bucket_entries[k][0], 1, worker);
          kept_in_job += count;
        }
        continue;
      }
      SequenceRecord** entries = s.bucket_entries[k];
      uint64_t* words = entry_words() + bucket_offset()[k];
      const SequenceRecord* kept = entries[0];
      uint64_t kept_word = words[0];
      uint64_t kept_at = 0;
      uint64_t written = 1;
      for (uint64_t r = 1; r < count; ++r) {
        // Only barcodes that agree in their first word need the rest compared.
        if (words[r] == kept_word &&
            (barcode_bytes == 8 || memcmp(record_barcode(entries[r]), record_barcode(kept), barcode_bytes) == 0)) {
          continue;
        }
        if constexpr (kNoteReads) {
          note(&words[written - 1], kept_word, kept, r - kept_at, worker);
          kept_at = r;
        }
        kept_word = words[r];
        entries[written++] = entries[r];
        kept = entries[r];
      }
      if constexpr (kNoteReads) {
        note(&words[written - 1], kept_word, kept, count - kept_at, worker);
        kept_in_job += written;
      }
      s.bucket_counts[k] = written;
    }
    if constexpr (kNoteReads) kept_by_job[job] = kept_in_job;
  });
  if constexpr (!kNoteReads) return;
  // The counts of each job's buckets, moved together in bucket order.
  for (uint64_t job = 1; job < jobs; ++job) kept_by_job[job] += kept_by_job[job - 1];
  uint64_t* reads =
      static_cast<uint64_t*>(hold_work_block(kKeptEntryReads, 8 * std::max<uint64_t>(kept_by_job[jobs - 1], 1)));
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    uint64_t* out = reads + (job > 0 ? kept_by_job[job - 1] : 0);
    // Buckets hold an entry or two here: a call to memcpy each would cost more.
    for (uint64_t k = job_begin(job, jobs, kBucketCount); k < job_begin(job + 1, jobs, kBucketCount); ++k) {
      const uint64_t* noted = entry_words() + bucket_offset()[k];
      for (uint64_t e = 0; e < s.bucket_counts[k]; ++e) *out++ = noted[e];
    }
  });
}

// The page's base composition, from the sorted buckets.
void count_bucket_bases_fast() {
  RunState& s = run_state;
  const uint64_t jobs = job_count_for(accepted_count(), kEntriesPerJob, kMaxBucketJobs);
  run_jobs(jobs, [&](uint64_t job, uint32_t worker) {
    for (uint64_t k = job_begin(job, jobs, kBucketCount); k < job_begin(job + 1, jobs, kBucketCount); ++k)
      count_sorted_bases(s.bucket_entries[k], entry_words() + bucket_offset()[k], s.bucket_counts[k], worker);
  });
}

}  // namespace

void bucket_records_fast() {
  RunState& s = run_state;
  say("Sorting ..");
  fill_buckets_fast();
  sort_buckets_fast();
  begin_base_counts();
  // With -p the duplicate removal counts them, as it finds each barcode's reads.
  if (counting_bases() && !kept_reads_wanted()) count_bucket_bases_fast();
  say(" OK\n");
  if (s.remove_duplicates) {
    say("Removing duplicates ..");
    uint64_t kept_by_job[kMaxBucketJobs];
    if (kept_reads_wanted()) {
      remove_duplicate_barcodes_fast<true>(kept_by_job);
    } else {
      remove_duplicate_barcodes_fast<false>(kept_by_job);
    }
    s.entry_count = total_bucket_count();
    say(" OK, %llu sequences with unique barcodes remain\n", static_cast<unsigned long long>(s.entry_count));
  } else {
    s.entry_count = total_bucket_count();
  }
  finish_base_counts();
  release_work_block(kEntryWords);
  release_work_block(kBucketOffsets);
}
