#include "cluster/representative_passes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "cluster/candidate_pairs.h"
#include "cluster/cluster_forest.h"
#include "cluster/distance_pass.h"
#include "cluster/search_keys.h"
#include "base/messages.h"
#include "base/run_statistics.h"
#include "base/run_state.h"
#include "base/size_thresholds.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"

namespace {

constexpr uint64_t kMaxJobs = 1024;

// Jobs over the node array cover equal stretches of buckets.
uint64_t node_jobs() { return job_count_for(run_state.entry_count, 4096, kMaxJobs); }
uint32_t first_bucket_of(uint64_t job, uint64_t jobs) {
  return static_cast<uint32_t>(job_begin(job, jobs, kBucketCount));
}

// Candidate pairs one job slot holds; a job with more is finished by the
// calling thread. Small inputs get small slots.
// Past kMaxScratchWorkers workers the slots share what that many would hold;
// a job whose pairs overflow its slot is finished on the calling thread.
uint64_t pairs_per_slot() {
  const uint64_t count = run_state.representative_count;
  const uint64_t pairs = scratch_share(count > (1 << 16) ? 1 << 16 : count, worker_count());
  return pairs < 64 ? 64 : pairs;
}

template <typename T>
T* work_block(WorkBlockId id) {
  return static_cast<T*>(run_state.work_blocks[id].data);
}

// Nodes are counted in 32 bits here; more would need a node array of 100 GB.
bool fits_node_indices() { return run_state.entry_count < UINT32_MAX; }

bool same_barcode(const ClusterNode& a, const ClusterNode& b) {
  return memcmp(record_barcode(a.record), record_barcode(b.record), 8ull * run_state.barcode_words) == 0;
}

// The representatives: the nodes that are still their cluster's first node,
// which after the distance-0 pass or with -p are the first nodes of the runs
// of identical barcodes.
void collect_representatives() {
  RunState& s = run_state;
  const ClusterNode* nodes = s.nodes;
  const auto is_representative = [&](const ClusterNode* node) { return node->cluster_id == node - nodes; };
  const uint64_t jobs = node_jobs();
  uint64_t first_of_job[kMaxJobs + 1];
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    uint64_t count = 0;
    for (uint32_t k = first_bucket_of(job, jobs); k < first_bucket_of(job + 1, jobs); ++k) {
      for (const ClusterNode* node = s.bucket_start[k]; node < bucket_end(k); ++node) count += is_representative(node);
    }
    first_of_job[job + 1] = count;
  });
  first_of_job[0] = 0;
  for (uint64_t job = 0; job < jobs; ++job) first_of_job[job + 1] += first_of_job[job];
  const uint64_t count = first_of_job[jobs];
  const uint32_t words = s.barcode_words;
  s.representative_count = count;
  uint32_t* node_of = static_cast<uint32_t*>(hold_work_block(kRepresentativeNode, 4 * (count + 1)));
  uint64_t* barcodes = static_cast<uint64_t*>(hold_work_block(kRepresentativeBarcodes, 8 * words * count));
  hold_work_block(kBucketRoots, 4 * kBucketCount);
  uint32_t* bucket_first = static_cast<uint32_t*>(hold_work_block(kRepresentativeBuckets, 4 * (kBucketCount + 1)));
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    uint32_t u = static_cast<uint32_t>(first_of_job[job]);
    for (uint32_t k = first_bucket_of(job, jobs); k < first_bucket_of(job + 1, jobs); ++k) {
      bucket_first[k] = u;
      for (const ClusterNode* node = s.bucket_start[k]; node < bucket_end(k); ++node) {
        if (node + 16 < nodes + s.entry_count && is_representative(node + 16)) {
          __builtin_prefetch(record_barcode(node[16].record));
        }
        if (!is_representative(node)) continue;
        node_of[u] = static_cast<uint32_t>(node - nodes);
        memcpy(barcodes + uint64_t{u} * words, record_barcode(node->record), 8ull * words);
        ++u;
      }
    }
  });
  node_of[count] = static_cast<uint32_t>(s.entry_count);
  bucket_first[kBucketCount] = static_cast<uint32_t>(count);
}

// Whether the search is keyed by positions other than the first 8: the
// kSearch blocks are held then.
bool search_rekeyed() { return run_state.work_blocks[kSearchBarcodes].data != nullptr; }

