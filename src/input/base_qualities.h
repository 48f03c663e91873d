// The base qualities the barcode search (--quality) needs, gathered by the
// FASTQ parse while the quality lines are still at hand, so that nothing
// later depends on them being kept: for each read one row of bits (work
// block kLowQualityBases), set where a base lies below --quality, for the
// first quality_reach() bases and, with --both-strands, as many again counted
// from the read's end (bit quality_reach() + i for the base i from the end).
#pragma once

#include <cstdint>

// Template length plus window: the bases a walk can reach from one end.
[[nodiscard]] uint64_t quality_reach();

// Take the rows for the records / note one read's quality line of length
// bytes. Both do nothing without --quality.
void hold_base_qualities(uint64_t records);
void note_base_qualities(uint64_t index, const char* quality, uint64_t length);

// The row of read index, or null without --quality (or once released).
[[nodiscard]] const unsigned char* low_quality_row(uint64_t index);

inline bool is_low_quality_base(const unsigned char* row, uint64_t bit) { return (row[bit >> 3] >> (bit & 7)) & 1; }
