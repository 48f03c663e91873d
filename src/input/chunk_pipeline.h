// Reads a source in chunks of a few MiB on a thread of its own (when the run
// may use more than one), while the calling thread takes each chunk in turn:
// inflating and reading overlap with the work done on what has arrived.
#pragma once

#include <cstddef>

#include "base/function_ref.h"
#include "input/byte_source.h"

// Takes bytes from the front of a window and returns how many; the rest is
// handed again, in front of the next chunk's bytes. last: nothing follows.
using ChunkTaker = FunctionRef<size_t(const char* window, size_t size, bool last)>;

// Does a short piece of work (a few hundred microseconds) while the next
// chunk is not there yet; returns false when it has none for now.
using IdleWork = FunctionRef<bool()>;

// Runs until the source ends (returns kEnd, after take saw the last window)
// or fails (returns its state; the chunks up to the failure may or may not
// have been taken). idle runs on the calling thread only while it would wait
// for the reading thread, so it never holds the reading up (and never runs
// when there is no such thread). Ends the run itself only when memory runs out.
// on_worker: the pipeline runs on a loading worker (one of several samples
// loaded at once): no reading thread of its own, and memory that runs out
// throws AllocationRefused instead.
[[nodiscard]] SourceState run_chunk_pipeline(ByteSource& source, ChunkTaker take, IdleWork idle,
                                             bool on_worker = false);