// The barcodes and buckets the candidate search reads.
const uint64_t* search_barcodes() {
  return work_block<uint64_t>(search_rekeyed() ? kSearchBarcodes : kRepresentativeBarcodes);
}
const uint32_t* search_buckets() {
  return work_block<uint32_t>(search_rekeyed() ? kSearchBuckets : kRepresentativeBuckets);
}

// Keys the search by the most even positions when the first 8 bases crowd
// the barcodes into buckets that make several times the comparisons: holds
// the kSearch blocks then, with the places in search order (by key, ties in
// representative order).
void key_search() {
  RunState& s = run_state;
  const uint32_t length = s.barcode_length;
  const int forced = size_thresholds.rekeyed_search;
  if (length <= 8 || length > kMaxWeighedLength || forced < 0) return;
  const uint32_t count = static_cast<uint32_t>(s.representative_count);
  const uint32_t words = s.barcode_words;
  const uint64_t* barcodes = work_block<uint64_t>(kRepresentativeBarcodes);
  uint32_t positions[kMaxWeighedLength];
  choose_search_positions(barcodes, words, count, length, positions);
  bool first_eight = true;
  for (uint32_t i = 0; i < 8; ++i) first_eight = first_eight && positions[i] == i;
  if (first_eight && forced == 0) return;

  // Counts by key at first[key + 1], turned into starts there; placing the
  // representatives then leaves each bucket's end in first[key + 1].
  uint32_t* first = static_cast<uint32_t*>(hold_work_block(kSearchBuckets, 4 * (kBucketCount + 1)));
  memset(first, 0, 4 * (kBucketCount + 1));
  for (uint32_t u = 0; u < count; ++u) ++first[search_key(barcodes + uint64_t{u} * words, positions) + 1];
  const uint32_t* natural = work_block<uint32_t>(kRepresentativeBuckets);
  double natural_collisions = 0;
  for (uint32_t k = 0; k < kBucketCount; ++k) {
    natural_collisions += static_cast<double>(natural[k + 1] - natural[k]) * (natural[k + 1] - natural[k]);
  }
  if (forced == 0 && 4 * key_collisions(first + 1) > natural_collisions) {
    release_work_block(kSearchBuckets);
    return;
  }
  uint32_t sum = 0;
  for (uint32_t k = 1; k <= kBucketCount; ++k) {
    const uint32_t here = first[k];
    first[k] = sum;
    sum += here;
  }
  uint32_t* origin = static_cast<uint32_t*>(hold_work_block(kSearchOrigin, 4ull * count));
  for (uint32_t u = 0; u < count; ++u) origin[first[search_key(barcodes + uint64_t{u} * words, positions) + 1]++] = u;
  hold_work_block(kSearchLabels, 4ull * count);
  uint64_t* rearranged = static_cast<uint64_t*>(hold_work_block(kSearchBarcodes, 8ull * words * count));
  const uint64_t jobs = job_count_for(count, 4096, kMaxJobs);
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    for (uint64_t place = job_begin(job, jobs, count); place < job_begin(job + 1, jobs, count); ++place) {
      rearrange_barcode(barcodes + uint64_t{origin[place]} * words, words, positions, length,
                        rearranged + place * words);
    }
  });
}

// The suffix index for the subpasses that join barcodes with equal suffixes;
// a barcode of 8 bases or fewer has no suffix and needs none.
void hold_suffix_index() {
  RunState& s = run_state;
  if (s.barcode_length <= 8) return;
  const uint32_t count = static_cast<uint32_t>(s.representative_count);
  const uint32_t words = s.barcode_words;
  const uint64_t* barcodes = search_barcodes();
  uint32_t* order = static_cast<uint32_t*>(hold_work_block(kSuffixOrder, 4ull * count));
  uint32_t* position = static_cast<uint32_t*>(hold_work_block(kSuffixPosition, 4ull * count));
  uint32_t* group_end = static_cast<uint32_t*>(hold_work_block(kSuffixGroupEnd, 4ull * count));
  index_suffixes(barcodes, words, count, order, position, group_end);
  const uint32_t min_size = std::max<uint32_t>(size_thresholds.long_suffix_run, 2);
  const uint32_t runs = count_long_suffix_runs(group_end, count, min_size);
  if (runs == 0) return;
  void* table = hold_work_block(kLongSuffixRuns, long_suffix_run_bytes(runs));
  index_long_suffix_runs(barcodes, words, order, group_end, count, min_size, runs, table);
}

