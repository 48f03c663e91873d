// The directional rule that turns a cluster's distinct UMIs into molecules:
// visit the UMIs by descending reads (ties in letter order); each one not yet
// taken starts a molecule, which takes breadth first every UMI not yet taken
// at distance 1 from one of its own whose reads n satisfy
// reads(taker) >= 2n - 1. Beyond 64 distinct UMIs the neighbours at distance
// 1 are enumerated and looked up, so a large cluster costs what its distinct
// UMIs say, not their square; in a smaller one each taker is compared with
// every UMI, which costs less there.
#pragma once

#include <cstdint>

// Room for one cluster's correction, count entries each (the distinct UMIs).
struct UmiScratch {
  uint32_t* order;       // the UMIs by descending reads
  uint32_t* queue;       // the UMIs in the order the molecules took them
  unsigned char* taken;  // 1 once a molecule holds the UMI
};

// Sorts count UMIs (right-aligned codes, A 00 to T 11) and folds them in
// place into the distinct ones, ascending; writes the reads of each to
// reads. Returns the number of distinct UMIs.
uint64_t fold_umis(uint64_t* umis, uint64_t count, uint64_t* reads);

// The molecules of count distinct UMIs (ascending, length bases each) with
// their reads: returns how many there are and writes the reads of each, in
// the order they were started, to molecule_reads.
uint64_t correct_umis(const uint64_t* umis, const uint64_t* reads, uint64_t count, uint32_t length,
                      const UmiScratch& scratch, uint64_t* molecule_reads);
