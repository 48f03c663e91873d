#include "input/gzip_source.h"

#include <isa-l/igzip_lib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "base/worker_pool.h"
#include "input/plain_source.h"

namespace {

constexpr size_t kCompressedChunk = 1 << 20;
constexpr size_t kInflateStep = 256 << 10;

// A member as block-gzip writes it: its header's extra field holds a "BC"
// subfield with the member's size less one, and its trailer ends with the
// inflated size, so members are found and placed without inflating.
struct Block {
  const unsigned char* data;
  uint32_t size;      // compressed, header and trailer included
  uint32_t inflated;  // what the trailer promises
  size_t at;          // where its bytes go in the output
};

constexpr uint32_t kTooFewBytes = UINT32_MAX;

// A member's trailer ends with its inflated size (mod 2^32), little-endian.
uint32_t little_endian_32(const unsigned char* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// The size the block-gzip member at data announces (it may lie beyond the
// size bytes shown); 0 when the bytes there do not begin such a member, and
// kTooFewBytes when there are too few of them to tell.
uint32_t announced_block_size(const unsigned char* data, size_t size) {
  if (size < 4) return kTooFewBytes;
  if (data[0] != 0x1f || data[1] != 0x8b || data[2] != 8 || (data[3] & 0xe4) != 0x04) return 0;
  if (size < 12) return kTooFewBytes;
  const size_t extra = data[10] | data[11] << 8;
  if (12 + extra > size) return kTooFewBytes;
  for (size_t at = 12; at + 4 <= 12 + extra;) {
    const size_t field = data[at + 2] | data[at + 3] << 8;
    if (data[at] == 'B' && data[at + 1] == 'C' && field == 2 && at + 6 <= 12 + extra) {
      const uint32_t member = (data[at + 4] | data[at + 5] << 8) + 1u;
      return member >= 12 + extra + 8 ? member : 0;  // room for the trailer at least
    }
    at += 4 + field;
  }
  return 0;
}

// Inflates one whole member into exactly its promised size; false when it
// is not that (corrupt, cut, or longer or shorter than promised).
bool inflate_block(inflate_state& z, const Block& block, char* out) {
  isal_inflate_init(&z);
  z.crc_flag = ISAL_GZIP;
  z.next_in = const_cast<unsigned char*>(block.data);
  z.avail_in = block.size;
  z.next_out = reinterpret_cast<uint8_t*>(out + block.at);
  z.avail_out = block.inflated;
  return isal_inflate(&z) == ISAL_DECOMP_OK && z.block_state == ISAL_BLOCK_FINISH && z.avail_in == 0 &&
         z.avail_out == 0;
}

class GzipSource : public ByteSource {
 public:
  GzipSource(const OpenInput& input, bool on_worker) : compressed_(new unsigned char[kCompressedChunk]), fd_(input.fd) {
    isal_inflate_init(&state_inflate_);
    state_inflate_.crc_flag = ISAL_GZIP;  // parse each member's header, check its trailer
    memcpy(compressed_.get(), input.head, input.head_size);
    state_inflate_.next_in = compressed_.get();
    state_inflate_.avail_in = static_cast<uint32_t>(input.head_size);
    // The reading thread inflates blocks with worker_count() - 1 helpers; a
    // loading worker inflates its stream alone, beside the other workers.
    parallel_ = !on_worker && worker_count() > 1;
    for (uint32_t h = 1; parallel_ && h < worker_count(); ++h) helper_states_.push_back(std::make_unique<inflate_state>());
    // The reading thread allocates nothing later: a block takes 26 bytes at least.
    if (parallel_) blocks_.reserve(kCompressedChunk / 26 + 1);
    helpers_.reserve(helper_states_.size());
  }
  ~GzipSource() override {
    {
      std::lock_guard<std::mutex> held(lock_);
      quitting_ = true;
    }
    wake_.notify_all();
    for (std::thread& helper : helpers_) helper.join();
  }
  GzipSource(const GzipSource&) = delete;
  GzipSource& operator=(const GzipSource&) = delete;

  size_t read(char* out, size_t room) override {
    inflate_state& z = state_inflate_;
    size_t written = 0;
    while (written < room) {
      if (z.avail_in == 0 && !at_end_of_file_ && !refill()) return written;
      if (z.block_state == ISAL_BLOCK_FINISH || after_blocks_) {
        if (z.avail_in == 0 && at_end_of_file_) {
          state_ = SourceState::kEnd;
          return written;
        }
        if (z.avail_in == 0) continue;
        // Another member follows; bytes that are not a gzip header fail below.
        if (z.block_state == ISAL_BLOCK_FINISH) isal_inflate_reset(&z);
        after_blocks_ = false;
        at_member_start_ = true;
      }
      if (at_member_start_ && parallel_ && written < room) {
        const size_t made = inflate_blocks(out + written, room - written);
        written += made;
        if (state_ != SourceState::kMore) return written;
        if (after_blocks_) continue;  // the member after the last block starts at next_in
      }
      if (at_member_start_ && !member_flags_sound()) {
        if (state_ == SourceState::kMore) state_ = SourceState::kCorrupt;
        return written;
      }
      // The checksum is taken over each call's output after it is made: in small steps it is still in the cache.
      const size_t step = room - written < kInflateStep ? room - written : kInflateStep;
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
  // Moves the unread input to the front of the buffer and reads more behind
  // it; false when the read fails.
  bool refill() {
    inflate_state& z = state_inflate_;
    memmove(compressed_.get(), z.next_in, z.avail_in);
    const int64_t got =
        read_fully(fd_, reinterpret_cast<char*>(compressed_.get()) + z.avail_in, kCompressedChunk - z.avail_in);
    if (got < 0) {
      state_ = SourceState::kUnreadable;
      return false;
    }
    at_end_of_file_ = got == 0;
    z.next_in = compressed_.get();
    z.avail_in += static_cast<uint32_t>(got);
    return true;
  }

  // Takes blocks of the open batch one at a time and inflates them, until
  // none is left or one before them has failed.
  void inflate_claimed_blocks(inflate_state& mine) {
    for (size_t b; (b = next_block_.fetch_add(1, std::memory_order_relaxed)) < blocks_.size();) {
      if (b > first_bad_.load(std::memory_order_relaxed)) break;
      if (!inflate_block(mine, blocks_[b], block_out_)) {
        size_t seen = first_bad_.load(std::memory_order_relaxed);
        while (b < seen && !first_bad_.compare_exchange_weak(seen, b, std::memory_order_relaxed)) {
        }
      }
    }
  }

  // Helpers sleep between batches and join a batch only while it is open, so
  // the reading thread never waits for one to wake.
  void start_helpers() {
    helpers_started_ = true;
    for (auto& state : helper_states_) {
      try {
        helpers_.emplace_back([this, mine = state.get()] {
          uint64_t seen = 0;
          for (;;) {
            {
              std::unique_lock<std::mutex> held(lock_);
              wake_.wait(held, [&] { return quitting_ || (batch_open_ && batch_ != seen); });
              if (quitting_) return;
              seen = batch_;
              ++helpers_in_batch_;
            }
            inflate_claimed_blocks(*mine);
            std::lock_guard<std::mutex> held(lock_);
            if (--helpers_in_batch_ == 0) done_.notify_one();
          }
        });
      } catch (const std::exception&) {
        break;  // fewer threads only cost speed
      }
    }
  }

  // Inflates the block-gzip members that begin at next_in, lie whole in the
  // input buffer and fit in room, on the run's threads at once, and returns
  // the bytes made; next_in then points at the member after them and
  // after_blocks_ is set. Anything else (a plain member, a block that does not
  // inflate to what it promises) is left to the member-by-member inflate,
  // which reports it as always.
  size_t inflate_blocks(char* out, size_t room) {
    inflate_state& z = state_inflate_;
    const uint32_t first = announced_block_size(z.next_in, z.avail_in);
    // Near the end of the buffer: at most one block's bytes move to its front.
    if (first != 0 && (first == kTooFewBytes || first > z.avail_in) && !at_end_of_file_ && !refill()) return 0;
    blocks_.clear();
    size_t made = 0;
    const unsigned char* at = z.next_in;
    const unsigned char* end = z.next_in + z.avail_in;
    for (;;) {
      const uint32_t size = announced_block_size(at, static_cast<size_t>(end - at));
      if (size == 0 || size == kTooFewBytes || size > static_cast<size_t>(end - at)) break;
      const uint32_t inflated = little_endian_32(at + size - 4);
      if (inflated > room - made) break;
      blocks_.push_back({at, size, inflated, made});
      made += inflated;
      at += size;
    }
    if (blocks_.empty()) return 0;
    block_out_ = out;
    next_block_.store(0, std::memory_order_relaxed);
    first_bad_.store(blocks_.size(), std::memory_order_relaxed);
    if (blocks_.size() > 1 && !helpers_started_) start_helpers();
    {
      std::lock_guard<std::mutex> held(lock_);
      batch_open_ = true;
      ++batch_;
    }
    wake_.notify_all();
    inflate_claimed_blocks(own_inflate_);
    {
      // Helpers that have not woken yet find the batch closed; those that
      // took blocks are waited for.
      std::unique_lock<std::mutex> held(lock_);
      batch_open_ = false;
      done_.wait(held, [&] { return helpers_in_batch_ == 0; });
    }
    // The blocks before the first bad one are delivered; inflating member by
    // member goes on from it.
    const size_t good = first_bad_.load();
    if (good == 0) {
      parallel_ = false;  // a file that does not inflate as blocks does not try again
      return 0;
    }
    const Block& last = blocks_[good - 1];
    const size_t used = static_cast<size_t>(last.data + last.size - z.next_in);
    z.next_in += used;
    z.avail_in -= static_cast<uint32_t>(used);
    after_blocks_ = true;
    return last.at + last.inflated;
  }

  // ISA-L reads past a member header whose reserved flag bits are set, which
  // gzip and zlib refuse as corrupt; so do we. The header's flag byte is its
  // fourth: when the chunk ends before it, the rest of the chunk moves to the
  // front and more is read behind it.
  bool member_flags_sound() {
    inflate_state& z = state_inflate_;
    if (z.avail_in < 4 && !at_end_of_file_ && !refill()) return false;
    if (z.avail_in < 4) return true;  // a member cut short inside its header fails in the inflate
    at_member_start_ = false;
    return (z.next_in[3] & 0xe0) == 0;
  }

  inflate_state state_inflate_;
  inflate_state own_inflate_;  // the reading thread's, for whole blocks
  std::vector<std::unique_ptr<inflate_state>> helper_states_;  // one per helper thread
  std::vector<Block> blocks_;
  // The batch of blocks the helpers share.
  char* block_out_ = nullptr;
  std::atomic<size_t> next_block_{0};
  std::atomic<size_t> first_bad_{0};  // the first block that failed, or their count
  std::mutex lock_;
  std::condition_variable wake_;  // a batch opened, or the source closes
  std::condition_variable done_;  // the last helper left the batch
  uint64_t batch_ = 0;
  bool batch_open_ = false;
  bool quitting_ = false;
  bool helpers_started_ = false;
  int helpers_in_batch_ = 0;
  std::vector<std::thread> helpers_;
  bool parallel_;  // block-gzip members may be inflated on several threads
  bool after_blocks_ = false;  // the last member was inflated as a block
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

uint64_t gzip_size_hint(int fd, uint64_t* at_least) {
  *at_least = 0;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 18) return 0;
  unsigned char trailer[4];
  if (pread(fd, trailer, 4, status.st_size - 4) != 4) return 0;
  const uint64_t compressed = static_cast<uint64_t>(status.st_size);
  const uint64_t told = little_endian_32(trailer);
  if (told >= compressed) *at_least = told < compressed * 32 ? told : compressed * 32;
  // Block-gzip ends in an empty member: its size tells nothing. Deflate never expands data beyond 1032 to 1.
  const uint64_t hint = told < compressed ? compressed * 4 : told;
  return hint < compressed * 1032 ? hint : compressed * 1032;
}

std::unique_ptr<ByteSource> make_gzip_source(const OpenInput& input, bool on_worker) {
  return std::make_unique<GzipSource>(input, on_worker);
}
