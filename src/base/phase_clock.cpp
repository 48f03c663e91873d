#include "base/phase_clock.h"

#ifdef TARNWELL_PHASE_TIMES
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMaxPhases = 64;

struct PhaseMark {
  const char* name;
  double seconds;  // since the previous mark
  long peak_kb;    // the process's peak resident size when the phase ended
};

PhaseMark marks[kMaxPhases];
int mark_count = 0;
double last_time = -1;

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

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

void write_marks() {
  FILE* out = fdopen(3, "w");
  if (out == nullptr) return;
  for (int i = 0; i < mark_count; ++i)
    fprintf(out, "%s\t%.4f\t%ld\n", marks[i].name, marks[i].seconds, marks[i].peak_kb);
  fclose(out);
}

// The clock starts with the process, before main.
struct ClockStart {
  ClockStart() {
    last_time = now();
    atexit(write_marks);
  }
} clock_start;

}  // namespace

void mark_phase(const char* name) {
  const double time = now();
  if (mark_count < kMaxPhases) marks[mark_count++] = {name, time - last_time, peak_resident_kb()};
  last_time = time;
}
#endif
