#include "input/zstd_source.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <cstring>

#include "input/plain_source.h"

namespace {

constexpr size_t kCompressedChunk = 1 << 20;

class ZstdSource : public ByteSource {
 public:
  explicit ZstdSource(const OpenInput& input)
      : stream_(ZSTD_createDStream()), compressed_(new char[kCompressedChunk]), fd_(input.fd) {
    memcpy(compressed_.get(), input.head, input.head_size);
    in_ = {compressed_.get(), input.head_size, 0};
  }
  ~ZstdSource() override { ZSTD_freeDStream(stream_); }

  size_t read(char* out, size_t room) override {
    if (stream_ == nullptr) {
      state_ = SourceState::kNoMemory;
      return 0;
    }
    ZSTD_outBuffer output = {out, room, 0};
    while (output.pos < output.size) {
      if (in_.pos == in_.size && !at_end_of_file_) {
        const int64_t got = read_fully(fd_, compressed_.get(), kCompressedChunk);
        if (got < 0) {
          state_ = SourceState::kUnreadable;
          return output.pos;
        }
        at_end_of_file_ = got == 0;
        in_ = {compressed_.get(), static_cast<size_t>(got), 0};
      }
      const size_t before_in = in_.pos;
      const size_t before_out = output.pos;
      const size_t hint = ZSTD_decompressStream(stream_, &output, &in_);
      if (ZSTD_isError(hint)) {
        // The frame's window is taken when the frame begins.
        state_ = ZSTD_getErrorCode(hint) == ZSTD_error_memory_allocation ? SourceState::kNoMemory : SourceState::kCorrupt;
        return output.pos;
      }
      if (in_.pos == before_in && output.pos == before_out && at_end_of_file_) {
        // Nothing more comes: the end is sound only between frames.
        state_ = frame_open_ ? SourceState::kCorrupt : SourceState::kEnd;
        return output.pos;
      }
      frame_open_ = hint != 0;  // 0: a frame is complete and flushed
    }
    return output.pos;
  }

 private:
  ZSTD_DStream* stream_;
  std::unique_ptr<char[]> compressed_;
  ZSTD_inBuffer in_;
  int fd_;
  bool at_end_of_file_ = false;
  bool frame_open_ = true;
};

}  // namespace

bool is_zstd_magic(const unsigned char* head, size_t head_size) {
  return head_size >= 4 && head[0] == 0x28 && head[1] == 0xb5 && head[2] == 0x2f && head[3] == 0xfd;
}

std::unique_ptr<ByteSource> make_zstd_source(const OpenInput& input) { return std::make_unique<ZstdSource>(input); }
