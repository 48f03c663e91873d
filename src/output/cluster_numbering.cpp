#include "output/cluster_numbering.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "barcode/barcode_packing.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"
#include "cluster/known_assignment.h"
#include "cluster/prefix_buckets.h"

namespace {

// Numbers the clusters as write_clusters and write_buckets_as_clusters
// count them, and marks each of their records with its number.
void number_reported_clusters() {
  RunState& s = run_state;
  uint64_t clusters = 0;
  if (s.nodes != nullptr) {
    // Every node carries the index of its cluster's first node, so each node
    // takes its first node's number without walking the rings: independent
    // look-ups that the workers share, instead of one chase of links.
    for (uint64_t i = 0; i < s.entry_count; ++i) {
      if (s.nodes[i].cluster_id == static_cast<int64_t>(i))
        s.record_cluster[record_index(s.nodes[i].record)] = ++clusters;
    }
    const uint64_t jobs = job_count_for(s.entry_count, 1 << 16, 1024);
    run_jobs(jobs, [&](uint64_t job, uint32_t) {
      const uint64_t end = job_begin(job + 1, jobs, s.entry_count);
      for (uint64_t j = job_begin(job, jobs, s.entry_count); j < end; ++j) {
        const int64_t first = s.nodes[j].cluster_id;
        if (first == static_cast<int64_t>(j)) continue;
        s.record_cluster[record_index(s.nodes[j].record)] = s.record_cluster[record_index(s.nodes[first].record)];
      }
    });
  } else {
    for (uint32_t k = 0; k < kBucketCount; ++k) {
      for (uint64_t e = 0; e < s.bucket_counts[k]; ++e)
        s.record_cluster[record_index(s.bucket_entries[k][e])] = ++clusters;
    }
  }
  s.cluster_count = clusters;
}

// The kept entries in bucket order (the nodes, or the bucket entries when
// the buckets are the clusters), laid out for finding a barcode among them:
// each entry's first barcode word and cluster number side by side, and where
// each bucket's entries begin.
struct KeptEntries {
  uint64_t (*entries)[2];  // first barcode word, cluster number
  uint64_t* bucket_first;  // kBucketCount + 1 entry indices
};

const SequenceRecord* kept_record(uint64_t entry, const KeptEntries& kept) {
  const RunState& s = run_state;
  if (s.nodes != nullptr) return s.nodes[entry].record;
  const uint64_t key =
      static_cast<uint64_t>(std::upper_bound(kept.bucket_first, kept.bucket_first + kBucketCount + 1, entry) -
                            kept.bucket_first) -
      1;
  return s.bucket_entries[key][entry - kept.bucket_first[key]];
}

KeptEntries lay_out_kept_entries() {
  const RunState& s = run_state;
  auto* block = static_cast<uint64_t*>(
      hold_work_block(kDuplicateSearch, (2 * s.entry_count + kBucketCount + 1) * sizeof(uint64_t)));
  KeptEntries kept = {reinterpret_cast<uint64_t(*)[2]>(block), block + 2 * s.entry_count};
  kept.bucket_first[0] = 0;
  for (uint32_t k = 0; k < kBucketCount; ++k) kept.bucket_first[k + 1] = kept.bucket_first[k] + s.bucket_counts[k];
  const uint64_t jobs = job_count_for(kBucketCount, 1024, 64);
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    for (uint64_t k = job_begin(job, jobs, kBucketCount); k < job_begin(job + 1, jobs, kBucketCount); ++k) {
      for (uint64_t e = kept.bucket_first[k]; e < kept.bucket_first[k + 1]; ++e) {
        const SequenceRecord* record =
            s.nodes != nullptr ? s.nodes[e].record : s.bucket_entries[k][e - kept.bucket_first[k]];
        kept.entries[e][0] = record_barcode(record)[0];
        kept.entries[e][1] = s.record_cluster[record_index(record)];
      }
    }
  });
  return kept;
}