// The long runs of equal suffixes that hold_suffix_index indexed; none without it.
LongSuffixRuns long_suffix_runs() {
  const WorkBlock& block = run_state.work_blocks[kLongSuffixRuns];
  if (block.data == nullptr) return {};
  LongSuffixRuns runs = long_suffix_runs_in(block.data, static_cast<uint32_t>(block.bytes / long_suffix_run_bytes(1)));
  runs.always_look_up = size_thresholds.suffix_key_lookup > 0;
  return runs;
}

// Root of u's cluster with path halving; roots are the smallest index of their cluster.
uint32_t find_root(uint32_t* parent, uint32_t u) {
  while (parent[u] != u) {
    parent[u] = parent[parent[u]];
    u = parent[u];
  }
  return u;
}

// Points every representative straight at its root. Parents lie below their
// children, so one ascending sweep suffices.
void flatten_roots() {
  uint32_t* parent = work_block<uint32_t>(kRepresentativeParent);
  for (uint64_t u = 0; u < run_state.representative_count; ++u) parent[u] = parent[parent[u]];
}

// join_clusters on the representatives' nodes: the same answer, from the
// union-find, and the same exchange of the two given nodes' next links.
// Cluster ids are written once, after the last pass.
int join_representatives(uint32_t x, uint32_t y) {
  uint32_t* parent = work_block<uint32_t>(kRepresentativeParent);
  const uint32_t root_x = find_root(parent, x);
  const uint32_t root_y = find_root(parent, y);
  if (root_x == root_y) return 0;
  if (root_x < root_y) {
    parent[root_y] = root_x;
  } else {
    parent[root_x] = root_y;
  }
  const uint32_t* node_of = work_block<uint32_t>(kRepresentativeNode);
  std::swap(run_state.nodes[node_of[x]].next, run_state.nodes[node_of[y]].next);
  return 1;
}

uint64_t join_pairs(const CandidatePair* pairs, uint64_t count) {
  uint64_t joined = 0;
  for (uint64_t i = 0; i < count; ++i) joined += join_representatives(pairs[i].x, pairs[i].y);
  return joined;
}

// Finds and joins the pairs of buckets begin to end on the calling thread,
// one bucket at a time, growing its buffer until a bucket's pairs fit.
uint64_t join_buckets_here(const PairSearch& search, uint32_t begin, uint32_t end, const PairSink& sink) {
  uint64_t joined = 0;
  for (uint32_t k = begin; k < end; ++k) {
    for (;;) {
      const WorkBlock& block = run_state.work_blocks[kInlinePairs];
      PairBuffer buffer{static_cast<CandidatePair*>(block.data), 0, block.bytes / sizeof(CandidatePair)};
      if (find_bucket_pairs(search, k, &buffer)) {
        joined += sink(buffer.pairs, buffer.count);
        break;
      }
      reserve_work_block(kInlinePairs, 2 * block.bytes);
    }
  }
  return joined;
}

// Doubles a pair list held in work block id, keeping the pairs it holds.
void grow_pair_list(WorkBlockId id, PairBuffer* list) {
  list->pairs = static_cast<CandidatePair*>(double_work_block(id, list->count * sizeof(CandidatePair)));
  list->capacity = run_state.work_blocks[id].bytes / sizeof(CandidatePair);
}

