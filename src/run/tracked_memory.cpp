#include "run/tracked_memory.h"

#include <cassert>
#include <cstdlib>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "cluster/cluster_forest.h"
#include "output/run_tables.h"
#include "run/messages.h"
#include "run/phase_clock.h"
#include "run/run_state.h"

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

void release_all() {
  RunState& s = run_state;
  if (s.output_file != nullptr) {
    fclose(s.output_file);
    s.output_file = nullptr;
  }
  release_tables();
  if (s.template_upper != nullptr) {
    tracked_free(s.template_upper, s.template_length + 1ull);
    s.template_upper = nullptr;
  }
  if (s.template_mask != nullptr) {
    tracked_free(s.template_mask, s.template_length);
    s.template_mask = nullptr;
  }
  free_buckets();
  if (s.bucket_counts != nullptr) {
    tracked_free(s.bucket_counts, kBucketTableBytes);
    s.bucket_counts = nullptr;
  }
  if (s.nodes != nullptr) {
    tracked_free(s.nodes, s.entry_count * sizeof(ClusterNode));
    s.nodes = nullptr;
  }
  if (s.bucket_start != nullptr) {
    tracked_free(s.bucket_start, kBucketTableBytes);
    s.bucket_start = nullptr;
  }
  for (int id = 0; id < kWorkBlockCount; ++id) release_work_block(static_cast<WorkBlockId>(id));
  if (s.input_buffer != nullptr) {
    tracked_free(s.input_buffer, s.input_buffer_bytes);
    s.input_buffer = nullptr;
    s.input_size = 0;
    s.input_buffer_bytes = 0;
  }
  if (s.record_table != nullptr) {
    tracked_free(s.record_table, s.record_count * s.record_size);
    s.record_table = nullptr;
    s.record_count = 0;
  }
  if (s.bytes_allocated != 0)
    say("Error: Failed to deallocate %lld bytes\n", static_cast<long long>(s.bytes_allocated));
  mark_phase("teardown");
}
