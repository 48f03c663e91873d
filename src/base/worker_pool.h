// Threads for the fast engine: work is cut into numbered jobs that run on up to
// run_state.jobs threads. A job neither allocates tracked memory nor ends the
// run, so only the calling thread ever touches the allocation count or exits;
// when it does so while helpers run, stop_workers() stops them first.
#pragma once

#include <cstdint>
#include <functional>

// Lets the helper threads of the running threaded phase, if any, finish the
// jobs they hold, hands out no further job, and waits for them: the run may
// then end and release its memory. Called on the way out of every failure.
void stop_workers();

// Threads the fast engine uses: run_state.jobs, capped at 256.
[[nodiscard]] uint32_t worker_count();

// Jobs for items to be handled in jobs of about items_per_job, from 1 to
// max_jobs: small inputs run on the calling thread alone.
[[nodiscard]] uint64_t job_count_for(uint64_t items, uint64_t items_per_job, uint64_t max_jobs);

// The first of count things (buckets, records) that job j of jobs covers.
[[nodiscard]] inline uint64_t job_begin(uint64_t j, uint64_t jobs, uint64_t count) { return count * j / jobs; }

// Runs work(job, worker) for every job from 0 to job_count - 1 on the workers,
// the calling thread among them, and returns when all are done. worker (0 to
// worker_count() - 1) names the thread, for per-thread scratch; no two jobs
// run with the same worker at once. Jobs must not depend on each other.
void run_jobs(uint64_t job_count, const std::function<void(uint64_t job, uint32_t worker)>& work);

// The number of result slots that keeps every worker of run_jobs_in_order busy.
[[nodiscard]] uint32_t ordered_slot_count();

// Runs produce(job, slot) for every job on worker threads, and consume(job,
// slot) on the calling thread strictly in job order. A slot (0 to
// ordered_slot_count() - 1) passes to a new job only after the job that held
// it has been consumed, so produce may leave its result in the slot. With one
// worker, produce and consume alternate on the calling thread.
void run_jobs_in_order(uint64_t job_count, const std::function<void(uint64_t job, uint32_t slot)>& produce,
                       const std::function<void(uint64_t job, uint32_t slot)>& consume);
