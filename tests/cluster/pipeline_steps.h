// Steps shared by the clustering and report tests: the FASTA text of a list
// of reads, the quiet pipeline up to the buckets, and the clusters of the
// forest as input indices.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "barcode/barcode_packing.h"
#include "cluster/prefix_buckets.h"
#include "run/tracked_memory.h"
#include "support/run_state_fixture.h"

// The reads as records named r0, r1, ... in input order.
inline std::string fasta_of(const std::vector<std::string>& reads) {
  std::string fasta;
  for (size_t i = 0; i < reads.size(); ++i) fasta += ">r" + std::to_string(i) + "\n" + reads[i] + "\n";
  return fasta;
}

// The input index of a record of the record table.
inline int index_of(const SequenceRecord* record) {
  return static_cast<int>((reinterpret_cast<const char*>(record) - run_state.record_table) / run_state.record_size);
}

// Parses, screens and buckets the reads; what the phases print is dropped.
inline void bucket_reads(const char* templ, const std::vector<std::string>& reads, bool remove_duplicates) {
  run_state.remove_duplicates = remove_duplicates;
  ::testing::internal::CaptureStderr();
  parse_input(templ, fasta_of(reads));
  convert_barcodes();
  bucket_records();
  ::testing::internal::GetCapturedStderr();
}

// Every cluster of the forest as input indices in ring order from its first node.
inline std::vector<std::vector<int>> forest_rings() {
  std::vector<std::vector<int>> rings;
  for (uint64_t i = 0; i < run_state.entry_count; ++i) {
    if (run_state.nodes[i].cluster_id != static_cast<int64_t>(i)) continue;
    std::vector<int> ring;
    const ClusterNode* node = &run_state.nodes[i];
    do {
      ring.push_back(index_of(node->record));
      node = node->next;
    } while (node != &run_state.nodes[i] && ring.size() <= run_state.entry_count);
    rings.push_back(ring);
  }
  return rings;
}
