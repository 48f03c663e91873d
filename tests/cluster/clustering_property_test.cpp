// Random inputs through the in-process pipeline (parse, screening, buckets,
// forest, distance passes), checked against a brute-force single linkage on
// Hamming distance: screening marks, entry order, bucket placement, ring
// integrity, joins reported and the clusters themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "barcode/barcode_packing.h"
#include "barcode/barcode_template.h"
#include "cluster/cluster_forest.h"
#include "cluster/distance_pass.h"
#include "cluster/prefix_buckets.h"
#include "input/fasta_parser.h"
#include "base/tracked_memory.h"
#include "run/teardown.h"
#include "support/references.h"

// Passes at distance 2 and 3 take seconds each under the sanitizers, where fewer runs are made.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSlowBuild = true;
#elif defined(__has_feature)
constexpr bool kSlowBuild = __has_feature(address_sanitizer);
#else
constexpr bool kSlowBuild = false;
#endif

namespace {

using Clusters = std::vector<std::vector<int>>;
bool is_position(char t) { return strchr("Nn.", t) != nullptr; }

struct Input {
  std::string templ;
  std::vector<std::string> reads, barcodes;  // upper-case barcode; empty for a read screening must reject
};

// Templates with fixed letters anywhere; barcodes that are duplicates, near
// copies (often of the latest, which grows chains, half the time changed only
// inside the prefix) or fresh; reads in mixed case, some broken on purpose.
Input make_input(std::mt19937_64& rng, uint32_t length, uint32_t distance, size_t count) {
  auto below = [&](uint64_t n) { return rng() % n; };
  auto other = [&](char b) { return "ACGT"[(std::string("ACGT").find(static_cast<char>(toupper(b))) + 1 + below(3)) % 4]; };
  Input in;
  for (uint32_t i = 0; i < length; ++i) in.templ += "Nn."[below(3)];
  for (uint64_t f = below(5); f > 0; --f) in.templ.insert(below(in.templ.size() + 1), 1, "ACGTacgt"[below(8)]);
  const size_t last = in.templ.find_last_of("Nn.");
  std::vector<std::string> pool;
  for (size_t r = 0; r < count; ++r) {
    const uint64_t choice = pool.empty() ? 9 : below(10);
    std::string barcode;
    if (choice >= 8) {
      for (uint32_t i = 0; i < length; ++i) barcode += "ACGT"[below(4)];
    } else {
      barcode = choice >= 3 && choice < 5 ? pool.back() : pool[below(pool.size())];
      const uint32_t span = below(2) ? length : std::min<uint32_t>(length, 8);
      for (uint64_t m = choice < 3 ? 0 : 1 + below(distance + 1); m > 0; --m) {  // up to distance + 1 changes
        const size_t p = below(span);
        barcode[p] = other(barcode[p]);
      }
    }
    pool.push_back(barcode);
    std::string read;
    for (size_t t = 0, b = 0; t < in.templ.size(); ++t) {
      const char base = is_position(in.templ[t]) ? barcode[b++] : static_cast<char>(toupper(in.templ[t]));
      read += below(2) ? base : static_cast<char>(tolower(base));
    }
    const size_t i = below(read.size());
    bool accepted = true;
    switch (r == 0 ? 9 : below(12)) {  // record 0 passes, so that some barcode always matches
      case 0: read[i] = "Nn"[below(2)], accepted = false; break;
      case 1: read[i] = "X-.U"[below(4)], accepted = false; break;
      case 2:  // a wrong fixed letter, or an end before the last barcode position
        if (!is_position(in.templ[i])) read[i] = other(read[i]);
        else if (last > 0) read.resize(last);
        else read[i] = 'N';
        accepted = false;
        break;
      case 3: read.resize(last + 1 + below(read.size() - last)); break;  // ends among the trailing fixed letters
      case 4: read += "XN-acgt"[below(7)]; break;                        // bytes past the template are ignored
    }
    in.reads.push_back(read);
    in.barcodes.push_back(accepted ? barcode : "");
  }
  return in;
}

Clusters canonical(Clusters clusters) {
  for (auto& members : clusters) std::sort(members.begin(), members.end());
  std::sort(clusters.begin(), clusters.end());
  return clusters;
}

Clusters brute_force(const Input& in, const std::vector<int>& members, uint32_t distance) {
  std::vector<std::string> barcodes;
  for (int member : members) barcodes.push_back(in.barcodes[member]);
  const std::vector<size_t> root = single_linkage(barcodes, distance);
  Clusters by_root(members.size());
  for (size_t a = 0; a < members.size(); ++a) by_root[root[a]].push_back(members[a]);
  std::erase_if(by_root, [](const std::vector<int>& group) { return group.empty(); });
  return canonical(by_root);
}

int index_of(const SequenceRecord* record) {
  return static_cast<int>((reinterpret_cast<const char*>(record) - run_state.record_table) / run_state.record_size);
}

// The rings as input indices; every node in exactly one ring, all of a ring carrying its id, the id its smallest index.
Clusters forest_clusters() {
  const RunState& s = run_state;
  Clusters clusters;
  std::vector<bool> seen(s.entry_count, false);
  for (uint64_t i = 0; i < s.entry_count; ++i) {
    if (s.nodes[i].cluster_id != static_cast<int64_t>(i)) continue;
    clusters.emplace_back();
    const ClusterNode* node = &s.nodes[i];
    do {
      const uint64_t at = static_cast<uint64_t>(node - s.nodes);
      EXPECT_TRUE(at >= i && !seen[at] && node->cluster_id == static_cast<int64_t>(i)) << "node " << at;
      seen[at] = true;
      clusters.back().push_back(index_of(node->record));
      node = node->next;
    } while (node != &s.nodes[i] && clusters.back().size() <= s.entry_count);
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), static_cast<long>(s.entry_count)) << "nodes outside rings";
  return clusters;
}

