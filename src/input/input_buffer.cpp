#include "input/input_buffer.h"

#include "base/run_state.h"
#include "base/tracked_memory.h"

namespace {

uint64_t expected_bytes = 0;
uint64_t bytes_with_pages = 0;  // the front of the block whose pages were taken

void take_expected_pages() {
  RunState& s = run_state;
  const uint64_t end = expected_bytes < s.input_buffer_bytes ? expected_bytes : s.input_buffer_bytes;
  if (end <= bytes_with_pages) return;
  if (take_pages_now(s.input_buffer, s.input_buffer_bytes, bytes_with_pages, end)) bytes_with_pages = end;
}

}  // namespace

void start_input_buffer(uint64_t bytes) {
  RunState& s = run_state;
  s.input_buffer_bytes = bytes > (1u << 20) ? bytes : (1u << 20);
  s.input_buffer = static_cast<char*>(tracked_malloc(s.input_buffer_bytes));
  expected_bytes = 0;
  bytes_with_pages = 0;
}

void expect_input_bytes(uint64_t bytes) {
  expected_bytes = bytes;
  take_expected_pages();
}

char* input_buffer_room(uint64_t filled, uint64_t wanted) {
  RunState& s = run_state;
  if (filled + wanted + 1 > s.input_buffer_bytes) {
    uint64_t grown_bytes = s.input_buffer_bytes * 2;
    if (grown_bytes < filled + wanted + 1) grown_bytes = filled + wanted + 1;
    s.input_buffer = static_cast<char*>(tracked_realloc(s.input_buffer, s.input_buffer_bytes, grown_bytes));
    s.input_buffer_bytes = grown_bytes;
    take_expected_pages();
  }
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
