#include "cluster/merge_ratio.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <vector>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"
#include "cluster/cluster_forest.h"
#include "cluster/distance_pass.h"
#include "cluster/prefix_buckets.h"
#include "cluster/representative_passes.h"

namespace {

MergeRatio merge_ratio_setting;

constexpr uint64_t kMostRatio = 1000000;
constexpr uint32_t kNone = UINT32_MAX;
constexpr uint64_t kMaxJobs = 1024;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

template <typename T>
T* work_block(WorkBlockId id) {
  return static_cast<T*>(run_state.work_blocks[id].data);
}

void say_counted(uint64_t distinct) {
  run_state.merge_ratio->distinct_barcodes = distinct;
  say(" OK, %llu distinct barcodes\n", static_cast<unsigned long long>(distinct));
}

void say_merging() {
  say("Merging by read ratio %s within distance %u ..", run_state.merge_ratio->text, run_state.distance);
}

void say_merged() {
  const MergeRatio& ratio = *run_state.merge_ratio;
  say(" OK, %llu barcodes started a cluster, %llu were taken into another\n",
      static_cast<unsigned long long>(ratio.started), static_cast<unsigned long long>(ratio.taken));
}

// Links the nodes of every cluster into a ring in ascending node order, which
// is barcode order with ties in input order, and gives each node the
// cluster's first node as id. first_node holds count + 1 entries: distinct
// barcode u is nodes first_node[u] to first_node[u + 1] - 1. tails (count
// entries) is scratch.
// SIDE EFFECTS: rewrites next and cluster_id of every node.
void link_clusters(const uint32_t* first_node, const uint32_t* cluster_of, uint32_t* tails, uint64_t count) {
  ClusterNode* nodes = run_state.nodes;
  std::fill(tails, tails + count, kNone);
  for (uint64_t u = 0; u < count; ++u) {
    uint32_t& tail = tails[cluster_of[u]];
    for (uint32_t i = first_node[u]; i < first_node[u + 1]; ++i) {
      ClusterNode* node = &nodes[i];
      if (tail == kNone) {
        node->next = node;
        node->cluster_id = i;
      } else {
        // The tail's next is the ring's first node: the new node goes between.
        ClusterNode* last = &nodes[tail];
        node->next = last->next;
        last->next = node;
        node->cluster_id = last->cluster_id;
      }
      tail = i;
    }
  }
}

bool same_barcode(uint64_t a, uint64_t b) {
  const ClusterNode* nodes = run_state.nodes;
  return memcmp(record_barcode(nodes[a].record), record_barcode(nodes[b].record), 8ull * run_state.barcode_words) == 0;
}

// The ratio is 1 exactly: every barcode may take any other of no more reads.
bool ratio_is_one(const MergeRatio& ratio) { return ratio.whole == 1 && ratio.fraction_digits == 0; }

}  // namespace

void accept_merge_ratio(const char* text) {
  MergeRatio& ratio = merge_ratio_setting;
  ratio = MergeRatio{};
  ratio.text = text;
  const char* p = text;
  uint64_t whole = 0;
  bool ok = is_digit(*p);
  for (; is_digit(*p); ++p) {
    whole = whole * 10 + static_cast<uint64_t>(*p - '0');
    if (whole > kMostRatio) ok = false;
  }
  uint32_t digits = 0;
  if (*p == '.') {
    ++p;
    ok = ok && is_digit(*p);
    ratio.fraction = p;
    for (uint32_t i = 0; is_digit(p[i]); ++i) {
      if (p[i] != '0') digits = i + 1;
    }
    while (is_digit(*p)) ++p;
  }
  if (!ok || *p != '\0' || whole < 1 || whole > kMostRatio || (whole == kMostRatio && digits > 0)) {
    fail(kExitFailure, "Can't parse merge-ratio (\"%s\") - merge-ratio should be a number from 1 to %llu\n", text,
         static_cast<unsigned long long>(kMostRatio));
  }
  ratio.whole = whole;
  ratio.fraction_digits = digits;
  run_state.merge_ratio = &ratio;
}

void print_merge_ratio(const MergeRatio& ratio, FILE* file) {
  fprintf(file, "%llu", static_cast<unsigned long long>(ratio.whole));
  if (ratio.fraction_digits > 0) fprintf(file, ".%.*s", static_cast<int>(ratio.fraction_digits), ratio.fraction);
}

