// What the --stats file reports besides the run's counts: how long each phase
// took and how many clusters each distance pass joined. The phases mark their
// start with start_phase, or are recognised by the progress line they open
// with (every progress line passes through say), so the clustering phases
// need no hook of their own. Sets run_statistics.
#pragma once

#include <cstdarg>
#include <cstdint>

constexpr uint32_t kMaxPhases = 16;
constexpr uint32_t kMaxPasses = 4;  // distances 0 to 3

struct PhaseTime {
  const char* name;  // "load", "parse", "screen", ...; a string literal
  double seconds;    // wall-clock time from its start to the next phase's
};

struct PassRecord {
  uint32_t distance;  // the pass's exact distance
  uint64_t joins;     // merges the pass reported
  double seconds;     // from its opening progress line to its closing one
};

struct RunStatistics {
  double run_start;              // monotonic seconds when the output files were created
  double last_message;           // monotonic seconds of the latest progress line
  double phase_start;            // monotonic seconds when the open phase began
  const char* open_phase;        // the phase still running, or null
  PhaseTime phases[kMaxPhases];  // finished phases in run order
  uint32_t phase_count;
  PassRecord passes[kMaxPasses];  // finished distance passes in run order
  uint32_t pass_count;
  double pass_start;          // monotonic seconds when the running pass began
  double decompress_seconds;  // reading and inflating a gzip input; 0 otherwise
};

extern RunStatistics run_statistics;

// Seconds on the monotonic clock.
[[nodiscard]] double monotonic_seconds();

// Ends the open phase at `at` (when one is open) and opens `name` at `at`.
void start_phase(const char* name, double at);

// Ends the open phase at `at`, if any.
void end_phase(double at);

// Called by say with every message: opens the phase that a known progress
// line begins, and records the distance and joins of each distance pass.
void note_progress(const char* format, va_list args);
