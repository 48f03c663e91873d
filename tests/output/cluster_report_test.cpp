// The cluster report, from the buckets and from the forest.
#include "output/cluster_report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cluster/cluster_forest.h"
#include "cluster/distance_pass.h"
#include "cluster/pipeline_steps.h"

namespace {

class ClusterReport : public RunStateTest {
 protected:
  // Writes the report of the reads to a scratch file, straight from the
  // buckets (duplicates removed) or from the forest after the given passes;
  // returns the file's text followed by what went to standard output.
  static std::string report(const std::vector<std::string>& reads, bool from_forest,
                            const std::vector<uint32_t>& passes = {}) {
    reset_run_state();
    bucket_reads("NNNNAC", reads, passes.empty());
    run_state.output_file = tmpfile();
    ::testing::internal::CaptureStderr();
    if (from_forest) create_clusters();
    for (uint32_t d : passes) cluster_at_distance(d);
    ::testing::internal::GetCapturedStderr();
    ::testing::internal::CaptureStdout();
    from_forest ? write_clusters() : write_buckets_as_clusters();
    const std::string out = ::testing::internal::GetCapturedStdout();
    std::string text;
    rewind(run_state.output_file);
    for (int c; (c = fgetc(run_state.output_file)) != EOF;) text += static_cast<char>(c);
    release_all();
    EXPECT_EQ(run_state.bytes_allocated, 0);
    return text + out;
  }
};

TEST_F(ClusterReport, BucketsAndAnUnjoinedForestGiveTheSameText) {
  const std::vector<std::string> reads = {"TTTTAC", "ACGTAC", "ACGTACGG", "NNNNAC", "acgtac", "GGGG", "AAAAAC"};
  const std::string from_buckets = report(reads, false);
  EXPECT_EQ(from_buckets, ">1\nr6\tAAAAAC\n>2\nr1\tACGTAC\n>3\nr5\tGGGG\n>4\nr0\tTTTTAC\n4 clusters\n");
  EXPECT_EQ(report(reads, true), from_buckets);
}

TEST_F(ClusterReport, ListsAJoinedClusterOnceInRingOrder) {
  EXPECT_EQ(report({"ACGTAC", "TTTTAC", "ACGTAC", "ACGTAC"}, true, {0}),
            ">1\nr0\tACGTAC\nr3\tACGTAC\nr2\tACGTAC\n>2\nr1\tTTTTAC\n2 clusters\n");
}

}  // namespace