// Whether subpass k of pass d = k + 1 is better searched by blanking each
// suffix base in turn than bucket by bucket: the bucket search compares every
// pair of two neighbour buckets, which in a dense, even spread of barcodes
// costs far more than sorting all representatives once per suffix base.
bool search_by_blanked_suffix(const PairSearch& search) {
  const RunState& s = run_state;
  if (one_suffix_base_apart_searches(search) == 0) return false;
  if (size_thresholds.blanked_suffix_search != 0) return size_thresholds.blanked_suffix_search > 0;
  const uint32_t* first = search.bucket_first;
  const uint64_t jobs = job_count_for(s.representative_count, 4096, kMaxJobs);
  double bucket_cost_of_job[kMaxJobs];
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    double cost = 0;
    uint32_t neighbours[kMaxNeighbours];
    for (uint32_t a = first_bucket_of(job, jobs); a < first_bucket_of(job + 1, jobs); ++a) {
      const double size = first[a + 1] - first[a];
      if (size == 0) continue;
      const uint32_t shared = search.bucket_root[a];
      if (search.prefix_distance == 0) {
        if (shared == kMixedRoots) cost += size * size / 2;
        continue;
      }
      const uint32_t count = list_neighbours(a, search.prefix_distance, search.key_positions, neighbours);
      for (uint32_t i = 0; i < count; ++i) {
        const uint32_t n = neighbours[i];
        if (n <= a || first[n] == first[n + 1] || (shared != kMixedRoots && shared == search.bucket_root[n])) continue;
        cost += size * (first[n + 1] - first[n]) + 30;
      }
    }
    bucket_cost_of_job[job] = cost;
  });
  double bucket_cost = 0;
  for (uint64_t job = 0; job < jobs; ++job) bucket_cost += bucket_cost_of_job[job];
  // Per search: a radix sort, then every pair within each run of equal
  // masked barcodes, which an even spread makes about count / 4^kept long.
  const double count = static_cast<double>(s.representative_count);
  const double searches = one_suffix_base_apart_searches(search);
  const double kept_bases = search.suffix_length - 1 + 8 / (search.prefix_distance + 1);
  const double blanked_cost = searches * (25 * count + count * count / (2 * std::pow(4.0, kept_bases)));
  return blanked_cost < bucket_cost;
}

// Subpass k of pass d = k + 1 by blanked suffix base: the workers search one
// suffix base each and leave the pairs of all buckets in their buffers; the
// calling thread gathers them, puts them in join order and joins them. A
// search that overflows its worker's buffer is redone on the calling thread.
uint64_t join_subpass_by_blanked_suffix(const PairSearch& search, const PairSink& sink) {
  const uint32_t count = static_cast<uint32_t>(run_state.representative_count);
  const uint32_t searches = one_suffix_base_apart_searches(search);
  // Each search sorts all representatives in a worker's own two arrays, so only a few run at once.
  const uint32_t workers = scratch_workers(searches);
  uint64_t* entries = static_cast<uint64_t*>(reserve_work_block(kBlankedEntries, 16ull * workers * count));
  CandidatePair* worker_pairs = work_block<CandidatePair>(kPairSlots);
  uint64_t worker_count_of_pairs[kMaxWorkers] = {};
  bool searched[3 * 24] = {};
  run_jobs(
      searches,
      [&](uint64_t i, uint32_t worker) {
        uint64_t* mine = entries + 2ull * worker * count;
        PairBuffer buffer{worker_pairs + worker * pairs_per_slot(), worker_count_of_pairs[worker], pairs_per_slot()};
        searched[i] = find_pairs_one_suffix_base_apart(search, static_cast<uint32_t>(i), mine, mine + count, &buffer);
        worker_count_of_pairs[worker] = buffer.count;
      },
      workers);
  uint64_t total = 0;
  for (uint32_t worker = 0; worker < workers; ++worker) total += worker_count_of_pairs[worker];
  PairBuffer all{static_cast<CandidatePair*>(reserve_work_block(kSubpassPairs, (total + 1) * sizeof(CandidatePair))), 0,
                 total + 1};
  for (uint32_t worker = 0; worker < workers; ++worker) {
    memcpy(all.pairs + all.count, worker_pairs + worker * pairs_per_slot(),
           worker_count_of_pairs[worker] * sizeof(CandidatePair));
    all.count += worker_count_of_pairs[worker];
  }
  for (uint32_t i = 0; i < searches; ++i) {
    while (!searched[i] && !find_pairs_one_suffix_base_apart(search, i, entries, entries + count, &all)) {
      grow_pair_list(kSubpassPairs, &all);
    }
  }
  std::sort(all.pairs, all.pairs + all.count, [](const CandidatePair& p, const CandidatePair& q) {
    if (p.rank != q.rank) return p.rank < q.rank;
    return p.x != q.x ? p.x < q.x : p.y < q.y;
  });
  const uint64_t joined = sink(all.pairs, all.count);
  release_work_block(kSubpassPairs);
  return joined;
}

