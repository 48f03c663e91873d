// Finding a record's sample: samples are ranges of record indices in sheet
// order, and empty samples (no reads) share their start with the next one.
#include "input/experiment.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/run_state.h"

namespace {

TEST(SampleOfRecord, SkipsEmptySamplesAtEveryPlace) {
  // Record counts per sample, empty ones first, between and last.
  const std::vector<std::vector<uint64_t>> layouts = {
      {3}, {0, 2}, {1, 0, 0, 4}, {2, 0}, {0, 0, 1, 0, 1, 0}, {5, 1, 0, 2}};
  for (const std::vector<uint64_t>& counts : layouts) {
    run_state.experiment = new Experiment{"sheet", {}};
    std::vector<uint32_t> expected;
    uint64_t first = 0;
    for (size_t k = 0; k < counts.size(); ++k) {
      Sample sample = {};
      sample.first_record = first;
      sample.record_count = counts[k];
      run_state.experiment->samples.push_back(sample);
      for (uint64_t r = 0; r < counts[k]; ++r) expected.push_back(static_cast<uint32_t>(k));
      first += counts[k];
    }
    for (uint64_t r = 0; r < expected.size(); ++r) EXPECT_EQ(sample_of_record(r), expected[r]) << "record " << r;
    release_experiment();
    EXPECT_EQ(run_state.experiment, nullptr);
  }
}

}  // namespace
