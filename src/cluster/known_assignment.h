// Reads assigned to a library of known barcodes (--known): each accepted read
// goes to the known barcode nearest its own within D when no other is as near
// (ambiguous when two or more are, unknown when none is within D); nothing
// chains. The reads are then grouped by known barcode, in input order, for the
// report and the tables. Sets run_state.known; the forest is not built.
#pragma once

#include <cstdint>

#include "base/run_state.h"
#include "input/known_library.h"

// A read's outcome: kOutcomeRejected (left out by screening), kOutcomeAmbiguous,
// kOutcomeUnknown, or for a read assigned to entry k at distance d:
// (k + 1) << kOutcomeEntryShift | d, with kOutcomeDuplicate when -p drops it.
constexpr uint32_t kOutcomeRejected = 0;
constexpr uint32_t kOutcomeAmbiguous = 1;
constexpr uint32_t kOutcomeUnknown = 2;
constexpr uint32_t kOutcomeDistanceMask = 3;
constexpr uint32_t kOutcomeDuplicate = 4;
constexpr uint32_t kOutcomeEntryShift = 3;
static_assert((kMaxKnownEntries + 1) < (1ull << (32 - kOutcomeEntryShift)), "an entry's number fits its outcome");

[[nodiscard]] inline bool outcome_assigned(uint32_t outcome) { return outcome >> kOutcomeEntryShift != 0; }
[[nodiscard]] inline uint64_t outcome_entry(uint32_t outcome) { return (outcome >> kOutcomeEntryShift) - 1; }

// The most frequent unknown barcodes shown in the stats and the page.
constexpr uint32_t kTopUnknownCount = 20;

struct UnknownBarcode {
  const SequenceRecord* first;  // the first read carrying it
  uint64_t reads;               // reads carrying it
};

// Groups: one per entry in line order, then the ambiguous reads, then the unknown ones.
struct KnownBarcodes {
  KnownLibrary library;            // read before any output file is created
  uint32_t* outcome;               // record_count outcomes; assignment (duplicates marked by the grouping)
  uint64_t* group_start;           // library.count + 3: where each group begins in group_records, then the end
  SequenceRecord** group_records;  // the accepted reads grouped, input order within each group; grouping
  uint64_t accepted;               // reads in group_records
  uint64_t* distinct;              // library.count: distinct barcodes among each entry's reads; null when not counted
  uint64_t* members;               // library.count: each entry's member lines in the report (-p drops repeats)
  uint64_t at_distance[4];         // reads assigned at each distance
  uint64_t ambiguous;              // reads with two or more nearest entries within D
  uint64_t unknown;                // reads with no entry within D
  uint64_t unknown_barcodes;       // distinct barcodes among the unknown reads; when counted
  uint64_t duplicates;             // reads that -p drops from the report
  UnknownBarcode top_unknown[kTopUnknownCount];  // by reads, then barcode order; when counted
  uint32_t top_unknown_count;
};

[[nodiscard]] inline uint64_t known_group_reads(const KnownBarcodes& known, uint64_t group) {
  return known.group_start[group + 1] - known.group_start[group];
}

// With --known, reads the library into a new run_state.known for the
// template's barcode length; ends the run with 1 when it is refused.
void load_known_barcodes();

// The straightforward assignment: every read's barcode against every entry.
void assign_known_reads();

// The same through an index of the entries, on all workers.
void assign_known_reads_fast();

// Groups the assigned reads, counts distinct barcodes where the report or the
// tables need them (marking -p's duplicates), and prints the statistics lines.
void group_known_reads();

// The Gini index of the reads over all entries, those without reads
// included: 0 when every entry has as many, (n - 1) / n when one has them all.
[[nodiscard]] double known_gini_index();

// One sample's share of the assignment (--known with --experiment).
struct KnownSampleFigures {
  uint64_t entries_without_reads;  // entries that none of its reads was assigned to
  uint64_t at_distance[4];         // its reads assigned at each distance
  uint64_t ambiguous;
  uint64_t unknown;
  uint64_t unknown_barcodes;  // distinct barcodes among its unknown reads
  double gini;                // of its reads over all entries, those without included
  UnknownBarcode top_unknown[kTopUnknownCount];
  uint32_t top_unknown_count;
};

// The figures of the records first_record to first_record + record_count - 1
// (one sample's), after group_known_reads.
[[nodiscard]] KnownSampleFigures known_sample_figures(uint64_t first_record, uint64_t record_count);

// Entries that no read was assigned to.
[[nodiscard]] uint64_t known_entries_without_reads();

// Releases run_state.known and everything it holds, each block at most once.
void release_known_barcodes();
