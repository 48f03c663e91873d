#include "base/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "base/worker_pool.h"


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
