// Reads the whole input file into one tracked block: run_state.input_buffer
// (the data and a closing NUL), input_size and input_buffer_bytes; gzip data
// is decompressed on the way (input_compressed).
#pragma once

#include <cstdint>

// The path "-" is standard input. gzip data (first bytes 1f 8b) is inflated
// as it is read; otherwise regular files are sized by seeking and read with
// one call, and anything that cannot be sized that way (a pipe, a terminal)
// is read in growing chunks. Exits with a message on any failure, and on an
// empty input.
void load_file(const char* path);

// For readers that fill input_buffer as data arrives (streams, gzip): doubles
// the block when only the byte for the closing NUL is left after filled
// bytes. realloc remaps a large block's pages rather than copying them.
void make_room_in_input_buffer(uint64_t filled);

// Trims input_buffer to filled bytes and the closing NUL, and sets input_size.
void finish_input_buffer(uint64_t filled);
