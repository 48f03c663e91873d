#include "cluster/umi_correction.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace {

// Up to this many distinct UMIs, a taker is compared with each of them: cheaper
// than looking up its 3 neighbours a base. A molecule takes the same UMIs in
// whatever order its neighbours are met, so the counts are the same either way.
constexpr uint64_t kComparedUmis = 64;

// Whether two UMIs (2 bits a base) differ in exactly one base.
bool one_apart(uint64_t a, uint64_t b) {
  const uint64_t x = a ^ b;
  const uint64_t bases = (x | (x >> 1)) & 0x5555555555555555ull;
  return bases != 0 && (bases & (bases - 1)) == 0;
}

}  // namespace

uint64_t fold_umis(uint64_t* umis, uint64_t count, uint64_t* reads) {
  std::sort(umis, umis + count);
  uint64_t distinct = 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (distinct > 0 && umis[distinct - 1] == umis[i]) {
      ++reads[distinct - 1];
    } else {
      umis[distinct] = umis[i];
      reads[distinct++] = 1;
    }
  }
  return distinct;
}

uint64_t correct_umis(const uint64_t* umis, const uint64_t* reads, uint64_t count, uint32_t length,
                      const UmiScratch& scratch, uint64_t* molecule_reads) {
  assert(count <= UINT32_MAX && "a cluster's distinct UMIs are numbered in 32 bits");
  if (count == 1) {
    molecule_reads[0] = reads[0];
    return 1;
  }
  uint32_t* order = scratch.order;
  for (uint32_t k = 0; k < count; ++k) order[k] = k;
  // The UMIs are ascending, so among equal reads the smaller index is first in letter order.
  std::sort(order, order + count, [&](uint32_t a, uint32_t b) { return reads[a] != reads[b] ? reads[a] > reads[b] : a < b; });
  memset(scratch.taken, 0, count);
  uint64_t molecules = 0;
  uint64_t queued = 0;
  for (uint64_t visit = 0; visit < count; ++visit) {
    const uint32_t start = order[visit];
    if (scratch.taken[start]) continue;
    scratch.taken[start] = 1;
    uint64_t head = queued;
    scratch.queue[queued++] = start;
    uint64_t molecule = 0;
    while (head < queued) {
      const uint32_t taker = scratch.queue[head++];
      molecule += reads[taker];
      const uint64_t umi = umis[taker];
      if (count <= kComparedUmis) {
        for (uint32_t k = 0; k < count; ++k) {
          if (scratch.taken[k] || !one_apart(umi, umis[k]) || reads[taker] < 2 * reads[k] - 1) continue;
          scratch.taken[k] = 1;
          scratch.queue[queued++] = k;
        }
        continue;
      }
      for (uint32_t position = 0; position < length; ++position) {
        const uint32_t shift = 2 * position;
        for (uint64_t change = 1; change < 4; ++change) {
          const uint64_t neighbour = umi ^ (change << shift);
          const uint64_t* found = std::lower_bound(umis, umis + count, neighbour);
          if (found == umis + count || *found != neighbour) continue;
          const auto k = static_cast<uint32_t>(found - umis);
          if (scratch.taken[k] || reads[taker] < 2 * reads[k] - 1) continue;
          scratch.taken[k] = 1;
          scratch.queue[queued++] = k;
        }
      }
    }
    molecule_reads[molecules++] = molecule;
  }
  return molecules;
}
