// Phase timings for benchmarks. Built with TARNWELL_PHASE_TIMES, the tool
// notes when each phase ends and, at exit, writes one line per phase (name,
// seconds, peak resident kilobytes so far) to file descriptor 3 when that is
// open; standard output, standard error and the report stay as they are.
// Without it, mark_phase compiles to nothing.
#pragma once

#include <cstdint>

#ifdef TARNWELL_PHASE_TIMES
// Ends the phase called name (a string literal) now.
void mark_phase(const char* name);
#else
inline void mark_phase(const char*) {}
#endif

// The phase name of the distance pass for d.
inline const char* pass_phase_name(uint32_t d) {
  static const char* const kNames[] = {"pass 0", "pass 1", "pass 2", "pass 3"};
  return d < 4 ? kNames[d] : "pass";
}
