// Every block the run holds goes through these operations, which keep
// run_state.bytes_allocated; the teardown (run/teardown.h) returns whatever
// still exists, each block with the size it was counted with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "base/run_state.h"

// malloc that counts the bytes; on failure prints the size and exits with 10.
[[nodiscard]] void* tracked_malloc(size_t size);

// calloc that counts count * size bytes; on failure prints them and exits with 11.
[[nodiscard]] void* tracked_calloc(size_t count, size_t size);

// Resizes a block whose size the caller names; on failure prints the new size
// and exits with 10, leaving the old block to the teardown at its old size.
[[nodiscard]] void* tracked_realloc(void* block, size_t old_size, size_t new_size);

// Memory a loading worker could not get: the run ends on the main thread,
// with the message tracked_malloc would print for bytes.
struct AllocationRefused : std::bad_alloc {
  explicit AllocationRefused(size_t refused) : bytes(refused) {}
  size_t bytes;
};

// tracked_realloc for the worker threads that load samples at once: throws
// AllocationRefused where tracked_realloc would end the run. The count is
// kept atomically by every tracked operation.
[[nodiscard]] void* tracked_realloc_or_throw(void* block, size_t old_size, size_t new_size);

// Puts the first size bytes of block (allocated with block_size bytes) at
// target + at (target allocated with target_size bytes, its bytes from at on
// untouched): where both are mapped on their own, block's pages are moved
// into target, from its first huge page boundary at or after at, huge pages
// whole, and the bytes shifted down to at (by less than 2 MiB), so that they
// take at most a huge page of fresh pages; otherwise they are copied. Either
// way block is then freed with tracked_free as always, and the resident size
// holds at most 2 MiB of the bytes twice when the pages move.
void move_into_block(char* target, size_t target_size, size_t at, char* block, size_t block_size, size_t size);

// Gives bytes from to to of a block of size bytes their pages now, in one
// go, rather than page by page at first touch; their contents stay as they
// were. Only for blocks mapped on their own; a no-op for others, or where the
// system cannot do it (the pages then come at first touch as always): then
// false.
bool take_pages_now(void* block, size_t size, size_t from, size_t to);

// Frees a block; the caller names the size the block was allocated with.
void tracked_free(void* block, size_t size);

// Takes a work block of the given size (contents undefined); the block must
// not be held already. Only the main thread allocates, so the count needs no lock.
void* hold_work_block(WorkBlockId id, uint64_t bytes);

// Returns a held work block, if any.
void release_work_block(WorkBlockId id);

// Makes sure the block holds at least the given size, keeping nothing of its
// contents; returns the block.
void* reserve_work_block(WorkBlockId id, uint64_t bytes);

// Doubles a held block, keeping its first kept_bytes; returns the new block.
void* double_work_block(WorkBlockId id, uint64_t kept_bytes);

// Under an address-space limit, the main thread's stack grows by faults
// that the limit refuses with a crash, not an error: its deepest frames (a
// few hundred KiB) are taken here, at the start, or the run ends with the
// out-of-memory message of that size when the limit leaves no room for them.
// Without a limit the stack grows as it always does.
void reserve_main_stack();

// Hands freed heap pages back to the system where the C library allows it,
// so that what a phase released stops counting towards the resident size.
void return_free_memory();
