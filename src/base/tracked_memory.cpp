#include "base/tracked_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cstdlib>
#include <cstring>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "base/messages.h"
#include "base/run_state.h"

namespace {

// Blocks of this size and up (the input, the record table, the nodes, the
// bucket entries of a large input, the working blocks) are mapped on their own,
// 2 MiB aligned and advised for huge pages: the first touch of a 4 KiB page
// costs a fault, and a large block touched in full pays one per page otherwise.
// Every size is the caller's, so the block's size alone tells which kind it is.
[[maybe_unused]] constexpr size_t kMappedBlockBytes = 4u << 20;
constexpr size_t kHugePageBytes = 2u << 20;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARNWELL_HEAP_ONLY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define TARNWELL_HEAP_ONLY 1
#endif
#endif

bool is_mapped_size(size_t size) {
#ifdef TARNWELL_HEAP_ONLY
  // The sanitizers watch heap blocks only, so every block stays on the heap there.
  (void)size;
  return false;
#else
  return size >= kMappedBlockBytes;
#endif
}

constexpr size_t kSmallPageBytes = 4096;

// The mapping behind a block: whole small pages, as the C library would map
// it, so that a block fits wherever it fit before under an address-space limit.
size_t mapped_length(size_t size) { return (size + kSmallPageBytes - 1) & ~(kSmallPageBytes - 1); }

void advise_huge_pages(void* block, size_t length) {
#ifdef MADV_HUGEPAGE
  madvise(block, length, MADV_HUGEPAGE);  // refused where huge pages are off: then small pages it is
#else
  (void)block;
  (void)length;
#endif
}

// Maps length bytes (whole small pages) at a huge page boundary, taking
// a huge page's worth more for a moment to find one; where even that is too
// much for the address-space limit, anywhere. Null when the system refuses.
void* map_aligned(size_t length) {
  const size_t padded = length + kHugePageBytes - kSmallPageBytes;
  void* raw = padded < length ? MAP_FAILED
                              : mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) {
    raw = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    advise_huge_pages(raw, length);
    return raw;
  }
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePageBytes - 1) & ~static_cast<uintptr_t>(kHugePageBytes - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t tail = aligned + length;
  if (start + padded > tail) munmap(reinterpret_cast<void*>(tail), start + padded - tail);
  void* block = reinterpret_cast<void*>(aligned);
  advise_huge_pages(block, length);
  return block;
}

void* allocate(size_t size) { return is_mapped_size(size) ? map_aligned(mapped_length(size)) : malloc(size); }

void release(void* block, size_t size) {
  if (block == nullptr) return;
  if (is_mapped_size(size)) {
    munmap(block, mapped_length(size));
  } else {
    free(block);
  }
}

// Moves a mapped block to a larger mapping: grown in place where the pages
// after it are free, otherwise remapped (no copy) onto a fresh aligned range.
void* grow_mapping(void* block, size_t old_length, size_t new_length) {
#ifdef MREMAP_MAYMOVE
  void* grown = mremap(block, old_length, new_length, 0);
  if (grown != MAP_FAILED) {
    advise_huge_pages(grown, new_length);
    return grown;
  }
  void* target = map_aligned(new_length);
  if (target == nullptr) return nullptr;
  grown = mremap(block, old_length, new_length, MREMAP_MAYMOVE | MREMAP_FIXED, target);
  if (grown == MAP_FAILED) {
    munmap(target, new_length);
    return nullptr;
  }
  return grown;
#else
  // Without mremap the bytes are copied to a fresh mapping.
  void* target = map_aligned(new_length);
  if (target == nullptr) return nullptr;
  memcpy(target, block, old_length);
  munmap(block, old_length);
  return target;
#endif
}

// Resizes a block, keeping min(old_size, new_size) bytes; null (the old block
// kept) on failure.
void* resize(void* block, size_t old_size, size_t new_size) {
  const bool was_mapped = is_mapped_size(old_size);
  const bool is_mapped = is_mapped_size(new_size);
  if (!was_mapped && !is_mapped) return realloc(block, new_size);
  if (was_mapped && is_mapped) {
    const size_t old_length = mapped_length(old_size);
    const size_t new_length = mapped_length(new_size);
    if (new_length == old_length) return block;
    if (new_length < old_length) {
      munmap(static_cast<char*>(block) + new_length, old_length - new_length);
      return block;
    }
    return grow_mapping(block, old_length, new_length);
  }
  // From the heap to a mapping or back: a copy of at most a few MiB.
  void* moved = allocate(new_size);
  if (moved == nullptr) return nullptr;
  memcpy(moved, block, old_size < new_size ? old_size : new_size);
  release(block, old_size);
  return moved;
}

// Samples load on several threads at once; every other allocation is the main thread's.
void count_bytes(int64_t change) {
  std::atomic_ref<int64_t>(run_state.bytes_allocated).fetch_add(change, std::memory_order_relaxed);
}

}  // namespace

void* tracked_malloc(size_t size) {
  void* block = allocate(size);
  if (block == nullptr) fail(kExitMallocFailure, "Error: can't allocate %zu bytes\n", size);
  count_bytes(static_cast<int64_t>(size));
  return block;
}

void* tracked_calloc(size_t count, size_t size) {
  const size_t bytes = count * size;
  const bool overflows = size != 0 && bytes / size != count;
  // Fresh mappings are zero already.
  void* block = overflows ? nullptr : (is_mapped_size(bytes) ? allocate(bytes) : calloc(count, size));
  if (block == nullptr) fail(kExitCallocFailure, "Error: can't allocate %zu bytes\n", bytes);
  count_bytes(static_cast<int64_t>(bytes));
  return block;
}

