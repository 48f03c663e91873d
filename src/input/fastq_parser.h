// Cuts a FASTQ input buffer, in place, into the record table, and chooses
// between the FASTQ and the FASTA parse. Sets record_count, record_table and
// input_is_fastq. A record's name points at its first byte, whose '@' is
// overwritten with '>', so that byte is the screening mark as for FASTA.
#pragma once

#include <cstdint>

// FASTQ when the buffer begins with '@', else FASTA.
void parse_records(char* buffer, uint64_t size);

// Four-line FASTQ: "@name", the sequence, a '+' line, a quality line as long
// as the sequence; LF, CR LF or CR line ends; blank lines between records.
// Needs record_size. Exits with a message naming the record and its line on
// malformed input.
void parse_fastq(char* buffer, uint64_t size);