void check(const Input& in, uint32_t distance, bool remove_duplicates) {
  RunState& s = run_state;
  s.remove_duplicates = remove_duplicates;
  std::string fasta;
  for (size_t i = 0; i < in.reads.size(); ++i) fasta += ">r" + std::to_string(i) + "\n" + in.reads[i] + "\n";
  const bool direct = distance == 0 && remove_duplicates;
  ::testing::internal::CaptureStderr();
  s.template_text = in.templ.c_str();
  prepare_template();
  s.input_size = fasta.size();
  s.input_buffer_bytes = fasta.size() + 1;
  s.input_buffer = static_cast<char*>(tracked_malloc(s.input_buffer_bytes));
  memcpy(s.input_buffer, fasta.c_str(), fasta.size() + 1);
  parse_fasta(s.input_buffer, s.input_size);
  convert_barcodes();
  bucket_records();
  if (!direct) {
    create_clusters();
    for (uint32_t d = remove_duplicates ? 1 : 0; d <= distance; ++d) cluster_at_distance(d);
  }
  const std::string err = ::testing::internal::GetCapturedStderr();

  std::vector<int> members;
  std::vector<std::string> seen;
  for (size_t i = 0; i < in.reads.size(); ++i) {
    const std::string& barcode = in.barcodes[i];
    ASSERT_EQ(record_at(i)->name[0], barcode.empty() ? '#' : '>') << "read " << i;
    if (barcode.empty() || (remove_duplicates && std::count(seen.begin(), seen.end(), barcode) != 0)) continue;
    members.push_back(static_cast<int>(i));
    seen.push_back(barcode);
  }
  ASSERT_EQ(s.entry_count, members.size());
  // Entries ascend by barcode, ties in input order; each node lies in its prefix's bucket.
  std::vector<int> expected_order = members, order;
  std::stable_sort(expected_order.begin(), expected_order.end(),
                   [&](int a, int b) { return in.barcodes[a] < in.barcodes[b]; });
  Clusters found;
  if (direct) {
    for (uint32_t k = 0; k < kBucketCount; ++k) {
      for (uint64_t e = 0; e < s.bucket_counts[k]; ++e) order.push_back(index_of(s.bucket_entries[k][e]));
    }
    for (int i : order) found.push_back({i});
  } else {
    for (uint64_t i = 0; i < s.entry_count; ++i) order.push_back(index_of(s.nodes[i].record));
    for (uint32_t b = 0; b < kBucketCount; ++b) {
      const ClusterNode* end = b + 1 < kBucketCount ? s.bucket_start[b + 1] : s.nodes + s.entry_count;
      ASSERT_LE(s.bucket_start[b], end) << "bucket " << b;
      for (const ClusterNode* node = s.bucket_start[b]; node < end; ++node) ASSERT_EQ(prefix_key(node->record), b);
    }
    found = forest_clusters();
  }
  ASSERT_EQ(order, expected_order);
  static const std::regex joined(" OK, ([0-9]+) joined\n");
  uint64_t joins = 0;
  for (std::sregex_iterator it(err.begin(), err.end(), joined), end; it != end; ++it) joins += std::stoull((*it)[1]);
  EXPECT_EQ(found.size() + joins, s.entry_count) << "joins reported against clusters made";
  EXPECT_EQ(canonical(found), brute_force(in, members, distance));
}

// Distances 2 and 3 at lengths around the room they need after the prefix;
// 0 and 1 at lengths inside the prefix, exactly it, one past, one word, several.
TEST(ClusteringProperty, MatchesBruteForceComponents) {
  struct Case {
    uint32_t length, distance;
    bool remove_duplicates;
    size_t count;
  };
  std::vector<Case> cases = kSlowBuild ? std::vector<Case>{{10, 2, true, 80}, {6, 2, false, 80}}
                                       : std::vector<Case>{{10, 2, false, 80}, {9, 2, true, 80},   {6, 2, false, 80},
                                                           {40, 2, true, 80},  {11, 3, false, 80}, {10, 3, true, 80}};
  std::mt19937_64 rng(20240611);
  for (int trial = 0; trial < (kSlowBuild ? 120 : 300); ++trial) {
    const uint32_t lengths[] = {1 + static_cast<uint32_t>(rng() % 7), 8, 9, 10 + static_cast<uint32_t>(rng() % 23),
                                33 + static_cast<uint32_t>(rng() % 38)};
    const int block = trial / 5;  // every block of five covers every length
    cases.push_back({lengths[trial % 5], static_cast<uint32_t>(kSlowBuild ? block % 5 < 2 : block % 2),
                     kSlowBuild ? (block / 5) % 2 == 1 : (block / 2) % 2 == 1, 1 + rng() % 40});
  }
  for (size_t n = 0; n < cases.size() && !HasFailure(); ++n) {
    const Case& c = cases[n];
    const Input in = make_input(rng, c.length, c.distance, c.count);
    std::string text = "case " + std::to_string(n) + ", template " + in.templ + ", distance " +
                       std::to_string(c.distance) + (c.remove_duplicates ? ", -p" : "") + ", reads:";
    for (const std::string& read : in.reads) text += " " + read;
    SCOPED_TRACE(text);
    memset(&run_state, 0, sizeof run_state);
    check(in, c.distance, c.remove_duplicates);
    release_all();
    ASSERT_EQ(run_state.bytes_allocated, 0);
  }
  memset(&run_state, 0, sizeof run_state);
}

}  // namespace
