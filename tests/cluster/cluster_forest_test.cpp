// The cluster forest: joining rings, and building the forest from the buckets.
#include "cluster/cluster_forest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cluster/pipeline_steps.h"

namespace {

class ClusterRings : public ::testing::Test {
 protected:
  void make(int count) {
    nodes_.assign(count, ClusterNode{});
    for (int i = 0; i < count; ++i) nodes_[i] = ClusterNode{nullptr, &nodes_[i], i};
  }
  int join(int a, int b) { return join_clusters(&nodes_[a], &nodes_[b]); }
  // The ring walked from node 0; stops after one round or at a runaway.
  std::vector<int> ring() const {
    std::vector<int> walk;
    const ClusterNode* node = nodes_.data();
    do {
      walk.push_back(static_cast<int>(node - nodes_.data()));
      node = node->next;
    } while (node != nodes_.data() && walk.size() <= nodes_.size());
    return walk;
  }
  std::vector<int64_t> ids() const {
    std::vector<int64_t> all;
    for (const ClusterNode& node : nodes_) all.push_back(node.cluster_id);
    return all;
  }
  std::vector<ClusterNode> nodes_;
};

TEST_F(ClusterRings, InsertsASingleNodeBehindTheSmallerId) {
  for (bool swapped : {false, true}) {
    make(3);
    EXPECT_EQ(swapped ? join(1, 0) : join(0, 1), 1);
    EXPECT_EQ(ring(), (std::vector<int>{0, 1}));
    EXPECT_EQ(ids(), (std::vector<int64_t>{0, 0, 2}));
    EXPECT_EQ(swapped ? join(0, 2) : join(2, 0), 1);
    EXPECT_EQ(ring(), (std::vector<int>{0, 2, 1})) << "swapped " << swapped;
    EXPECT_EQ(ids(), (std::vector<int64_t>{0, 0, 0}));
  }
}

TEST_F(ClusterRings, SplicesTwoRingsAndRelabelsTheLargerId) {
  for (bool swapped : {false, true}) {
    make(4);
    EXPECT_EQ(swapped ? join(2, 1) : join(1, 2), 1);
    EXPECT_EQ(swapped ? join(3, 0) : join(0, 3), 1);
    EXPECT_EQ(ids(), (std::vector<int64_t>{0, 1, 1, 0}));
    EXPECT_EQ(swapped ? join(3, 2) : join(2, 3), 1);
    EXPECT_EQ(ring(), (std::vector<int>{0, 3, 1, 2})) << "swapped " << swapped;
    EXPECT_EQ(ids(), (std::vector<int64_t>{0, 0, 0, 0}));
  }
}

TEST_F(ClusterRings, JoinWithinOneClusterChangesNothing) {
  make(5);
  join(1, 2);
  join(0, 3);
  join(2, 3);
  const std::vector<ClusterNode> before = nodes_;
  EXPECT_EQ(join(1, 3), 0);
  EXPECT_EQ(join(3, 1), 0);
  EXPECT_EQ(join(2, 2), 0);
  EXPECT_EQ(join(4, 4), 0);
  for (size_t i = 0; i < nodes_.size(); ++i) {
    EXPECT_EQ(nodes_[i].next, before[i].next);
    EXPECT_EQ(nodes_[i].cluster_id, before[i].cluster_id);
  }
}

using ClusterForest = RunStateTest;

TEST_F(ClusterForest, StartsWithSingleNodeClustersAndReportsTheBytesStillHeld) {
  // Six records, one rejected and two dropped as duplicates: three nodes.
  const std::vector<std::string> reads = {"ACGTAC", "ACGTAC", "TTTTAC", "NNNNAC", "ACGTAC", "GGGG"};
  bucket_reads("NNNNAC", reads, true);
  ASSERT_EQ(run_state.entry_count, 3u);
  // Template copy and mask, bucket_counts, bucket_start, input and its NUL, record table, nodes.
  const long long expected =
      (6 + 1) + 6 + 524288 + 524288 + (static_cast<long long>(fasta_of(reads).size()) + 1) + 6 * 24 + 3 * 24;
  ::testing::internal::CaptureStderr();
  create_clusters();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Creating clusters .. OK (now " + std::to_string(expected) + " bytes allocated)\n");
  EXPECT_EQ(run_state.bytes_allocated, expected);
  EXPECT_EQ(run_state.bucket_entries, nullptr);
  EXPECT_EQ(run_state.bucket_bytes, nullptr);
  for (int64_t i = 0; i < 3; ++i) {
    EXPECT_EQ(run_state.nodes[i].next, &run_state.nodes[i]);
    EXPECT_EQ(run_state.nodes[i].cluster_id, i);
  }
  EXPECT_EQ(forest_rings(), (std::vector<std::vector<int>>{{0}, {5}, {2}}));
}

}  // namespace
