// The whole run in one process on small inputs: command line, template,
// loading, parse, screening, buckets, forest, distance passes and report,
// against the references. A template or input they refuse ends the run with
// status 1 and their message, as does one where no barcode matches; any other
// run ends with status 0, the records of the reference reading, each marked
// and packed as the reference screening says and counted by cause, and a
// report whose clusters are exactly the connected components of "Hamming
// distance <= D" among the accepted barcodes (with -p: the first read of each
// barcode), in ascending order of their smallest barcode.
//
// Input: a settings byte (bits 0-1 the distance, bit 2 -p, bit 3 long option
// names, bits 4-5 --jobs if not 0, bits 6-7 the parse's slice size), the
// template up to a NUL, then the input bytes. A pass enumerates
// neighbour buckets whatever the input (0.1 s at distance 1, seconds at 2, far
// more at 3), so the distance is taken modulo TARNWELL_FUZZ_MAX_DISTANCE + 1
// (default 1); set it to 3 for runs that also cover the slow passes.
#include <map>
#include <string>
#include <vector>

#include "base/size_thresholds.h"
#include "fuzz_support.h"
#include "run/engine.h"
#include "run/options.h"

namespace {

uint32_t max_distance = 1;

// The records the reference reading finds, or none when the input is
// compressed (its bytes are the loader's fuzz target's business).
ReferenceParse reference_records(std::string bytes) {
  if (bytes.starts_with("\xef\xbb\xbf")) bytes.erase(0, 3);
  for (const char* magic : {"\x1f\x8b", "\x28\xb5\x2f\xfd", "BZh", "\xfd" "7zXZ"}) {
    if (bytes.starts_with(magic)) return {"compressed", {}};
  }
  return bytes.starts_with("@") ? reference_fastq(bytes) : reference_fasta(bytes);
}

// The message the template is refused with, or "" when it is usable.
std::string template_refusal(const std::string& templ) {
  if (templ.empty()) return "Template is not specified (\"--template\" option)\nUse -h for help\n";
  size_t positions = 0;
  for (const char letter : templ) {
    if (is_barcode_position(letter)) {
      ++positions;
    } else if (std::strchr("ACGTacgt", letter) == nullptr) {
      return "Can't parse \"" + shown(std::string(1, letter)) + "\" in the template sequence \"" + shown(templ) +
             "\" - template should only contain [ATCGN.]\n";
    }
  }
  return positions == 0 ? "Template \"" + shown(templ) + "\" has no barcode positions (N or .)\n" : "";
}

// The screening's lines: the reads left out by cause (the causes that occur), then the accepted ones.
std::string screening_lines(const ReferenceParse& reference, const std::string& templ) {
  uint64_t counts[4] = {0, 0, 0, 0};
  for (const ReferenceRecord& record : reference.records) ++counts[static_cast<int>(reference_screening(templ, record.sequence.c_str()).result)];
  const auto line = [&](Screening cause, const char* text) {
    const uint64_t count = counts[static_cast<int>(cause)];
    return count == 0 && cause != Screening::accepted ? "" : " - " + std::to_string(count) + text;
  };
  return line(Screening::unknown_character, " barcodes have unknown characters\n") + line(Screening::has_n, " barcodes have N\n") +
         line(Screening::template_mismatch, " template mismatches\n") + line(Screening::accepted, " barcodes match template\n");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* text = std::getenv("TARNWELL_FUZZ_MAX_DISTANCE")) max_distance = std::atoi(text) & 3;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t settings = data[0];
  const char* rest = reinterpret_cast<const char*>(data) + 1;
  const size_t template_size = strnlen(rest, size - 1);
  const std::string template_text(rest, template_size);
  const std::string fasta = template_size + 1 < size ? std::string(rest + template_size + 1, size - 2 - template_size) : "";

