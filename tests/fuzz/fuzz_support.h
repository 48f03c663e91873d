// Shared by the fuzz targets: runs the tool's phases for one input inside
// the fuzzing process, with standard error and standard output captured, and
// leaves a zeroed RunState behind. Also holds the plain reference screening
// that the targets check the packed barcodes against.
#pragma once

#include <getopt.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "run/messages.h"
#include "run/run_state.h"
#include "run/tracked_memory.h"

// A broken invariant: say which one on the real standard error and abort, so
// that libFuzzer keeps the input.
#define FUZZ_CHECK(condition, ...)                                \
  do {                                                            \
    if (!(condition)) fuzz_check_failed(#condition, __VA_ARGS__); \
  } while (0)

[[noreturn]] inline void fuzz_check_failed(const char* condition, const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "\nFUZZ CHECK FAILED: %s\n  %s\n%s\n", condition, what, detail.c_str());
  std::abort();
}

// One run of some phases. While it lives, stderr and stdout are memory
// streams; finish() runs the teardown, checks that every tracked byte came
// back, and zeroes RunState for the next input.
class ToolRun {
 public:
  ToolRun() {
    std::memset(&run_state, 0, sizeof run_state);
    optind = 0;  // makes getopt_long start afresh
    saved_err_ = stderr;
    saved_out_ = stdout;
    stderr = open_memstream(&err_text_, &err_size_);
    stdout = open_memstream(&out_text_, &out_size_);
  }
  ~ToolRun() {
    if (!finished_) finish();
    std::free(err_text_);
    std::free(out_text_);
  }
  ToolRun(const ToolRun&) = delete;
  ToolRun& operator=(const ToolRun&) = delete;

  // Runs the phases; returns 0 when they return, else the status they ended with.
  template <class Phases>
  int run(Phases phases) {
    try {
      phases();
      return kExitSuccess;
    } catch (const RunEnded& ended) {
      return ended.status;
    }
  }

  // The teardown; afterwards err() and out() hold what the run wrote.
  void finish() {
    finished_ = true;
    release_all();
    const int64_t left = run_state.bytes_allocated;
    std::fclose(stderr);
    std::fclose(stdout);
    stderr = saved_err_;
    stdout = saved_out_;
    err_.assign(err_text_, err_size_);
    out_.assign(out_text_, out_size_);
    std::memset(&run_state, 0, sizeof run_state);
    FUZZ_CHECK(left == 0, "the teardown left tracked bytes behind", err_);
  }
  const std::string& err() const { return err_; }
  const std::string& out() const { return out_; }

 private:
  FILE* saved_err_;
  FILE* saved_out_;
  char* err_text_ = nullptr;
  size_t err_size_ = 0;
  char* out_text_ = nullptr;
  size_t out_size_ = 0;
  bool finished_ = false;
  std::string err_;
  std::string out_;
};

enum class Screening { accepted, template_mismatch, has_n, unknown_character };

struct ReferenceBarcode {
  Screening result;
  std::string bases;  // upper-case A/C/G/T, one per barcode position walked
};

inline bool is_barcode_position(char letter) {
  const int upper = std::toupper(static_cast<unsigned char>(letter));
  return upper == 'N' || upper == '.';
}

// The screening rules written as plainly as possible: walk the read and the
// template together up to the shorter of the two.
inline ReferenceBarcode reference_screening(const std::string& template_text, const char* read) {
  ReferenceBarcode result{Screening::accepted, ""};
  size_t positions = 0;
  for (char letter : template_text) positions += is_barcode_position(letter);
  for (size_t i = 0; i < template_text.size() && read[i] != '\0'; ++i) {
    const int base = std::toupper(static_cast<unsigned char>(read[i]));
    if (std::strchr("ACGT", base) == nullptr || base == 0) {
      result.result = base == 'N' ? Screening::has_n : Screening::unknown_character;
      return result;
    }
    if (is_barcode_position(template_text[i])) {
      result.bases += static_cast<char>(base);
    } else if (base != std::toupper(static_cast<unsigned char>(template_text[i]))) {
      result.result = Screening::template_mismatch;
      return result;
    }
  }
  if (result.bases.size() != positions) result.result = Screening::template_mismatch;
  return result;
}

// Checks a record's packed words against the reference bases: two bits a
// base from the top of each word, zero bits after the last base.
inline void check_packed(const SequenceRecord* record, const std::string& bases) {
  const uint64_t* words = record_barcode(record);
  for (uint32_t w = 0; w < run_state.barcode_words; ++w) {
    uint64_t expected = 0;
    for (uint32_t j = 0; j < 32; ++j) {
      const size_t position = 32ull * w + j;
      const uint64_t code = position < bases.size() ? std::strchr("ACGT", bases[position]) - "ACGT" : 0;
      expected |= code << (62 - 2 * j);
    }
    FUZZ_CHECK(words[w] == expected, "packed barcode differs from the reference", bases);
  }
}
