// Walks every read along the compiled template: packs the barcode into the
// record's words (2 bits a base, first base in the top bits, last word
// left-aligned) or marks the record rejected by writing '#' over its '>'.
#pragma once

#include "base/run_state.h"

enum PackResult : int {
  accepted = 0,
  template_mismatch = 1,  // a fixed letter differs, or the read ends before the last barcode position
  has_n = 2,              // the walk met N or n
  unknown_character = 3,  // the walk met any other byte outside ACGTacgt
};

// Packs one record's barcode or rejects it. Writes the record's barcode
// words, and its screening mark on rejection.
PackResult pack_barcode(SequenceRecord* record);

// Packs every record, prints the screening report, and exits with 1 when no
// record is accepted.
void convert_barcodes();

// The same on all workers, each packing its own slice of the record table.
void convert_barcodes_fast();

// Why the screening left record index out (the record is rejected).
[[nodiscard]] PackResult rejection_cause(uint64_t index);
