// A failure on the calling thread of a threaded phase: the helpers must be
// stopped before the process ends (and its memory is released) or before an
// exception unwinds past them, and a helper's exception reaches the caller.
#include "base/worker_pool.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <thread>

#include "base/messages.h"
#include "base/run_state.h"

namespace {

// Memory the helpers read, unmapped by an exit handler as the teardown releases blocks.
volatile unsigned char* shared_block;
void unmap_shared_block() {
  munmap(const_cast<unsigned char*>(shared_block), 1 << 20);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

void fail_while_helpers_read(bool ordered) {
  run_state.jobs = 3;
  shared_block = static_cast<unsigned char*>(
      mmap(nullptr, 1 << 20, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  atexit(unmap_shared_block);
  const auto read_slowly = [] {
    for (int i = 0; i < 50; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      if (shared_block[i * 4096] != 0) abort();
    }
  };
  if (ordered) {
    run_jobs_in_order(
        64, [&](uint64_t, uint32_t) { read_slowly(); },
        [](uint64_t job, uint32_t) {
          if (job == 1) fail(kExitMallocFailure, "Error: can't allocate %zu bytes\n", size_t{12345});
        });
  } else {
    // Jobs never fail; the calling thread's job stands for a failure between them.
    const std::thread::id caller = std::this_thread::get_id();
    run_jobs(64, [&](uint64_t, uint32_t) {
      if (std::this_thread::get_id() != caller) return read_slowly();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      fail(kExitMallocFailure, "Error: can't allocate %zu bytes\n", size_t{12345});
    });
  }
}

TEST(WorkerPoolDeathTest, FailureStopsHelpersBeforeTheRunEnds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const bool ordered : {true, false}) {
    SCOPED_TRACE(ordered);
    EXPECT_EXIT(fail_while_helpers_read(ordered), testing::ExitedWithCode(kExitMallocFailure),
                "^Error: can't allocate 12345 bytes\n$");
  }
}

// Memory the C++ library could not give a job, on a helper or the calling
// thread: the run ends with the message, not with std::terminate.
TEST(WorkerPoolDeathTest, MemoryAJobCannotGetEndsTheRunWithTheMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto run_out = [](bool ordered) {
    run_state.jobs = 3;
    const auto job = [](uint64_t job, uint32_t) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (job == 7) throw std::bad_alloc();
    };
    if (ordered) {
      run_jobs_in_order(64, job, [](uint64_t, uint32_t) {});
    } else {
      run_jobs(64, job);
    }
  };
  for (const bool ordered : {true, false}) {
    SCOPED_TRACE(ordered);
    EXPECT_EXIT(run_out(ordered), testing::ExitedWithCode(kExitMallocFailure), "^Error: can't allocate memory\n$");
  }
}

TEST(WorkerPool, ExceptionsReachTheCallerWithEveryHelperJoined) {
  run_state.jobs = 3;
  std::atomic<int> done{0};
  const auto busy = [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ++done;
  };
  // Thrown by the consumer, by a producer, by the calling thread's own job, by a helper's.
  EXPECT_THROW(run_jobs_in_order(
                   64, [&](uint64_t, uint32_t) { busy(); },
                   [](uint64_t job, uint32_t) {
                     if (job == 3) throw std::runtime_error("consumer");
                   }),
               std::runtime_error);
  EXPECT_THROW(run_jobs_in_order(
                   64,
                   [&](uint64_t job, uint32_t) {
                     busy();
                     if (job == 5) throw std::runtime_error("producer");
                   },
                   [](uint64_t, uint32_t) {}),
               std::runtime_error);
  const std::thread::id caller = std::this_thread::get_id();
  for (const bool on_caller : {true, false}) {
    EXPECT_THROW(run_jobs(64,
                          [&](uint64_t, uint32_t) {
                            busy();
                            if ((std::this_thread::get_id() == caller) == on_caller) throw std::runtime_error("job");
                          }),
                 std::runtime_error);
  }
  EXPECT_GT(done.load(), 0);
  run_state.jobs = 0;
}

}  // namespace
