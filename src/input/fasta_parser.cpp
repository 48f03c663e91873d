#include "input/fasta_parser.h"

#include <cstring>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/size_thresholds.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

inline bool is_line_end(char c) { return c == '\n' || c == '\r'; }

// Finds CR and LF bytes 64 at a time: one bit mask per 64-byte block, walked
// bit by bit, so that a short line costs a few instructions. Only bytes at or
// after the last position asked for may change under it. It reads no byte
// outside [low, size): other workers may be writing there.
class LineEnds {
 public:
  LineEnds(const char* buffer, uint64_t low, uint64_t size) : buffer_(buffer), low_(low), size_(size) {}

  // The first CR or LF at or after i, or size when there is none.
  uint64_t next(uint64_t i) {
    while (i < size_) {
      const uint64_t block = i & ~uint64_t{63};
      if (block != block_) load(block);
      const uint64_t hits = mask_ & (~uint64_t{0} << (i & 63));
      if (hits != 0) return block + static_cast<uint64_t>(__builtin_ctzll(hits));
      i = block + 64;
    }
    return size_;
  }

 private:
  void load(uint64_t block) {
    block_ = block;
    mask_ = 0;
#ifdef __SSE2__
    if (block >= low_ && block + 64 <= size_) {
      const char* bytes = buffer_ + block;
      const __m128i line_feed = _mm_set1_epi8('\n');
      const __m128i carriage_return = _mm_set1_epi8('\r');
      for (int part = 0; part < 4; ++part) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * part));
        const uint32_t hits = static_cast<uint32_t>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(chunk, line_feed), _mm_cmpeq_epi8(chunk, carriage_return))));
        mask_ |= static_cast<uint64_t>(hits) << (16 * part);
      }
      return;
    }
#endif
    const uint64_t end = size_ - block < 64 ? size_ : block + 64;
    for (uint64_t k = block < low_ ? low_ : block; k < end; ++k) {
      mask_ |= static_cast<uint64_t>(is_line_end(buffer_[k])) << (k - block);
    }
  }

  const char* buffer_;
  uint64_t low_;
  uint64_t size_;
  uint64_t block_ = ~uint64_t{0};
  uint64_t mask_ = 0;
};

// Why a walk stopped before the end of its part of the buffer.
enum class Fault {
  none,
  name_without_end,   // the buffer ends inside a name line
  name_without_data,  // only line ends follow a name line
  stray_line,         // a line after a name line taken as a sequence does not begin with '>'
};

struct Walk {
  uint64_t records = 0;
  uint64_t lines = 0;         // name and sequence lines walked (blank lines not counted)
  uint64_t end = 0;           // the record start at which the walk stopped, or the buffer size
  bool name_as_sequence = false;  // a name line was taken as a record's sequence: the run fails
  Fault fault = Fault::none;
  uint64_t fault_name = 0;    // where the name of a record without data begins
};

// Walks the records from the record start at `begin` up to the first record
// start at or after `stop`. A record is a name line beginning with '>' and
// every line after it up to the next line that begins with '>'; blank lines
// (and NUL bytes between lines) are skipped. With kCut, the records go to the
// table from `first_record` on, line ends become NUL bytes, and the sequence
// lines of a record are moved together behind its first one, each byte once.
// A name line directly after a name line is taken as the sequence, as a
// two-line reader would, and then no other line may follow it.
template <bool kCut>
void walk_records(char* buffer, uint64_t size, uint64_t begin, uint64_t stop, uint64_t first_record, Walk* walk) {
  // A cut reads no further than the next slice's '>' (a valid slice ends there), which no worker writes.
  LineEnds ends(buffer, begin, kCut && stop < size ? stop + 1 : size);
  uint64_t i = begin;
  while (i < size && (i == begin || i < stop)) {
    const uint64_t name = i;
    uint64_t at = ends.next(i + 1);
    if (at == size) {
      walk->fault = Fault::name_without_end;
      break;
    }
    ++walk->lines;
    // Blank lines between the name and its sequence vanish with its line end.
    while (at < size && is_line_end(buffer[at])) {
      if (kCut) buffer[at] = '\0';
      ++at;
    }
    if (at == size) {
      walk->fault = Fault::name_without_data;
      walk->fault_name = name;
      break;
    }
    if (kCut) {
      SequenceRecord* record = record_at(first_record + walk->records);
      record->name = buffer + name;
      record->sequence = buffer + at;
    }
    ++walk->records;
    const bool name_as_sequence = buffer[at] == '>';
    walk->name_as_sequence |= name_as_sequence;
    uint64_t line_end = ends.next(at);
    ++walk->lines;
    uint64_t joined_end = line_end;  // the end of the sequence joined so far
    for (;;) {
      uint64_t next = line_end;
      while (next < size && (is_line_end(buffer[next]) || buffer[next] == '\0')) ++next;
      if (next < size && buffer[next] != '>') {
        if (name_as_sequence) {
          walk->fault = Fault::stray_line;
          break;
        }
        line_end = ends.next(next);
        ++walk->lines;
        if (kCut) memmove(buffer + joined_end, buffer + next, line_end - next);
        joined_end += line_end - next;
        continue;
      }
      if (kCut) memset(buffer + joined_end, 0, next - joined_end);
      i = next;
      break;
    }
    if (walk->fault != Fault::none) break;
  }
  walk->end = i;
}

