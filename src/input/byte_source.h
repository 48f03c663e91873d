// The bytes of an input, whatever form it has on disk: read as they are, or
// inflated from gzip or zstd data. The loader reads every input through one of
// these; a source runs on the loader's reading thread, so it never ends the
// run itself but reports how it stopped.
#pragma once

#include <cstddef>
#include <cstdint>

enum class SourceState {
  kMore,        // more bytes may follow
  kEnd,         // every byte has been delivered
  kUnreadable,  // a read failed
  kCorrupt,     // compressed data that is corrupt, truncated, or followed by other bytes
  kShort,       // a sized file gave fewer bytes than its size
  kGrew,        // a sized file gave more bytes than its size
  kNoMemory,    // the decompressor could not get the memory it works in
};

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Writes up to room bytes at out and returns how many. After a state other
  // than kMore, read is not called again.
  virtual size_t read(char* out, size_t room) = 0;
  [[nodiscard]] SourceState state() const { return state_; }

 protected:
  SourceState state_ = SourceState::kMore;
};

// A file descriptor and the bytes already taken from it to tell its form,
// which every source delivers (or inflates) first.
struct OpenInput {
  int fd;
  unsigned char head[8];
  size_t head_size;
};
