// Cuts the input buffer, in place, into the record table: sets record_count
// and record_table, and points every record's name and sequence into the
// buffer, whose line ends become NUL bytes.
#pragma once

#include <cstdint>

// FASTA: a record is a line beginning with '>' (its name, kept whole, '>'
// bytes inside included) and the sequence lines up to the next such line,
// joined in place into one sequence. LF, CR LF or CR line ends; blank lines
// between lines tolerated. Needs record_size. Runs on all workers; exits with
// a message on malformed input.
void parse_fasta(char* buffer, uint64_t size);
