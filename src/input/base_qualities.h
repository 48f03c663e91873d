// The base qualities the barcode search (--quality) needs, gathered by the
// FASTQ parse while the quality lines are still at hand, so that nothing
// later depends on them being kept: for each read one row of bits (work
// block kLowQualityBases), set where a base lies below --quality, for the
// first quality_reach() bases and, with --both-strands, as many again counted
// from the read's end. Rows are as wide as the longest read needs (at most
// the reach), so a wide window over short reads costs what the reads hold;
// sets run_state.quality_row_bits.
#pragma once

#include <cstdint>

// Template length plus window: the bases a walk can reach from one end.
[[nodiscard]] uint64_t quality_reach();

// Notes read index's bases below --quality from its quality line, length
// bytes like its sequence line; the reads come in input order, so the rows
// grow as they arrive (and widen, when a read reaches further than any
// before it). Does nothing without --quality. The FASTQ parse calls it for
// every sound record before the quality line is dropped.
void note_base_qualities(uint64_t index, const char* sequence, const char* quality, uint64_t length);

// The row of read index, or null without --quality (or once released).
[[nodiscard]] const unsigned char* low_quality_row(uint64_t index);

// Whether base i from the read's start (strand 0) or from its end (strand 1)
// lies below --quality; i is below the reach and the read's length.
inline bool is_low_quality_base(const unsigned char* row, int strand, uint64_t i, uint64_t row_bits) {
  const uint64_t bit = (strand == 1 ? row_bits : 0) + i;
  return (row[bit >> 3] >> (bit & 7)) & 1;
}
