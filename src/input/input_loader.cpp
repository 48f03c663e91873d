#include "input/input_loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/run_statistics.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"
#include "input/chunk_pipeline.h"
#include "input/fastq_compactor.h"
#include "input/gzip_source.h"
#include "input/input_buffer.h"
#include "input/plain_source.h"
#include "input/zstd_source.h"

namespace {

constexpr unsigned char kByteOrderMark[3] = {0xef, 0xbb, 0xbf};

}  // namespace

size_t byte_order_mark(const unsigned char* data, size_t size) {
  return size >= 3 && memcmp(data, kByteOrderMark, 3) == 0 ? 3 : 0;
}

namespace {

bool starts_fastq(const unsigned char* data, size_t size) {
  const size_t mark = byte_order_mark(data, size);
  return size > mark && data[mark] == '@';
}

// Compressed forms the tool does not read, named in the message that refuses them.
const char* unread_compression(const unsigned char* head, size_t size) {
  if (size >= 4 && head[0] == 'B' && head[1] == 'Z' && head[2] == 'h' && head[3] >= '1' && head[3] <= '9') return "bzip2";
  static const unsigned char kXz[6] = {0xfd, '7', 'z', 'X', 'Z', 0x00};
  if (size >= 6 && memcmp(head, kXz, 6) == 0) return "xz";
  return nullptr;
}

// The size found by seeking to the end, or -1 when the input cannot be sized
// that way. Only regular files and block devices are trusted to tell it.
// Leaves the position after the head.
int64_t seekable_size(const OpenInput& input) {
  struct stat status;
  if (fstat(input.fd, &status) != 0 || !(S_ISREG(status.st_mode) || S_ISBLK(status.st_mode))) return -1;
  const off_t size = lseek(input.fd, 0, SEEK_END);
  if (size < 0 || lseek(input.fd, static_cast<off_t>(input.head_size), SEEK_SET) < 0) return -1;
  return size;
}

// A sized file straight into a block of its size and the closing NUL.
void read_sized_file(const OpenInput& input, uint64_t size, InputBlock& block, LoadedInput& loaded) {
  loaded.data_bytes = size;
  size_input_buffer(block, size + 1);
  char* data = *block.data;
  const uint64_t head = input.head_size < size ? input.head_size : size;
  memcpy(data, input.head, head);
  const int64_t got = read_fully(input.fd, data + head, size - head);
  const bool complete = got >= 0 && static_cast<uint64_t>(got) == size - head;
  char probe;
  // A file still being written would otherwise be cut at the size it had when it was opened.
  const bool grew = complete && read_fully(input.fd, &probe, 1) == 1;
  data[size] = '\0';
  block.size = size;
  if (!complete || input.head_size > size) {
    loaded.end = LoadEnd::kShort;
    loaded.short_size = size;
  } else if (grew) {
    loaded.end = LoadEnd::kGrew;
  }
}

// Any other input, through the chunk pipeline: FASTA is appended to the
// block as it comes, FASTQ checked and kept compactly. at_least: the bytes
// the source is sure to give (0: not known).
void read_through_pipeline(ByteSource& source, int64_t size, uint64_t size_hint, uint64_t at_least,
                           bool empty_allowed, InputBlock& block, LoadedInput& loaded) {
  bool first = true;
  bool fastq = false;
  FastqCompactor compactor(block);
  uint64_t filled = 0;
  uint64_t data_bytes = 0;
  uint64_t carried = 0;  // bytes the last window left, handed again
  bool estimate_pending = false;  // FASTQ: what it keeps is known once a record was taken
  const SourceState ended = run_chunk_pipeline(source, [&](const char* window, size_t bytes, bool last) -> size_t {
    data_bytes += bytes - carried;
    size_t mark = 0;
    if (first) {  // the first window holds the first 4 MiB (1 MiB on a loading worker), or the whole input
      first = false;
      const auto* data = reinterpret_cast<const unsigned char*>(window);
      fastq = starts_fastq(data, bytes);
      if (fastq) mark = byte_order_mark(data, bytes);  // FASTA keeps it: the parse steps over it
      start_input_buffer(block, (fastq ? size_hint / 2 : size_hint) + 1);  // FASTQ kept compactly takes about half
      if (!fastq) expect_input_bytes(block, at_least);
      estimate_pending = fastq && at_least > 0;
    }
    size_t taken;
    if (fastq) {
      taken = mark + compactor.take(window + mark, bytes - mark, last);
      // The rest is expected to keep as much of its bytes as the first records kept of theirs.
      if (estimate_pending && taken > 0) {
        estimate_pending = false;
        expect_input_bytes(block,
                           static_cast<uint64_t>(static_cast<double>(at_least) * compactor.kept_bytes() / taken));
      }
    } else {
      memcpy(input_buffer_room(block, filled, bytes), window, bytes);
      filled += bytes;
      taken = bytes;
    }
    carried = bytes - taken;
    return taken;
  }, [&] { return take_expected_pages(block); }, block.on_worker);
  switch (ended) {
    case SourceState::kUnreadable:
      loaded.end = LoadEnd::kUnreadable;
      return;
    case SourceState::kCorrupt:
      loaded.end = LoadEnd::kCorrupt;
      return;
    case SourceState::kShort:
      loaded.end = LoadEnd::kShort;
      loaded.short_size = static_cast<uint64_t>(size);
      return;
    case SourceState::kGrew:
      loaded.end = LoadEnd::kGrew;
      return;
    case SourceState::kNoMemory:
      loaded.end = LoadEnd::kNoMemory;
      return;
    default:
      break;
  }
  finish_input_buffer(block, fastq ? compactor.kept_bytes() : filled);
  loaded.data_bytes = data_bytes;
  if (data_bytes == 0 && !empty_allowed) {
    loaded.end = LoadEnd::kNoData;
  } else if (fastq) {
    loaded.fastq = true;
    loaded.fastq_records = compactor.records();
    if (!compactor.failure().empty()) {
      loaded.end = LoadEnd::kMalformed;
      loaded.malformed = compactor.failure();
    }
  }
}

// load_input once the file is open; the caller closes input.fd.
void load_opened(OpenInput& input, bool empty_allowed, InputBlock& block, LoadedInput& loaded) {
  // A few bytes tell the form: gzip, zstd, the compressed forms refused, FASTQ or FASTA.
  const int64_t head = read_fully(input.fd, reinterpret_cast<char*>(input.head), 6);
  if (head < 0) {
    loaded.end = LoadEnd::kUnreadable;
    return;
  }
  input.head_size = static_cast<size_t>(head);
  if (const char* refused = unread_compression(input.head, input.head_size)) {
    loaded.end = LoadEnd::kRefusedCompression;
    loaded.refused_compression = refused;
    return;
  }
  std::unique_ptr<ByteSource> source;
  // A source's helper threads end with it, also when the run ends early.
  const auto end_source = [&] { source.reset(); };
  std::optional<StopOnRunEnd> source_stops;
  if (!block.on_worker) source_stops.emplace(end_source);
  uint64_t size_hint = 0;
  uint64_t at_least = 0;
  int64_t size = -1;
  // A source's buffers and decompressor state come from the C++ library.
  const auto make_source = [&](auto make) {
    try {
      source = make();
    } catch (const std::bad_alloc&) {
      if (block.on_worker) throw;
      fail_out_of_memory();
    }
  };
  if (is_gzip_magic(input.head, input.head_size)) {
    loaded.gzip = true;
    size_hint = gzip_size_hint(input.fd, &at_least);
    make_source([&] { return make_gzip_source(input, block.on_worker); });
  } else if (is_zstd_magic(input.head, input.head_size)) {
    make_source([&] { return make_zstd_source(input); });
  } else {
    size = seekable_size(input);
    // Files of /proc and the like show size 0 whatever they hold, so a size
    // of 0 is no proof of an empty file: such files are read like a stream.
    if (size > 0 && !starts_fastq(input.head, input.head_size)) {
      read_sized_file(input, static_cast<uint64_t>(size), block, loaded);
      return;
    }
    if (size == 0) size = -1;
    size_hint = size > 0 ? static_cast<uint64_t>(size) : 0;
    at_least = size_hint;
    make_source([&] { return std::make_unique<PlainSource>(input, size); });
  }
  read_through_pipeline(*source, size, size_hint, at_least, empty_allowed, block, loaded);
}

}  // namespace

