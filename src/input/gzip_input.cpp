#include "input/gzip_input.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "input/input_loader.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "base/run_statistics.h"
#include "base/tracked_memory.h"

namespace {

// Compressed bytes go through this static chunk, so an exit in the middle of
// the stream leaves no block behind that the teardown does not know.
constexpr size_t kChunkBytes = 1 << 18;
unsigned char compressed_chunk[kChunkBytes];

constexpr uint64_t kFirstBufferBytes = 1 << 20;
constexpr uint64_t kMaxInflateRatio = 1032;  // deflate never expands data further
constexpr uint64_t kGuessedRatio = 4;        // typical of FASTA and FASTQ
// inflate counts its output space in an unsigned int.
constexpr uint64_t kMaxOutputStep = 1u << 30;

// The size to start the buffer at. For a regular file the trailer of the last
// member gives its uncompressed size mod 2^32: exact for the usual
// single-member file, and for block-gzip only the size of the empty closing
// block, so it is a hint that the growth corrects, bounded by what the
// compressed size allows.
uint64_t initial_buffer_bytes(FILE* file) {
  struct stat status;
  if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 18) return kFirstBufferBytes;
  const uint64_t compressed = static_cast<uint64_t>(status.st_size);
  unsigned char trailer[4];
  if (pread(fileno(file), trailer, 4, status.st_size - 4) != 4) return kFirstBufferBytes;
  uint64_t hint = trailer[0] | trailer[1] << 8 | trailer[2] << 16 | static_cast<uint64_t>(trailer[3]) << 24;
  if (hint < compressed) hint = compressed * kGuessedRatio;
  return std::min(hint, compressed * kMaxInflateRatio) + 1;
}

}  // namespace

bool is_gzip_magic(const unsigned char* head, size_t head_size) {
  return head_size >= 2 && head[0] == 0x1f && head[1] == 0x8b;
}

void load_gzip(FILE* file, const unsigned char* head, size_t head_size, const char* path) {
  RunState& s = run_state;
  const double started = monotonic_seconds();
  s.input_compressed = 1;
  s.input_buffer_bytes = initial_buffer_bytes(file);
  s.input_buffer = static_cast<char*>(tracked_malloc(s.input_buffer_bytes));

  z_stream stream;
  memset(&stream, 0, sizeof stream);
  if (inflateInit2(&stream, 15 + 16) != Z_OK) {  // 16: a gzip wrapper, not zlib's
    fclose(file);
    fail(kExitFailure, "Can't decompress input file \"%s\"\n", path);
  }
  memcpy(compressed_chunk, head, head_size);
  stream.next_in = compressed_chunk;
  stream.avail_in = static_cast<uInt>(head_size);
  uint64_t filled = 0;
  bool at_end_of_file = false;
  bool inside_member = true;
  bool unreadable = false;
  bool corrupt = false;
  for (;;) {
    if (stream.avail_in == 0 && !at_end_of_file) {
      const size_t got = fread(compressed_chunk, 1, kChunkBytes, file);
      if (got == 0) {
        if (ferror(file)) {
          unreadable = true;
          break;
        }
        at_end_of_file = true;
      }
      stream.next_in = compressed_chunk;
      stream.avail_in = static_cast<uInt>(got);
    }
    if (!inside_member) {
      if (stream.avail_in == 0 && at_end_of_file) break;
      inflateReset(&stream);  // the next member; a header that is not gzip fails below
      inside_member = true;
    }
    make_room_in_input_buffer(filled);
    unsigned char* output = reinterpret_cast<unsigned char*>(s.input_buffer) + filled;
    stream.next_out = output;
    stream.avail_out = static_cast<uInt>(std::min(s.input_buffer_bytes - 1 - filled, kMaxOutputStep));
    const int status = inflate(&stream, Z_NO_FLUSH);
    filled += static_cast<uint64_t>(stream.next_out - output);
    if (status == Z_STREAM_END) {
      inside_member = false;
    } else if (status == Z_OK || (status == Z_BUF_ERROR && (stream.avail_out == 0 || !at_end_of_file))) {
      continue;  // inflate wants more room or more input
    } else {
      corrupt = true;  // bad data, or the file ends inside a member
      break;
    }
  }
  inflateEnd(&stream);
  fclose(file);
  if (unreadable) fail(kExitFailure, "Can't read input file \"%s\"\n", path);
  if (corrupt) fail(kExitFailure, "Can't decompress input file \"%s\"\n", path);

  finish_input_buffer(filled);  // gives back what the last growth left unused
  run_statistics.decompress_seconds = monotonic_seconds() - started;
}
