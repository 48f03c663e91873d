#include "run/worker_pool.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "run/run_state.h"

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

  // The calling thread consumes; the workers produce, each job into slot job %
  // slot_count once the job that held that slot before has been consumed.
  std::mutex lock;
  std::condition_variable changed;
  uint64_t next_job = 0;
  uint64_t consumed = 0;
  uint64_t produced_job[2 * kMaxWorkers];  // per slot: the job whose result it holds, or ~0
  for (uint32_t slot = 0; slot < slot_count; ++slot) produced_job[slot] = ~0ull;

  const std::function<void()> body = [&] {
    for (;;) {
      uint64_t job;
      {
        std::unique_lock<std::mutex> held(lock);
        if (next_job == job_count) return;
        job = next_job++;
        changed.wait(held, [&] { return job < consumed + slot_count; });
      }
      const uint32_t slot = static_cast<uint32_t>(job % slot_count);
      produce(job, slot);
      {
        std::lock_guard<std::mutex> held(lock);
        produced_job[slot] = job;
      }
      changed.notify_all();
    }
  };
  std::thread threads[kMaxWorkers];
  const uint32_t started = start_threads(threads, worker_count(), body);
  if (started == 0) return run_alone();

  for (uint64_t job = 0; job < job_count; ++job) {
    const uint32_t slot = static_cast<uint32_t>(job % slot_count);
    {
      std::unique_lock<std::mutex> held(lock);
      changed.wait(held, [&] { return produced_job[slot] == job; });
    }
    consume(job, slot);
    {
      std::lock_guard<std::mutex> held(lock);
      consumed = job + 1;
    }
    changed.notify_all();
  }
  join_threads(threads, started);
}
