// Maps every record to the cluster the report printed it under, and gathers
// the per-cluster totals of the cluster table. Runs after the report, over
// the same forest or buckets the report walked. Sets record_cluster,
// entry_reads (with -p on the forest path), cluster_count and cluster_totals;
// release_cluster_numbering gives them back.
#pragma once

#include <cstdint>

#include "base/run_state.h"

// record_cluster values: a cluster number (1, 2, ...), that number with
// kDuplicateFlag for a record dropped by -p (the cluster of the record it
// duplicates), or kRejectedFlag with the PackResult that rejected it.
constexpr uint64_t kDuplicateFlag = 1ull << 63;
constexpr uint64_t kRejectedFlag = 1ull << 62;
constexpr uint64_t kClusterNumberMask = kRejectedFlag - 1;

// Fills the members above from the clusters as the report wrote them.
void number_clusters();

// The first step of number_clusters: record_cluster with every rejected
// record's cause and 0 for the others. Alone when no read was accepted.
void mark_rejected_records();

// The same with --known, from the reads' assignment: an accepted read that
// is ambiguous or unknown is in no cluster (0). Every entry is a row.
void number_known_clusters();

// Releases what number_clusters allocated, each block at most once.
void release_cluster_numbering();

// Index of a record in the record table.
[[nodiscard]] uint64_t record_index(const SequenceRecord* record);

// -1, 0 or 1 as barcode a sorts before, equals or sorts after barcode b.
[[nodiscard]] int compare_barcodes(const uint64_t* a, const uint64_t* b);