// The kept entry whose barcode the record carries, searched in its bucket.
uint64_t find_kept_entry(const SequenceRecord* record, const KeptEntries& kept) {
  const uint64_t* barcode = record_barcode(record);
  const PrefixKey key = prefix_key(record);
  uint64_t low = kept.bucket_first[key];
  uint64_t high = kept.bucket_first[key + 1];
  for (;;) {
    assert(low < high && "duplicate removal keeps one record of every barcode");
    const uint64_t middle = low + (high - low) / 2;
    const uint64_t word = kept.entries[middle][0];
    int order = word == barcode[0] ? 0 : (word < barcode[0] ? -1 : 1);
    if (order == 0 && run_state.barcode_words > 1)
      order = compare_barcodes(record_barcode(kept_record(middle, kept)), barcode);
    if (order == 0) return middle;
    if (order < 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
}

// Gives every record dropped by -p the cluster of the kept record with its
// barcode and counts it towards that record's reads. The workers share the
// records; the search reads the laid-out entries, not the record table.
void number_duplicates() {
  RunState& s = run_state;
  if (s.nodes != nullptr) {
    s.entry_reads = static_cast<uint64_t*>(tracked_malloc(s.entry_count * sizeof(uint64_t)));
    for (uint64_t e = 0; e < s.entry_count; ++e) s.entry_reads[e] = 1;
  }
  const KeptEntries kept = lay_out_kept_entries();
  const uint64_t jobs = job_count_for(s.record_count, 1 << 16, 1024);
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    for (uint64_t r = job_begin(job, jobs, s.record_count); r < job_begin(job + 1, jobs, s.record_count); ++r) {
      if (s.record_cluster[r] != 0) continue;
      const uint64_t entry = find_kept_entry(record_at(r), kept);
      const uint64_t number = kept.entries[entry][1];
      s.record_cluster[r] = number | kDuplicateFlag;
      // Here every barcode is a cluster of its own, so its reads are the cluster's.
      uint64_t* reads = s.nodes != nullptr ? &s.entry_reads[entry] : &s.cluster_totals[number - 1].reads;
      __atomic_fetch_add(reads, 1, __ATOMIC_RELAXED);
    }
  });
  release_work_block(kDuplicateSearch);
}

// One distinct barcode's share of its cluster.
struct BarcodeShare {
  ClusterTotals* totals;        // its cluster's row
  const SequenceRecord* first;  // its first record in barcode order
  uint64_t members;             // entries carrying it
  uint64_t reads;               // reads carrying it, -p duplicates included
};

// Adds one barcode to its cluster's row.
void add_barcode(const BarcodeShare& share) {
  ClusterTotals& totals = *share.totals;
  totals.members += share.members;
  totals.reads += share.reads;
  totals.barcodes += 1;
  // Barcodes arrive in ascending order, so a tie keeps the first in letter order.
  if (share.reads > totals.representative_reads) {
    totals.representative_reads = share.reads;
    totals.representative = share.first;
  }
}

BarcodeShare share_of(const SequenceRecord* first, uint64_t members, uint64_t reads) {
  const uint64_t number = run_state.record_cluster[record_index(first)] & kClusterNumberMask;
  return {&run_state.cluster_totals[number - 1], first, members, reads};
}

bool same_barcode_as_previous(uint64_t node) {
  const ClusterNode* nodes = run_state.nodes;
  return compare_barcodes(record_barcode(nodes[node - 1].record), record_barcode(nodes[node].record)) == 0;
}

// Adds every barcode to its cluster, in ascending barcode order. On the
// forest the workers find the barcodes of consecutive stretches of nodes
// (reading the records is what costs) and the calling thread adds them in
// order, so the rows come out as one thread would make them.
void total_clusters() {
  RunState& s = run_state;
  if (s.nodes == nullptr) {
    for (uint32_t k = 0; k < kBucketCount; ++k) {
      for (uint64_t e = 0; e < s.bucket_counts[k]; ++e) add_barcode(share_of(s.bucket_entries[k][e], 1, 1));
    }
    return;
  }
  const uint64_t jobs = job_count_for(s.entry_count, 1 << 14, 1024);
  // A job begins where a barcode begins, so a stretch may shrink but never
  // holds more barcodes than nodes before the next job's nominal start.
  const auto job_start = [&](uint64_t job) {
    const uint64_t node = job_begin(job, jobs, s.entry_count);
    if (node == 0 || node >= s.entry_count || !same_barcode_as_previous(node)) return node;
    // Inside a run of one barcode: its end, searched within its bucket.
    const PrefixKey key = prefix_key(s.nodes[node].record);
    const ClusterNode* bucket_end = key + 1u < kBucketCount ? s.bucket_start[key + 1] : s.nodes + s.entry_count;
    const uint64_t* barcode = record_barcode(s.nodes[node].record);
    uint64_t low = node;
    uint64_t high = static_cast<uint64_t>(bucket_end - s.nodes);
    while (low < high) {
      const uint64_t middle = low + (high - low) / 2;
      if (compare_barcodes(record_barcode(s.nodes[middle].record), barcode) == 0) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    return low;
  };
  const uint64_t capacity = s.entry_count / jobs + 2;
  const uint32_t slots = ordered_slot_count();
  auto* shares =
      static_cast<BarcodeShare*>(hold_work_block(kNumberingSlots, slots * (capacity + 1) * sizeof(BarcodeShare)));
  auto* share_counts = reinterpret_cast<uint64_t*>(shares + slots * capacity);
  static_assert(sizeof(BarcodeShare) >= sizeof(uint64_t), "one share's room holds a slot's count");
  run_jobs_in_order(
      jobs,
      [&](uint64_t job, uint32_t slot) {
        BarcodeShare* out = shares + slot * capacity;
        uint64_t count = 0;
        const uint64_t end = job + 1 < jobs ? job_start(job + 1) : s.entry_count;
        uint64_t i = job_start(job);
        while (i < end) {
          uint64_t j = i;
          uint64_t reads = 0;
          do {
            reads += s.entry_reads != nullptr ? s.entry_reads[j] : 1;
            ++j;
          } while (j < s.entry_count && same_barcode_as_previous(j));
          assert(count < capacity && "a stretch holds at most its nominal nodes' barcodes");
          out[count++] = share_of(s.nodes[i].record, j - i, reads);
          i = j;
        }
        share_counts[slot] = count;
      },
      [&](uint64_t, uint32_t slot) {
        for (uint64_t k = 0; k < share_counts[slot]; ++k) add_barcode(shares[slot * capacity + k]);
      });
  release_work_block(kNumberingSlots);
}

}  // namespace