// The '>' bytes anywhere in the buffer: the count a failed run reports.
uint64_t count_marks(const char* buffer, uint64_t size) {
  uint64_t count = 0;
  for (const char* p = buffer; (p = static_cast<const char*>(memchr(p, '>', size - (p - buffer)))) != nullptr; ++p) {
    ++count;
  }
  return count;
}

// Walks the whole buffer on the calling thread, without changing it, and ends
// the run with the message of its first fault.
void report_first_fault(const char* buffer, uint64_t size) {
  Walk walk;
  walk_records<false>(const_cast<char*>(buffer), size, 0, size, 0, &walk);
  switch (walk.fault) {
    case Fault::name_without_end:
      fail(kExitFailure, "Can't find end of sequence name\n");
    case Fault::name_without_data: {
      const char* name = buffer + walk.fault_name;
      const uint64_t line = LineEnds(buffer, 0, size).next(walk.fault_name) - walk.fault_name;
      fail(kExitFailure, "Can't find data for sequence \"%.*s\"\n", static_cast<int>(strnlen(name, line)), name);
    }
    case Fault::stray_line:
      fail(kExitFailure, "Can't find sequence start ('>') in line %llu\n",
           static_cast<unsigned long long>(walk.lines + 1));
    case Fault::none:
      break;
  }
  if (walk.name_as_sequence) {
    fail(kExitFailure, "Failed to parse %llu sequences\n", static_cast<unsigned long long>(count_marks(buffer, size)));
  }
}

// The first record start at or after i that a line end directly precedes, or size.
uint64_t slice_start(const char* buffer, uint64_t size, uint64_t i) {
  while (i < size) {
    const char* mark = static_cast<const char*>(memchr(buffer + i, '>', size - i));
    if (mark == nullptr) return size;
    i = static_cast<uint64_t>(mark - buffer);
    if (is_line_end(buffer[i - 1])) return i;
    ++i;
  }
  return size;
}

}  // namespace

void grow_record_table(uint64_t records) {
  RunState& s = run_state;
  s.record_table =
      static_cast<char*>(s.record_table == nullptr ? tracked_malloc(records * s.record_size)
                                                   : tracked_realloc(s.record_table, s.record_count * s.record_size,
                                                                     records * s.record_size));
  s.record_count = records;
}

void parse_fasta(char* buffer, uint64_t size) {
  RunState& s = run_state;
  // A UTF-8 byte-order mark may stand before the first record.
  const uint64_t mark = size >= 3 && memcmp(buffer, "\xef\xbb\xbf", 3) == 0 ? 3 : 0;
  buffer += mark;
  size -= mark;
  if (buffer[0] != '>') {
    if (memchr(buffer, '>', size) == nullptr) fail(kExitFailure, "Input has no sequences\n");
    fail(kExitFailure, "Can't find sequence start ('>') in line %llu\n", 1ull);
  }
  // Slices of the buffer from a record start each, walked on all workers
  // first without a change, to count the records and find any fault; the
  // table is taken and the same walks cut the records. A walk that does not
  // end where the next slice begins (a record start after NUL bytes, a name
  // line taken as a sequence) sends the whole buffer to one walk.
  constexpr uint64_t kMaxSlices = 4096;
  uint64_t slices = job_count_for(size, size_thresholds.fasta_slice_bytes, kMaxSlices);
  uint64_t start[kMaxSlices + 1];
  Walk walks[kMaxSlices];
  start[0] = 0;
  for (uint64_t k = 1; k < slices; ++k) start[k] = slice_start(buffer, size, job_begin(k, slices, size));
  start[slices] = size;
  run_jobs(slices, [&](uint64_t k, uint32_t) {
    walks[k] = Walk{};
    if (start[k] < start[k + 1]) walk_records<false>(buffer, size, start[k], start[k + 1], 0, &walks[k]);
    else walks[k].end = start[k + 1];
  });
  bool whole = false;
  for (uint64_t k = 0; k < slices; ++k) {
    whole |= walks[k].fault != Fault::none || walks[k].name_as_sequence || walks[k].end != start[k + 1];
  }
  if (whole) {
    report_first_fault(buffer, size);
    slices = 1;
    start[1] = size;
    walks[0] = Walk{};
    walk_records<false>(buffer, size, 0, size, 0, &walks[0]);
  }
  uint64_t first_record[kMaxSlices + 1];
  first_record[0] = s.record_count;
  for (uint64_t k = 0; k < slices; ++k) first_record[k + 1] = first_record[k] + walks[k].records;

  grow_record_table(first_record[slices]);
  run_jobs(slices, [&](uint64_t k, uint32_t) {
    Walk walk;
    if (start[k] < start[k + 1]) walk_records<true>(buffer, size, start[k], start[k + 1], first_record[k], &walk);
  });
}
