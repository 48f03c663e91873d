// The block an input is gathered in while it arrives in pieces (streams,
// compressed data, FASTQ held compactly): it doubles in place as the data
// comes (realloc moves large blocks by remapping their pages) and is trimmed
// to the data and its closing NUL at the end. One input's block becomes
// run_state.input_buffer; the samples of an experiment fill one each, on
// the loading workers at once.
#pragma once

#include <cstdint>

// The block is held where the teardown finds it when the run ends early
// (run_state.input_buffer and input_buffer_bytes, or a sample's block).
struct InputBlock {
  char** data;          // where the block is held: the data, then room
  uint64_t* bytes;      // where its size is held, as it was allocated (and counted) with
  uint64_t expected;    // bytes the input is expected to fill (0: not known)
  uint64_t with_pages;  // the front of the block whose pages are there: taken, or touched by the data
  uint64_t size;        // finish_input_buffer: the data, without the closing NUL
  bool on_worker;       // memory that runs out throws AllocationRefused instead of ending the run
};

// Takes a block of exactly bytes, for an input of known size.
void size_input_buffer(InputBlock& block, uint64_t bytes);

// Takes the first block, of at least 1 MiB.
void start_input_buffer(InputBlock& block, uint64_t bytes);

// The bytes the input is expected to fill (0: not known), whose pages
// take_expected_pages takes ahead of the data. Taken a few at a time as a
// slow input (one being inflated) arrives, over seconds, they cost several
// times more on a virtual machine whose host reclaims the pages its guest
// has freed, as it does within a second or so; taken at the start, they are
// mostly those another run has just freed.
void expect_input_bytes(InputBlock& block, uint64_t bytes);

// Takes the pages of the next 2 MiB of the expected bytes that the block
// reaches and the data has not; false when there are none.
bool take_expected_pages(InputBlock& block);

// Makes room for wanted bytes after filled (and the closing NUL); returns
// where they go.
[[nodiscard]] char* input_buffer_room(InputBlock& block, uint64_t filled, uint64_t wanted);

// Trims the block to filled bytes and the closing NUL, and sets its size.
void finish_input_buffer(InputBlock& block, uint64_t filled);
