// Blocks change between the heap and their own mappings by size; a resize
// across and within either kind, and a move of one block into another, must
// keep the bytes and the count.
#include "base/tracked_memory.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <vector>

#include "base/run_state.h"

namespace {

TEST(TrackedMemory, ResizesKeepBytesAndCount) {
  run_state.bytes_allocated = 0;
  constexpr size_t kMiB = 1 << 20;
  // Each row resizes the block the row before left: grow and shrink on the
  // heap, onto a mapping, within mappings (in place and moved), back.
  const size_t sizes[] = {100, 3 * kMiB, 5 * kMiB, 5 * kMiB + 1, 64 * kMiB + 7, 9 * kMiB, 4 * kMiB, 1000, 17};
  size_t size = 10;
  auto* block = static_cast<unsigned char*>(tracked_malloc(size));
  for (size_t i = 0; i < size; ++i) block[i] = static_cast<unsigned char>(i * 7);
  for (const size_t new_size : sizes) {
    SCOPED_TRACE(new_size);
    // A neighbour mapping keeps some moves from growing in place.
    void* neighbour = tracked_malloc(8 * kMiB);
    block = static_cast<unsigned char*>(tracked_realloc(block, size, new_size));
    const size_t kept = size < new_size ? size : new_size;
    size_t wrong = 0;
    for (size_t i = 0; i < kept; ++i) wrong += block[i] != static_cast<unsigned char>(i * 7);
    EXPECT_EQ(wrong, 0u);
    for (size_t i = kept; i < new_size; ++i) block[i] = static_cast<unsigned char>(i * 7);
    EXPECT_EQ(run_state.bytes_allocated, static_cast<int64_t>(new_size + 8 * kMiB));
    tracked_free(neighbour, 8 * kMiB);
    size = new_size;
  }
  tracked_free(block, size);
  // Large zeroed blocks come zeroed, and blocks of any size can be taken again.
  auto* zeroed = static_cast<uint64_t*>(tracked_calloc(kMiB, 8));
  size_t nonzero = 0;
  for (size_t i = 0; i < kMiB; ++i) nonzero += zeroed[i] != 0;
  EXPECT_EQ(nonzero, 0u);
  tracked_free(zeroed, 8 * kMiB);
  EXPECT_EQ(run_state.bytes_allocated, 0);
}

TEST(TrackedMemory, PagesTakenAheadAreResidentAndKeepTheBytes) {
  constexpr size_t kMiB = 1 << 20;
  constexpr size_t kBytes = 9 * kMiB;
  auto* block = static_cast<unsigned char*>(tracked_malloc(kBytes));
  memset(block, 0xa5, 3 * kMiB);
  // From inside the written bytes, not on a page boundary, to the end.
  const bool taken = take_pages_now(block, kBytes, 2 * kMiB + 1, kBytes);
  size_t changed = 0;
  for (size_t i = 0; i < 3 * kMiB; ++i) changed += block[i] != 0xa5;
  EXPECT_EQ(changed, 0u);
#ifndef TARNWELL_SANITIZED_TESTS  // the sanitizers keep every block on the heap, where nothing is taken
  ASSERT_TRUE(taken);
  std::vector<unsigned char> resident((kBytes - 2 * kMiB) / 4096);
  ASSERT_EQ(mincore(block + 2 * kMiB, kBytes - 2 * kMiB, resident.data()), 0);
  size_t absent = 0;
  for (const unsigned char page : resident) absent += (page & 1) == 0;
  EXPECT_EQ(absent, 0u);
  size_t nonzero = 0;
  for (size_t i = 3 * kMiB; i < kBytes; ++i) nonzero += block[i] != 0;
  EXPECT_EQ(nonzero, 0u);
#else
  EXPECT_FALSE(taken);
#endif
  tracked_free(block, kBytes);
}

// Blocks gathered back to back into one, as the samples are: pages moved at
// any offset, blocks small and large, the last one's pages reaching past the
// target's end; every byte in place, the bytes around them untouched, the count kept.
TEST(TrackedMemory, BlocksMovedIntoOneKeepTheirBytes) {
  run_state.bytes_allocated = 0;
  constexpr size_t kMiB = 1 << 20;
  const size_t sizes[] = {5 * kMiB + 123, 100, 4 * kMiB, 7 * kMiB + 4095, 3 * kMiB, 4 * kMiB + 1};
  // The target's first bytes are already there, as the first sample's are; the last block ends at its end.
  constexpr size_t kFront = 4096 + 17;
  size_t total = kFront;
  for (const size_t size : sizes) total += size;
  auto* target = static_cast<unsigned char*>(tracked_malloc(total));
  for (size_t i = 0; i < kFront; ++i) target[i] = static_cast<unsigned char>(i * 3);
  size_t at = kFront;
  for (const size_t size : sizes) {
    auto* block = static_cast<unsigned char*>(tracked_malloc(size + 99));  // allocated with more than it holds
    for (size_t i = 0; i < size; ++i) block[i] = static_cast<unsigned char>((at + i) * 3);
    move_into_block(reinterpret_cast<char*>(target), total, at, reinterpret_cast<char*>(block), size + 99, size);
    tracked_free(block, size + 99);
    at += size;
  }
  size_t wrong = 0;
  for (size_t i = 0; i < at; ++i) wrong += target[i] != static_cast<unsigned char>(i * 3);
  EXPECT_EQ(wrong, 0u);
  tracked_free(target, total);
  EXPECT_EQ(run_state.bytes_allocated, 0);
}

}  // namespace
