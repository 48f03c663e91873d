// What the report notes of its clusters while it writes them, for the page:
// the reads of every cluster in report order, and how many clusters each
// stretch of nodes opened, so that a cluster's first node can be found from
// its number. Without -p a cluster's reads are its members; with -p they are
// the reads its kept entries stand for, which the duplicate removal noted.
// Either way the page then needs no numbering of its own. Holds the
// kClusterTally work block.
#pragma once

#include <cstdint>

constexpr uint64_t kMaxTallyStretches = 1024;

// True when the report should note its clusters' members: a page is asked
// for and no duplicates were dropped. With -p the report notes reads instead
// where the duplicate removal noted them (kept_entry_reads).
[[nodiscard]] bool cluster_tally_wanted();

// Takes the table for the report's clusters. The node array is cut into
// stretches (job_begin(j, stretches, entry_count)); stretch j opens the
// clusters first_number[j] to first_number[j + 1] - 1.
void begin_cluster_tally(const uint64_t* first_number, uint64_t stretches);

// The table the report fills: the reads of cluster n at index n - 1.
[[nodiscard]] uint64_t* cluster_tally_reads();

// True from begin_cluster_tally until release_cluster_tally.
[[nodiscard]] bool cluster_tally_held();

// Node index of the first node of cluster number (from 1).
[[nodiscard]] uint64_t first_node_of_cluster(uint64_t number);

// Gives the table back; safe to call when none is held.
void release_cluster_tally();