// Subpass k of pass d in the search's keys: workers find the pairs of
// consecutive stretches of buckets, the calling thread hands them to the
// sink stretch by stretch. root is indexed in search order.
uint64_t search_subpass(uint32_t d, uint32_t k, const uint32_t* root, const PairSink& sink) {
  RunState& s = run_state;
  const PairSearch search{
      d,
      k,
      s.barcode_words,
      s.barcode_length < 8 ? s.barcode_length : 8,
      s.barcode_length > 8 ? s.barcode_length - 8 : 0,
      search_barcodes(),
      search_buckets(),
      root,
      work_block<uint32_t>(kBucketRoots),
      work_block<uint32_t>(kSuffixOrder),
      work_block<uint32_t>(kSuffixPosition),
      work_block<uint32_t>(kSuffixGroupEnd),
      long_suffix_runs(),
  };
  const uint64_t root_jobs = job_count_for(s.representative_count, 4096, kMaxJobs);
  run_jobs(root_jobs, [&](uint64_t job, uint32_t) {
    find_bucket_roots(search.bucket_first, search.root, first_bucket_of(job, root_jobs),
                      first_bucket_of(job + 1, root_jobs), work_block<uint32_t>(kBucketRoots));
  });
  find_long_run_roots(search.long_runs, search.suffix_order, root);
  if (search_by_blanked_suffix(search)) return join_subpass_by_blanked_suffix(search, sink);

  // Stretches of about equal numbers of representatives; small ones keep
  // the workers fed and the joins close behind them.
  const uint64_t jobs = job_count_for(s.representative_count, 16, kMaxJobs);
  uint32_t first_bucket[kMaxJobs + 1];
  for (uint64_t job = 0; job <= jobs; ++job) {
    const uint64_t first = job_begin(job, jobs, s.representative_count);
    first_bucket[job] = static_cast<uint32_t>(
        std::lower_bound(search.bucket_first, search.bucket_first + kBucketCount, first) - search.bucket_first);
  }
  first_bucket[jobs] = kBucketCount;

  CandidatePair* slot_pairs = work_block<CandidatePair>(kPairSlots);
  uint64_t slot_count[kMaxOrderedSlots];
  uint32_t slot_resume[kMaxOrderedSlots];  // first bucket a slot's job left unsearched
  uint64_t joined = 0;
  run_jobs_in_order(
      jobs,
      [&](uint64_t job, uint32_t slot) {
        PairBuffer buffer{slot_pairs + slot * pairs_per_slot(), 0, pairs_per_slot()};
        uint32_t k = first_bucket[job];
        while (k < first_bucket[job + 1] && find_bucket_pairs(search, k, &buffer)) ++k;
        slot_count[slot] = buffer.count;
        slot_resume[slot] = k;
      },
      [&](uint64_t job, uint32_t slot) {
        joined += sink(slot_pairs + slot * pairs_per_slot(), slot_count[slot]);
        joined += join_buckets_here(search, slot_resume[slot], first_bucket[job + 1], sink);
      });
  return joined;
}

// Subpass k needs room for the other d - k differences after the prefix.
bool subpass_possible(uint32_t d, uint32_t k) {
  const uint32_t suffix_length = run_state.barcode_length > 8 ? run_state.barcode_length - 8 : 0;
  return k <= 8 && d - k <= suffix_length;
}

// The prefix distance of two 8-base keys: the positions where they differ.
uint32_t prefix_distance_of(uint32_t x_key, uint32_t y_key) {
  const uint32_t diff = x_key ^ y_key;
  return static_cast<uint32_t>(__builtin_popcount((diff | (diff >> 1)) & 0x5555));
}

