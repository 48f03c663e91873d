// Creates the report file (run_state.output_file) before any other phase, so
// a run that fails later leaves an empty file behind.
#pragma once

// Refuses an output path that names the input file, then creates or
// truncates the output file; exits with 1 when either fails. A closed
// standard stream is first given /dev/null, so the report cannot take its place.
void create_output_file();

// True when the path names the same regular file as the input (standard
// input for "-"), through any link.
[[nodiscard]] bool output_is_input(const char* input_path, const char* output_path);
