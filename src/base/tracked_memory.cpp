#include "base/tracked_memory.h"

#include <cassert>
#include <cstdlib>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "base/messages.h"
#include "base/run_state.h"

void* tracked_malloc(size_t size) {
  void* block = malloc(size);
  if (block == nullptr) fail(kExitMallocFailure, "Error: can't allocate %zu bytes\n", size);
  run_state.bytes_allocated += static_cast<int64_t>(size);
  return block;
}

void* tracked_calloc(size_t count, size_t size) {
  void* block = calloc(count, size);
  if (block == nullptr) fail(kExitCallocFailure, "Error: can't allocate %zu bytes\n", count * size);
  run_state.bytes_allocated += static_cast<int64_t>(count * size);
  return block;
}

void* tracked_realloc(void* block, size_t old_size, size_t new_size) {
  void* resized = realloc(block, new_size);
  if (resized == nullptr) fail(kExitMallocFailure, "Error: can't allocate %zu bytes\n", new_size);
  run_state.bytes_allocated += static_cast<int64_t>(new_size) - static_cast<int64_t>(old_size);
  return resized;
}

void tracked_free(void* block, size_t size) {
  free(block);
  run_state.bytes_allocated -= static_cast<int64_t>(size);
}

void* hold_work_block(WorkBlockId id, uint64_t bytes) {
  WorkBlock& block = run_state.work_blocks[id];
  assert(block.data == nullptr && "a held block would be lost and never counted back");
  block.data = tracked_malloc(bytes);
  block.bytes = bytes;
  return block.data;
}

void release_work_block(WorkBlockId id) {
  WorkBlock& block = run_state.work_blocks[id];
  if (block.data == nullptr) return;
  tracked_free(block.data, block.bytes);
  block.data = nullptr;
  block.bytes = 0;
}

void* reserve_work_block(WorkBlockId id, uint64_t bytes) {
  const WorkBlock& block = run_state.work_blocks[id];
  if (block.data != nullptr && block.bytes >= bytes) return block.data;
  release_work_block(id);
  return hold_work_block(id, bytes);
}

void return_free_memory() {
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}
