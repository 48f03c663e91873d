// Reads the whole input into one tracked block: run_state.input_buffer (the
// data and a closing NUL), input_size and input_buffer_bytes. gzip and zstd
// data are inflated on the way (input_compressed for gzip); FASTQ is checked
// as it arrives and held compactly (input_is_fastq, fastq_records: see
// input/fastq_compactor.h).
#pragma once

#include <cstddef>

// The path "-" is standard input. A regular file of FASTA is sized and read
// with large read calls straight into the block; every other input (FASTQ, a
// pipe, a terminal, a file that shows size 0, compressed data) goes through
// the chunk pipeline, read or inflated on a thread of its own while the
// chunks that have arrived are taken. Exits with a message on any failure,
// and on an empty input unless empty_allowed (one of several inputs).
void load_file(const char* path, bool empty_allowed = false);

// Bytes of a UTF-8 byte-order mark at the start of data, or 0.
[[nodiscard]] size_t byte_order_mark(const unsigned char* data, size_t size);
