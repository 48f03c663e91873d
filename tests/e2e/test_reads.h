// Test data for the end-to-end tests: a reproducible set of barcoded reads
// written as FASTA or FASTQ, and gzip members made with zlib.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TestRead {
  std::string name;
  std::string sequence;
};

// count reads whose 6-base barcodes come from a small pool with substitutions,
// so that clusters at distance 1 and 2 form; a few reads carry N or a wrong
// fixed letter. Layout: "AC" + barcode + "GT", template kTestTemplate.
std::vector<TestRead> make_test_reads(int count, uint32_t seed);
inline constexpr const char* kTestTemplate = "ACNNNNNNGT";

std::string as_fasta(const std::vector<TestRead>& reads, const std::string& line_end = "\n");
std::string as_fastq(const std::vector<TestRead>& reads, const std::string& line_end = "\n");

// One gzip member holding data.
std::string gzip_member(const std::string& data);
