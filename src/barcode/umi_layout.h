// The unique molecular identifier that --umi names among the template's
// barcode positions. The walk packs every barcode position, UMI included;
// right after it, split_umi moves the UMI's bases out of the packed words,
// so the barcode that is clustered is the remaining positions in template
// order. Holds the layout in work block kUmiLayout; sets run_state.umi_ranges
// (as typed) and, with the template, walk_length.
#pragma once

#include <cstdint>

#include "base/run_state.h"

constexpr uint32_t kMaxUmiBases = 32;  // one packed word

// A stretch of consecutive bases among those the walk packs.
struct BaseRun {
  uint32_t first;  // index among the walked bases, from 0
  uint32_t count;
};

struct UmiLayout {
  uint32_t length;             // UMI bases, 1 to kMaxUmiBases
  uint32_t umi_run_count;      // stretches of walked bases that are the UMI, in order
  uint32_t barcode_run_count;  // stretches that are the clustered barcode, in order
  BaseRun umi_runs[kMaxUmiBases];
  BaseRun barcode_runs[kMaxUmiBases + 1];  // the gaps around at most kMaxUmiBases UMI runs
};

// Checks run_state.umi_ranges against run_state.template_text and lays the UMI
// out; each refusal is one message and status 1. Runs with the command line,
// before any file is created.
void prepare_umi_layout();

// The layout, or null without --umi.
[[nodiscard]] const UmiLayout* umi_layout();

// Bases the UMI takes out of the walked bases: 0 without --umi.
[[nodiscard]] uint32_t umi_length();

// Moves an accepted record's UMI out of its walked bases: its barcode words
// then hold the clustered barcode (left-aligned, zero fill) and the word
// right behind them the UMI, right-aligned (A 00 ... T 11, last base lowest).
void split_umi(SequenceRecord* record, const UmiLayout& layout);

// An accepted record's UMI, as split_umi left it.
[[nodiscard]] inline uint64_t record_umi(const SequenceRecord* record) {
  return record_barcode(record)[run_state.barcode_words];
}

// Writes a UMI of length bases as letters ACGT; text holds length + 1 bytes.
void umi_letters(uint64_t umi, uint32_t length, char* text);
