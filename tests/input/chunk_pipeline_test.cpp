// A failure while the input loads (memory for the data taken so far) ends the
// run only once the reading thread has stopped: the exit releases what that
// thread reads.
#include "input/chunk_pipeline.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "base/messages.h"
#include "base/run_state.h"

namespace {

// Memory the source reads from, unmapped by an exit handler as the teardown releases blocks.
volatile char* source_block;
void unmap_source_block() {
  munmap(const_cast<char*>(source_block), 1 << 20);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

// Endless reads, a few KiB at a time and slowly, so that the reader is still
// filling a chunk when the first one is taken.
class SlowSource : public ByteSource {
 public:
  size_t read(char* out, size_t room) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const size_t bytes = room < 4096 ? room : 4096;
    for (size_t i = 0; i < bytes; ++i) out[i] = source_block[i];
    return bytes;
  }
};

// The source's memory gave out: the reading thread hands that on to the calling one.
class FailingSource : public ByteSource {
 public:
  size_t read(char*, size_t) override { throw std::bad_alloc(); }
};

void fail_while_the_reader_reads() {
  run_state.jobs = 2;
  source_block = static_cast<char*>(mmap(nullptr, 1 << 20, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  atexit(unmap_source_block);
  SlowSource source;
  (void)run_chunk_pipeline(
      source,
      [](const char*, size_t, bool) -> size_t { fail(kExitMallocFailure, "Error: can't allocate %zu bytes\n", size_t{777}); },
      [] { return false; });
}

TEST(ChunkPipelineDeathTest, FailureStopsTheReaderBeforeTheRunEnds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(fail_while_the_reader_reads(), testing::ExitedWithCode(kExitMallocFailure),
              "^Error: can't allocate 777 bytes\n$");
}

TEST(ChunkPipeline, SourceOutOfMemoryIsItsState) {
  for (const uint32_t jobs : {1u, 2u}) {  // read on this thread, and on the reading thread
    run_state.jobs = jobs;
    FailingSource source;
    size_t taken = 0;
    const SourceState ended = run_chunk_pipeline(
        source, [&](const char*, size_t size, bool) { return taken += size, size; }, [] { return false; });
    EXPECT_EQ(ended, SourceState::kNoMemory);
    EXPECT_EQ(taken, 0u);
  }
  run_state.jobs = 0;
}

}  // namespace
