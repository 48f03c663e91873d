// The molecules behind every cluster with --umi: the accepted reads' UMIs
// (duplicates dropped by -p included) grouped by cluster, folded into
// distinct UMIs and corrected by the directional rule on the workers, cluster
// by cluster. Runs after number_clusters; sets the umis and molecules of
// cluster_totals and keeps the molecules per count of reads (work block
// kMoleculeSizes) for the stats and the page.
#pragma once

#include <cstdint>

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

// Gives back every block count_molecules holds.
void release_molecule_counts();
