#include "output/page_figures.h"

#include <algorithm>
#include <cstring>

#include "barcode/barcode_packing.h"
#include "barcode/base_composition.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"
#include "cluster/prefix_buckets.h"
#include "output/cluster_tally.h"

namespace {

static_assert(unknown_character < kScreeningSlots, "every screening cause needs a slot");

// The numbers of the clusters with the most reads; a tie keeps the earlier
// cluster first. reads_of(c) gives the reads of cluster number c + 1.
template <typename ReadsOf>
uint32_t pick_top_clusters(uint64_t clusters, ReadsOf reads_of, TopCluster* top) {
  uint32_t count = 0;
  for (uint64_t c = 0; c < clusters; ++c) {
    const uint64_t reads = reads_of(c);
    if (count == kTopClusters && reads <= top[count - 1].reads) continue;
    uint32_t place = count < kTopClusters ? count++ : count - 1;
    while (place > 0 && top[place - 1].reads < reads) {
      top[place] = top[place - 1];
      --place;
    }
    top[place] = {c + 1, reads, 0, nullptr};
  }
  return count;
}

bool same_barcode(uint64_t a, uint64_t b) {
  const ClusterNode* nodes = run_state.nodes;
  return memcmp(record_barcode(nodes[a].record), record_barcode(nodes[b].record), 8ull * run_state.barcode_words) == 0;
}

// A cluster's distinct barcodes and its representative, from its members'
// node indices. Nodes stand in barcode order, and equal barcodes are always
// in one cluster, so in the sorted indices each barcode is a run of
// consecutive nodes; the representative is the first node of the longest
// run, the earliest (lowest barcode) on a tie, as the cluster table has it.
void describe_cluster(uint64_t* members, uint64_t count, TopCluster& cluster) {
  std::sort(members, members + count);
  uint64_t run_start = 0;
  uint64_t longest = 0;
  for (uint64_t k = 1; k <= count; ++k) {
    if (k < count && members[k] == members[k - 1] + 1 && same_barcode(members[k - 1], members[k])) continue;
    ++cluster.barcodes;
    if (k - run_start > longest) {
      longest = k - run_start;
      cluster.representative = run_state.nodes[members[run_start]].record;
    }
    run_start = k;
  }
}

// A cluster of kept entries (-p): each node its own barcode, so the
// representative is the node whose barcode the most reads carry, the earliest
// (lowest barcode) on a tie, as the cluster table has it.
void describe_kept_cluster(const ClusterNode* first, const uint64_t* entry_reads, TopCluster& cluster) {
  const ClusterNode* nodes = run_state.nodes;
  const ClusterNode* best = first;
  const ClusterNode* node = first;
  do {
    const uint64_t reads = entry_reads[node - nodes];
    const uint64_t best_reads = entry_reads[best - nodes];
    if (reads > best_reads || (reads == best_reads && node < best)) best = node;
    ++cluster.barcodes;
    node = node->next;
  } while (node != first);
  cluster.representative = best->record;
}

// The largest clusters from the tally: their rings walked, one job each.
void describe_from_tally(PageFigures& figures) {
  const RunState& s = run_state;
  const uint64_t* reads = cluster_tally_reads();
  figures.sizes = count_cluster_sizes(reads, s.cluster_count);
  figures.top_count = pick_top_clusters(
      s.cluster_count, [&](uint64_t c) { return reads[c]; }, figures.top_clusters);
  if (const uint64_t* entry_reads = kept_entry_reads()) {
    run_jobs(figures.top_count, [&](uint64_t i, uint32_t) {
      TopCluster& cluster = figures.top_clusters[i];
      describe_kept_cluster(&s.nodes[first_node_of_cluster(cluster.number)], entry_reads, cluster);
    });
    return;
  }
  uint64_t offsets[kTopClusters + 1] = {};
  for (uint32_t i = 0; i < figures.top_count; ++i) offsets[i + 1] = offsets[i] + figures.top_clusters[i].reads;
  auto* indices = static_cast<uint64_t*>(hold_work_block(kTopClusterNodes, (offsets[figures.top_count] + 1) * 8));
  run_jobs(figures.top_count, [&](uint64_t i, uint32_t) {
    TopCluster& cluster = figures.top_clusters[i];
    const ClusterNode* first = &s.nodes[first_node_of_cluster(cluster.number)];
    uint64_t* members = indices + offsets[i];
    uint64_t count = 0;
    const ClusterNode* node = first;
    do {
      members[count++] = static_cast<uint64_t>(node - s.nodes);
      node = node->next;
    } while (node != first);
    describe_cluster(members, count, cluster);
  });
  release_work_block(kTopClusterNodes);
}

// The largest clusters when every kept entry is a cluster (distance 0, -p):
// cluster n is entry n - 1 in bucket order.
void describe_kept_entries(PageFigures& figures) {
  const RunState& s = run_state;
  const uint64_t* reads = kept_entry_reads();
  figures.sizes = count_cluster_sizes(reads, s.cluster_count);
  figures.top_count = pick_top_clusters(
      s.cluster_count, [&](uint64_t c) { return reads[c]; }, figures.top_clusters);
  for (uint32_t i = 0; i < figures.top_count; ++i) {
    TopCluster& cluster = figures.top_clusters[i];
    uint64_t entry = cluster.number - 1;
    uint32_t k = 0;
    while (entry >= s.bucket_counts[k]) entry -= s.bucket_counts[k++];
    cluster.barcodes = 1;
    cluster.representative = s.bucket_entries[k][entry];
  }
}

// The largest clusters from the cluster numbering's rows.
void describe_from_totals(PageFigures& figures) {
  const RunState& s = run_state;
  figures.sizes = count_cluster_sizes();
  const ClusterTotals* totals = s.cluster_totals;
  figures.top_count = pick_top_clusters(
      s.cluster_count, [&](uint64_t c) { return totals[c].reads; }, figures.top_clusters);
  for (uint32_t i = 0; i < figures.top_count; ++i) {
    TopCluster& cluster = figures.top_clusters[i];
    cluster.barcodes = totals[cluster.number - 1].barcodes;
    cluster.representative = totals[cluster.number - 1].representative;
  }
}

}  // namespace

bool page_needs_numbering() {
  return !cluster_tally_held() && !(run_state.nodes == nullptr && kept_entry_reads() != nullptr);
}

void gather_page_figures(PageFigures& figures) {
  const RunState& s = run_state;
  figures = {};
  std::copy(s.screened, s.screened + 4, figures.screening);
  figures.duplicates_removed = s.screened[accepted] - s.entry_count;
  figures.base_counts = composition_counts();
  if (cluster_tally_held()) {
    describe_from_tally(figures);
  } else if (!page_needs_numbering()) {
    describe_kept_entries(figures);
  } else {
    describe_from_totals(figures);
  }
}

void release_page_figures() {
  release_cluster_sizes();
  release_cluster_tally();
  release_work_block(kKeptEntryReads);
}
