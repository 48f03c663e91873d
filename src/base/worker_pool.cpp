#include "base/worker_pool.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/run_state.h"

namespace {

constexpr uint32_t kMaxWorkers = 256;

// Starts up to wanted threads running body; fewer when the system refuses
// more, which only costs speed. Returns how many started.
uint32_t start_threads(std::thread* threads, uint32_t wanted, const std::function<void()>& body) {
  uint32_t started = 0;
  try {
    for (; started < wanted; ++started) threads[started] = std::thread(body);
  } catch (const std::system_error&) {
  }
  return started;
}

void join_threads(std::thread* threads, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) threads[i].join();
}

}  // namespace

uint32_t worker_count() {
  const uint32_t jobs = run_state.jobs;
  if (jobs == 0) return 1;
  return jobs < kMaxWorkers ? jobs : kMaxWorkers;
}

uint64_t job_count_for(uint64_t items, uint64_t items_per_job, uint64_t max_jobs) {
  const uint64_t jobs = items / items_per_job;
  return jobs < 1 ? 1 : (jobs > max_jobs ? max_jobs : jobs);
}

void run_jobs(uint64_t job_count, const std::function<void(uint64_t job, uint32_t worker)>& work) {
  const uint64_t wanted = worker_count();
  if (wanted <= 1 || job_count <= 1) {
    for (uint64_t job = 0; job < job_count; ++job) work(job, 0);
    return;
  }
  std::atomic<uint64_t> next_job{0};
  std::atomic<uint32_t> next_worker{0};
  const std::function<void()> body = [&] {
    const uint32_t worker = next_worker.fetch_add(1, std::memory_order_relaxed);
    for (uint64_t job; (job = next_job.fetch_add(1, std::memory_order_relaxed)) < job_count;) work(job, worker);
  };
  std::thread threads[kMaxWorkers];
  const uint64_t helpers = (wanted < job_count ? wanted : job_count) - 1;
  const uint32_t started = start_threads(threads, static_cast<uint32_t>(helpers), body);
  body();
  join_threads(threads, started);
}

uint32_t ordered_slot_count() {
  const uint32_t workers = worker_count();
  return workers <= 1 ? 1 : 2 * workers;
}

void run_jobs_in_order(uint64_t job_count, const std::function<void(uint64_t job, uint32_t slot)>& produce,
                       const std::function<void(uint64_t job, uint32_t slot)>& consume) {
  const uint32_t slot_count = ordered_slot_count();
  const auto run_alone = [&] {
    for (uint64_t job = 0; job < job_count; ++job) {
      produce(job, 0);
      consume(job, 0);
    }
  };
  if (slot_count == 1 || job_count <= 1) return run_alone();

  // The calling thread consumes; the workers produce. Job j goes to slot
  // j % slot_count and is handed out only once the job before it in that
  // slot has been consumed.
  std::mutex lock;
  std::condition_variable job_free;   // producers wait here for a job they may take
  std::condition_variable job_ready;  // the consumer waits here for the next result
  uint64_t next_job = 0;
  uint64_t consumed = 0;
  uint64_t ready_up_to = 0;             // the consumer waits while job ready_up_to is not produced
  bool produced[2 * kMaxWorkers] = {};  // per slot: its job's result is there

  const std::function<void()> body = [&] {
    std::unique_lock<std::mutex> held(lock);
    for (;;) {
      job_free.wait(held, [&] { return next_job == job_count || next_job < consumed + slot_count; });
      if (next_job == job_count) return;
      const uint64_t job = next_job++;
      const uint32_t slot = static_cast<uint32_t>(job % slot_count);
      held.unlock();
      produce(job, slot);
      held.lock();
      produced[slot] = true;
      if (job == ready_up_to) job_ready.notify_one();
    }
  };
  std::thread threads[kMaxWorkers];
  const uint64_t producers = job_count < worker_count() ? job_count : worker_count();
  const uint32_t started = start_threads(threads, static_cast<uint32_t>(producers), body);
  if (started == 0) return run_alone();

  for (uint64_t job = 0; job < job_count; ++job) {
    const uint32_t slot = static_cast<uint32_t>(job % slot_count);
    {
      std::unique_lock<std::mutex> held(lock);
      ready_up_to = job;
      job_ready.wait(held, [&] { return produced[slot]; });
    }
    consume(job, slot);
    {
      std::lock_guard<std::mutex> held(lock);
      produced[slot] = false;
      consumed = job + 1;
    }
    job_free.notify_one();
  }
  // Producers that found no job left may still wait for one.
  job_free.notify_all();
  join_threads(threads, started);
}
