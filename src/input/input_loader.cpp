#include "input/input_loader.h"

#include <sys/stat.h>

#include <cstring>

#include "input/gzip_input.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "base/tracked_memory.h"

namespace {

constexpr uint64_t kFirstStreamChunk = 1 << 20;

// Reads a stream of unknown size into a growing block. head holds the bytes
// already taken from the stream.
void load_stream(FILE* file, const char* path, const unsigned char* head, size_t head_size) {
  RunState& s = run_state;
  s.input_buffer_bytes = kFirstStreamChunk;
  s.input_buffer = static_cast<char*>(tracked_malloc(s.input_buffer_bytes));
  memcpy(s.input_buffer, head, head_size);
  uint64_t filled = head_size;
  for (;;) {
    make_room_in_input_buffer(filled);
    const size_t wanted = s.input_buffer_bytes - 1 - filled;
    const size_t got = fread(s.input_buffer + filled, 1, wanted, file);
    filled += got;
    if (got < wanted) {
      if (ferror(file)) fail(kExitFailure, "Can't read input file \"%s\"\n", path);
      break;
    }
  }
  fclose(file);
  finish_input_buffer(filled);
}

// The size found by seeking to the end, or -1 when the file cannot be sized
// that way. Only regular files and block devices are trusted to tell it.
off_t seekable_size(FILE* file) {
  struct stat status;
  if (fstat(fileno(file), &status) != 0 || !(S_ISREG(status.st_mode) || S_ISBLK(status.st_mode))) return -1;
  if (fseeko(file, 0, SEEK_END) != 0) return -1;
  const off_t size = ftello(file);
  if (size < 0 || fseeko(file, 0, SEEK_SET) != 0) return -1;
  return size;
}

}  // namespace

void make_room_in_input_buffer(uint64_t filled) {
  RunState& s = run_state;
  if (filled + 1 < s.input_buffer_bytes) return;
  const uint64_t grown_bytes = s.input_buffer_bytes * 2;
  s.input_buffer = static_cast<char*>(tracked_realloc(s.input_buffer, s.input_buffer_bytes, grown_bytes));
  s.input_buffer_bytes = grown_bytes;
}

void finish_input_buffer(uint64_t filled) {
  RunState& s = run_state;
  s.input_buffer = static_cast<char*>(tracked_realloc(s.input_buffer, s.input_buffer_bytes, filled + 1));
  s.input_buffer_bytes = filled + 1;
  s.input_size = filled;
  s.input_buffer[filled] = '\0';
}

void load_file(const char* path) {
  RunState& s = run_state;
  FILE* file = strcmp(path, "-") == 0 ? stdin : fopen(path, "rb");
  if (file == nullptr) fail(kExitFailure, "Can't open file \"%s\"\n", path);

  // Two bytes tell gzip data; a file that can be sized seeks back over them.
  unsigned char head[2];
  const size_t head_size = fread(head, 1, sizeof head, file);
  off_t size = -1;
  if (is_gzip_magic(head, head_size)) {
    load_gzip(file, head, head_size, path);
  } else if ((size = seekable_size(file)) < 0) {
    load_stream(file, path, head, head_size);
  } else if (size == 0) {
    // Files of /proc and the like show size 0 whatever they hold, so a size
    // of 0 is no proof of an empty file: such files are read like a stream,
    // from the start that the sizing went back to.
    load_stream(file, path, head, 0);
  } else {
    s.input_size = static_cast<uint64_t>(size);
    s.input_buffer_bytes = s.input_size + 1;
    s.input_buffer = static_cast<char*>(tracked_malloc(s.input_buffer_bytes));
    const size_t read = fread(s.input_buffer, 1, s.input_size, file);
    // A file still being written would otherwise be cut at the size it had when it was opened.
    const bool grew = read == s.input_size && fgetc(file) != EOF;
    fclose(file);
    s.input_buffer[s.input_size] = '\0';
    if (read != s.input_size) {
      fail(kExitFailure, "Can't read %llu bytes from input file\n", static_cast<unsigned long long>(s.input_size));
    }
    if (grew) fail(kExitFailure, "Input file \"%s\" grew while it was read\n", path);
  }
  if (s.input_size == 0) fail(kExitFailure, "Can't load input data\n");
}
