#include "output/molecule_counts.h"

#include <algorithm>

#include "barcode/umi_layout.h"
#include "base/run_state.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"
#include "cluster/umi_correction.h"
#include "output/cluster_numbering.h"

namespace {

// Counts of reads below this are tallied in a table; the few larger ones are sorted.
constexpr uint64_t kTalliedReads = 1 << 16;

template <typename T>
T* block(WorkBlockId id) {
  return static_cast<T*>(run_state.work_blocks[id].data);
}

// An accepted read in a cluster: with --known, ambiguous and unknown reads are in none.
bool in_cluster(uint64_t mark) { return !(mark & kRejectedFlag) && (mark & kClusterNumberMask) != 0; }

// Groups the accepted reads' UMIs by cluster: where each cluster's begin
// (cluster_count + 1 entries) and the UMIs themselves. Returns the reads.
uint64_t group_umis_by_cluster() {
  const RunState& s = run_state;
  auto* start = static_cast<uint64_t*>(hold_work_block(kClusterUmiStart, (s.cluster_count + 1) * sizeof(uint64_t)));
  std::fill(start, start + s.cluster_count + 1, 0);
  // Each cluster's reads counted, summed into where each cluster ends, and filled
  // from the end: start[c] moves down to the beginning of cluster c.
  for (uint64_t r = 0; r < s.record_count; ++r) {
    const uint64_t mark = s.record_cluster[r];
    if (in_cluster(mark)) ++start[(mark & kClusterNumberMask) - 1];
  }
  for (uint64_t c = 1; c < s.cluster_count; ++c) start[c] += start[c - 1];
  const uint64_t reads = start[s.cluster_count - 1];
  start[s.cluster_count] = reads;
  auto* umis = static_cast<uint64_t*>(hold_work_block(kClusterUmis, reads * sizeof(uint64_t)));
  for (uint64_t r = s.record_count; r-- > 0;) {
    const uint64_t mark = s.record_cluster[r];
    if (in_cluster(mark)) umis[--start[(mark & kClusterNumberMask) - 1]] = record_umi(record_at(r));
  }
  return reads;
}

// Turns the molecules' reads, cluster by cluster at the start of each
// cluster's stretch, into molecules per count of reads.
void tally_molecule_sizes() {
  const RunState& s = run_state;
  const uint64_t* start = block<uint64_t>(kClusterUmiStart);
  uint64_t* molecule_reads = block<uint64_t>(kMoleculeReads);
  auto* tally = static_cast<uint64_t*>(hold_work_block(kMoleculeTally, kTalliedReads * sizeof(uint64_t)));
  std::fill(tally, tally + kTalliedReads, 0);
  uint64_t large = 0;  // molecules of kTalliedReads reads or more, gathered at the front
  for (uint64_t c = 0; c < s.cluster_count; ++c) {
    for (uint64_t m = 0; m < s.cluster_totals[c].molecules; ++m) {
      const uint64_t reads = molecule_reads[start[c] + m];
      if (reads < kTalliedReads) {
        ++tally[reads];
      } else {
        molecule_reads[large++] = reads;  // never past the stretch being read
      }
    }
  }
  std::sort(molecule_reads, molecule_reads + large);
  uint64_t rows = 0;
  for (uint64_t n = 0; n < kTalliedReads; ++n) rows += tally[n] != 0;
  for (uint64_t i = 0; i < large; ++i) rows += i == 0 || molecule_reads[i] != molecule_reads[i - 1];
  // The count of rows, then the rows.
  auto* held = static_cast<uint64_t*>(hold_work_block(kMoleculeSizes, sizeof(uint64_t) + rows * sizeof(MoleculeSize)));
  held[0] = rows;
  auto* sizes = reinterpret_cast<MoleculeSize*>(held + 1);
  uint64_t row = 0;
  for (uint64_t n = 0; n < kTalliedReads; ++n) {
    if (tally[n] != 0) sizes[row++] = {n, tally[n]};
  }
  for (uint64_t i = 0; i < large; ++i) {
    if (i == 0 || molecule_reads[i] != molecule_reads[i - 1]) sizes[row++] = {molecule_reads[i], 0};
    ++sizes[row - 1].molecules;
  }
  release_work_block(kMoleculeTally);
}

}  // namespace

void count_molecules() {
  RunState& s = run_state;
  const uint32_t length = umi_length();
  if (length == 0) return;
  const uint64_t reads = group_umis_by_cluster();
  const uint64_t* start = block<uint64_t>(kClusterUmiStart);
  uint64_t* umis = block<uint64_t>(kClusterUmis);
  auto* umi_reads = static_cast<uint64_t*>(hold_work_block(kUmiReads, reads * sizeof(uint64_t)));
  auto* molecule_reads = static_cast<uint64_t*>(hold_work_block(kMoleculeReads, reads * sizeof(uint64_t)));
  auto* order = static_cast<uint32_t*>(hold_work_block(kUmiOrder, reads * sizeof(uint32_t)));
  auto* queue = static_cast<uint32_t*>(hold_work_block(kUmiQueue, reads * sizeof(uint32_t)));
  auto* taken = static_cast<unsigned char*>(hold_work_block(kUmiTaken, reads));
  // Jobs of about equal reads; a cluster belongs to the job its first read falls in.
  const uint64_t jobs = job_count_for(reads, 1 << 14, 1024);
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    const uint64_t* end = start + s.cluster_count;
    const uint64_t first = static_cast<uint64_t>(std::lower_bound(start, end, job_begin(job, jobs, reads)) - start);
    const uint64_t last = static_cast<uint64_t>(std::lower_bound(start, end, job_begin(job + 1, jobs, reads)) - start);
    for (uint64_t c = first; c < last; ++c) {
      const uint64_t at = start[c];
      const uint64_t distinct = fold_umis(umis + at, start[c + 1] - at, umi_reads + at);
      const UmiScratch scratch = {order + at, queue + at, taken + at};
      s.cluster_totals[c].umis = distinct;
      s.cluster_totals[c].molecules =
          correct_umis(umis + at, umi_reads + at, distinct, length, scratch, molecule_reads + at);
    }
  });
  release_work_block(kUmiTaken);
  release_work_block(kUmiQueue);
  release_work_block(kUmiOrder);
  release_work_block(kUmiReads);
  release_work_block(kClusterUmis);
  tally_molecule_sizes();
  release_work_block(kMoleculeReads);
  release_work_block(kClusterUmiStart);
}

const MoleculeSize* molecule_sizes(uint64_t* size_count) {
  const auto* held = block<uint64_t>(kMoleculeSizes);
  *size_count = held != nullptr ? held[0] : 0;
  return held != nullptr ? reinterpret_cast<const MoleculeSize*>(held + 1) : nullptr;
}

MoleculeTotals molecule_totals() {
  const RunState& s = run_state;
  MoleculeTotals totals = {0, 0, 0};
  for (uint64_t c = 0; c < s.cluster_count; ++c) {
    totals.reads += s.cluster_totals[c].reads;
    totals.umis += s.cluster_totals[c].umis;
    totals.molecules += s.cluster_totals[c].molecules;
  }
  return totals;
}

void release_molecule_counts() { release_work_block(kMoleculeSizes); }
