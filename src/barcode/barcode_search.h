// The barcode search that --fixed-mismatches, --window, --both-strands and
// --quality ask for. A read is walked along the template at every offset from
// 0 to the window (up to 4096), counting the fixed letters that differ; it passes at the
// offset with the fewest (ties to the smallest offset) when no more than K
// differ and every barcode base is a nucleotide of good quality. A read that
// passes nowhere on the strand it was read on is tried as its reverse
// complement. A read that passes nowhere is counted under the cause the walk
// at offset 0 on the read as given finds. Without these options nothing here runs.
#pragma once

#include <cstdint>

#include "barcode/barcode_packing.h"
#include "base/run_state.h"

// The placement of each read (work block kReadPlacements): for an accepted
// read its offset, with kReverseStrand when the barcode came from the reverse
// complement; for a rejected one its PackResult. The block holds one byte a
// read while the window fits in seven bits, two bytes a read beyond that.
constexpr uint16_t kReverseStrand = 0x8000;
constexpr uint16_t kOffsetMask = 0x1fff;
constexpr uint32_t kLargestWindow = 4096;

// Takes the placement block; the screening calls it before the walks.
void hold_read_placements();
[[nodiscard]] uint16_t read_placement(uint64_t index);

// Searches one read: packs its barcode and notes its placement, or marks it
// rejected under the cause of the walk at offset 0. Adds to counts.
PackResult find_barcode(SequenceRecord* record, uint64_t index, PlacementCounts& counts);

// The same search for the fast engine, at 64 offsets at once: the read's
// bases become one bit vector per letter, and each template position shifts
// them into per-offset mismatch counts. prepare_search lays the template out
// (work block kSearchPlan) and release_search gives it back. The search reads
// no byte past the read's end, so limit (the first byte another worker may
// write meanwhile) is never reached; a template too long for the search's
// vectors takes find_barcode.
void prepare_search();
void release_search();
PackResult find_barcode_quickly(SequenceRecord* record, uint64_t index, const char* limit, PlacementCounts& counts);

// Notes a read that the plain walk accepted: offset 0, no fixed letter differing.
void note_plain_acceptance(uint64_t index, PlacementCounts& counts);

// Adds one slice's counts to the run's.
void add_placement_counts(const PlacementCounts& counts);

// True when a base at a barcode position of the walk at offset 0 on the read
// as given lies below --quality; false without --quality.
[[nodiscard]] bool has_low_quality_barcode(uint64_t index);
