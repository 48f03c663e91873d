#include "input/gzip_input.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "input/input_loader.h"
#include "support/run_state_fixture.h"

namespace {

using GzipInput = RunStateTest;

std::string gzip_member(const std::string& data) {
  z_stream stream{};
  deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, data.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// A file that removes itself.
struct TempFile {
  std::string path = (std::filesystem::temp_directory_path() / ("tarnwell-gzip-" + std::to_string(getpid()))).string();
  explicit TempFile(const std::string& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
  }
  ~TempFile() { std::remove(path.c_str()); }
};

// Data that compresses far beyond the guesses, in members whose last
// trailer understates the total: the buffer has to grow many times.
TEST_F(GzipInput, GrowsToTheWholeDataAndGivesBackTheRest) {
  std::string data;
  for (int i = 0; data.size() < (2u << 20); ++i) data += ">read" + std::to_string(i % 7) + "\nACGTACGTACGT\n";
  const TempFile file(gzip_member(data.substr(0, 12345)) + gzip_member(data.substr(12345)) + gzip_member("x"));
  load_file(file.path.c_str());
  const RunState& s = run_state;
  ASSERT_EQ(s.input_size, data.size() + 1);
  EXPECT_EQ(std::string(s.input_buffer, s.input_size), data + "x");
  EXPECT_EQ(s.input_buffer[s.input_size], '\0');
  EXPECT_EQ(s.input_buffer_bytes, s.input_size + 1);
  EXPECT_EQ(s.bytes_allocated, static_cast<int64_t>(s.input_buffer_bytes));
  EXPECT_EQ(s.input_compressed, 1);
}

}  // namespace
