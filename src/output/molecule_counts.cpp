#include "output/molecule_counts.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "barcode/umi_layout.h"
#include "base/run_state.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"
#include "cluster/umi_correction.h"
#include "input/experiment.h"
#include "output/cluster_numbering.h"

namespace {

// Counts of reads below this are tallied in a table; the few larger ones are sorted.
constexpr uint64_t kTalliedReads = 1 << 16;

template <typename T>
T* block(WorkBlockId id) {
  return static_cast<T*>(run_state.work_blocks[id].data);
}

// Which tenth of the reads a read falls in for the saturation curve: a fixed
// mix of its index, so the subsamples nest and every run draws the same ones.
unsigned char subsample_step(uint64_t record) {
  uint64_t x = record + 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return static_cast<unsigned char>((x ^ (x >> 31)) % kSaturationSteps);
}

// An accepted read in a cluster: with --known, ambiguous and unknown reads are in none.
bool in_cluster(uint64_t mark) { return !(mark & kRejectedFlag) && (mark & kClusterNumberMask) != 0; }

// With --experiment, each sample's reads, distinct UMIs and molecules, summed over the clusters.
std::vector<MoleculeTotals> sample_totals;

// Groups the accepted reads' UMIs by cluster: where each cluster's begin
// (cluster_count + 1 entries) and the UMIs themselves, in record order within
// each cluster; with --experiment the sample of each. Returns the reads.
uint64_t group_umis_by_cluster(bool with_steps) {
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
  auto* steps = with_steps ? static_cast<unsigned char*>(hold_work_block(kUmiSteps, reads)) : nullptr;
  const Experiment* experiment = s.experiment;
  auto* sample_of =
      experiment != nullptr ? static_cast<uint32_t*>(hold_work_block(kUmiSampleOf, reads * sizeof(uint32_t))) : nullptr;
  size_t sample = experiment != nullptr ? experiment->samples.size() - 1 : 0;
  for (uint64_t r = s.record_count; r-- > 0;) {
    const uint64_t mark = s.record_cluster[r];
    if (!in_cluster(mark)) continue;
    const uint64_t at = --start[(mark & kClusterNumberMask) - 1];
    umis[at] = record_umi(record_at(r));
    if (steps != nullptr) steps[at] = subsample_step(r);
    if (sample_of != nullptr) {
      while (r < experiment->samples[sample].first_record) --sample;
      sample_of[at] = static_cast<uint32_t>(sample);
    }
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

namespace {

// The end of the stretch of one sample's reads that begins at i, within a cluster's reads ending at end.
uint64_t sample_stretch_end(const uint32_t* sample_of, uint64_t i, uint64_t end) {
  uint64_t j = i + 1;
  while (j < end && sample_of[j] == sample_of[i]) ++j;
  return j;
}

// Corrects every cluster on the workers. With below < kSaturationSteps only
// the reads of the first `below` tenths take part, copied out of the grouped
// UMIs first; otherwise the grouped UMIs are folded in place and the cluster
// rows are filled, and with --experiment each sample's stretch of a cluster
// (its reads come in record order, so in sheet order) is corrected on its
// own first. Returns the molecules and the reads that took part.
MoleculeTotals correct_clusters(uint32_t below) {
  RunState& s = run_state;
  const uint32_t length = umi_length();
  const uint64_t* start = block<uint64_t>(kClusterUmiStart);
  const uint64_t reads = start[s.cluster_count];
  uint64_t* grouped = block<uint64_t>(kClusterUmis);
  const auto* steps = block<unsigned char>(kUmiSteps);
  uint64_t* umis = below < kSaturationSteps ? block<uint64_t>(kUmiSample) : grouped;
  uint64_t* umi_reads = block<uint64_t>(kUmiReads);
  uint64_t* molecule_reads = block<uint64_t>(kMoleculeReads);
  const UmiScratch held = {block<uint32_t>(kUmiOrder), block<uint32_t>(kUmiQueue), block<unsigned char>(kUmiTaken)};
  const uint32_t* sample_of = umis == grouped ? block<uint32_t>(kUmiSampleOf) : nullptr;
  uint64_t* by_sample = block<uint64_t>(kSampleMolecules);
  const size_t samples = sample_of != nullptr ? s.experiment->samples.size() : 0;
  // Jobs of about equal reads; a cluster belongs to the job its first read falls in.
  constexpr uint64_t kMaxJobs = 1024;
  const uint64_t jobs = job_count_for(reads, 1 << 14, kMaxJobs);
  MoleculeTotals job_totals[kMaxJobs] = {};
  std::vector<MoleculeTotals> job_sample_totals(jobs * samples, MoleculeTotals{0, 0, 0});
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    const uint64_t* end = start + s.cluster_count;
    const uint64_t first = static_cast<uint64_t>(std::lower_bound(start, end, job_begin(job, jobs, reads)) - start);
    const uint64_t last = static_cast<uint64_t>(std::lower_bound(start, end, job_begin(job + 1, jobs, reads)) - start);
    for (uint64_t c = first; c < last; ++c) {
      const uint64_t at = start[c];
      uint64_t count = start[c + 1] - at;
      if (umis != grouped) {
        count = 0;
        for (uint64_t i = at; i < start[c + 1]; ++i) {
          if (steps[i] < below) umis[at + count++] = grouped[i];
        }
        if (count == 0) continue;
      }
      // Each sample's molecules' reads take the front of its stretch of by_sample, 0s the rest.
      const auto keep_sample_molecules = [&](uint64_t i, uint64_t end, uint64_t distinct, uint64_t molecules) {
        std::copy(molecule_reads + i, molecule_reads + i + molecules, by_sample + i);
        std::fill(by_sample + i + molecules, by_sample + end, 0);
        MoleculeTotals& totals = job_sample_totals[job * samples + sample_of[i]];
        totals.reads += end - i;
        totals.umis += distinct;
        totals.molecules += molecules;
      };
      // A cluster whose reads are all one sample's is corrected once: its molecules are that sample's.
      const bool one_sample = sample_of != nullptr && count > 0 && sample_of[at] == sample_of[at + count - 1];
      for (uint64_t i = at; sample_of != nullptr && !one_sample && i < at + count;) {
        const uint64_t end = sample_stretch_end(sample_of, i, at + count);
        std::copy(grouped + i, grouped + end, by_sample + i);
        const uint64_t distinct = fold_umis(by_sample + i, end - i, umi_reads + i);
        const UmiScratch scratch = {held.order + i, held.queue + i, held.taken + i};
        keep_sample_molecules(i, end, distinct,
                              correct_umis(by_sample + i, umi_reads + i, distinct, length, scratch, molecule_reads + i));
        i = end;
      }
      const uint64_t distinct = fold_umis(umis + at, count, umi_reads + at);
      const UmiScratch scratch = {held.order + at, held.queue + at, held.taken + at};
      const uint64_t molecules = correct_umis(umis + at, umi_reads + at, distinct, length, scratch, molecule_reads + at);
      if (one_sample) keep_sample_molecules(at, at + count, distinct, molecules);
      job_totals[job].reads += count;
      job_totals[job].umis += distinct;
      job_totals[job].molecules += molecules;
      if (umis == grouped) {
        s.cluster_totals[c].umis = distinct;
        s.cluster_totals[c].molecules = molecules;
      }
    }
  });
  MoleculeTotals totals = {0, 0, 0};
  for (uint64_t job = 0; job < jobs; ++job) {
    totals.reads += job_totals[job].reads;
    totals.umis += job_totals[job].umis;
    totals.molecules += job_totals[job].molecules;
  }
  if (sample_of != nullptr) {
    sample_totals.assign(samples, MoleculeTotals{0, 0, 0});
    for (uint64_t job = 0; job < jobs; ++job) {
      for (size_t k = 0; k < samples; ++k) {
        sample_totals[k].reads += job_sample_totals[job * samples + k].reads;
        sample_totals[k].umis += job_sample_totals[job * samples + k].umis;
        sample_totals[k].molecules += job_sample_totals[job * samples + k].molecules;
      }
    }
  }
  return totals;
}

}  // namespace

void count_molecules(bool with_saturation) {
  if (umi_length() == 0) return;
  const uint64_t reads = group_umis_by_cluster(with_saturation);
  hold_work_block(kUmiReads, reads * sizeof(uint64_t));
  hold_work_block(kMoleculeReads, reads * sizeof(uint64_t));
  hold_work_block(kUmiOrder, reads * sizeof(uint32_t));
  hold_work_block(kUmiQueue, reads * sizeof(uint32_t));
  hold_work_block(kUmiTaken, reads);
  if (with_saturation) {
    // The subsamples first: the whole set is then folded in place.
    auto* curve = static_cast<MoleculeTotals*>(hold_work_block(kMoleculeSaturation, kSaturationSteps * sizeof(MoleculeTotals)));
    hold_work_block(kUmiSample, reads * sizeof(uint64_t));
    for (uint32_t step = 1; step < kSaturationSteps; ++step) curve[step - 1] = correct_clusters(step);
    release_work_block(kUmiSample);
    release_work_block(kUmiSteps);
  }
  if (run_state.experiment != nullptr) hold_work_block(kSampleMolecules, reads * sizeof(uint64_t));
  const MoleculeTotals all = correct_clusters(kSaturationSteps);
  if (with_saturation) block<MoleculeTotals>(kMoleculeSaturation)[kSaturationSteps - 1] = all;
  release_work_block(kUmiTaken);
  release_work_block(kUmiQueue);
  release_work_block(kUmiOrder);
  release_work_block(kUmiReads);
  release_work_block(kClusterUmis);
  tally_molecule_sizes();
  release_work_block(kMoleculeReads);
  // With --experiment the grouping stays for the samples' columns and figures.
  if (run_state.experiment == nullptr) release_work_block(kClusterUmiStart);
}

const MoleculeTotals* saturation_curve() { return block<MoleculeTotals>(kMoleculeSaturation); }

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

void cluster_molecules_by_sample(uint64_t cluster, uint64_t* molecules) {
  memset(molecules, 0, run_state.experiment->samples.size() * sizeof(uint64_t));
  const uint64_t* start = block<uint64_t>(kClusterUmiStart);
  const uint32_t* sample_of = block<uint32_t>(kUmiSampleOf);
  const uint64_t* by_sample = block<uint64_t>(kSampleMolecules);
  for (uint64_t i = start[cluster]; i < start[cluster + 1];) {
    const uint64_t end = sample_stretch_end(sample_of, i, start[cluster + 1]);
    uint64_t count = 0;
    while (i + count < end && by_sample[i + count] != 0) ++count;
    molecules[sample_of[i]] = count;
    i = end;
  }
}

std::vector<MoleculeTotals> sample_molecule_totals() { return sample_totals; }

std::vector<std::vector<MoleculeSize>> sample_molecule_sizes() {
  const RunState& s = run_state;
  const size_t samples = s.experiment->samples.size();
  const uint64_t reads = block<uint64_t>(kClusterUmiStart)[s.cluster_count];
  const uint32_t* sample_of = block<uint32_t>(kUmiSampleOf);
  const uint64_t* by_sample = block<uint64_t>(kSampleMolecules);
  // The molecules' reads grouped by sample, each group then sorted and counted in runs.
  std::vector<uint64_t> begin(samples + 1, 0);
  for (size_t k = 0; k < samples; ++k) begin[k + 1] = begin[k] + sample_totals[k].molecules;
  auto* grouped = static_cast<uint64_t*>(hold_work_block(kSampleMoleculeSizes, begin[samples] * sizeof(uint64_t)));
  std::vector<uint64_t> cursor(begin.begin(), begin.end() - 1);
  for (uint64_t i = 0; i < reads; ++i) {
    if (by_sample[i] != 0) grouped[cursor[sample_of[i]]++] = by_sample[i];
  }
  std::vector<std::vector<MoleculeSize>> sizes(samples);
  for (size_t k = 0; k < samples; ++k) {
    std::sort(grouped + begin[k], grouped + begin[k + 1]);
    for (uint64_t i = begin[k]; i < begin[k + 1]; ++i) {
      if (i == begin[k] || grouped[i] != grouped[i - 1]) sizes[k].push_back({grouped[i], 0});
      ++sizes[k].back().molecules;
    }
  }
  release_work_block(kSampleMoleculeSizes);
  return sizes;
}

void release_molecule_counts() {
  release_work_block(kMoleculeSizes);
  release_work_block(kMoleculeSaturation);
  release_work_block(kClusterUmiStart);
  release_work_block(kUmiSampleOf);
  release_work_block(kSampleMolecules);
  sample_totals.clear();
}
