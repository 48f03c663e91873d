// Compiles the template into run_state: the nucleotide code table, the
// upper-cased copy, the barcode-position mask, barcode_length, barcode_words
// and record_size; then creates the three zeroed prefix bucket tables.
#pragma once

#include <cstdint>

// Refuses a template byte outside [ACGTNacgtn.] and a template without any
// barcode position, each with a message and status 1.
void prepare_template();

// The barcode positions (N, n or .) of a template as typed, before it is compiled.
[[nodiscard]] uint32_t count_barcode_positions(const char* template_text);
