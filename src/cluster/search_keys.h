// The eight barcode positions that key the candidate search. The report
// follows the buckets of the first eight bases, but the search may bucket the
// barcodes by any eight positions and put the pairs it finds back in the
// report's order. When the first bases are constant or of low diversity (a
// flank marked as barcode, a shared sample index, a G-rich start), one bucket
// holds most barcodes and comparing within it turns quadratic; keyed by the
// most even positions, the buckets stay small. Sets nothing in run_state.
#pragma once

#include <cstdint>

// The longest barcode whose positions are weighed; longer ones keep the
// first eight as their key.
constexpr uint32_t kMaxWeighedLength = 1024;

// The positions of barcodes of `length` bases (more than 8) in search order:
// the 8 whose bases spread most evenly over the barcodes (a sample of them)
// first, ascending, then the others, ascending. Ties go to the earlier
// position, so barcodes that are even throughout keep their order. length is
// at most kMaxWeighedLength.
void choose_search_positions(const uint64_t* barcodes, uint32_t words, uint32_t count, uint32_t length,
                             uint32_t* positions);

// Writes into out (words words) the barcode with its bases in search order:
// base i of out is base positions[i] of the barcode; the bits after the last
// base stay zero.
void rearrange_barcode(const uint64_t* barcode, uint32_t words, const uint32_t* positions, uint32_t length,
                       uint64_t* out);

// The 8-base key that positions[0..7] give a barcode, as the first 16 bits
// of the rearranged barcode would.
[[nodiscard]] uint32_t search_key(const uint64_t* barcode, const uint32_t* positions);

// Pairs of barcodes that share a key, with each barcode paired with itself:
// the sum of the squared key counts, which the comparisons within buckets
// follow. key_counts holds 65536 counts.
[[nodiscard]] double key_collisions(const uint32_t* key_counts);