  const uint32_t distance = (settings & 3) % (max_distance + 1);
  const bool remove_duplicates = settings & 4;
  const bool long_names = settings & 8;
  std::vector<std::string> words = {"tarnwell", long_names ? "--in" : "-i", input_file(fasta), long_names ? "--out" : "-o",
                                    "report.txt", long_names ? "--distance" : "-d", std::to_string(distance),
                                    long_names ? "--template" : "-t", template_text};
  if (remove_duplicates) words.push_back(long_names ? "--remove-duplicate-barcodes" : "-p");
  if (settings & 0x30) words.push_back("--jobs=" + std::to_string(settings >> 4 & 3));
  static const uint64_t kSliceBytes[] = {1 << 20, 1, 7, 64};
  size_thresholds.fasta_slice_bytes = kSliceBytes[settings >> 6];
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  char* report_text = nullptr;
  size_t report_size = 0;
  FILE* report = open_memstream(&report_text, &report_size);
  std::vector<Member> members;
  const ReferenceParse reference = reference_records(fasta);
  const bool compressed = reference.message == "compressed";
  // The run's end as the references see it; unknown for compressed input and a lone byte-order mark.
  const std::string screening_text = compressed ? "" : screening_lines(reference, template_text);
  std::string failure = template_refusal(template_text);
  if (failure.empty()) failure = fasta.empty() ? "Can't load input data\n" : shown(reference.message, true);
  if (failure.empty() && screening_text.ends_with(" - 0 barcodes match template\n")) failure = "No barcodes match template\n";
  const bool foreseen = !failure.starts_with("compressed") && fasta != "\xef\xbb\xbf";
  bool report_handed = false;
  ToolRun tool;
  const int status = tool.run([&] {
    // The phases as the driver runs them, the report a memory stream that the teardown owns once handed.
    process_options(static_cast<int>(argv.size()) - 1, argv.data());
    run_state.output_file = report;
    report_handed = true;
    run_phases(run_fast_engine);
    // Before the teardown: every record's mark against the reference screening.
    const RunState& s = run_state;
    std::map<std::string, bool> seen;
    // The tool's records against the reference reading (compressed input: the tool's own), then the members.
    FUZZ_CHECK(compressed || (reference.message.empty() && s.record_count == reference.records.size()), "a record count the reference reading does not give", fasta);
    for (uint64_t i = 0; i < s.record_count; ++i) {
      const SequenceRecord* record = record_at(i);
      const std::string name = compressed ? record->name + 1 : reference.records[i].name.c_str();
      const std::string sequence = compressed ? record->sequence : reference.records[i].sequence.c_str();
      FUZZ_CHECK(record->name + 1 == name && record->sequence == sequence, "a record the reference reading does not give", fasta);
      const ReferenceBarcode screening = reference_screening(template_text, sequence.c_str());
      const bool accepted_here = screening.result == Screening::accepted;
      FUZZ_CHECK(record->name[0] == (accepted_here ? '>' : '#'), "screening mark", fasta);
      if (!accepted_here) continue;
      check_packed(record, screening.bases);
      if (remove_duplicates && !seen.emplace(screening.bases, true).second) continue;
      members.push_back({name + "\t" + sequence, screening.bases});
    }
  });
  tool.finish();  // closes the report stream, which fills report_text
  if (!report_handed) std::fclose(report);
  const std::string written(report_text, report_size);
  std::free(report_text);

  size_thresholds = SizeThresholds{};
  if (foreseen) {
    FUZZ_CHECK(failure.empty() ? status == 0 : status == kExitFailure && tool.err().ends_with(failure),
               "the run did not end as the references say", tool.err() + "expected: " + failure);
  }
  if (status != 0) {
    FUZZ_CHECK(status == kExitFailure && tool.err().ends_with('\n'), "a failure without status 1 and a message", tool.err());
    FUZZ_CHECK(tool.out().empty() && written.empty(), "a failed run printed a count or wrote a report", tool.out() + written);
    return 0;
  }
  const auto expected = expected_clusters(members, distance);
  const std::optional<Clusters> clusters = report_clusters(written);
  FUZZ_CHECK(clusters.has_value(), "a report that is not numbered clusters of member lines", written);
  FUZZ_CHECK(*clusters == expected, "the clusters are not the components of distance <= D", written);
  FUZZ_CHECK(tool.out() == std::to_string(clusters->size()) + " clusters\n", "the cluster count line", tool.out());
  FUZZ_CHECK(tool.err().find(screening_text) != std::string::npos, "the screening's counts", tool.err() + "expected: " + screening_text);
  FUZZ_CHECK(tool.err().find("Failed to deallocate") == std::string::npos, "tracked bytes left", tool.err());
  return 0;
}
