// Reads the whole input into one tracked block: run_state.input_buffer (the
// data and a closing NUL), input_size and input_buffer_bytes. gzip and zstd
// data are inflated on the way (input_compressed for gzip); FASTQ is checked
// as it arrives and held compactly (input_is_fastq, fastq_records: see
// input/fastq_compactor.h). The samples of an experiment are loaded the same
// way, each into a block of its own, several at once (input/experiment.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct InputBlock;

// How loading an input ended.
enum class LoadEnd {
  kLoaded,
  kCannotOpen,           // the file does not open
  kUnreadable,           // a read failed
  kRefusedCompression,   // bzip2 or xz data: refused_compression names it
  kCorrupt,              // compressed data that does not inflate
  kShort,                // a sized file gave fewer bytes than its size (short_size)
  kGrew,                 // a sized file gave more
  kNoMemory,             // the C++ library's memory ran out (a source's buffers, a message)
  kBytesRefused,         // a block of refused_bytes could not be had
  kMalformed,            // FASTQ that is not sound: malformed holds the message
  kNoData,               // nothing in it, where an empty input is not allowed
};

// What loading an input found: its data are in the block it was loaded into.
struct LoadedInput {
  LoadEnd end;
  const char* refused_compression;  // kRefusedCompression: the form's name
  uint64_t short_size;              // kShort: the size the file showed
  size_t refused_bytes;             // kBytesRefused
  std::string malformed;            // kMalformed: the FASTQ check's message
  uint64_t data_bytes;              // bytes of data as read (inflated), before FASTQ is compacted
  uint64_t fastq_records;           // FASTQ records kept; 0 for FASTA
  bool fastq;                       // the data are FASTQ, held compactly
  bool gzip;                        // the file holds gzip data
};

// The path "-" is standard input. A regular file of FASTA is sized and read
// with large read calls straight into the block; every other input (FASTQ, a
// pipe, a terminal, a file that shows size 0, compressed data) goes through
// the chunk pipeline, read or inflated on a thread of its own while the
// chunks that have arrived are taken. Exits with a message on any failure,
// and on an empty input unless empty_allowed (one of several inputs).
void load_file(const char* path, bool empty_allowed = false);

// Loads path into block (which holds nothing yet) and says how it ended; the
// block is finished (input/input_buffer.h) when the input was loaded. On the
// main thread (block.on_worker unset) memory that runs out ends the run as
// load_file does; on a loading worker nothing ends the run: the input is read
// and inflated on the worker alone, and the failure comes back in the result.
[[nodiscard]] LoadedInput load_input(const char* path, InputBlock& block, bool empty_allowed);

// Ends the run with the message load_file prints for the way loading path ended.
[[noreturn]] void report_load_failure(const LoadedInput& loaded, const char* path);

// Bytes of a UTF-8 byte-order mark at the start of data, or 0.
[[nodiscard]] size_t byte_order_mark(const unsigned char* data, size_t size);
