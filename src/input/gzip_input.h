// Decompresses a gzip input (one member or several, block-gzip included)
// into run_state.input_buffer, growing the block in place as the data comes:
// sets input_buffer, input_buffer_bytes, input_size and input_compressed.
#pragma once

#include <cstddef>
#include <cstdio>

// True when the first two bytes are the gzip magic 1f 8b.
[[nodiscard]] bool is_gzip_magic(const unsigned char* head, size_t head_size);

// Inflates every member of the stream into one tracked block closed by a
// NUL; head holds the bytes already taken from file. Closes the file. Exits
// with "Can't decompress input file" on corrupt, truncated or trailing data.
void load_gzip(FILE* file, const unsigned char* head, size_t head_size, const char* path);