// With the search keyed by other positions: finds every pair of the pass at
// once, through the subpasses of the search's keys, then hands them to the
// sink in the order of the straightforward loops. That order is subpass by
// subpass (the pair's prefix distance in the first 8 bases), then by the rank
// of the pair's buckets as the bucket search gives it, then by x, the earlier
// representative, then y. labels are indexed by representative.
uint64_t search_rekeyed_pass(uint32_t d, const uint32_t* labels, const PairSink& sink) {
  const uint64_t count = run_state.representative_count;
  const uint32_t* origin = work_block<uint32_t>(kSearchOrigin);
  uint32_t* search_labels = work_block<uint32_t>(kSearchLabels);
  for (uint64_t place = 0; place < count; ++place) search_labels[place] = labels[origin[place]];
  PairBuffer found{static_cast<CandidatePair*>(hold_work_block(kPassPairs, pairs_per_slot() * sizeof(CandidatePair))),
                   0, pairs_per_slot()};
  const auto keep = [&](const CandidatePair* pairs, uint64_t n) -> uint64_t {
    while (found.capacity - found.count < n) grow_pair_list(kPassPairs, &found);
    memcpy(found.pairs + found.count, pairs, n * sizeof(CandidatePair));
    found.count += n;
    return 0;
  };
  for (uint32_t k = 0; k <= d; ++k) {
    if (subpass_possible(d, k)) search_subpass(d, k, search_labels, keep);
  }

  const uint64_t* barcodes = work_block<uint64_t>(kRepresentativeBarcodes);
  const uint32_t words = run_state.barcode_words;
  const auto key_of = [&](uint32_t u) { return static_cast<uint32_t>(barcodes[uint64_t{u} * words] >> 48); };
  uint64_t subpass_first[9 + 1] = {};
  for (uint64_t i = 0; i < found.count; ++i) {
    CandidatePair& pair = found.pairs[i];
    const uint32_t x = std::min(origin[pair.x], origin[pair.y]);
    const uint32_t y = std::max(origin[pair.x], origin[pair.y]);
    const uint32_t a = key_of(x);
    const uint32_t n = key_of(y);
    pair = {(a << 16) | (a == n ? 0 : neighbour_rank(a, n)), x, y};
    ++subpass_first[prefix_distance_of(a, n) + 1];
  }
  for (uint32_t k = 1; k <= 9; ++k) subpass_first[k] += subpass_first[k - 1];
  CandidatePair* ordered =
      static_cast<CandidatePair*>(reserve_work_block(kSubpassPairs, (found.count + 1) * sizeof(CandidatePair)));
  uint64_t next[9];
  memcpy(next, subpass_first, sizeof next);
  for (uint64_t i = 0; i < found.count; ++i) {
    const CandidatePair& pair = found.pairs[i];
    ordered[next[prefix_distance_of(key_of(pair.x), key_of(pair.y))]++] = pair;
  }
  release_work_block(kPassPairs);
  uint64_t handed = 0;
  for (uint32_t k = 0; k < 9; ++k) {
    std::sort(ordered + subpass_first[k], ordered + subpass_first[k + 1],
              [](const CandidatePair& p, const CandidatePair& q) {
                if (p.rank != q.rank) return p.rank < q.rank;
                return p.x != q.x ? p.x < q.x : p.y < q.y;
              });
    handed += sink(ordered + subpass_first[k], subpass_first[k + 1] - subpass_first[k]);
  }
  release_work_block(kSubpassPairs);
  return handed;
}

// Pass d from 1 on: the subpasses in the order of the straightforward pass,
// each joining the pairs of representatives that were in two clusters when
// it began. With the search keyed by other positions, the pairs of all
// subpasses are found against the clusters the pass began with.
uint64_t join_at_distance(uint32_t d) {
  uint32_t* root = work_block<uint32_t>(kSubpassRoot);
  if (search_rekeyed()) {
    flatten_roots();
    return search_rekeyed_pass(d, work_block<uint32_t>(kRepresentativeParent), join_pairs);
  }
  uint64_t joined = 0;
  for (uint32_t k = 0; k <= d; ++k) {
    if (!subpass_possible(d, k)) continue;
    flatten_roots();
    memcpy(root, work_block<uint32_t>(kRepresentativeParent), 4 * run_state.representative_count);
    joined += search_subpass(d, k, root, join_pairs);
  }
  return joined;
}

// Every node takes the first node of its cluster as id: the node of its
// run's representative's root.
void write_cluster_ids() {
  flatten_roots();
  const uint32_t* parent = work_block<uint32_t>(kRepresentativeParent);
  const uint32_t* node_of = work_block<uint32_t>(kRepresentativeNode);
  const uint64_t count = run_state.representative_count;
  const uint64_t jobs = job_count_for(count, 4096, kMaxJobs);
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    for (uint64_t u = job_begin(job, jobs, count); u < job_begin(job + 1, jobs, count); ++u) {
      const int64_t id = node_of[parent[u]];
      for (uint32_t i = node_of[u]; i < node_of[u + 1]; ++i) run_state.nodes[i].cluster_id = id;
    }
  });
}

