#include "base/run_statistics.h"

#include <cstring>
#include <ctime>

RunStatistics run_statistics;

namespace {

// The opening lines of the phases after the parse, exactly as they print them.
struct PhaseOpening {
  const char* format;
  const char* phase;
};
constexpr PhaseOpening kPhaseOpenings[] = {
    {"Converting barcodes to binary form\n", "screen"},
    {"Sorting ..", "bucket"},
    {"Creating clusters ..", "forest"},
};
constexpr char kPassOpening[] = "Clustering with distance %u ..";
constexpr char kPassClosing[] = " OK, %llu joined\n";

}  // namespace

double monotonic_seconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void end_phase(double at) {
  RunStatistics& r = run_statistics;
  if (r.open_phase == nullptr) return;
  if (r.phase_count < kMaxPhases) r.phases[r.phase_count++] = {r.open_phase, at - r.phase_start};
  r.open_phase = nullptr;
}

void start_phase(const char* name, double at) {
  RunStatistics& r = run_statistics;
  end_phase(at);
  r.open_phase = name;
  r.phase_start = at;
}

void note_progress(const char* format, va_list args) {
  RunStatistics& r = run_statistics;
  const double now = monotonic_seconds();
  r.last_message = now;
  for (const PhaseOpening& opening : kPhaseOpenings) {
    if (strcmp(format, opening.format) == 0) start_phase(opening.phase, now);
  }
  if (strcmp(format, kPassOpening) == 0) {
    end_phase(now);
    if (r.pass_count < kMaxPasses) r.passes[r.pass_count].distance = va_arg(args, unsigned);
    r.pass_start = now;
  } else if (strcmp(format, kPassClosing) == 0 && r.pass_count < kMaxPasses) {
    PassRecord& pass = r.passes[r.pass_count++];
    pass.joins = va_arg(args, unsigned long long);
    pass.seconds = now - r.pass_start;
  }
}
