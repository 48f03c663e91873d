// Checks FASTQ as it arrives, piece by piece, and keeps only what the run
// uses: each record's name and sequence, as ">name\0sequence\0" back to back
// in the input's block (input/input_buffer.h). '+' lines and quality lines are checked (the
// same messages and line numbers as a check of the whole file) and dropped,
// so FASTQ needs the memory of the same reads as two-line FASTA.
//
// A name or sequence ends at its first NUL byte for every later use, so the
// bytes after such a NUL up to the line end are not kept either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Called for every sound record, in input order, before its quality line is
// dropped: the record's index, its sequence and its quality line (length
// bytes each). For checks that need the qualities (at barcode positions, for
// example); it may keep a per-record result of its own.
using FastqQualityHook = void (*)(uint64_t record, const char* sequence, const char* quality, uint64_t length);
extern FastqQualityHook fastq_quality_hook;

struct InputBlock;

class FastqCompactor {
 public:
  explicit FastqCompactor(InputBlock& block) : block_(block) {}

  // Checks and keeps the records that lie whole in the window, which begins
  // where the last call stopped; returns the bytes taken. With last set
  // nothing follows the window. After the first malformed record, takes
  // everything and keeps nothing more.
  size_t take(const char* window, size_t size, bool last);

  [[nodiscard]] uint64_t records() const { return records_; }
  [[nodiscard]] uint64_t kept_bytes() const { return kept_; }
  // The message of the first malformed record, or empty.
  [[nodiscard]] const std::string& failure() const { return failure_; }

 private:
  InputBlock& block_;  // where the kept records go
  uint64_t line_ = 1;  // line number of the window's first byte
  uint64_t records_ = 0;
  uint64_t kept_ = 0;
  std::string failure_;
};

// Fills the record table from the kept records (records of them), from index first_record on.
void index_compact_fastq(char* kept, uint64_t records, uint64_t first_record);