bool meets_merge_ratio(const MergeRatio& ratio, uint64_t taker, uint64_t taken) {
  const unsigned __int128 whole_part = static_cast<unsigned __int128>(ratio.whole) * taken;
  if (taker < whole_part) return false;
  if (ratio.fraction_digits == 0) return true;
  // What is left must reach the fraction times taken: compare the decimal
  // expansion of rest / taken with the fraction's digits, one at a time.
  unsigned __int128 rest = taker - whole_part;
  if (rest >= taken) return true;
  for (uint32_t i = 0; i < ratio.fraction_digits; ++i) {
    rest *= 10;
    const unsigned __int128 digit = rest / taken;
    rest -= digit * taken;
    const unsigned __int128 wanted = static_cast<unsigned __int128>(ratio.fraction[i] - '0');
    if (digit != wanted) return digit > wanted;
  }
  return true;
}

void merge_by_ratio() {
  RunState& s = run_state;
  MergeRatio& ratio = *s.merge_ratio;
  assert(s.entry_count < UINT32_MAX && "nodes are counted in 32 bits");
  say("Counting reads per barcode ..");
  // Nodes stand in barcode order, so each distinct barcode is a run of them.
  std::vector<uint32_t> first_node;
  for (uint64_t i = 0; i < s.entry_count; ++i) {
    if (i == 0 || !same_barcode(i - 1, i)) first_node.push_back(static_cast<uint32_t>(i));
  }
  const uint64_t count = first_node.size();
  first_node.push_back(static_cast<uint32_t>(s.entry_count));
  std::vector<uint64_t> reads(count);
  if (!s.remove_duplicates) {
    for (uint64_t u = 0; u < count; ++u) reads[u] = first_node[u + 1] - first_node[u];
  } else {
    // Every node is a distinct barcode; each accepted read counts for the
    // node of its bucket that carries the same barcode.
    for (uint64_t r = 0; r < s.record_count; ++r) {
      const SequenceRecord* record = record_at(r);
      if (!is_accepted(record)) continue;
      const uint32_t key = prefix_key(record);
      for (const ClusterNode* node = s.bucket_start[key]; node < bucket_end(key); ++node) {
        if (memcmp(record_barcode(node->record), record_barcode(record), 8ull * s.barcode_words) == 0) {
          ++reads[static_cast<uint64_t>(node - s.nodes)];
          break;
        }
      }
    }
  }
  say_counted(count);

  say_merging();
  std::vector<uint32_t> order(count);
  for (uint64_t u = 0; u < count; ++u) order[u] = static_cast<uint32_t>(u);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return reads[a] > reads[b]; });
  const auto within_distance = [&](uint32_t a, uint32_t b) {
    for (uint32_t d = 1; d <= s.distance; ++d) {
      if (barcodes_at_distance(record_barcode(s.nodes[first_node[a]].record),
                               record_barcode(s.nodes[first_node[b]].record), d)) {
        return true;
      }
    }
    return false;
  };
  std::vector<uint32_t> cluster_of(count, kNone);
  std::vector<uint32_t> queue;
  ratio.taken = 0;
  for (const uint32_t start : order) {
    if (cluster_of[start] != kNone) continue;
    cluster_of[start] = start;
    queue.assign(1, start);
    for (size_t i = 0; i < queue.size(); ++i) {
      const uint32_t a = queue[i];
      for (uint32_t b = 0; b < count; ++b) {
        if (cluster_of[b] == kNone && within_distance(a, b) && meets_merge_ratio(ratio, reads[a], reads[b])) {
          cluster_of[b] = start;
          queue.push_back(b);
          ++ratio.taken;
        }
      }
    }
  }
  ratio.started = count - ratio.taken;
  std::vector<uint32_t> tails(count);
  link_clusters(first_node.data(), cluster_of.data(), tails.data(), count);
  say_merged();
}

