#include "output/cluster_numbering.h"

#include <cassert>
#include <cstring>

#include "barcode/barcode_packing.h"
#include "cluster/prefix_buckets.h"
#include "base/tracked_memory.h"

namespace {

// The first of count items (record pointers or nodes, sorted by barcode with
// distinct barcodes) whose barcode equals the record's; null when none does.
template <typename Item, typename RecordOf>
Item* find_barcode(Item* items, uint64_t count, const SequenceRecord* record, RecordOf record_of) {
  const uint64_t* barcode = record_barcode(record);
  uint64_t low = 0;
  uint64_t high = count;
  while (low < high) {
    const uint64_t middle = low + (high - low) / 2;
    const int order = compare_barcodes(record_barcode(record_of(items[middle])), barcode);
    if (order == 0) return &items[middle];
    if (order < 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return nullptr;
}

const SequenceRecord* node_record(const ClusterNode& node) { return node.record; }
const SequenceRecord* entry_record(const SequenceRecord* entry) { return entry; }

// Numbers the clusters as write_clusters and write_buckets_as_clusters
// count them, and marks each of their records with its number.
void number_reported_clusters() {
  RunState& s = run_state;
  uint64_t clusters = 0;
  if (s.nodes != nullptr) {
    for (uint64_t i = 0; i < s.entry_count; ++i) {
      const ClusterNode* first = &s.nodes[i];
      if (first->cluster_id != static_cast<int64_t>(i)) continue;
      ++clusters;
      const ClusterNode* node = first;
      do {
        s.record_cluster[record_index(node->record)] = clusters;
        node = node->next;
      } while (node != first);
    }
  } else {
    for (uint32_t k = 0; k < kBucketCount; ++k) {
      for (uint64_t e = 0; e < s.bucket_counts[k]; ++e)
        s.record_cluster[record_index(s.bucket_entries[k][e])] = ++clusters;
    }
  }
  s.cluster_count = clusters;
}

// Gives every record dropped by -p the cluster of the kept record with its
// barcode, found in its bucket, and counts it towards that record's reads.
void number_duplicates() {
  RunState& s = run_state;
  if (s.nodes != nullptr) {
    s.entry_reads = static_cast<uint64_t*>(tracked_malloc(s.entry_count * sizeof(uint64_t)));
    for (uint64_t e = 0; e < s.entry_count; ++e) s.entry_reads[e] = 1;
  }
  for (uint64_t r = 0; r < s.record_count; ++r) {
    const SequenceRecord* record = record_at(r);
    if (s.record_cluster[r] != 0) continue;
    const PrefixKey key = prefix_key(record);
    const SequenceRecord* kept;
    if (s.nodes != nullptr) {
      ClusterNode* end = key + 1u < kBucketCount ? s.bucket_start[key + 1] : s.nodes + s.entry_count;
      ClusterNode* node =
          find_barcode(s.bucket_start[key], static_cast<uint64_t>(end - s.bucket_start[key]), record, node_record);
      assert(node != nullptr && "duplicate removal keeps one record of every barcode");
      kept = node->record;
      ++s.entry_reads[node - s.nodes];
    } else {
      SequenceRecord** entry = find_barcode(s.bucket_entries[key], s.bucket_counts[key], record, entry_record);
      assert(entry != nullptr && "duplicate removal keeps one record of every barcode");
      kept = *entry;
      // Here every barcode is a cluster of its own, so its reads are the cluster's.
      ++s.cluster_totals[s.record_cluster[record_index(kept)] - 1].reads;
    }
    s.record_cluster[r] = s.record_cluster[record_index(kept)] | kDuplicateFlag;
  }
}

// Adds one barcode, carried by `members` entries and `reads` reads, to its cluster.
void add_barcode(const SequenceRecord* first, uint64_t members, uint64_t reads) {
  RunState& s = run_state;
  ClusterTotals& totals = s.cluster_totals[(s.record_cluster[record_index(first)] & kClusterNumberMask) - 1];
  totals.members += members;
  totals.reads += reads;
  totals.barcodes += 1;
  // Barcodes arrive in ascending order, so a tie keeps the first in letter order.
  if (reads > totals.representative_reads) {
    totals.representative_reads = reads;
    totals.representative = first;
  }
}

// Adds every barcode to its cluster, in ascending barcode order.
void total_clusters() {
  RunState& s = run_state;
  if (s.nodes == nullptr) {
    for (uint32_t k = 0; k < kBucketCount; ++k) {
      for (uint64_t e = 0; e < s.bucket_counts[k]; ++e) add_barcode(s.bucket_entries[k][e], 1, 1);
    }
    return;
  }
  // The nodes lie in barcode order and equal barcodes always share a cluster.
  uint64_t i = 0;
  while (i < s.entry_count) {
    const uint64_t* barcode = record_barcode(s.nodes[i].record);
    uint64_t j = i;
    uint64_t reads = 0;
    while (j < s.entry_count && compare_barcodes(record_barcode(s.nodes[j].record), barcode) == 0) {
      reads += s.entry_reads != nullptr ? s.entry_reads[j] : 1;
      ++j;
    }
    add_barcode(s.nodes[i].record, j - i, reads);
    i = j;
  }
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

void number_clusters() {
  RunState& s = run_state;
  s.record_cluster = static_cast<uint64_t*>(tracked_malloc(s.record_count * sizeof(uint64_t)));
  for (uint64_t r = 0; r < s.record_count; ++r) {
    SequenceRecord* record = record_at(r);
    s.record_cluster[r] = is_accepted(record) ? 0 : kRejectedFlag | static_cast<uint64_t>(rejection_cause(r));
  }
  number_reported_clusters();
  s.cluster_totals = static_cast<ClusterTotals*>(tracked_malloc(s.cluster_count * sizeof(ClusterTotals)));
  memset(s.cluster_totals, 0, s.cluster_count * sizeof(ClusterTotals));
  if (s.remove_duplicates) number_duplicates();
  total_clusters();
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
