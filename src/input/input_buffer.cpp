#include "input/input_buffer.h"

#include "base/run_state.h"
#include "base/tracked_memory.h"

namespace {

constexpr uint64_t kPagesStep = 2u << 20;

uint64_t expected_bytes = 0;
uint64_t bytes_with_pages = 0;  // the front of the block whose pages are there: taken, or touched by the data

}  // namespace

void start_input_buffer(uint64_t bytes) {
  RunState& s = run_state;
  s.input_buffer_bytes = bytes > (1u << 20) ? bytes : (1u << 20);
  s.input_buffer = static_cast<char*>(tracked_malloc(s.input_buffer_bytes));
  expected_bytes = 0;
  bytes_with_pages = 0;
}

void expect_input_bytes(uint64_t bytes) { expected_bytes = bytes; }

bool take_expected_pages() {
  RunState& s = run_state;
  const uint64_t end = expected_bytes < s.input_buffer_bytes ? expected_bytes : s.input_buffer_bytes;
  if (bytes_with_pages >= end) return false;
  const uint64_t step_end = end - bytes_with_pages > kPagesStep ? bytes_with_pages + kPagesStep : end;
  // Where the system cannot, the pages come at first touch as always.
  if (!take_pages_now(s.input_buffer, s.input_buffer_bytes, bytes_with_pages, step_end)) expected_bytes = 0;
  bytes_with_pages = step_end;
  return true;
}

char* input_buffer_room(uint64_t filled, uint64_t wanted) {
  RunState& s = run_state;
  if (filled + wanted + 1 > s.input_buffer_bytes) {
    uint64_t grown_bytes = s.input_buffer_bytes * 2;
    if (grown_bytes < filled + wanted + 1) grown_bytes = filled + wanted + 1;
    s.input_buffer = static_cast<char*>(tracked_realloc(s.input_buffer, s.input_buffer_bytes, grown_bytes));
    s.input_buffer_bytes = grown_bytes;
  }
  if (filled + wanted > bytes_with_pages) bytes_with_pages = filled + wanted;
  return s.input_buffer + filled;
}

void finish_input_buffer(uint64_t filled) {
  RunState& s = run_state;
  if (s.input_buffer_bytes != filled + 1) {
    s.input_buffer = static_cast<char*>(tracked_realloc(s.input_buffer, s.input_buffer_bytes, filled + 1));
    s.input_buffer_bytes = filled + 1;
  }
  s.input_size = filled;
  s.input_buffer[filled] = '\0';
}
