// Bucketing the accepted records by their first eight bases, sorting each
// bucket, and dropping duplicate barcodes.
#include "cluster/prefix_buckets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cluster/pipeline_steps.h"

namespace {

using PrefixBuckets = RunStateTest;

// The key of an 8-base prefix written out in letters.
uint32_t key_of(const std::string& prefix) {
  uint32_t key = 0;
  for (char c : prefix) key = (key << 2) | static_cast<uint32_t>(std::string("ACGT").find(c));
  return key;
}

// Input indices of the records in bucket k, in bucket order.
std::vector<int> bucket(uint32_t k) {
  std::vector<int> indices;
  for (uint64_t e = 0; e < run_state.bucket_counts[k]; ++e) indices.push_back(index_of(run_state.bucket_entries[k][e]));
  return indices;
}

std::vector<uint32_t> filled_buckets() {
  std::vector<uint32_t> keys;
  for (uint32_t k = 0; k < kBucketCount; ++k) {
    if (run_state.bucket_counts[k] != 0) keys.push_back(k);
    EXPECT_EQ(run_state.bucket_entries[k] != nullptr, run_state.bucket_bytes[k] != 0) << "bucket " << k;
  }
  return keys;
}

const std::string kWordZero = "GATTACAGATTACAGATTACAGATTACAGATT";  // 32 bases
const char* const kFortyBases = "NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNN";

TEST_F(PrefixBuckets, ShortBarcodesTakeTheKeyOfTheirBasesFollowedByA) {
  bucket_reads("NN", {"GT"}, false);
  EXPECT_EQ(key_of("GTAAAAAA"), 0xB000u);
  EXPECT_EQ(filled_buckets(), std::vector<uint32_t>{0xB000u});
  EXPECT_EQ(run_state.entry_count, 1u);
}

TEST_F(PrefixBuckets, SortsTiesInInputOrder) {
  bucket_reads("NN", {"CA", "AC", "CA", "AC"}, false);
  EXPECT_EQ(filled_buckets(), (std::vector<uint32_t>{key_of("ACAAAAAA"), key_of("CAAAAAAA")}));
  EXPECT_EQ(bucket(key_of("ACAAAAAA")), (std::vector<int>{1, 3}));
  EXPECT_EQ(bucket(key_of("CAAAAAAA")), (std::vector<int>{0, 2}));
  EXPECT_EQ(run_state.entry_count, 4u);
}

TEST_F(PrefixBuckets, RemovingDuplicatesKeepsTheFirstInInput) {
  bucket_reads("NN", {"CA", "AC", "CA", "AC"}, true);
  EXPECT_EQ(bucket(key_of("ACAAAAAA")), std::vector<int>{1});
  EXPECT_EQ(bucket(key_of("CAAAAAAA")), std::vector<int>{0});
  EXPECT_EQ(run_state.entry_count, 2u);
  // The array keeps the size it was allocated with: the teardown frees it with that.
  EXPECT_EQ(run_state.bucket_bytes[key_of("ACAAAAAA")], 16u);
}

TEST_F(PrefixBuckets, OrdersByLaterWordsWhenWordZeroTies) {
  bucket_reads(kFortyBases,
               {kWordZero + "TTTTTTTT", kWordZero + "AAAAAAAC", kWordZero + "AAAAAAAA", kWordZero + "TTTTTTTT",
                kWordZero + "AAAAAAAC", "CCCCCCCC" + kWordZero},
               false);
  EXPECT_EQ(bucket(key_of("GATTACAG")), (std::vector<int>{2, 1, 4, 0, 3}));
  EXPECT_EQ(run_state.entry_count, 6u);
}

TEST_F(PrefixBuckets, DuplicatesOnlyWhenEveryWordAgrees) {
  bucket_reads(kFortyBases,
               {kWordZero + "TTTTTTTT", kWordZero + "AAAAAAAC", kWordZero + "AAAAAAAA", kWordZero + "TTTTTTTT",
                kWordZero + "AAAAAAAC", kWordZero + "TTTTTTTA"},
               true);
  EXPECT_EQ(bucket(key_of("GATTACAG")), (std::vector<int>{2, 1, 5, 0}));
  EXPECT_EQ(run_state.entry_count, 4u);
}

TEST_F(PrefixBuckets, FirstAndLastKeysAndRejectedRecordsLeftOut) {
  bucket_reads("NNNNNNNNN", {"TTTTTTTTT", "AAAAAAAAA", "TTTTTTTTN", "AAAA", "TTTTTTTTA", "AAAAAAAAA"}, true);
  EXPECT_EQ(filled_buckets(), (std::vector<uint32_t>{0, 65535}));
  EXPECT_EQ(bucket(0), std::vector<int>{1});
  EXPECT_EQ(bucket(65535), (std::vector<int>{4, 0}));
  EXPECT_EQ(run_state.entry_count, 3u);
}

}  // namespace
