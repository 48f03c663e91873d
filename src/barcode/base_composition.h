// How often each base stands at each barcode position over the accepted
// reads, for the page. Counted from the sorted buckets, where the reads of
// one barcode stand together and are counted at once (with -p in the fast
// engine, by the duplicate removal as it finds them), and only when a page
// is asked for. The per-worker tables (the kPageCounts work block) live
// during the bucket phase only; the sums are kept in a fixed table, so that
// no memory is held past that phase and the later phases report the bytes
// they always did.
#pragma once

#include <cstdint>

#include "base/run_state.h"

// Positions are kept one each up to this many, in equal groups beyond: as
// many bars as a plot has room for.
constexpr uint32_t kCompositionGroups = 120;

// Takes one table per worker when a page is asked for; otherwise nothing.
void begin_base_counts();

// True between begin_base_counts and finish_base_counts with a page asked for.
[[nodiscard]] bool counting_bases();

// Counts count entries sorted by barcode on the table of worker, each run of
// equal barcodes once with its length as weight. first_words, when given,
// holds each entry's first barcode word.
void count_sorted_bases(SequenceRecord* const* entries, const uint64_t* first_words, uint64_t count, uint32_t worker);

// Counts one barcode (its packed words), carried by reads reads, on the table of worker.
void count_barcode_bases(const uint64_t* words, uint64_t reads, uint32_t worker);

// Adds the workers' tables up into the groups and gives the tables back;
// does nothing when none are held.
void finish_base_counts();

// When no read was accepted: counts, over every read, the bases standing at
// the barcode positions of the template laid at the read's start (a letter
// other than A, C, G, T is not counted), into the fixed table.
void count_laid_bases();

// Barcode positions per group: the least that keeps the groups within
// kCompositionGroups.
[[nodiscard]] uint32_t composition_group_positions();

// 4 counts per group of positions (group g holds positions g * group to
// g * group + group - 1): the reads with A, C, G and T there. Zero unless the
// screening counted them.
[[nodiscard]] const uint64_t* composition_counts();
