#include "input/input_buffer.h"

#include "base/tracked_memory.h"

namespace {

constexpr uint64_t kPagesStep = 2u << 20;

void resize_block(InputBlock& block, uint64_t bytes) {
  void* data = block.on_worker ? tracked_realloc_or_throw(*block.data, *block.bytes, bytes)
                               : tracked_realloc(*block.data, *block.bytes, bytes);
  *block.data = static_cast<char*>(data);
  *block.bytes = bytes;
}

}  // namespace

void size_input_buffer(InputBlock& block, uint64_t bytes) { resize_block(block, bytes); }

void start_input_buffer(InputBlock& block, uint64_t bytes) {
  resize_block(block, bytes > (1u << 20) ? bytes : (1u << 20));
  block.expected = 0;
  block.with_pages = 0;
}

void expect_input_bytes(InputBlock& block, uint64_t bytes) { block.expected = bytes; }

bool take_expected_pages(InputBlock& block) {
  const uint64_t end = block.expected < *block.bytes ? block.expected : *block.bytes;
  if (block.with_pages >= end) return false;
  const uint64_t step_end = end - block.with_pages > kPagesStep ? block.with_pages + kPagesStep : end;
  // Where the system cannot, the pages come at first touch as always.
  if (!take_pages_now(*block.data, *block.bytes, block.with_pages, step_end)) block.expected = 0;
  block.with_pages = step_end;
  return true;
}

char* input_buffer_room(InputBlock& block, uint64_t filled, uint64_t wanted) {
  if (filled + wanted + 1 > *block.bytes) {
    uint64_t grown_bytes = *block.bytes * 2;
    if (grown_bytes < filled + wanted + 1) grown_bytes = filled + wanted + 1;
    resize_block(block, grown_bytes);
  }
  if (filled + wanted > block.with_pages) block.with_pages = filled + wanted;
  return *block.data + filled;
}

void finish_input_buffer(InputBlock& block, uint64_t filled) {
  if (*block.bytes != filled + 1) resize_block(block, filled + 1);
  block.size = filled;
  (*block.data)[filled] = '\0';
}
