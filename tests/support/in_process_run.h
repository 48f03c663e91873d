// One engine run in this process, as the binary would make it: the run state
// zeroed and set, the template compiled, the input in a tracked buffer with
// its closing NUL; then the engine, with standard output, standard error and
// the report captured, and the teardown, which must leave no tracked byte.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "barcode/barcode_template.h"
#include "base/run_state.h"
#include "base/tracked_memory.h"
#include "run/teardown.h"

struct InProcessOutput {
  std::string out, err, report;
  std::string page;    // what the caller noted after the engine, before the teardown
  int64_t bytes_left;  // tracked bytes after the teardown
};

// `settle` sets the options before the template is compiled.
template <typename Settle>
void start_run(uint32_t jobs, const char* template_text, const std::string& input, Settle settle) {
  RunState& s = run_state;
  memset(&s, 0, sizeof s);
  s.jobs = jobs;
  s.template_text = template_text;
  settle(s);
  prepare_template();
  s.input_size = input.size();
  s.input_buffer_bytes = input.size() + 1;
  s.input_buffer = static_cast<char*>(tracked_malloc(s.input_buffer_bytes));
  memcpy(s.input_buffer, input.c_str(), s.input_buffer_bytes);
}

// Runs the engine on the started run; `noted` reads what it left before the teardown.
template <typename Noted>
InProcessOutput finish_run(void (*engine)(), Noted noted) {
  RunState& s = run_state;
  // The report closes its stream when it is complete; a memory stream keeps the bytes.
  char* report = nullptr;
  size_t report_size = 0;
  s.output_file = open_memstream(&report, &report_size);
  InProcessOutput output;
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  engine();
  output.out = ::testing::internal::GetCapturedStdout();
  output.err = ::testing::internal::GetCapturedStderr();
  output.page = noted();
  release_all();
  output.report.assign(report, report_size);
  free(report);
  output.bytes_left = s.bytes_allocated;
  memset(&s, 0, sizeof s);
  return output;
}
