// join_clusters, the ring exchange that both engines make: which node lists
// which next, and which id wins, whatever the order of the arguments.
#include "cluster/cluster_forest.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Forest {
  std::vector<ClusterNode> nodes;
  explicit Forest(int count) : nodes(count) {
    for (int i = 0; i < count; ++i) nodes[i] = {nullptr, &nodes[i], i};
  }
  int join(int a, int b) { return join_clusters(&nodes[a], &nodes[b]); }
  // The ring from node i, as indices.
  std::vector<int> ring(int i) {
    std::vector<int> members;
    const ClusterNode* node = &nodes[i];
    do {
      members.push_back(static_cast<int>(node - nodes.data()));
      node = node->next;
    } while (node != &nodes[i]);
    return members;
  }
};

TEST(JoinClusters, SplicesRingsByExchangingTheGivenNodesLinks) {
  for (bool swapped : {false, true}) {
    Forest three(3);
    EXPECT_EQ(swapped ? three.join(1, 0) : three.join(0, 1), 1);
    EXPECT_EQ(swapped ? three.join(0, 2) : three.join(2, 0), 1);
    EXPECT_EQ(three.ring(0), (std::vector<int>{0, 2, 1}));

    Forest four(4);
    EXPECT_EQ(swapped ? four.join(2, 1) : four.join(1, 2), 1);
    EXPECT_EQ(swapped ? four.join(3, 0) : four.join(0, 3), 1);
    EXPECT_EQ(swapped ? four.join(3, 2) : four.join(2, 3), 1);
    EXPECT_EQ(four.ring(0), (std::vector<int>{0, 3, 1, 2}));
    for (const ClusterNode& node : four.nodes) EXPECT_EQ(node.cluster_id, 0) << "the smallest id wins";
  }
}

TEST(JoinClusters, NodesOfOneClusterStayAsTheyAre) {
  Forest forest(3);
  EXPECT_EQ(forest.join(0, 0), 0);
  ASSERT_EQ(forest.join(0, 1), 1);
  EXPECT_EQ(forest.join(1, 0), 0);
  EXPECT_EQ(forest.ring(0), (std::vector<int>{0, 1}));
  EXPECT_EQ(forest.ring(2), (std::vector<int>{2}));
  EXPECT_EQ(forest.nodes[2].cluster_id, 2);
}

}  // namespace
