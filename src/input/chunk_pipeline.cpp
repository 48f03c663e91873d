#include "input/chunk_pipeline.h"

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "base/messages.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"

namespace {

#ifdef TARNWELL_FUZZING
// Inputs of a few KiB then cross many chunks, and records longer than the room for a carry are common.
constexpr size_t kCarryRoom = 16;
constexpr size_t kChunkBytes = 61;
#else
constexpr size_t kCarryRoom = 1 << 20;  // in front of each chunk, for the part of a record the last chunk ended in
constexpr size_t kChunkBytes = 4 << 20;
#endif
// A loading worker, one of several, reads smaller chunks: its scratch is
// held once per worker, and it has no reading thread to keep ahead of.
constexpr size_t kWorkerChunkBytes = kChunkBytes < (1u << 20) ? kChunkBytes : (1u << 20);
constexpr int kSlots = 4;  // the reader may run two chunks ahead

struct Slot {
  size_t size;        // bytes at kCarryRoom
  SourceState state;  // the source's state once the chunk was filled
  bool full;          // filled and not yet given back
};

// The pipeline's scratch is not tracked: it is the reader's, not the run's,
// and it is never released while the reader may still write to it. An exit
// while the reader runs (memory ran out) leaves it to the system; held here,
// it is still reachable then. A loading worker's pipeline has no reader and
// keeps its scratch on its own.
struct Scratch {
  char* slots;
  char* long_window;  // for a carry longer than kCarryRoom: the carry and the next chunk
  size_t long_window_bytes;
  bool on_worker;  // memory that runs out throws AllocationRefused instead of ending the run
} main_scratch;

[[noreturn]] void refuse_scratch(const Scratch& scratch, size_t bytes) {
  if (scratch.on_worker) throw AllocationRefused(bytes);
  fail(kExitMallocFailure, "Error: can't allocate %zu bytes\n", bytes);
}

// Runs on the reading thread, which must not end the run: memory a source
// cannot get from the C++ library is reported in the slot like any other end.
void fill(ByteSource& source, Slot& slot, char* base, size_t chunk_bytes) {
  slot.size = 0;
  try {
    while (slot.size < chunk_bytes && source.state() == SourceState::kMore) {
      slot.size += source.read(base + kCarryRoom + slot.size, chunk_bytes - slot.size);
    }
    slot.state = source.state();
  } catch (const std::bad_alloc&) {
    slot.state = SourceState::kNoMemory;
  }
}

char* grow_long_window(Scratch& scratch, size_t bytes) {
  if (bytes <= scratch.long_window_bytes) return scratch.long_window;
  const size_t grown = bytes > 2 * scratch.long_window_bytes ? bytes : 2 * scratch.long_window_bytes;
  char* window = static_cast<char*>(realloc(scratch.long_window, grown));
  if (window == nullptr) refuse_scratch(scratch, grown);
  scratch.long_window = window;
  scratch.long_window_bytes = grown;
  return window;
}

}  // namespace

SourceState run_chunk_pipeline(ByteSource& source, ChunkTaker take, IdleWork idle, bool on_worker) {
  Scratch worker_scratch = {};
  Scratch& scratch = on_worker ? worker_scratch : main_scratch;
  scratch.on_worker = on_worker;
  // A worker reads and takes its chunks in turn: a chunk and the last one, which holds the carry.
  const int slot_count = on_worker ? 2 : kSlots;
  const size_t chunk_bytes = on_worker ? kWorkerChunkBytes : kChunkBytes;
  const size_t slot_bytes = kCarryRoom + chunk_bytes;
  scratch.slots = static_cast<char*>(malloc(slot_count * slot_bytes));
  if (scratch.slots == nullptr) refuse_scratch(scratch, slot_count * slot_bytes);
  Slot slots[kSlots] = {};
  std::mutex lock;
  std::condition_variable changed;
  bool stop = false;

  std::thread reader;
  const auto stop_reader = [&] {
    if (!reader.joinable()) return;
    {
      std::lock_guard<std::mutex> held(lock);
      stop = true;
    }
    changed.notify_all();
    reader.join();
  };
  // A failure on this thread (memory for the taken data) ends the run only once the reader has stopped.
  std::optional<StopOnRunEnd> reader_stops;
  if (!on_worker) reader_stops.emplace(stop_reader);
  if (!on_worker && worker_count() > 1) {
    try {
      reader = std::thread([&] {
        for (uint64_t k = 0;; ++k) {
          Slot& slot = slots[k % slot_count];
          {
            std::unique_lock<std::mutex> held(lock);
            changed.wait(held, [&] { return stop || !slot.full; });
            if (stop) return;
          }
          fill(source, slot, scratch.slots + (k % slot_count) * slot_bytes, chunk_bytes);
          {
            std::lock_guard<std::mutex> held(lock);
            slot.full = true;
          }
          changed.notify_all();
          if (slot.state != SourceState::kMore) return;
        }
      });
    } catch (const std::system_error&) {
      // No thread (none left, or no memory for its stack or its state): the
      // chunks are read in turn on this one, only slower.
    } catch (const std::bad_alloc&) {
    }
  }

  SourceState ended = SourceState::kEnd;
  try {
    const char* carry = nullptr;
    size_t carry_size = 0;
    bool window_is_long = false;  // the last window was the long window
    size_t taken_before = 0;      // what the last window's take took
    for (uint64_t k = 0;; ++k) {
      Slot& slot = slots[k % slot_count];
      char* base = scratch.slots + (k % slot_count) * slot_bytes;
      if (reader.joinable()) {
        std::unique_lock<std::mutex> held(lock);
        for (bool more = true; more && !slot.full;) {
          held.unlock();
          more = idle();
          held.lock();
        }
        changed.wait(held, [&] { return slot.full; });
      } else {
        fill(source, slot, base, chunk_bytes);
      }
      if (slot.state != SourceState::kMore && slot.state != SourceState::kEnd) {
        ended = slot.state;
        break;
      }
      const char* window;
      size_t size = carry_size + slot.size;
      if (carry_size <= kCarryRoom) {
        if (carry_size > 0) memcpy(base + kCarryRoom - carry_size, carry, carry_size);
        window = base + kCarryRoom - carry_size;
      } else {
        // The carry is in the long window already (at its front after the
        // move below), or in the last chunk.
        const bool carried_long = window_is_long;
        const size_t carry_at = carried_long ? taken_before : 0;
        char* long_window = grow_long_window(scratch, size);
        if (carried_long) {
          memmove(long_window, long_window + carry_at, carry_size);
        } else {
          memcpy(long_window, carry, carry_size);
        }
        memcpy(long_window + carry_size, base + kCarryRoom, slot.size);
        window = long_window;
      }
      window_is_long = window == scratch.long_window;
      if (k > 0) {  // the last chunk's carry has been copied: its slot may be filled again
        std::lock_guard<std::mutex> held(lock);
        slots[(k - 1) % slot_count].full = false;
      }
      changed.notify_all();
      const bool last = slot.state == SourceState::kEnd;
      const size_t taken = take(window, size, last);
      if (last) break;
      carry = window + taken;
      carry_size = size - taken;
      taken_before = taken;
    }
  } catch (...) {
    stop_reader();  // a fuzzing build's end of run unwinds through here
    if (on_worker) {  // a worker's memory that ran out: the run ends on the main thread
      free(scratch.slots);
      free(scratch.long_window);
    }
    throw;
  }
  stop_reader();
  free(scratch.slots);
  free(scratch.long_window);
  scratch = {};
  return ended;
}
