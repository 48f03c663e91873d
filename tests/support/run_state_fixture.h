// A fixture that gives every unit test a zeroed RunState and checks, after
// the teardown, that every tracked byte came back.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "base/run_state.h"

void reset_run_state();

// Compiles the template into run_state (as -t would).
void use_template(const char* template_text);

// Copies text into a tracked input buffer with its closing NUL, as the loader would.
void use_input(const std::string& text);

// Compiles the template, loads the text and parses it into the record table.
void parse_input(const char* template_text, const std::string& fasta);

class RunStateTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};