// The blocks only the candidate search reads.
constexpr WorkBlockId kSearchBlocks[] = {kRepresentativeBarcodes,
                                         kRepresentativeBuckets,
                                         kSuffixOrder,
                                         kSuffixPosition,
                                         kSuffixGroupEnd,
                                         kLongSuffixRuns,
                                         kPairSlots,
                                         kInlinePairs,
                                         kBlankedEntries,
                                         kBucketRoots,
                                         kSearchBarcodes,
                                         kSearchOrigin,
                                         kSearchBuckets,
                                         kSearchLabels,
                                         kPassPairs};

}  // namespace

uint64_t join_identical_barcodes() {
  RunState& s = run_state;
  const uint64_t jobs = node_jobs();
  uint64_t joined_by_job[kMaxJobs];
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    // Equal barcodes share a bucket and stand together, so a run is the
    // nodes whose barcode equals the one before.
    ClusterNode* const begin = s.bucket_start[first_bucket_of(job, jobs)];
    ClusterNode* const end = job + 1 < jobs ? s.bucket_start[first_bucket_of(job + 1, jobs)] : s.nodes + s.entry_count;
    constexpr ptrdiff_t kLead = 16;
    uint64_t joined = 0;
    ClusterNode* first = begin;
    for (ClusterNode* node = begin; node < end; ++node) {
      if (end - node > kLead) __builtin_prefetch(record_barcode(node[kLead].record));
      if (node == begin || !same_barcode(node[-1], *node)) {
        first = node;
        continue;
      }
      // join_clusters(first, node) for each later node in turn puts every
      // node right behind the first: first, last, ..., second.
      node->next = node - 1;
      node->cluster_id = first->cluster_id;
      first->next = node;
      ++joined;
    }
    joined_by_job[job] = joined;
  });
  uint64_t joined = 0;
  for (uint64_t job = 0; job < jobs; ++job) joined += joined_by_job[job];
  return joined;
}

void cluster_at_distances_fast(uint32_t first, uint32_t last) {
  for (uint32_t d = first; d <= last; ++d) {
    if (!fits_node_indices()) {
      cluster_at_distance(d);
      continue;
    }
    begin_pass(d);
    say("Clustering with distance %u ..", d);
    if (d >= 1 && run_state.work_blocks[kRepresentativeNode].data == nullptr) {
      hold_representatives();
      const uint64_t count = run_state.representative_count;
      uint32_t* parent = static_cast<uint32_t*>(hold_work_block(kRepresentativeParent, 4 * count));
      for (uint64_t u = 0; u < count; ++u) parent[u] = static_cast<uint32_t>(u);
      hold_work_block(kSubpassRoot, 4 * count);
    }
    const uint64_t joined = d == 0 ? join_identical_barcodes() : join_at_distance(d);
    say(" OK, %llu joined\n", static_cast<unsigned long long>(joined));
    end_pass(joined);
  }
  if (run_state.work_blocks[kRepresentativeNode].data == nullptr) return;
  write_cluster_ids();
  release_representatives();
}

void hold_representatives() {
  collect_representatives();
  key_search();
  hold_suffix_index();
  hold_work_block(kPairSlots, ordered_slot_count() * pairs_per_slot() * sizeof(CandidatePair));
  hold_work_block(kInlinePairs, pairs_per_slot() * sizeof(CandidatePair));
}

void release_pair_search() {
  for (WorkBlockId id : kSearchBlocks) release_work_block(id);
}

void release_representatives() {
  release_pair_search();
  for (WorkBlockId id : {kRepresentativeNode, kRepresentativeParent, kSubpassRoot}) release_work_block(id);
  run_state.representative_count = 0;
}

uint64_t search_pairs_at_distance(uint32_t d, const uint32_t* labels, const PairSink& sink) {
  if (search_rekeyed()) return search_rekeyed_pass(d, labels, sink);
  uint64_t handed = 0;
  for (uint32_t k = 0; k <= d; ++k) {
    if (subpass_possible(d, k)) handed += search_subpass(d, k, labels, sink);
  }
  return handed;
}
