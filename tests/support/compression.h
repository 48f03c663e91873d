// Test data compressed as the tools of the field write it: gzip members,
// block-gzip members that announce their own size, zstd frames.
#pragma once

#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

// data deflated raw (window_bits -15) or as one gzip member (15 + 16).
inline std::string deflated(const std::string& data, int window_bits) {
  z_stream stream{};
  if (deflateInit2(&stream, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  std::string out(deflateBound(&stream, data.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  if (deflate(&stream, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

inline std::string gzip_member(const std::string& data) { return deflated(data, 15 + 16); }

// One member as block-gzip writes it, its compressed size in a "BC" extra field.
inline std::string block_member(const std::string& piece) {
  const auto little_endian = [](uint32_t value, int bytes) {
    std::string le;
    for (int i = 0; i < bytes; ++i) le += static_cast<char>(value >> (8 * i) & 0xff);
    return le;
  };
  const std::string data = deflated(piece, -15);
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(piece.data()), static_cast<uInt>(piece.size()));
  return std::string("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0", 16) +
         little_endian(static_cast<uint32_t>(data.size() + 25), 2) + data +
         little_endian(static_cast<uint32_t>(crc), 4) + little_endian(static_cast<uint32_t>(piece.size()), 4);
}

// data as block-gzip: members of at most block_bytes inflated bytes, then the
// empty member that closes such files.
inline std::string block_gzip(const std::string& data, size_t block_bytes = 65280) {
  std::string out;
  for (size_t at = 0; at < data.size(); at += block_bytes) out += block_member(data.substr(at, block_bytes));
  return out + block_member("");
}

inline std::string zstd_frame(const std::string& data) {
  std::string out(ZSTD_compressBound(data.size()), '\0');
  const size_t size = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3);
  if (ZSTD_isError(size)) std::abort();
  out.resize(size);
  return out;
}
