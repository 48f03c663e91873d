// Shared by the fuzz targets: runs the tool's phases for one input inside the
// fuzzing process with standard error and output captured, leaving a zeroed
// RunState behind; and the plain reference screening the packed barcodes are
// checked against.
#pragma once

#include <getopt.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/tracked_memory.h"
#include "run/teardown.h"
#include "support/references.h"

// Text as the tool's messages show it: bytes below 0x20 and 0x7F as \xHH (line ends kept where a whole
// message is shown), so that no byte can hide or redraw the line.
inline std::string shown(const std::string& text, bool keep_line_ends = false) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char byte : text) {
    if ((byte >= 0x20 && byte != 0x7f) || (keep_line_ends && byte == '\n')) {
      out += static_cast<char>(byte);
    } else {
      out += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
    }
  }
  return out;
}

// A broken invariant: say which on the real standard error and abort, so that libFuzzer keeps the input.
// Written to descriptor 2: inside a ToolRun the stderr stream is a memory stream.
[[noreturn]] inline void fuzz_check_failed(const char* condition, const char* what, const std::string& detail) {
  dprintf(STDERR_FILENO, "\nFUZZ CHECK FAILED: %s\n  %s\n%s\n", condition, what, detail.c_str());
  std::abort();
}
#define FUZZ_CHECK(condition, what, detail) ((condition) ? void() : fuzz_check_failed(#condition, what, detail))

// The path of a memory file that holds bytes (the last bytes written: one file serves every input).
inline const std::string& input_file(const std::string& bytes) {
  static const int fd = memfd_create("fuzz-input", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, bytes.data(), bytes.size(), 0) != ssize_t(bytes.size())) std::abort();
  return path;
}

// While it lives, stderr and stdout are memory streams. run() returns 0 when
// the phases return, else the status they ended with; finish() runs the
// teardown, checks every tracked byte came back and zeroes RunState.
class ToolRun {
 public:
  ToolRun() {
    std::memset(&run_state, 0, sizeof run_state);
    optind = 0;  // getopt_long starts afresh
    saved_[0] = stderr, saved_[1] = stdout;
    stderr = open_memstream(&text_[0], &size_[0]);
    stdout = open_memstream(&text_[1], &size_[1]);
  }
  ~ToolRun() {
    if (!finished_) finish();
    std::free(text_[0]), std::free(text_[1]);
  }
  template <class Phases>
  int run(Phases phases) {
    try {
      phases();
      return kExitSuccess;
    } catch (const RunEnded& ended) {
      return ended.status;
    }
  }
  void finish() {
    finished_ = true;
    release_all();
    const int64_t left = run_state.bytes_allocated;
    std::fclose(stderr), std::fclose(stdout);
    stderr = saved_[0], stdout = saved_[1];
    err_.assign(text_[0], size_[0]), out_.assign(text_[1], size_[1]);
    std::memset(&run_state, 0, sizeof run_state);
    FUZZ_CHECK(left == 0, "the teardown left tracked bytes behind", err_);
  }
  const std::string& err() const { return err_; }
  const std::string& out() const { return out_; }

 private:
  FILE* saved_[2];
  char* text_[2] = {nullptr, nullptr};
  size_t size_[2] = {0, 0};
  bool finished_ = false;
  std::string err_, out_;
};

// A record's packed words against the reference bases: two bits a base from the top of each word, zero fill.
inline void check_packed(const SequenceRecord* record, const std::string& bases) {
  for (uint32_t w = 0; w < run_state.barcode_words; ++w) {
    uint64_t expected = 0;
    for (size_t j = 0, position = 32ull * w; j < 32 && position + j < bases.size(); ++j) {
      expected |= static_cast<uint64_t>(std::strchr("ACGT", bases[position + j]) - "ACGT") << (62 - 2 * j);
    }
    FUZZ_CHECK(record_barcode(record)[w] == expected, "packed barcode differs from the reference", bases);
  }
}
