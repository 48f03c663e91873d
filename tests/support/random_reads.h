// The tests' reads, from one deterministic generator: random read sets for
// the differential tests (a template and a FASTA text whose barcodes crowd
// together, so that every distance pass has joins to order), and reads of one
// fixed template for the end-to-end tests, as FASTA or FASTQ.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A small deterministic generator, so a failing case can be replayed from its seed.
class CaseRandom {
 public:
  explicit CaseRandom(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t next();
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
  bool chance(uint32_t percent) { return below(100) < percent; }

 private:
  uint64_t state_;
};

struct ReadSet {
  std::string template_text, fasta;
};

// Barcode lengths by class: 0 gives 1 to 7 positions, 1 exactly 8, 2 from 9
// to 32, 3 from 33 to 70. Up to max_reads reads, the first always accepted.
ReadSet random_read_set(CaseRandom& random, uint32_t length_class, uint32_t max_reads);

// How the barcodes of a read set begin: as they come, with a stretch that
// is the same in every read, with first 8 bases of G and T only, or with one
// 8-base start in nine reads of ten. The last three crowd the barcodes into
// few buckets of the first 8 bases. Or half of them turn to G from one of
// their first 10 bases on, as the dark cycles of a two-colour sequencer
// read: many barcodes then share the suffix after the first 8 bases.
enum class BarcodeStart { as_drawn, constant, two_letters, mostly_one_key, g_run_end };
ReadSet shaped_read_set(CaseRandom& random, BarcodeStart start, uint32_t length_class, uint32_t max_reads);
// Two-line FASTA text rewritten with the same records: sequences wrapped at a
// random width, names with '>' and blanks, one line end for the file (LF,
// CR LF or CR), now and then blank lines and NUL bytes between lines.
std::string reshape(CaseRandom& random, const std::string& fasta);

// The FASTA of a random read set with some records repeated: a few many
// times, most once, some equally often, so that barcodes differ in reads and
// tie. Names gain "_0", "_1", ...; line ends become LF.
std::string skew_abundance(CaseRandom& random, const std::string& fasta);

struct TestRead {
  std::string name, sequence;
};
// Reads "AC" + barcode + "GT" (template kTestTemplate) whose 6-base barcodes
// come from a small pool with substitutions, so that clusters at distance 1
// and 2 form; a few carry N or a wrong fixed letter.
inline constexpr const char* kTestTemplate = "ACNNNNNNGT";
std::vector<TestRead> make_test_reads(int count, uint32_t seed);
std::string as_fasta(const std::vector<TestRead>& reads);
// Quality bytes alternate between '@' and '>', which must not pass for record starts.
std::string as_fastq(const std::vector<TestRead>& reads, const std::string& line_end = "\n");
