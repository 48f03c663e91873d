#include "base/run_statistics.h"

#include <ctime>

#ifdef TARNWELL_PHASE_TIMES
#include <cstdio>
#include <cstdlib>
#include <cstring>
#endif

RunStatistics run_statistics;

namespace {

#ifdef TARNWELL_PHASE_TIMES
// Benchmark builds note the peak resident size at the end of every phase and
// write one line per phase (name, seconds, peak kB) to file descriptor 3 at
// exit, when that is open; standard output, standard error and the report stay
// as they are.
long peak_resident_kb() {
  FILE* status = fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long peak = -1;
  while (fgets(line, sizeof line, status) != nullptr) {
    if (strncmp(line, "VmHWM:", 6) == 0) peak = strtol(line + 6, nullptr, 10);
  }
  fclose(status);
  return peak;
}

void write_phase_times() {
  end_phase();
  FILE* out = fdopen(3, "w");
  if (out == nullptr) return;
  const RunStatistics& r = run_statistics;
  for (uint32_t i = 0; i < r.phase_count; ++i)
    fprintf(out, "%s\t%.4f\t%ld\n", phase_name(r.phases[i]), r.phases[i].seconds, r.phases[i].peak_kb);
  fclose(out);
}

// Registered before main, so that it runs after the teardown.
struct PhaseTimesAtExit {
  PhaseTimesAtExit() { atexit(write_phase_times); }
} phase_times_at_exit;
#else
long peak_resident_kb() { return -1; }
#endif

void open_phase(Phase phase, uint32_t distance) {
  RunStatistics& r = run_statistics;
  const double now = monotonic_seconds();
  end_phase();
  if (r.phase_count == 0) r.run_start = now;
  if (r.phase_count == kMaxPhases) return;
  r.phases[r.phase_count++] = {phase, distance, 0, -1};
  r.phase_start = now;
  r.phase_open = true;
}

}  // namespace

double monotonic_seconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void begin_phase(Phase phase) { open_phase(phase, 0); }

void begin_pass(uint32_t distance) { open_phase(Phase::pass, distance); }

void end_pass(uint64_t joins) {
  RunStatistics& r = run_statistics;
  if (!r.phase_open || r.phases[r.phase_count - 1].phase != Phase::pass) return;
  const PhaseTime& pass = r.phases[r.phase_count - 1];
  const double seconds = monotonic_seconds() - r.phase_start;
  if (r.pass_count < kMaxPasses) r.passes[r.pass_count++] = {pass.distance, joins, seconds};
  end_phase();
}

void end_phase() {
  RunStatistics& r = run_statistics;
  if (!r.phase_open) return;
  PhaseTime& time = r.phases[r.phase_count - 1];
  time.seconds = monotonic_seconds() - r.phase_start;
  time.peak_kb = peak_resident_kb();
  r.phase_open = false;
}

const char* phase_name(const PhaseTime& time) {
  static const char* const kNames[] = {"setup", "load",   "parse", "screen", "bucket",   "forest",
                                       "pass",  "assign", "merge", "report", "tables",   "teardown"};
  static_assert(sizeof kNames / sizeof kNames[0] == static_cast<int>(Phase::teardown) + 1, "a name per phase");
  static const char* const kPassNames[] = {"pass 0", "pass 1", "pass 2", "pass 3"};
  if (time.phase == Phase::pass && time.distance < 4) return kPassNames[time.distance];
  return kNames[static_cast<int>(time.phase)];
}
