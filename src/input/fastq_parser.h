// Cuts the loaded input into the record table: sets record_count and
// record_table. FASTQ was checked and kept compactly by the loading (see
// input/fastq_compactor.h); its records only need indexing here.
#pragma once

#include <cstdint>

// The FASTQ records the loading kept, or the FASTA parse of the buffer (after
// a UTF-8 byte-order mark, which is skipped).
void parse_records(char* buffer, uint64_t size);
