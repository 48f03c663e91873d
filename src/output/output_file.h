// Creates the report file (run_state.output_file) before any other phase, so
// a run that fails later leaves an empty file behind.
#pragma once

#include <cstdio>

// Refuses an output path (report or table) that is standard output, and a
// report path that names the input file, then creates or
// truncates the output file; exits with 1 when either fails. A closed
// standard stream is first given /dev/null, so the report cannot take its place.
void create_output_file();

// Creates (or truncates) an output file for writing; a failure ends the run:
// "Can't create output file", or the out-of-memory message when the C library
// had no memory for the stream.
[[nodiscard]] FILE* create_file(const char* path);

// True when the path names the same regular file as the input (standard
// input for "-"), through any link.
[[nodiscard]] bool output_is_input(const char* input_path, const char* output_path);

// True when the path names the open file standard output writes to (a
// regular file, pipe or socket): the count line would land in that output.
// Devices such as a terminal or /dev/null share no bytes and pass.
[[nodiscard]] bool output_is_standard_output(const char* output_path);

// Flushes and closes *file and nulls it; a write the file did not take, a
// late one that only the close reports included, ends the run with 1.
void close_output(FILE** file, const char* path);
