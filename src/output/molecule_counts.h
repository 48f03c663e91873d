// The molecules behind every cluster with --umi: the accepted reads' UMIs
// (duplicates dropped by -p included) grouped by cluster, folded into
// distinct UMIs and corrected by the directional rule on the workers, cluster
// by cluster. Runs after number_clusters; sets the umis and molecules of
// cluster_totals and keeps the molecules per count of reads (work block
// kMoleculeSizes) for the stats and the page.
#pragma once

#include <cstdint>
#include <vector>

// Molecules that this many reads carry.
struct MoleculeSize {
  uint64_t reads;
  uint64_t molecules;
};

// The run's totals over the clusters.
struct MoleculeTotals {
  uint64_t reads;      // accepted reads, each with its UMI
  uint64_t umis;       // distinct UMIs, summed over the clusters
  uint64_t molecules;  // molecules, summed over the clusters
};

// Points of the saturation curve: the reads drawn in steps of a tenth.
constexpr uint32_t kSaturationSteps = 10;

// Fills the counts above; without --umi it does nothing. with_saturation also
// corrects the clusters on a tenth, two tenths, ... of the reads (each read's
// tenth fixed by its place in the input, so the subsamples nest) for the page.
void count_molecules(bool with_saturation);

// The molecules, UMIs and reads of each subsample, the last one all reads; null
// unless count_molecules drew them.
[[nodiscard]] const MoleculeTotals* saturation_curve();

// The molecules per count of reads, by ascending reads; size_count gets the rows.
[[nodiscard]] const MoleculeSize* molecule_sizes(uint64_t* size_count);

// The run's totals over the clusters.
[[nodiscard]] MoleculeTotals molecule_totals();

// With --experiment, after count_molecules: sets molecules[k] to the molecules
// of sample k in cluster (0 for the first row), the directional rule applied
// to that sample's reads of the cluster alone, for every sample of the sheet.
void cluster_molecules_by_sample(uint64_t cluster, uint64_t* molecules);

// With --experiment, per sample in sheet order: its reads, distinct UMIs and
// molecules, summed over the clusters.
[[nodiscard]] std::vector<MoleculeTotals> sample_molecule_totals();

// With --experiment, per sample in sheet order: its molecules per count of
// reads, by ascending reads.
[[nodiscard]] std::vector<std::vector<MoleculeSize>> sample_molecule_sizes();

// Gives back every block count_molecules holds.
void release_molecule_counts();
