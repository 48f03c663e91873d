#include "input/gzip_source.h"

#include <isa-l/igzip_lib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "input/plain_source.h"

namespace {

constexpr size_t kCompressedChunk = 1 << 20;

class GzipSource : public ByteSource {
 public:
  explicit GzipSource(const OpenInput& input) : compressed_(new unsigned char[kCompressedChunk]), fd_(input.fd) {
    isal_inflate_init(&state_inflate_);
    state_inflate_.crc_flag = ISAL_GZIP;  // parse each member's header, check its trailer
    memcpy(compressed_.get(), input.head, input.head_size);
    state_inflate_.next_in = compressed_.get();
    state_inflate_.avail_in = static_cast<uint32_t>(input.head_size);
  }

  size_t read(char* out, size_t room) override {
    inflate_state& z = state_inflate_;
    size_t written = 0;
    while (written < room) {
      if (z.avail_in == 0 && !at_end_of_file_) {
        const int64_t got = read_fully(fd_, reinterpret_cast<char*>(compressed_.get()), kCompressedChunk);
        if (got < 0) {
          state_ = SourceState::kUnreadable;
          return written;
        }
        at_end_of_file_ = got == 0;
        z.next_in = compressed_.get();
        z.avail_in = static_cast<uint32_t>(got);
      }
      if (z.block_state == ISAL_BLOCK_FINISH) {
        if (z.avail_in == 0 && at_end_of_file_) {
          state_ = SourceState::kEnd;
          return written;
        }
        if (z.avail_in == 0) continue;
        // Another member follows; bytes that are not a gzip header fail below.
        isal_inflate_reset(&z);
        at_member_start_ = true;
      }
      if (at_member_start_ && !member_flags_sound()) {
        if (state_ == SourceState::kMore) state_ = SourceState::kCorrupt;
        return written;
      }
      const size_t step = room - written < (1u << 30) ? room - written : (1u << 30);
      z.next_out = reinterpret_cast<uint8_t*>(out + written);
      z.avail_out = static_cast<uint32_t>(step);
      const uint32_t input_before = z.avail_in;
      const int status = isal_inflate(&z);
      const size_t made = step - z.avail_out;
      written += made;
      if (status != ISAL_DECOMP_OK) {
        state_ = SourceState::kCorrupt;  // bad data, a bad header, or a wrong checksum or size
        return written;
      }
      const bool stalled = made == 0 && z.avail_in == input_before && z.block_state != ISAL_BLOCK_FINISH;
      stalls_ = stalled ? stalls_ + 1 : 0;
      if (stalled && (at_end_of_file_ || stalls_ > 2)) {
        state_ = SourceState::kCorrupt;  // the file ends inside a member
        return written;
      }
    }
    return written;
  }

 private:
  // ISA-L reads past a member header whose reserved flag bits are set, which
  // gzip and zlib refuse as corrupt; so do we. The header's flag byte is its
  // fourth: when the chunk ends before it, the rest of the chunk moves to the
  // front and more is read behind it.
  bool member_flags_sound() {
    inflate_state& z = state_inflate_;
    if (z.avail_in < 4 && !at_end_of_file_) {
      memmove(compressed_.get(), z.next_in, z.avail_in);
      const int64_t got = read_fully(fd_, reinterpret_cast<char*>(compressed_.get()) + z.avail_in,
                                     kCompressedChunk - z.avail_in);
      if (got < 0) {
        state_ = SourceState::kUnreadable;
        return false;
      }
      at_end_of_file_ = got == 0;
      z.next_in = compressed_.get();
      z.avail_in += static_cast<uint32_t>(got);
    }
    if (z.avail_in < 4) return true;  // a member cut short inside its header fails in the inflate
    at_member_start_ = false;
    return (z.next_in[3] & 0xe0) == 0;
  }

  inflate_state state_inflate_;
  std::unique_ptr<unsigned char[]> compressed_;
  int fd_;
  bool at_end_of_file_ = false;
  bool at_member_start_ = true;  // the next byte begins a member's header
  int stalls_ = 0;  // calls in a row that took and gave nothing
};

}  // namespace

bool is_gzip_magic(const unsigned char* head, size_t head_size) {
  return head_size >= 2 && head[0] == 0x1f && head[1] == 0x8b;
}

uint64_t gzip_size_hint(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 18) return 0;
  unsigned char trailer[4];
  if (pread(fd, trailer, 4, status.st_size - 4) != 4) return 0;
  const uint64_t compressed = static_cast<uint64_t>(status.st_size);
  uint64_t hint = trailer[0] | trailer[1] << 8 | trailer[2] << 16 | static_cast<uint64_t>(trailer[3]) << 24;
  // Block-gzip ends in an empty member: its size tells nothing. Deflate never expands data beyond 1032 to 1.
  if (hint < compressed) hint = compressed * 4;
  return hint < compressed * 1032 ? hint : compressed * 1032;
}

std::unique_ptr<ByteSource> make_gzip_source(const OpenInput& input) { return std::make_unique<GzipSource>(input); }
