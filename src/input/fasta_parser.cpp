#include "input/fasta_parser.h"

#include <cstring>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

inline bool is_line_end(char c) { return c == '\n' || c == '\r'; }

// The first CR or LF from position i on, or size when there is none.
uint64_t find_line_end(const char* buffer, uint64_t i, uint64_t size) {
#ifdef __SSE2__
  const __m128i line_feed = _mm_set1_epi8('\n');
  const __m128i carriage_return = _mm_set1_epi8('\r');
  for (; i + 16 <= size; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buffer + i));
    const int hits =
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, line_feed), _mm_cmpeq_epi8(bytes, carriage_return)));
    if (hits != 0) return i + static_cast<uint64_t>(__builtin_ctz(static_cast<unsigned>(hits)));
  }
#endif
  while (i < size && !is_line_end(buffer[i])) ++i;
  return i;
}

uint64_t count_record_starts(const char* buffer, uint64_t size) {
  uint64_t count = 0;
  uint64_t i = 0;
#ifdef __SSE2__
  // Each matching byte subtracts -1 from its lane; lanes are summed before they can overflow.
  const __m128i mark = _mm_set1_epi8('>');
  while (i + 16 <= size) {
    __m128i lanes = _mm_setzero_si128();
    for (int round = 0; round < 255 && i + 16 <= size; ++round, i += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buffer + i));
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(bytes, mark));
    }
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    count += static_cast<uint64_t>(_mm_cvtsi128_si64(sums)) + static_cast<uint64_t>(_mm_extract_epi16(sums, 4));
  }
#endif
  for (; i < size; ++i) count += buffer[i] == '>';
  return count;
}

// Counts the '>' bytes in slices of at least a few megabytes on all workers.
uint64_t count_record_starts_in_parallel(const char* buffer, uint64_t size) {
  constexpr uint64_t kMaxSlices = 4096;
  const uint64_t slice_bytes = size / kMaxSlices + 1 > (4 << 20) ? size / kMaxSlices + 1 : (4 << 20);
  const uint64_t slices = (size + slice_bytes - 1) / slice_bytes;
  uint64_t counts[kMaxSlices];
  run_jobs(slices, [&](uint64_t slice, uint32_t) {
    const uint64_t start = slice * slice_bytes;
    counts[slice] = count_record_starts(buffer + start, size - start < slice_bytes ? size - start : slice_bytes);
  });
  uint64_t count = 0;
  for (uint64_t slice = 0; slice < slices; ++slice) count += counts[slice];
  return count;
}

}  // namespace

void parse_fasta(char* buffer, uint64_t size) {
  RunState& s = run_state;
  const uint64_t starts = count_record_starts_in_parallel(buffer, size);
  if (starts == 0) fail(kExitFailure, "Input has no sequences\n");
  // The table is sized before any record is made, so every exit below
  // leaves it to the teardown with the same size.
  s.record_count = starts;
  s.record_table = static_cast<char*>(tracked_malloc(s.record_count * s.record_size));

  if (buffer[0] != '>') fail(kExitFailure, "Can't find sequence start ('>') in line %llu\n", 1ull);
  uint64_t made = 0;
  uint64_t i = 0;
  for (;;) {
    SequenceRecord* record = record_at(made);
    record->name = buffer + i;
    i = find_line_end(buffer, i + 1, size);
    if (i == size) fail(kExitFailure, "Can't find end of sequence name\n");
    // Blank lines between the name and its sequence vanish with its line end.
    while (i < size && is_line_end(buffer[i])) buffer[i++] = '\0';
    if (i == size) fail(kExitFailure, "Can't find data for sequence \"%s\"\n", record->name);
    record->sequence = buffer + i;
    ++made;

    i = find_line_end(buffer, i, size);
    if (i == size) break;
    while (i < size && (is_line_end(buffer[i]) || buffer[i] == '\0')) buffer[i++] = '\0';
    if (i == size) break;
    if (buffer[i] != '>') {
      fail(kExitFailure, "Can't find sequence start ('>') in line %llu\n",
           static_cast<unsigned long long>(2 * made + 1));
    }
  }
  if (made != s.record_count) {
    fail(kExitFailure, "Failed to parse %llu sequences\n", static_cast<unsigned long long>(s.record_count));
  }
  say("Parsed %llu sequences\n", static_cast<unsigned long long>(made));
}
