// Every block the run holds goes through these operations, which keep
// run_state.bytes_allocated; release_all is the at-exit teardown that returns
// whatever still exists, each block with the size it was counted with.
#pragma once

#include <cstddef>

// malloc that counts the bytes; on failure prints the size and exits with 10.
[[nodiscard]] void* tracked_malloc(size_t size);

// calloc that counts count * size bytes; on failure prints them and exits with 11.
[[nodiscard]] void* tracked_calloc(size_t count, size_t size);

// Resizes a block whose size the caller names; on failure prints the new size
// and exits with 10, leaving the old block to the teardown at its old size.
[[nodiscard]] void* tracked_realloc(void* block, size_t old_size, size_t new_size);

// Frees a block; the caller names the size the block was allocated with.
void tracked_free(void* block, size_t size);

// The teardown, registered with atexit before anything else. Closes the output
// file, releases every block still set (clearing its member), and reports any
// bytes the count has not come back from.
void release_all();
