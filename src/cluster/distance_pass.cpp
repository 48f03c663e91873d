#include "cluster/distance_pass.h"

#include "cluster/cluster_forest.h"
#include "base/messages.h"
#include "base/run_statistics.h"

bool neighbour_key(uint32_t b, const uint32_t* subset, uint32_t k, uint32_t v, uint32_t* n) {
  uint32_t key = b;
  for (uint32_t i = 0; i < k; ++i) {
    const uint32_t shift = 2 * (7 - subset[i]);
    const uint32_t base = (v >> (2 * i)) & 3;
    if (((key >> shift) & 3) == base) return false;
    key = (key & ~(3u << shift)) | (base << shift);
  }
  *n = key;
  return true;
}

bool barcodes_at_distance(const uint64_t* x, const uint64_t* y, uint32_t d) {
  uint32_t differing = 0;
  for (uint32_t j = 0; j < run_state.barcode_words; ++j) {
    uint64_t diff = x[j] ^ y[j];
    // One bit per differing base: fold each pair of bits onto its low bit.
    diff = (diff | (diff >> 1)) & 0x5555555555555555ull;
    differing += static_cast<uint32_t>(__builtin_popcountll(diff));
    if (differing > d) return false;
  }
  return differing == d;
}

bool next_combination(uint32_t* subset, uint32_t size, uint32_t k) {
  if (subset[k - 1] < size - 1) {
    ++subset[k - 1];
    return true;
  }
  for (int64_t i = static_cast<int64_t>(k) - 2; i >= 0; --i) {
    if (subset[i] < size - k + static_cast<uint32_t>(i)) {
      ++subset[i];
      for (uint32_t j = static_cast<uint32_t>(i) + 1; j < k; ++j) subset[j] = subset[j - 1] + 1;
      return true;
    }
  }
  return false;
}

uint64_t join_bucket_pair(uint32_t d, uint32_t a, uint32_t b) {
  const RunState& s = run_state;
  ClusterNode* a_end = bucket_end(a);
  ClusterNode* b_begin = s.bucket_start[b];
  ClusterNode* b_end = bucket_end(b);
  uint64_t joined = 0;
  for (ClusterNode* x = s.bucket_start[a]; x < a_end; ++x) {
    for (ClusterNode* y = b_begin; y < b_end; ++y) {
      if (barcodes_at_distance(record_barcode(x->record), record_barcode(y->record), d)) joined += join_clusters(x, y);
    }
  }
  return joined;
}

void cluster_at_distance(uint32_t d) {
  const uint32_t suffix_length = run_state.barcode_length - 8;  // wraps for barcodes under 8 bases
  begin_pass(d);
  say("Clustering with distance %u ..", d);
  uint64_t total = 0;
  for (uint32_t k = 0; k <= d; ++k) {
    // Subpass k needs room for the other d - k differences after the prefix.
    if (k > 8 || suffix_length < d - k) continue;
    if (k == 0) {
      for (uint32_t b = 0; b < kBucketCount; ++b) total += join_bucket_pair(d, b, b);
      continue;
    }
    for (uint32_t b = 0; b < kBucketCount; ++b) {
      // join_bucket_pair returns 0 at once for an empty first bucket, so the
      // neighbours of an empty bucket need not be enumerated.
      if (run_state.bucket_start[b] == bucket_end(b)) continue;
      uint32_t subset[8];
      for (uint32_t i = 0; i < k; ++i) subset[i] = i;
      do {
        for (uint32_t v = 0; v < (1u << (2 * k)); ++v) {
          uint32_t n;
          if (neighbour_key(b, subset, k, v, &n) && n > b) total += join_bucket_pair(d, b, n);
        }
      } while (next_combination(subset, 8, k));
    }
  }
  say(" OK, %llu joined\n", static_cast<unsigned long long>(total));
  end_pass(total);
}
