#include "input/fastq_compactor.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "base/messages.h"
#include "base/run_state.h"
#include "input/input_buffer.h"

FastqQualityHook fastq_quality_hook = nullptr;

namespace {

inline bool is_line_end(char c) { return c == '\n' || c == '\r'; }

// The line ends of one window. The next LF is remembered: where lines end
// in CR alone, no LF follows, and searching for one from every line would
// read the rest of the window once per line.
class LineEnds {
 public:
  LineEnds(const char* w, size_t size) : w_(w), size_(size) {}

  // The index of the first CR or LF at or after i, or size.
  size_t find(size_t i) {
    if (i < lf_from_ || i > lf_at_) {
      const char* lf = static_cast<const char*>(memchr(w_ + i, '\n', size_ - i));
      lf_from_ = i;
      lf_at_ = lf != nullptr ? static_cast<size_t>(lf - w_) : size_;
    }
    const char* cr = static_cast<const char*>(memchr(w_ + i, '\r', lf_at_ - i));
    return cr != nullptr ? static_cast<size_t>(cr - w_) : lf_at_;
  }

 private:
  const char* w_;
  size_t size_;
  size_t lf_from_ = 1;  // no LF lies in lf_from_ to lf_at_ - 1; none searched yet
  size_t lf_at_ = 0;
};

// The length of a line's text up to its first NUL.
size_t kept_length(const char* text, size_t length) {
  const char* nul = static_cast<const char*>(memchr(text, '\0', length));
  return nul != nullptr ? static_cast<size_t>(nul - text) : length;
}

// A loading worker hands memory that runs out to the main thread, which ends the run.
template <typename... Args>
std::string message(bool on_worker, const char* format, Args... args) {
  const int length = snprintf(nullptr, 0, format, args...);
  try {
    std::string text(static_cast<size_t>(length) + 1, '\0');
    snprintf(text.data(), text.size(), format, args...);
    text.pop_back();
    return text;
  } catch (const std::bad_alloc&) {
    if (on_worker) throw;
    fail_out_of_memory();  // the take runs on the loading thread, which may end the run
  }
}

}  // namespace

size_t FastqCompactor::take(const char* w, size_t size, bool last) {
  if (!failure_.empty()) return size;
  char* out = input_buffer_room(block_, kept_, size);  // a kept record is never longer than its lines
  char* const out_start = out;
  size_t i = 0;
  LineEnds line_ends(w, size);
  uint64_t line = line_;
  // Where a record that lies only in part in the window begins; the next call starts there.
  size_t resume = 0;
  uint64_t resume_line = line;
  // The index after the line end at p (CR LF counts as one), or 0 when the
  // window ends between a CR and what may be its LF.
  const auto after_line_end = [&](size_t p) -> size_t {
    if (w[p] != '\r') return p + 1;
    if (p + 1 < size) return w[p + 1] == '\n' ? p + 2 : p + 1;
    return last ? p + 1 : 0;
  };
  for (;;) {
    // Blank lines (and NUL bytes) may stand between records.
    resume = i;
    resume_line = line;
    while (i < size && (is_line_end(w[i]) || w[i] == '\0')) {
      if (w[i] == '\0') {
        ++i;
        continue;
      }
      const size_t next = after_line_end(i);
      if (next == 0) break;
      i = next;
      ++line;
    }
    if (i == size || (!last && i + 1 == size && w[i] == '\r')) {
      if (last) resume = size;
      break;
    }
    if (w[i] != '@') {
      failure_ = message(block_.on_worker, "Can't find sequence start ('@') in line %llu\n",
                         static_cast<unsigned long long>(line));
      break;
    }
    const size_t name_at = i;
    const uint64_t name_line = line;
    resume = name_at;
    resume_line = name_line;
    const size_t name_end = line_ends.find(name_at);
    const int name_length = static_cast<int>(name_end - name_at);
    const auto truncated = [&] {
      failure_ = message(block_.on_worker, "Truncated sequence \"%.*s\" at line %llu\n", name_length, w + name_at,
                         static_cast<unsigned long long>(name_line));
    };
    // Each step that reaches the end of the window waits for more, or fails at the end of the input.
    if (name_end == size) {
      if (last) truncated();
      break;
    }
    const size_t sequence_at = after_line_end(name_end);
    if (sequence_at == 0) break;
    if (sequence_at == size) {
      if (last) truncated();
      break;
    }
    const size_t sequence_end = line_ends.find(sequence_at);
    if (sequence_end == size) {
      if (last) truncated();
      break;
    }
    const size_t plus_at = after_line_end(sequence_end);
    if (plus_at == 0) break;
    if (plus_at == size) {
      if (last) truncated();
      break;
    }
    if (w[plus_at] != '+') {
      failure_ = message(block_.on_worker, "Can't find '+' line of sequence \"%.*s\" in line %llu\n", name_length,
                         w + name_at, static_cast<unsigned long long>(name_line + 2));
      break;
    }
    const size_t plus_end = line_ends.find(plus_at);
    if (plus_end == size) {
      if (last) truncated();
      break;
    }
    const size_t quality_at = after_line_end(plus_end);
    if (quality_at == 0) break;
    if (quality_at == size) {
      if (last) truncated();
      break;
    }
    const size_t quality_end = line_ends.find(quality_at);
    if (quality_end == size && !last) break;
    const uint64_t sequence_length = sequence_end - sequence_at;
    const uint64_t quality_length = quality_end - quality_at;
    if (quality_length != sequence_length) {
      failure_ =
          message(block_.on_worker, "Quality of sequence \"%.*s\" in line %llu has %llu bytes, sequence has %llu\n",
                  name_length, w + name_at, static_cast<unsigned long long>(name_line + 3),
                  static_cast<unsigned long long>(quality_length), static_cast<unsigned long long>(sequence_length));
      break;
    }
    if (fastq_quality_hook != nullptr) fastq_quality_hook(records_, w + sequence_at, w + quality_at, sequence_length);
    const size_t name_kept = kept_length(w + name_at, name_end - name_at);
    *out = '>';  // the screening mark, as in FASTA
    memcpy(out + 1, w + name_at + 1, name_kept - 1);
    out[name_kept] = '\0';
    out += name_kept + 1;
    const size_t sequence_kept = kept_length(w + sequence_at, sequence_length);
    memcpy(out, w + sequence_at, sequence_kept);
    out[sequence_kept] = '\0';
    out += sequence_kept + 1;
    ++records_;
    line = name_line + 3;
    i = quality_end;
  }
  kept_ += static_cast<uint64_t>(out - out_start);
  if (!failure_.empty()) return size;
  line_ = resume_line;
  return resume;
}

void index_compact_fastq(char* kept, uint64_t records, uint64_t first_record) {
  char* p = kept;
  for (uint64_t r = first_record; r < first_record + records; ++r) {
    SequenceRecord* record = record_at(r);
    record->name = p;
    p += strlen(p) + 1;
    record->sequence = p;
    p += strlen(p) + 1;
  }
}
