#include "input/input_format.h"

#include <isa-l/igzip_lib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/tracked_memory.h"
#include "input/experiment.h"

namespace {

constexpr size_t kHeadBytes = 1 << 16;

[[noreturn]] void refuse(const char* path) {
  fail(kExitFailure, "Input file \"%s\" is FASTA: --quality needs the base qualities of FASTQ\n", path);
}

// The first bytes of the data of a gzip member, or 0 bytes when the head does not tell.
size_t inflate_head(unsigned char* head, size_t size, unsigned char* out, size_t out_size) {
  auto* state = static_cast<inflate_state*>(tracked_malloc(sizeof(inflate_state)));
  isal_inflate_init(state);
  state->crc_flag = ISAL_GZIP;
  state->next_in = head;
  state->avail_in = static_cast<uint32_t>(size);
  state->next_out = out;
  state->avail_out = static_cast<uint32_t>(out_size);
  const size_t made = isal_inflate(state) == ISAL_DECOMP_OK ? out_size - state->avail_out : 0;
  tracked_free(state, sizeof(inflate_state));
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
  if (!s.quality_given || s.input_is_fastq) return;
  if (s.experiment == nullptr) refuse(s.input_path);
  for (const Sample& sample : s.experiment->samples) {
    if (!sample.fastq && sample.data_size > 0) refuse(sample.path.c_str());
  }
}
