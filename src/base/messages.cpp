#include "base/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "base/worker_pool.h"

namespace {
const char* failure_note = nullptr;
}  // namespace

void set_failure_note(const char* note) { failure_note = note; }

void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
}

void fail(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  if (failure_note != nullptr) fputs(failure_note, stderr);
  end_run(status);
}

void fail_out_of_memory() { fail(kExitMallocFailure, "Error: can't allocate memory\n"); }

void end_run(int status) {
  stop_workers();
#ifdef TARNWELL_FUZZING
  throw RunEnded{status};
#else
  exit(status);
#endif
}
