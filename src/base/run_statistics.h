// How long each phase of the run took and how many clusters each distance pass
// joined: one record that the --stats file and the benchmark timings both read.
// The driver and the engines name every phase explicitly as it begins, so
// rewording a progress line changes no figure. Sets run_statistics.
#pragma once

#include <cstdint>

// The phases of a run, in run order. Passes are phases too, one per distance.
enum class Phase : uint8_t { setup, load, parse, screen, bucket, forest, pass, assign, merge, report, tables, teardown };

constexpr uint32_t kMaxPhases = 24;
constexpr uint32_t kMaxPasses = 4;  // distances 0 to 3

struct PhaseTime {
  Phase phase;
  uint32_t distance;  // the pass's exact distance; 0 for other phases
  double seconds;     // wall-clock time from its start to the next phase's
  long peak_kb;       // the process's peak resident size when it ended; benchmark builds only, else -1
};

struct PassRecord {
  uint32_t distance;  // the pass's exact distance
  uint64_t joins;     // merges the pass reported
  double seconds;     // from its start to the end of its joins
};

struct RunStatistics {
  double run_start;              // monotonic seconds when the setup phase began
  double phase_start;            // monotonic seconds when the open phase began
  bool phase_open;               // a phase is running
  PhaseTime phases[kMaxPhases];  // finished phases in run order, the open one last while it runs
  uint32_t phase_count;          // finished phases, and the open one
  PassRecord passes[kMaxPasses];  // finished distance passes in run order
  uint32_t pass_count;
  double decompress_seconds;  // reading and inflating a compressed input; 0 otherwise
};

extern RunStatistics run_statistics;

// Seconds on the monotonic clock.
[[nodiscard]] double monotonic_seconds();

// Ends the open phase now, if any, and opens `phase`.
void begin_phase(Phase phase);

// Ends the open phase now, if any, and opens the distance pass for d.
void begin_pass(uint32_t distance);

// Records the joins of the open distance pass and ends it.
void end_pass(uint64_t joins);

// Ends the open phase now, if any.
void end_phase();

// The phase's name in the stats file and the benchmark timings ("load", "pass 1", ...).
[[nodiscard]] const char* phase_name(const PhaseTime& time);