namespace {

// Where the pairs the ratio allows gather while the search hands them over.
struct EdgeList {
  uint64_t* edges;  // taker << 32 | taken
  uint64_t count;
  uint64_t capacity;
};

void grow_edge_list(EdgeList* list) {
  list->edges = static_cast<uint64_t*>(double_work_block(kMergeEdges, list->count * sizeof(uint64_t)));
  list->capacity = run_state.work_blocks[kMergeEdges].bytes / sizeof(uint64_t);
}

// Each representative's class of read counts: class i holds the counts from
// floor i up to below floor i + 1, where floor i + 1 is the least count that
// may take floor i. Two counts of one class are less than R apart, so pairs
// within a class can never join and the search may pass them over. With R = 1
// every representative is a class of its own.
void label_by_reads(const uint64_t* reads, uint32_t* labels, uint64_t count) {
  const MergeRatio& ratio = *run_state.merge_ratio;
  const uint64_t jobs = job_count_for(count, 1 << 14, kMaxJobs);
  if (ratio_is_one(ratio)) {
    run_jobs(jobs, [&](uint64_t job, uint32_t) {
      for (uint64_t u = job_begin(job, jobs, count); u < job_begin(job + 1, jobs, count); ++u) {
        labels[u] = static_cast<uint32_t>(u);
      }
    });
    return;
  }
  uint64_t most = 1;
  for (uint64_t u = 0; u < count; ++u) most = std::max(most, reads[u]);
  // The least count that may take `floor`: between R * floor rounded down and floor above that.
  const auto next_floor = [&](uint64_t floor) {
    uint64_t low = ratio.whole * floor;
    uint64_t high = low + floor;
    while (low < high) {
      const uint64_t middle = low + (high - low) / 2;
      if (meets_merge_ratio(ratio, middle, floor)) {
        high = middle;
      } else {
        low = middle + 1;
      }
    }
    return low;
  };
  uint64_t classes = 1;
  for (uint64_t floor = 1; (floor = next_floor(floor)) <= most;) ++classes;
  uint64_t* floors = static_cast<uint64_t*>(hold_work_block(kMergeClassFloors, 8 * classes));
  floors[0] = 1;
  for (uint64_t i = 1; i < classes; ++i) floors[i] = next_floor(floors[i - 1]);
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    for (uint64_t u = job_begin(job, jobs, count); u < job_begin(job + 1, jobs, count); ++u) {
      labels[u] = static_cast<uint32_t>(std::upper_bound(floors, floors + classes, reads[u]) - floors - 1);
    }
  });
  release_work_block(kMergeClassFloors);
}

// The pairs within D that the ratio allows, one way or both, from taker to taken.
EdgeList find_edges(const uint64_t* reads, const uint32_t* labels) {
  const RunState& s = run_state;
  const MergeRatio& ratio = *s.merge_ratio;
  EdgeList list{static_cast<uint64_t*>(hold_work_block(kMergeEdges, 8 * 4096)), 0, 4096};
  const auto keep_allowed = [&](const CandidatePair* pairs, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
      const uint32_t x = pairs[i].x;
      const uint32_t y = pairs[i].y;
      if (list.capacity - list.count < 2) grow_edge_list(&list);
      if (meets_merge_ratio(ratio, reads[x], reads[y])) list.edges[list.count++] = uint64_t{x} << 32 | y;
      if (meets_merge_ratio(ratio, reads[y], reads[x])) list.edges[list.count++] = uint64_t{y} << 32 | x;
    }
    return count;
  };
  for (uint32_t d = 1; d <= s.distance; ++d) search_pairs_at_distance(d, labels, keep_allowed);
  return list;
}

// The edges grouped by taker: taker u may take targets[start[u]] to
// targets[start[u + 1] - 1]. Releases the edge list.
void group_edges_by_taker(const EdgeList& list, uint64_t count) {
  uint64_t* start = static_cast<uint64_t*>(hold_work_block(kMergeEdgeStart, 8 * (count + 1)));
  uint32_t* targets = static_cast<uint32_t*>(hold_work_block(kMergeTargets, 4 * std::max<uint64_t>(list.count, 1)));
  std::fill(start, start + count + 1, 0);
  for (uint64_t e = 0; e < list.count; ++e) ++start[(list.edges[e] >> 32) + 1];
  for (uint64_t u = 0; u < count; ++u) start[u + 1] += start[u];
  // Filling moves each taker's start to its end; the ends shifted down are the starts again.
  for (uint64_t e = 0; e < list.count; ++e)
    targets[start[list.edges[e] >> 32]++] = static_cast<uint32_t>(list.edges[e]);
  for (uint64_t u = count; u > 0; --u) start[u] = start[u - 1];
  start[0] = 0;
  release_work_block(kMergeEdges);
}

