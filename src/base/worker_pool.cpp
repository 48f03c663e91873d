#include "base/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/size_thresholds.h"

namespace {

// The guards of threads beside the workers, innermost first.
StopOnRunEnd* innermost_guard = nullptr;

// The helper threads of one threaded phase. A failure on the calling thread
// (an allocation the consumer makes, or a fuzzing build's exception) must not
// end the process or unwind the phase while helpers still read the memory the
// teardown is about to release: stop() hands out no further job, wakes every
// waiting helper and joins them all, and runs from stop_workers() and from the
// destructor alike. A helper's exception stops the crew and is thrown again on
// the calling thread once every helper is joined.
class Crew {
 public:
  Crew(std::mutex* lock, std::condition_variable* wake, std::condition_variable* wake_too)
      : lock_(lock), wake_{wake, wake_too}, owner_(std::this_thread::get_id()) {
    previous_ = running_;
    running_ = this;
  }
  ~Crew() {
    stop();
    running_ = previous_;
  }
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;

  // Starts up to wanted threads running body; fewer when the system refuses
  // more (no thread, or no memory for its stack or its state), which only
  // costs speed. Returns how many started. body must outlive the crew.
  uint32_t start(uint32_t wanted, FunctionRef<void()> body) {
    body_ = body;
    try {
      for (; started_ < wanted; ++started_) threads_[started_] = std::thread([this] { run_helper(); });
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    return started_;
  }

  [[nodiscard]] bool stopping() const { return stopping_.load(std::memory_order_acquire); }

  void stop() {
    raise_stop();
    if (std::this_thread::get_id() != owner_) return;  // a helper cannot join itself
    join();
  }

  // Waits for the helpers to run out of jobs, then passes on a helper's exception.
  void finish() {
    join();
    if (failure_ != nullptr) std::rethrow_exception(failure_);
  }

  static Crew* running() { return running_; }

 private:
  void run_helper() {
    try {
      (*body_)();
    } catch (...) {
      {
        std::lock_guard<std::mutex> held(failure_lock_);
        if (failure_ == nullptr) failure_ = std::current_exception();
      }
      raise_stop();
    }
  }

  void raise_stop() {
    stopping_.store(true, std::memory_order_release);
    if (lock_ != nullptr) {
      // Under the lock, so that no waiter checks its condition between the flag and the wake-up.
      std::lock_guard<std::mutex> held(*lock_);
      for (std::condition_variable* waiters : wake_) waiters->notify_all();
    }
  }

  void join() {
    for (uint32_t i = 0; i < started_; ++i) {
      if (threads_[i].joinable()) threads_[i].join();
    }
  }

  // The crew of the phase running now: phases run on the main thread only.
  static inline Crew* running_ = nullptr;
  Crew* previous_;
  std::mutex* lock_;               // the waits of ordered jobs, or null
  std::condition_variable* wake_[2];  // the waits notified on stop
  std::thread::id owner_;
  std::atomic<bool> stopping_{false};
  std::mutex failure_lock_;
  std::exception_ptr failure_;
  std::optional<FunctionRef<void()>> body_;
  std::thread threads_[kMaxWorkers];
  uint32_t started_ = 0;
};

}  // namespace

void stop_workers() {
  if (Crew* crew = Crew::running()) crew->stop();
  for (StopOnRunEnd* guard = innermost_guard; guard != nullptr; guard = guard->outer_) guard->stop_();
}

StopOnRunEnd::StopOnRunEnd(FunctionRef<void()> stop) : stop_(stop), outer_(innermost_guard) { innermost_guard = this; }

StopOnRunEnd::~StopOnRunEnd() { innermost_guard = outer_; }

uint32_t worker_count() {
  const uint32_t jobs = run_state.jobs;
  if (jobs == 0) return 1;
  return jobs < kMaxWorkers ? jobs : kMaxWorkers;
}

uint32_t scratch_workers(uint64_t job_count) {
  const uint64_t workers = std::min<uint64_t>({worker_count(), job_count, kMaxScratchWorkers});
  return workers < 1 ? 1 : static_cast<uint32_t>(workers);
}

uint64_t scratch_share(uint64_t wanted, uint32_t workers) {
  return workers <= kMaxScratchWorkers ? wanted : wanted * kMaxScratchWorkers / workers;
}

uint64_t job_count_for(uint64_t items, uint64_t items_per_job, uint64_t max_jobs) {
  if (size_thresholds.items_per_job != 0) items_per_job = size_thresholds.items_per_job;
  const uint64_t jobs = items / items_per_job;
  return jobs < 1 ? 1 : (jobs > max_jobs ? max_jobs : jobs);
}

void run_jobs(uint64_t job_count, FunctionRef<void(uint64_t job, uint32_t worker)> work, uint32_t max_workers) {
  const uint64_t wanted = std::min(worker_count(), max_workers);
  try {
    if (wanted <= 1 || job_count <= 1) {
      for (uint64_t job = 0; job < job_count; ++job) work(job, 0);
      return;
    }
    std::atomic<uint64_t> next_job{0};
    std::atomic<uint32_t> next_worker{0};
    const Crew* running = nullptr;
    const auto body = [&] {
      const uint32_t worker = next_worker.fetch_add(1, std::memory_order_relaxed);
      for (uint64_t job; !running->stopping() && (job = next_job.fetch_add(1, std::memory_order_relaxed)) < job_count;) {
        work(job, worker);
      }
    };
    Crew crew(nullptr, nullptr, nullptr);  // after body: the helpers are joined before body goes
    running = &crew;
    const uint64_t helpers = (wanted < job_count ? wanted : job_count) - 1;
    crew.start(static_cast<uint32_t>(helpers), body);
    body();
    crew.finish();
  } catch (const std::bad_alloc&) {
    fail_out_of_memory();  // the crew, if any, has joined its helpers on the way here
  }
}

uint32_t ordered_slot_count() {
  const uint32_t workers = worker_count();
  return workers <= 1 ? 1 : 2 * workers;
}

namespace {

void run_ordered_jobs(uint64_t job_count, FunctionRef<void(uint64_t job, uint32_t slot)> produce,
                      FunctionRef<void(uint64_t job, uint32_t slot)> consume) {
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
  bool produced[kMaxOrderedSlots] = {};  // per slot: its job's result is there

  const Crew* running = nullptr;
  const auto body = [&] {
    std::unique_lock<std::mutex> held(lock);
    for (;;) {
      job_free.wait(held, [&] { return running->stopping() || next_job == job_count || next_job < consumed + slot_count; });
      if (running->stopping() || next_job == job_count) return;
      const uint64_t job = next_job++;
      const uint32_t slot = static_cast<uint32_t>(job % slot_count);
      held.unlock();
      produce(job, slot);
      held.lock();
      produced[slot] = true;
      if (job == ready_up_to) job_ready.notify_one();
    }
  };
  Crew crew(&lock, &job_free, &job_ready);  // after body: the helpers are joined before body goes
  running = &crew;
  const uint64_t producers = job_count < worker_count() ? job_count : worker_count();
  if (crew.start(static_cast<uint32_t>(producers), body) == 0) return run_alone();

  for (uint64_t job = 0; job < job_count; ++job) {
    const uint32_t slot = static_cast<uint32_t>(job % slot_count);
    {
      std::unique_lock<std::mutex> held(lock);
      ready_up_to = job;
      job_ready.wait(held, [&] { return produced[slot] || crew.stopping(); });
      if (!produced[slot]) break;  // a producer failed; finish() passes its exception on
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
  {
    std::lock_guard<std::mutex> held(lock);
    job_free.notify_all();
  }
  crew.finish();
}

}  // namespace

void run_jobs_in_order(uint64_t job_count, FunctionRef<void(uint64_t job, uint32_t slot)> produce,
                       FunctionRef<void(uint64_t job, uint32_t slot)> consume) {
  try {
    run_ordered_jobs(job_count, produce, consume);
  } catch (const std::bad_alloc&) {
    fail_out_of_memory();  // the crew, if any, has joined its helpers on the way here
  }
}
