// The block behind run_state.input_buffer while an input arrives in pieces
// (streams, compressed data, FASTQ held compactly): it doubles in place as
// the data comes (realloc moves large blocks by remapping their pages) and is
// trimmed to the data and its closing NUL at the end.
#pragma once

#include <cstdint>

// Takes the first block, of at least 1 MiB.
void start_input_buffer(uint64_t bytes);

// The bytes the input is expected to fill (0: not known), whose pages
// take_expected_pages takes ahead of the data. Taken a few at a time as a
// slow input (one being inflated) arrives, over seconds, they cost several
// times more on a virtual machine whose host reclaims the pages its guest
// has freed, as it does within a second or so; taken at the start, they are
// mostly those another run has just freed.
void expect_input_bytes(uint64_t bytes);

// Takes the pages of the next 2 MiB of the expected bytes that the block
// reaches and the data has not; false when there are none.
bool take_expected_pages();

// Makes room for wanted bytes after filled (and the closing NUL); returns
// where they go.
[[nodiscard]] char* input_buffer_room(uint64_t filled, uint64_t wanted);

// Trims the block to filled bytes and the closing NUL, and sets input_size.
void finish_input_buffer(uint64_t filled);