LoadedInput load_input(const char* path, InputBlock& block, bool empty_allowed) {
  LoadedInput loaded = {};
  loaded.end = LoadEnd::kLoaded;
  OpenInput input = {};
  input.fd = strcmp(path, "-") == 0 ? 0 : open(path, O_RDONLY | O_CLOEXEC);
  if (input.fd < 0) {
    loaded.end = LoadEnd::kCannotOpen;
    return loaded;
  }
  try {
    load_opened(input, empty_allowed, block, loaded);
  } catch (const AllocationRefused& refused) {  // only a worker's load throws
    loaded.end = LoadEnd::kBytesRefused;
    loaded.refused_bytes = refused.bytes;
  } catch (const std::bad_alloc&) {
    loaded.end = LoadEnd::kNoMemory;
  } catch (...) {  // a fuzzing build's end of run
    close(input.fd);
    throw;
  }
  close(input.fd);
  return loaded;
}

void report_load_failure(const LoadedInput& loaded, const char* path) {
  switch (loaded.end) {
    case LoadEnd::kCannotOpen:
      fail(kExitFailure, "Can't open file \"%s\"\n", path);
    case LoadEnd::kUnreadable:
      fail(kExitFailure, "Can't read input file \"%s\"\n", path);
    case LoadEnd::kRefusedCompression:
      fail(kExitFailure, "Input file \"%s\" is %s compressed; decompress it or recompress it with gzip or zstd\n", path,
           loaded.refused_compression);
    case LoadEnd::kCorrupt:
      fail(kExitFailure, "Can't decompress input file \"%s\"\n", path);
    case LoadEnd::kShort:
      fail(kExitFailure, "Can't read %llu bytes from input file\n", static_cast<unsigned long long>(loaded.short_size));
    case LoadEnd::kGrew:
      fail(kExitFailure, "Input file \"%s\" grew while it was read\n", path);
    case LoadEnd::kBytesRefused:
      fail(kExitMallocFailure, "Error: can't allocate %zu bytes\n", loaded.refused_bytes);
    case LoadEnd::kMalformed:
      fail(kExitFailure, "%s", loaded.malformed.c_str());
    case LoadEnd::kNoData:
      fail(kExitFailure, "Can't load input data\n");
    case LoadEnd::kNoMemory:
    case LoadEnd::kLoaded:
      break;
  }
  fail_out_of_memory();
}

void load_file(const char* path, bool empty_allowed) {
  RunState& s = run_state;
  const double started = monotonic_seconds();
  InputBlock block = {&s.input_buffer, &s.input_buffer_bytes, 0, 0, 0, false};
  const LoadedInput loaded = load_input(path, block, empty_allowed);
  if (loaded.end != LoadEnd::kLoaded) report_load_failure(loaded, path);
  s.input_size = block.size;
  s.input_data_bytes = loaded.data_bytes;
  s.input_compressed = loaded.gzip;
  s.input_is_fastq = loaded.fastq;
  s.fastq_records = loaded.fastq_records;
  if (s.input_compressed) run_statistics.decompress_seconds = monotonic_seconds() - started;
}
