// The loading of every input form against plain references: gzip inflated by
// zlib (members one after the other, nothing after the last), zstd by its
// one-shot decoder, and FASTQ checked by the reference reading of the whole inflated text.
// The loader reads in chunks of a few dozen bytes in this build, so records,
// line ends and byte-order marks fall across chunk boundaries, on one thread
// or with a reading thread (the first input byte chooses).
//
// When the first byte's second bit is set, the input is text that is first
// framed as block-gzip (blocks of a size the next byte chooses) and then
// damaged as that byte says: a block's announced size changed, the data cut
// inside a block, a plain member between blocks, a flipped byte, or bytes
// after the end; the third byte says where.
//
// The load must end as the references say: the same message and status, or
// the inflated FASTA byte for byte, or the FASTQ records' names and sequences.
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "input/fastq_parser.h"
#include "input/input_loader.h"
#include "support/compression.h"

namespace {

// gzip members one after the other, as zlib inflates them; nothing when corrupt.
std::optional<std::string> zlib_inflate(const std::string& data) {
  std::string out;
  size_t at = 0;
  do {
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) return std::nullopt;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + at));
    stream.avail_in = static_cast<uInt>(data.size() - at);
    int status;
    do {
      char buffer[4096];
      stream.next_out = reinterpret_cast<Bytef*>(buffer);
      stream.avail_out = sizeof buffer;
      status = inflate(&stream, Z_NO_FLUSH);
      out.append(buffer, sizeof buffer - stream.avail_out);
    } while (status == Z_OK);
    at = data.size() - stream.avail_in;
    inflateEnd(&stream);
    if (status != Z_STREAM_END) return std::nullopt;
  } while (at < data.size());
  return out;
}

// text framed as block-gzip and damaged as shape says, at a place where picks.
std::string damaged_blocks(const std::string& text, uint8_t shape, uint8_t where) {
  const size_t block_bytes = 1 + (shape & 31) * 3;
  std::vector<std::string> members;
  for (size_t at = 0; at < text.size(); at += block_bytes)
    members.push_back(block_member(text.substr(at, block_bytes)));
  members.push_back(block_member(""));
  std::string& chosen = members[where % members.size()];
  switch (shape >> 5) {
    case 1: {  // the announced size off by a little
      const int size = (static_cast<uint8_t>(chosen[16]) | static_cast<uint8_t>(chosen[17]) << 8) +
                       (where & 8 ? 1 : -1) * (1 + (where >> 4));
      chosen[16] = static_cast<char>(size & 0xff);
      chosen[17] = static_cast<char>(size >> 8 & 0xff);
      break;
    }
    case 2:  // a plain member in the place of a block, with the same bytes
      chosen = gzip_member(text.substr(std::min(text.size(), (where % members.size()) * block_bytes), block_bytes));
      break;
    case 3:  // a flipped byte
      chosen[(where * 7u) % chosen.size()] ^= static_cast<char>(1 << (where % 8));
      break;
    case 4:  // cut inside the block
      chosen.resize((where * 5u) % chosen.size());
      members.resize(static_cast<size_t>(&chosen - members.data()) + 1);
      break;
    case 5:  // bytes after the end
      members.push_back(std::string(1 + where % 5, static_cast<char>(where)));
      break;
    default:  // sound
      break;
  }
  std::string out;
  for (const std::string& member : members) out += member;
  return out;
}

// zstd frames one after the other, each found whole first; nothing when
// corrupt or truncated.
std::optional<std::string> zstd_inflate(const std::string& data) {
  std::string out;
  size_t at = 0;
  while (at < data.size()) {
    const size_t frame = ZSTD_findFrameCompressedSize(data.data() + at, data.size() - at);
    if (ZSTD_isError(frame)) return std::nullopt;
    ZSTD_DCtx* context = ZSTD_createDCtx();
    ZSTD_inBuffer in = {data.data() + at, frame, 0};
    size_t left = 1;
    while (left != 0 && out.size() < (64u << 20)) {
      char buffer[4096];
      ZSTD_outBuffer piece = {buffer, sizeof buffer, 0};
      left = ZSTD_decompressStream(context, &piece, &in);
      if (ZSTD_isError(left)) break;
      out.append(buffer, piece.pos);
      if (piece.pos == 0 && in.pos == in.size && left != 0) break;
    }
    ZSTD_freeDCtx(context);
    if (left != 0) return std::nullopt;
    at += frame;
  }
  return out;
}

// The last line of standard error.
std::string last_line(const std::string& err) {
  const size_t start = err.size() < 2 ? std::string::npos : err.rfind('\n', err.size() - 2);
  return err.substr(start == std::string::npos ? 0 : start + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool blocks = data[0] & 2;
  if (blocks && size < 3) return 0;
  const std::string input =
      blocks ? damaged_blocks(std::string(reinterpret_cast<const char*>(data) + 3, size - 3), data[1], data[2])
             : std::string(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string& input_path = input_file(input);

  // The reference: the inflated text, or nothing when the data is corrupt.
  const bool gzip = input.size() >= 2 && input[0] == '\x1f' && input[1] == '\x8b';
  const bool zstd = input.size() >= 4 && input.compare(0, 4, "\x28\xb5\x2f\xfd") == 0;
  const std::optional<std::string> text = gzip ? zlib_inflate(input) : zstd ? zstd_inflate(input) : input;
  const size_t mark = text && text->compare(0, 3, "\xef\xbb\xbf") == 0 ? 3 : 0;
  const bool fastq = text && text->size() > mark && (*text)[mark] == '@';
  const bool refused = (input.size() >= 4 && input.compare(0, 3, "BZh") == 0 && input[3] >= '1' && input[3] <= '9') ||
                       input.compare(0, 6,
                                     std::string("\xfd"
                                                 "7zXZ\0",
                                                 6)) == 0;

  ToolRun tool;
  std::string held;
  uint64_t records = 0;
  const int status = tool.run([&] {
    run_state.jobs = data[0] & 1 ? 2 : 1;
    load_file(input_path.c_str());
    held.assign(run_state.input_buffer, run_state.input_size);
    FUZZ_CHECK(run_state.input_buffer[run_state.input_size] == '\0', "the closing NUL", input);
    records = run_state.fastq_records;
  });
  tool.finish();
  const std::string message = last_line(tool.err());
  if (refused) {
    FUZZ_CHECK(status == 1 && message.find(" compressed; decompress it") != std::string::npos, "bzip2 or xz refused",
               tool.err());
    return 0;
  }
  if (!text) {
    FUZZ_CHECK(status == 1 && message == "Can't decompress input file \"" + input_path + "\"\n", "corrupt data refused",
               tool.err());
    return 0;
  }
  if (text->empty()) {
    FUZZ_CHECK(status == 1 && message == "Can't load input data\n", "empty input refused", tool.err());
    return 0;
  }
  if (!fastq) {
    FUZZ_CHECK(status == 0 && held == *text, "FASTA held byte for byte", input);
    return 0;
  }
  const ReferenceParse reference = reference_fastq(text->substr(mark));
  if (!reference.message.empty()) {
    FUZZ_CHECK(status == 1 && message == shown(reference.message, true), "the FASTQ message", tool.err() + reference.message);
    return 0;
  }
  std::string kept;  // the records as the loader holds them
  for (const ReferenceRecord& record : reference.records) kept += ">" + record.name + '\0' + record.sequence + '\0';
  FUZZ_CHECK(status == 0 && held == kept && records == reference.records.size(), "FASTQ kept as names and sequences",
             tool.err());
  return 0;
}
