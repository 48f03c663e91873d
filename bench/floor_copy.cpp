// The floor a whole run is measured against: read the input whole into one
// buffer, taken as the tool takes its input buffer (tracked memory: 2 MiB
// aligned, advised for huge pages), and write those bytes to the output file,
// both with large read and write calls. No run of the tool can move the
// input's bytes through memory faster.
//
// Usage: floor_copy INPUT OUTPUT
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "base/tracked_memory.h"

namespace {

constexpr uint64_t kCallBytes = 64u << 20;

int refuse(const char* what, const char* path) {
  fprintf(stderr, "floor_copy: can't %s \"%s\"\n", what, path);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: floor_copy INPUT OUTPUT\n");
    return 2;
  }
  const int input = open(argv[1], O_RDONLY);
  struct stat status;
  if (input < 0 || fstat(input, &status) != 0) return refuse("open", argv[1]);
  const uint64_t size = static_cast<uint64_t>(status.st_size);
  char* buffer = static_cast<char*>(tracked_malloc(size + 1));
  for (uint64_t done = 0; done < size;) {
    const ssize_t got = read(input, buffer + done, size - done < kCallBytes ? size - done : kCallBytes);
    if (got <= 0) return refuse("read", argv[1]);
    done += static_cast<uint64_t>(got);
  }
  close(input);
  const int output = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (output < 0) return refuse("create", argv[2]);
  for (uint64_t done = 0; done < size;) {
    const ssize_t put = write(output, buffer + done, size - done < kCallBytes ? size - done : kCallBytes);
    if (put <= 0) return refuse("write", argv[2]);
    done += static_cast<uint64_t>(put);
  }
  if (close(output) != 0) return refuse("write", argv[2]);
  tracked_free(buffer, size + 1);
  return 0;
}
