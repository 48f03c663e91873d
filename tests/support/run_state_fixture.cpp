#include "support/run_state_fixture.h"

#include <cstring>

#include "barcode/barcode_template.h"
#include "input/fasta_parser.h"
#include "base/tracked_memory.h"
#include "run/teardown.h"

void reset_run_state() { memset(&run_state, 0, sizeof run_state); }

void use_template(const char* template_text) {
  run_state.template_text = template_text;
  prepare_template();
}

void use_input(const std::string& text) {
  RunState& s = run_state;
  s.input_size = text.size();
  s.input_buffer_bytes = text.size() + 1;
  s.input_buffer = static_cast<char*>(tracked_malloc(s.input_buffer_bytes));
  memcpy(s.input_buffer, text.data(), text.size());
  s.input_buffer[text.size()] = '\0';
}

void parse_input(const char* template_text, const std::string& fasta) {
  use_template(template_text);
  use_input(fasta);
  parse_fasta(run_state.input_buffer, run_state.input_size);
}

void RunStateTest::SetUp() { reset_run_state(); }

void RunStateTest::TearDown() {
  release_all();
  EXPECT_EQ(run_state.bytes_allocated, 0);
  reset_run_state();
}
