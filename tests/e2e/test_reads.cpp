#include "e2e/test_reads.h"

#include <zlib.h>

#include <stdexcept>

std::vector<TestRead> make_test_reads(int count, uint32_t seed) {
  uint64_t state = seed * 0x9e3779b97f4a7c15ull + 1;
  auto next = [&state](uint32_t bound) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>((state >> 33) % bound);
  };
  const char* bases = "ACGT";
  std::vector<std::string> pool;
  for (int i = 0; i < 12; ++i) {
    std::string barcode;
    for (int j = 0; j < 6; ++j) barcode += bases[next(4)];
    pool.push_back(barcode);
  }
  std::vector<TestRead> reads;
  for (int i = 0; i < count; ++i) {
    std::string barcode = pool[next(static_cast<uint32_t>(pool.size()))];
    for (int substitutions = static_cast<int>(next(3)); substitutions > 0; --substitutions) {
      barcode[next(6)] = bases[next(4)];
    }
    std::string sequence = "AC" + barcode + "GT" + (i % 3 == 0 ? "acgt" : "");
    if (next(40) == 0) sequence[2 + next(6)] = 'N';
    if (next(40) == 0) sequence[0] = 'G';
    reads.push_back({"read" + std::to_string(i + 1) + " lane:" + std::to_string(i % 4), sequence});
  }
  return reads;
}

std::string as_fasta(const std::vector<TestRead>& reads, const std::string& line_end) {
  std::string text;
  for (const TestRead& read : reads) text += ">" + read.name + line_end + read.sequence + line_end;
  return text;
}

std::string as_fastq(const std::vector<TestRead>& reads, const std::string& line_end) {
  std::string text;
  for (size_t i = 0; i < reads.size(); ++i) {
    // Quality bytes '@' and '>' must not pass for record starts.
    const std::string quality(reads[i].sequence.size(), i % 2 == 0 ? '@' : '>');
    text += "@" + reads[i].name + line_end + reads[i].sequence + line_end + "+" + line_end + quality + line_end;
  }
  return text;
}

std::string gzip_member(const std::string& data) {
  z_stream stream{};
  if (deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  std::string out(deflateBound(&stream, data.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  if (deflate(&stream, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}