// The visit: takers in descending reads, ties in barcode order; barcodes that
// may take none start a cluster of their own unless another takes them.
void grow_clusters(const uint64_t* reads, uint32_t* cluster_of, uint64_t count) {
  MergeRatio& ratio = *run_state.merge_ratio;
  const uint64_t* start = work_block<uint64_t>(kMergeEdgeStart);
  const uint32_t* targets = work_block<uint32_t>(kMergeTargets);
  uint64_t takers = 0;
  for (uint64_t u = 0; u < count; ++u) takers += start[u + 1] > start[u];
  uint32_t* order = static_cast<uint32_t*>(hold_work_block(kMergeOrder, 4 * std::max<uint64_t>(takers, 1)));
  takers = 0;
  for (uint64_t u = 0; u < count; ++u) {
    if (start[u + 1] > start[u]) order[takers++] = static_cast<uint32_t>(u);
  }
  std::sort(order, order + takers,
            [&](uint32_t a, uint32_t b) { return reads[a] != reads[b] ? reads[a] > reads[b] : a < b; });
  uint32_t* queue = static_cast<uint32_t*>(hold_work_block(kMergeQueue, 4 * count));
  std::fill(cluster_of, cluster_of + count, kNone);
  ratio.taken = 0;
  for (uint64_t i = 0; i < takers; ++i) {
    const uint32_t first = order[i];
    if (cluster_of[first] != kNone) continue;
    cluster_of[first] = first;
    uint64_t queued = 0;
    queue[queued++] = first;
    for (uint64_t q = 0; q < queued; ++q) {
      const uint32_t a = queue[q];
      for (uint64_t e = start[a]; e < start[a + 1]; ++e) {
        const uint32_t b = targets[e];
        if (cluster_of[b] != kNone) continue;
        cluster_of[b] = first;
        queue[queued++] = b;
        ++ratio.taken;
      }
    }
  }
  for (uint64_t u = 0; u < count; ++u) {
    if (cluster_of[u] == kNone) cluster_of[u] = static_cast<uint32_t>(u);
  }
  ratio.started = count - ratio.taken;
  release_work_block(kMergeQueue);
  release_work_block(kMergeOrder);
  release_work_block(kMergeTargets);
  release_work_block(kMergeEdgeStart);
}

}  // namespace

void merge_by_ratio_fast() {
  RunState& s = run_state;
  assert(s.entry_count < UINT32_MAX && "representatives are counted in 32 bits; more nodes would need 100 GB");
  say("Counting reads per barcode ..");
  if (!s.remove_duplicates) join_identical_barcodes();
  hold_representatives();
  const uint64_t count = s.representative_count;
  const uint32_t* node_of = work_block<uint32_t>(kRepresentativeNode);
  uint64_t* reads = static_cast<uint64_t*>(hold_work_block(kMergeReads, 8 * count));
  const uint64_t* kept_reads = kept_entry_reads();
  const uint64_t jobs = job_count_for(count, 1 << 14, kMaxJobs);
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    for (uint64_t u = job_begin(job, jobs, count); u < job_begin(job + 1, jobs, count); ++u) {
      reads[u] = kept_reads != nullptr ? kept_reads[node_of[u]] : node_of[u + 1] - node_of[u];
    }
  });
  // Kept for the page only.
  if (s.page_path == nullptr) release_work_block(kKeptEntryReads);
  say_counted(count);

  say_merging();
  uint32_t* labels = static_cast<uint32_t*>(hold_work_block(kMergeLabels, 4 * count));
  label_by_reads(reads, labels, count);
  const EdgeList edges = find_edges(reads, labels);
  // The representatives' nodes stay for the rings.
  release_pair_search();
  release_work_block(kMergeLabels);
  group_edges_by_taker(edges, count);
  uint32_t* cluster_of = static_cast<uint32_t*>(hold_work_block(kMergeCluster, 4 * count));
  grow_clusters(reads, cluster_of, count);
  release_work_block(kMergeReads);
  uint32_t* tails = static_cast<uint32_t*>(hold_work_block(kMergeRingTails, 4 * count));
  link_clusters(node_of, cluster_of, tails, count);
  release_work_block(kMergeRingTails);
  release_work_block(kMergeCluster);
  release_representatives();
  say_merged();
}