void* tracked_realloc(void* block, size_t old_size, size_t new_size) {
  void* resized = block == nullptr ? allocate(new_size) : resize(block, old_size, new_size);
  if (resized == nullptr) fail(kExitMallocFailure, "Error: can't allocate %zu bytes\n", new_size);
  count_bytes(static_cast<int64_t>(new_size) - static_cast<int64_t>(old_size));
  return resized;
}

void* tracked_realloc_or_throw(void* block, size_t old_size, size_t new_size) {
  void* resized = block == nullptr ? allocate(new_size) : resize(block, old_size, new_size);
  if (resized == nullptr) throw AllocationRefused(new_size);
  count_bytes(static_cast<int64_t>(new_size) - static_cast<int64_t>(old_size));
  return resized;
}

void move_into_block(char* target, size_t target_size, size_t at, char* block, size_t block_size, size_t size) {
  size_t moved = 0;  // bytes of block that came with its pages
#ifdef MREMAP_FIXED
  if (is_mapped_size(target_size) && is_mapped_size(block_size)) {
    assert(size <= block_size && at + size <= target_size && "the bytes lie in both blocks");
    // The first huge page boundary at or after at: both blocks begin at one, so
    // block's huge pages move whole and the target keeps them (with small pages a
    // later pass over the records in cluster order pays a TLB miss for most reads).
    const size_t page_at = (at + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
    const size_t room = page_at < mapped_length(target_size) ? mapped_length(target_size) - page_at : 0;
    size_t pages = mapped_length(size) < room ? mapped_length(size) : room;
    // The pages take the place of target's untouched ones there.
    if (pages > 0 && mremap(block, pages, pages, MREMAP_MAYMOVE | MREMAP_FIXED, target + page_at) == MAP_FAILED) {
      pages = 0;
    }
    moved = pages < size ? pages : size;
    if (page_at != at) memmove(target + at, target + page_at, moved);
  }
#endif
  // The rest (all of it where the pages stayed) is copied; the moved pages are gone from block.
  memcpy(target + at + moved, block + moved, size - moved);
}

bool take_pages_now(void* block, size_t size, size_t from, size_t to) {
  if (!is_mapped_size(size) || to > size || from >= to) return false;
#ifdef MADV_POPULATE_WRITE
  from &= ~(kSmallPageBytes - 1);
  return madvise(static_cast<char*>(block) + from, to - from, MADV_POPULATE_WRITE) == 0;
#else
  (void)block;
  return false;
#endif
}

void tracked_free(void* block, size_t size) {
  release(block, size);
  count_bytes(-static_cast<int64_t>(size));
}

void* hold_work_block(WorkBlockId id, uint64_t bytes) {
  WorkBlock& block = run_state.work_blocks[id];
  assert(block.data == nullptr && "a held block would be lost and never counted back");
  block.data = tracked_malloc(bytes);
  block.bytes = bytes;
  return block.data;
}

void release_work_block(WorkBlockId id) {
  WorkBlock& block = run_state.work_blocks[id];
  if (block.data == nullptr) return;
  tracked_free(block.data, block.bytes);
  block.data = nullptr;
  block.bytes = 0;
}

void* reserve_work_block(WorkBlockId id, uint64_t bytes) {
  const WorkBlock& block = run_state.work_blocks[id];
  if (block.data != nullptr && block.bytes >= bytes) return block.data;
  release_work_block(id);
  return hold_work_block(id, bytes);
}

void* double_work_block(WorkBlockId id, uint64_t kept_bytes) {
  WorkBlock& block = run_state.work_blocks[id];
  assert(kept_bytes <= block.bytes && "only what the block holds can be kept");
  void* grown = tracked_malloc(2 * block.bytes);
  memcpy(grown, block.data, kept_bytes);
  tracked_free(block.data, block.bytes);
  block = {grown, 2 * block.bytes};
  return grown;
}

namespace {

// The stack the deepest phase takes on the main thread (the FASTA parse's
// slice tables: a run needs about 250 KiB in all), with room to spare. The
// out-of-memory sweep fails where a phase grows beyond it.
constexpr size_t kMainStackBytes = 384u << 10;

// The process's address space in bytes (its virtual size), or 0 when unknown.
size_t address_space_in_use() {
  const int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[64];
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return 0;
  text[got] = '\0';
  return strtoull(text, nullptr, 10) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Writes one byte a page down through bytes of stack, from the top.
__attribute__((noinline)) void touch_stack(size_t bytes) {
  volatile char* frame = static_cast<volatile char*>(__builtin_alloca(bytes));
  for (size_t at = bytes; at > 0; at -= kSmallPageBytes < at ? kSmallPageBytes : at) frame[at - 1] = 0;
}

}  // namespace

void reserve_main_stack() {
  struct rlimit address_space;
  struct rlimit stack;
  if (getrlimit(RLIMIT_AS, &address_space) != 0 || address_space.rlim_cur == RLIM_INFINITY) return;
  if (getrlimit(RLIMIT_STACK, &stack) != 0) return;
  const size_t bytes = stack.rlim_cur / 2 < kMainStackBytes ? stack.rlim_cur / 2 : kMainStackBytes;
  if (address_space_in_use() + bytes > address_space.rlim_cur) {
    fail(kExitMallocFailure, "Error: can't allocate %zu bytes\n", bytes);
  }
  touch_stack(bytes);
}

void return_free_memory() {
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}
