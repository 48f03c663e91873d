// Cuts the input buffer, in place, into the record table: sets record_count
// and record_table, and points every record's name and sequence into the
// buffer, whose line ends become NUL bytes.
#pragma once

#include <cstdint>

// FASTA, after a UTF-8 byte-order mark (skipped): a record is a line beginning with '>' (its name, kept whole, '>'
// bytes inside included) and the sequence lines up to the next such line,
// joined in place into one sequence. LF, CR LF or CR line ends; blank lines
// between lines tolerated. Needs record_size. Runs on all workers; exits with
// a message on malformed input. The records are added behind those the
// table holds already.
void parse_fasta(char* buffer, uint64_t size);

// Resizes the record table to hold records records, keeping those it holds;
// sets record_table and record_count.
void grow_record_table(uint64_t records);
