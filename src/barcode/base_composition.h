// How often each base stands at each barcode position over the accepted
// reads, for the page. Counted by the screening while the slices it packed
// are still in cache, and only when a page is asked for. The per-worker
// tables (the kPageCounts work block) live during the screening only; the
// sums are kept in a fixed table, so that no memory is held past the
// screening and the later phases report the bytes they always did.
#pragma once

#include <cstdint>

// Positions are kept one each up to this many, in equal groups beyond: as
// many bars as a plot has room for.
constexpr uint32_t kCompositionGroups = 120;

// Takes one table per worker when a page is asked for; otherwise nothing.
void begin_base_counts();

// Counts the barcodes of the accepted records among begin to end on the
// table of worker; does nothing when no tables are held.
void count_accepted_bases(uint64_t begin, uint64_t end, uint32_t worker);

// Adds the workers' tables up into the groups and gives the tables back;
// does nothing when none are held.
void finish_base_counts();

// Barcode positions per group: the least that keeps the groups within
// kCompositionGroups.
[[nodiscard]] uint32_t composition_group_positions();

// 4 counts per group of positions (group g holds positions g * group to
// g * group + group - 1): the reads with A, C, G and T there. Zero unless the
// screening counted them.
[[nodiscard]] const uint64_t* composition_counts();
