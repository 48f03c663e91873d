// The command line: reads the options into run_state (input_path, output_path,
// distance_text, distance, template_text, remove_duplicates, show_version,
// show_help, jobs), prints the version and usage texts, and refuses what is wrong.
#pragma once

#include <cstdint>

// The version the -v text and the page name.
inline constexpr const char* kToolVersion = TARNWELL_VERSION;  // project(tarnwell VERSION ...)

// The whole command-line step; returns only when the run may proceed.
void process_options(int argc, char** argv);

// The option scan; returns when the scan ended cleanly, otherwise exits.
void parse_options(int argc, char** argv);

// Strict decimal parse of 0..2147483647; on failure prints
// "Can't parse <name> ("<text>")" and exits with 1.
[[nodiscard]] uint32_t parse_uint(const char* text, const char* name);

void print_version();
void print_usage();
void print_use_help();
