// Messages on standard error and the one way a phase ends the run: print a
// message and exit with a fixed status.
#pragma once

// Exit statuses of the whole run.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;         // command line, files, template, input, no match
constexpr int kExitMallocFailure = 10;  // tracked_malloc found no memory
constexpr int kExitCallocFailure = 11;  // tracked_calloc found no memory

// Writes the formatted message to standard error.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes the formatted message to standard error and ends the process.
[[noreturn]] void fail(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A line fail prints after every message while it is set (null: none), to
// say which of several inputs the failure concerns. The text must outlive it.
void set_failure_note(const char* note);

// Memory the C library, the C++ library or a decompressor could not get,
// of a size they do not tell: "Error: can't allocate memory" and status 10.
// The places that own such an allocation call it; a block of a known size
// fails in tracked_malloc with that size instead.
[[noreturn]] void fail_out_of_memory();

// Ends the process with the status; every failure path comes through here.
[[noreturn]] void end_run(int status);

#ifdef TARNWELL_FUZZING
// Fuzz targets run many inputs in one process, so there end_run throws this
// instead of exiting; the target catches it and releases the run itself.
struct RunEnded {
  int status;
};
#endif
