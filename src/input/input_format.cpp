#include "input/input_format.h"

#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>

#include "base/messages.h"
#include "base/run_state.h"

namespace {

constexpr size_t kHeadBytes = 1 << 16;

[[noreturn]] void refuse(const char* path) {
  fail(kExitFailure, "Input file \"%s\" is FASTA: --quality needs the base qualities of FASTQ\n", path);
}

// The first bytes of the data of a gzip member, or 0 bytes when the head does not tell.
size_t inflate_head(unsigned char* head, size_t size, unsigned char* out, size_t out_size) {
  z_stream stream;
  memset(&stream, 0, sizeof stream);
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return 0;
  stream.next_in = head;
  stream.avail_in = static_cast<uInt>(size);
  stream.next_out = out;
  stream.avail_out = static_cast<uInt>(out_size);
  while (stream.avail_out > 0 && inflate(&stream, Z_NO_FLUSH) == Z_OK) {
  }
  const size_t made = out_size - stream.avail_out;
  inflateEnd(&stream);
  return made;
}

}  // namespace

void refuse_quality_without_fastq(const char* path) {
  struct stat status;
  // Standard input and pipes would lose what is read here.
  if (strcmp(path, "-") == 0 || stat(path, &status) != 0 || !S_ISREG(status.st_mode)) return;
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return;  // the load says why
  unsigned char head[kHeadBytes];
  size_t size = fread(head, 1, sizeof head, file);
  fclose(file);
  unsigned char data[4];
  const unsigned char* first = head;
  if (size >= 2 && head[0] == 0x1f && head[1] == 0x8b) {
    size = inflate_head(head, size, data, sizeof data);
    first = data;
  }
  // A byte-order mark may stand before the first record.
  if (size >= 3 && first[0] == 0xef && first[1] == 0xbb && first[2] == 0xbf) {
    first += 3;
    size -= 3;
  }
  if (size > 0 && first[0] == '>') refuse(path);
}

void refuse_quality_after_parse() {
  const RunState& s = run_state;
  if (s.quality_given && !s.input_is_fastq) refuse(s.input_path);
}
