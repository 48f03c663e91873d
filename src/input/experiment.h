// An experiment (--experiment): a sample sheet naming many input files, read
// as one input. Owns run_state.experiment: the sheet is read and checked with
// the command line, every sample's file is loaded into the one input_buffer
// in sheet order, and the parse cuts each sample's records into the one
// record table, so a sample is a range of record indices.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One line of the sample sheet and what loading and the parse found of its file.
struct Sample {
  std::string name;        // sheet: the first field
  std::string path;        // sheet: the second field, taken from the sheet's directory when relative
  uint32_t sheet_line;     // sheet: the line that names the sample
  char* block;             // loading: the block its file is loaded into, until the blocks are gathered
  uint64_t block_bytes;    // loading: the size block was allocated with
  uint64_t data_offset;    // loading: where its data begin in input_buffer
  uint64_t data_size;      // loading: its bytes there, without the NUL that closes them
  uint64_t data_bytes;     // loading: bytes of data as read (inflated), before FASTQ is compacted
  uint64_t fastq_records;  // loading: FASTQ records kept; 0 for FASTA
  int fastq;               // loading: 1 when its file held FASTQ
  int gzip;                // loading: 1 when its file was gzip data
  uint64_t first_record;   // parse: index of its first record in the record table
  uint64_t record_count;   // parse: its records
};

struct Experiment {
  const char* sheet_path;       // --experiment, as typed
  std::vector<Sample> samples;  // sheet order
};

// The column names of the cluster table, which no sample may take.
extern const char* const kClusterTableColumns[];

// With --umi, the cluster table names each sample's column of molecules by
// the sample and this suffix.
extern const char* const kMoleculesColumnSuffix;

// Reads and checks the sheet at path into run_state.experiment; exits with a
// message naming the sheet, the line and the problem, and status 1, before
// any output exists. Opens each sample's file once, to refuse the ones that
// cannot be opened and the same file named twice.
void read_sample_sheet(const char* path);

// Loads every sample's file into run_state.input_buffer, in sheet order, each
// one closed by a NUL byte: the files are loaded at once on the workers, each
// into a block of its own, and the blocks gathered in sheet order. A failure
// names the file and its sample; of several, the first in sheet order.
// Sets input_size, input_buffer_bytes, input_data_bytes and, when every
// sample holding data is FASTQ, input_is_fastq; input_compressed when any
// sample is gzip data.
void load_samples();

// Cuts every sample's records into the one record table, in sheet order, and
// prints one line per sample: its name, format and reads. Sets record_count,
// record_table and each sample's first_record and record_count.
void parse_samples();

// True when some samples hold FASTA and others FASTQ.
[[nodiscard]] bool samples_mix_formats();

// Releases the experiment; accepts one already released.
void release_experiment();
