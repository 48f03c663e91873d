// Threads for the fast engine: work is cut into numbered jobs that run on up to
// run_state.jobs threads. A job neither allocates tracked memory nor ends the
// run, so only the calling thread ever touches the allocation count or exits;
// when it does so while helpers run, stop_workers() stops them first.
#pragma once

#include <cstdint>

#include "base/function_ref.h"

// The most threads a phase runs, whatever --jobs asks for: every array kept
// per worker or per result slot is sized from this.
constexpr uint32_t kMaxWorkers = 256;
constexpr uint32_t kMaxOrderedSlots = 2 * kMaxWorkers;  // see ordered_slot_count()

// The most workers whose scratch (sized by the input) is held in full at
// once, whatever --jobs asks for. Past it, a phase gives each worker a share
// of what this many would hold, or runs on this many: the memory a run takes
// stays as on this many cores, and does not grow with them.
constexpr uint32_t kMaxScratchWorkers = 3;

// Lets the helper threads of the running threaded phase, if any, finish the
// jobs they hold, hands out no further job, and waits for them, and stops
// every thread a StopOnRunEnd guards: the run may then end and release its
// memory. Called on the way out of every failure.
void stop_workers();

// Guards a thread a phase runs beside the workers (the loader's reader and
// its inflating helpers): while the guard lives, stop_workers() calls stop,
// which must end that thread and wait for it, and may be called again.
// Guards are made and ended on the main thread, innermost first; stop is
// held by reference, so it must be a named callable that outlives the guard.
class StopOnRunEnd {
 public:
  explicit StopOnRunEnd(FunctionRef<void()> stop);
  ~StopOnRunEnd();
  StopOnRunEnd(const StopOnRunEnd&) = delete;
  StopOnRunEnd& operator=(const StopOnRunEnd&) = delete;

 private:
  friend void stop_workers();
  FunctionRef<void()> stop_;
  StopOnRunEnd* outer_;
};

// Threads the fast engine uses: run_state.jobs, capped at kMaxWorkers.
[[nodiscard]] uint32_t worker_count();

// Workers for job_count jobs that each hold a full worker's scratch: no more
// than the jobs, worker_count() or kMaxScratchWorkers.
[[nodiscard]] uint32_t scratch_workers(uint64_t job_count);

// The scratch items each of workers gets when each would take wanted: all of
// them up to kMaxScratchWorkers workers, and past that a share that keeps the
// total at what kMaxScratchWorkers would take.
[[nodiscard]] uint64_t scratch_share(uint64_t wanted, uint32_t workers);

// Jobs for items to be handled in jobs of about items_per_job, from 1 to
// max_jobs: small inputs run on the calling thread alone.
[[nodiscard]] uint64_t job_count_for(uint64_t items, uint64_t items_per_job, uint64_t max_jobs);

// The first of count things (buckets, records) that job j of jobs covers.
[[nodiscard]] inline uint64_t job_begin(uint64_t j, uint64_t jobs, uint64_t count) { return count * j / jobs; }

// Runs work(job, worker) for every job from 0 to job_count - 1 on the workers,
// the calling thread among them, and returns when all are done. worker (0 to
// worker_count() - 1) names the thread, for per-thread scratch; no two jobs
// run with the same worker at once. Jobs must not depend on each other.
// At most max_workers threads run (worker below it): a phase whose scratch
// is per worker sizes it for those.
// Memory a job or the threads' start-up cannot get from the C++ library ends
// the run with the out-of-memory message, once every helper has stopped.
void run_jobs(uint64_t job_count, FunctionRef<void(uint64_t job, uint32_t worker)> work,
              uint32_t max_workers = kMaxWorkers);

// The number of result slots that keeps every worker of run_jobs_in_order busy.
[[nodiscard]] uint32_t ordered_slot_count();

// Runs produce(job, slot) for every job on worker threads, and consume(job,
// slot) on the calling thread strictly in job order. A slot (0 to
// ordered_slot_count() - 1) passes to a new job only after the job that held
// it has been consumed, so produce may leave its result in the slot. With one
// worker, produce and consume alternate on the calling thread. Memory runs
// out as in run_jobs.
void run_jobs_in_order(uint64_t job_count, FunctionRef<void(uint64_t job, uint32_t slot)> produce,
                       FunctionRef<void(uint64_t job, uint32_t slot)> consume);
