// An input read as it is, with large read calls.
#pragma once

#include <cstdint>

#include "input/byte_source.h"

class PlainSource : public ByteSource {
 public:
  // size: the bytes a sized file must give (no more, no fewer), or -1 for a
  // stream, which ends at its first empty read.
  PlainSource(const OpenInput& input, int64_t size) : input_(input), size_(size) {}
  size_t read(char* out, size_t room) override;

 private:
  OpenInput input_;
  int64_t size_;
  uint64_t delivered_ = 0;
  size_t head_taken_ = 0;
};

// Reads until room is full or the file ends; the count read, or -1 on an error.
[[nodiscard]] int64_t read_fully(int fd, char* out, uint64_t room);