uint64_t record_index(const SequenceRecord* record) {
  return static_cast<uint64_t>(reinterpret_cast<const char*>(record) - run_state.record_table) / run_state.record_size;
}

int compare_barcodes(const uint64_t* a, const uint64_t* b) {
  for (uint32_t j = 0; j < run_state.barcode_words; ++j) {
    if (a[j] != b[j]) return a[j] < b[j] ? -1 : 1;
  }
  return 0;
}

void mark_rejected_records() {
  RunState& s = run_state;
  s.record_cluster = static_cast<uint64_t*>(tracked_malloc(s.record_count * sizeof(uint64_t)));
  const uint64_t jobs = job_count_for(s.record_count, 1 << 16, 1024);
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    const uint64_t end = job_begin(job + 1, jobs, s.record_count);
    for (uint64_t r = job_begin(job, jobs, s.record_count); r < end; ++r) {
      SequenceRecord* record = record_at(r);
      s.record_cluster[r] = is_accepted(record) ? 0 : kRejectedFlag | static_cast<uint64_t>(rejection_cause(r));
    }
  });
}

void number_clusters() {
  RunState& s = run_state;
  mark_rejected_records();
  number_reported_clusters();
  s.cluster_totals = static_cast<ClusterTotals*>(tracked_malloc(s.cluster_count * sizeof(ClusterTotals)));
  memset(s.cluster_totals, 0, s.cluster_count * sizeof(ClusterTotals));
  if (s.remove_duplicates) number_duplicates();
  total_clusters();
}

void number_known_clusters() {
  RunState& s = run_state;
  const KnownBarcodes& known = *s.known;
  s.record_cluster = static_cast<uint64_t*>(tracked_malloc(s.record_count * sizeof(uint64_t)));
  for (uint64_t r = 0; r < s.record_count; ++r) {
    const uint32_t outcome = known.outcome[r];
    if (outcome == kOutcomeRejected) {
      s.record_cluster[r] = kRejectedFlag | static_cast<uint64_t>(rejection_cause(r));
    } else if (outcome_assigned(outcome)) {
      s.record_cluster[r] = (outcome_entry(outcome) + 1) | ((outcome & kOutcomeDuplicate) ? kDuplicateFlag : 0);
    } else {
      s.record_cluster[r] = 0;  // accepted, in no cluster
    }
  }
  s.cluster_totals = static_cast<ClusterTotals*>(tracked_malloc(s.cluster_count * sizeof(ClusterTotals)));
  for (uint64_t k = 0; k < s.cluster_count; ++k) {
    s.cluster_totals[k] = {known.members[k], known_group_reads(known, k), known.distinct[k], 0, nullptr, 0, 0};
  }
}

void release_cluster_numbering() {
  RunState& s = run_state;
  if (s.record_cluster != nullptr) {
    tracked_free(s.record_cluster, s.record_count * sizeof(uint64_t));
    s.record_cluster = nullptr;
  }
  if (s.entry_reads != nullptr) {
    tracked_free(s.entry_reads, s.entry_count * sizeof(uint64_t));
    s.entry_reads = nullptr;
  }
  if (s.cluster_totals != nullptr) {
    tracked_free(s.cluster_totals, s.cluster_count * sizeof(ClusterTotals));
    s.cluster_totals = nullptr;
  }
}
