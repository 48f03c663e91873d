// Cuts the input buffer, in place, into the record table: sets record_count
// and record_table, and points every record's name and sequence into the
// buffer, whose line ends become NUL bytes.
#pragma once

#include <cstdint>

// Strict two-line FASTA (LF, CR LF or CR line ends; blank lines between
// lines tolerated). Needs record_size. Exits with a message on malformed input.
void parse_fasta(char* buffer, uint64_t size);
