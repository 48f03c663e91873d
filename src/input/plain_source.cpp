#include "input/plain_source.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>

int64_t read_fully(int fd, char* out, uint64_t room) {
  uint64_t got = 0;
  while (got < room) {
    // One call moves at most 1 GiB, well under what the kernel accepts.
    const uint64_t step = room - got < (1u << 30) ? room - got : (1u << 30);
    const ssize_t n = ::read(fd, out + got, step);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(got);
}

size_t PlainSource::read(char* out, size_t room) {
  size_t written = 0;
  if (head_taken_ < input_.head_size) {
    written = input_.head_size - head_taken_ < room ? input_.head_size - head_taken_ : room;
    memcpy(out, input_.head + head_taken_, written);
    head_taken_ += written;
  }
  uint64_t wanted = room - written;
  if (size_ >= 0 && delivered_ + written + wanted > static_cast<uint64_t>(size_)) {
    wanted = static_cast<uint64_t>(size_) - delivered_ - written;
  }
  const int64_t got = read_fully(input_.fd, out + written, wanted);
  if (got < 0) {
    state_ = size_ >= 0 ? SourceState::kShort : SourceState::kUnreadable;
    return written;
  }
  written += static_cast<size_t>(got);
  delivered_ += written;
  if (size_ < 0) {
    if (static_cast<uint64_t>(got) < wanted) state_ = SourceState::kEnd;
    return written;
  }
  if (static_cast<uint64_t>(got) < wanted) {
    state_ = SourceState::kShort;
  } else if (delivered_ == static_cast<uint64_t>(size_)) {
    // A file still being written would otherwise be cut at the size it had when it was opened.
    char probe;
    state_ = read_fully(input_.fd, &probe, 1) == 1 ? SourceState::kGrew : SourceState::kEnd;
  }
  return written;
}
