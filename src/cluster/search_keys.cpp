#include "cluster/search_keys.h"

#include <cassert>
#include <cmath>

namespace {

uint32_t base_at(const uint64_t* barcode, uint32_t position) {
  return static_cast<uint32_t>(barcode[position / 32] >> (62 - 2 * (position % 32))) & 3;
}

// Barcodes read to weigh the positions: enough to tell a constant or
// two-letter position from an even one, few enough to cost nothing.
constexpr uint32_t kSampledBarcodes = 1 << 14;

}  // namespace

void choose_search_positions(const uint64_t* barcodes, uint32_t words, uint32_t count, uint32_t length,
                             uint32_t* positions) {
  assert(length > 8 && "a barcode of 8 bases or fewer is its own key");
  const uint64_t step = count > kSampledBarcodes ? count / kSampledBarcodes : 1;
  assert(length <= kMaxWeighedLength);
  const uint64_t sampled = count == 0 ? 1 : (count + step - 1) / step;
  double evenness[kMaxWeighedLength];  // entropy of each position's bases, in bits
  for (uint32_t p = 0; p < length; ++p) {
    uint64_t seen[4] = {};
    for (uint64_t u = 0; u < count; u += step) ++seen[base_at(barcodes + u * words, p)];
    double entropy = 0;
    for (uint64_t n : seen) {
      if (n != 0) entropy -= static_cast<double>(n) / sampled * std::log2(static_cast<double>(n) / sampled);
    }
    evenness[p] = entropy;
  }
  // The 8 most even positions, earlier ones first among equals. The entropy
  // of a sample falls short of the spread's by about 1.1 / sampled bits, and
  // wavers by as much; spreads closer than several times that count as equal,
  // so that sampling noise never reorders barcodes that are even throughout.
  const double equal_within = 0.01 + 8.0 / static_cast<double>(sampled);
  bool chosen[kMaxWeighedLength] = {};
  for (uint32_t i = 0; i < 8; ++i) {
    uint32_t best = length;
    for (uint32_t p = 0; p < length; ++p) {
      if (!chosen[p] && (best == length || evenness[p] > evenness[best] + equal_within)) best = p;
    }
    chosen[best] = true;
  }
  uint32_t next = 0;
  for (uint32_t p = 0; p < length; ++p) {
    if (chosen[p]) positions[next++] = p;
  }
  for (uint32_t p = 0; p < length; ++p) {
    if (!chosen[p]) positions[next++] = p;
  }
}

void rearrange_barcode(const uint64_t* barcode, uint32_t words, const uint32_t* positions, uint32_t length,
                       uint64_t* out) {
  for (uint32_t j = 0; j < words; ++j) out[j] = 0;
  for (uint32_t i = 0; i < length; ++i) {
    out[i / 32] |= uint64_t{base_at(barcode, positions[i])} << (62 - 2 * (i % 32));
  }
}

uint32_t search_key(const uint64_t* barcode, const uint32_t* positions) {
  uint32_t key = 0;
  for (uint32_t i = 0; i < 8; ++i) key = (key << 2) | base_at(barcode, positions[i]);
  return key;
}

double key_collisions(const uint32_t* key_counts) {
  double sum = 0;
  for (uint32_t key = 0; key < 65536; ++key) sum += static_cast<double>(key_counts[key]) * key_counts[key];
  return sum;
}
