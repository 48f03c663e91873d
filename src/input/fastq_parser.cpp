#include "input/fastq_parser.h"

#include <cstring>

#include "input/fasta_parser.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "base/tracked_memory.h"

namespace {

inline bool is_line_end(char c) { return c == '\n' || c == '\r'; }

// The index of the first CR or LF at or after i, or size.
uint64_t find_line_end(const char* buffer, uint64_t size, uint64_t i) {
  const char* begin = buffer + i;
  const char* lf = static_cast<const char*>(memchr(begin, '\n', size - i));
  const uint64_t lf_at = lf != nullptr ? static_cast<uint64_t>(lf - buffer) : size;
  const char* cr = static_cast<const char*>(memchr(begin, '\r', lf_at - i));
  return cr != nullptr ? static_cast<uint64_t>(cr - buffer) : lf_at;
}

// The index after the line end at i: CR LF counts as one.
uint64_t after_line_end(const char* buffer, uint64_t size, uint64_t i) {
  return buffer[i] == '\r' && i + 1 < size && buffer[i + 1] == '\n' ? i + 2 : i + 1;
}

// A record's name for messages, with its '@': the bytes up to its line end.
struct NameText {
  int length;
  const char* text;
};

[[noreturn]] void fail_truncated(NameText name, uint64_t line) {
  fail(kExitFailure, "Truncated sequence \"%.*s\" at line %llu\n", name.length, name.text,
       static_cast<unsigned long long>(line));
}

// Walks the records, checking the layout. The first walk (fill false) only
// checks and counts; the second, over a buffer known to be sound, fills the
// record table and writes NULs over the line ends of names and sequences.
// Returns the number of records.
uint64_t walk_fastq(char* buffer, uint64_t size, bool fill) {
  uint64_t i = 0;
  uint64_t line = 1;
  uint64_t made = 0;
  for (;;) {
    const uint64_t name_line = line;
    const uint64_t name_end = find_line_end(buffer, size, i);
    const NameText name = {static_cast<int>(name_end - i), buffer + i};
    if (name_end == size) fail_truncated(name, name_line);
    const uint64_t sequence_at = after_line_end(buffer, size, name_end);
    if (sequence_at == size) fail_truncated(name, name_line);
    const uint64_t sequence_end = find_line_end(buffer, size, sequence_at);
    if (sequence_end == size) fail_truncated(name, name_line);
    const uint64_t plus_at = after_line_end(buffer, size, sequence_end);
    if (plus_at == size) fail_truncated(name, name_line);
    if (buffer[plus_at] != '+') {
      fail(kExitFailure, "Can't find '+' line of sequence \"%.*s\" in line %llu\n", name.length, name.text,
           static_cast<unsigned long long>(name_line + 2));
    }
    const uint64_t plus_end = find_line_end(buffer, size, plus_at);
    if (plus_end == size) fail_truncated(name, name_line);
    const uint64_t quality_at = after_line_end(buffer, size, plus_end);
    if (quality_at == size) fail_truncated(name, name_line);
    const uint64_t quality_end = find_line_end(buffer, size, quality_at);
    const uint64_t sequence_length = sequence_end - sequence_at;
    const uint64_t quality_length = quality_end - quality_at;
    if (quality_length != sequence_length) {
      fail(kExitFailure, "Quality of sequence \"%.*s\" in line %llu has %llu bytes, sequence has %llu\n", name.length,
           name.text, static_cast<unsigned long long>(name_line + 3), static_cast<unsigned long long>(quality_length),
           static_cast<unsigned long long>(sequence_length));
    }
    if (fill) {
      SequenceRecord* record = record_at(made);
      record->name = buffer + i;
      record->sequence = buffer + sequence_at;
      buffer[i] = '>';
      buffer[name_end] = '\0';
      buffer[sequence_end] = '\0';
    }
    ++made;

    // Blank lines (and NUL bytes) may stand between records.
    line = name_line + 3;
    i = quality_end;
    while (i < size && (is_line_end(buffer[i]) || buffer[i] == '\0')) {
      if (buffer[i] == '\0') {
        ++i;
      } else {
        i = after_line_end(buffer, size, i);
        ++line;
      }
    }
    if (i == size) return made;
    if (buffer[i] != '@') {
      fail(kExitFailure, "Can't find sequence start ('@') in line %llu\n", static_cast<unsigned long long>(line));
    }
  }
}

}  // namespace

void parse_records(char* buffer, uint64_t size) {
  if (buffer[0] == '@') {
    parse_fastq(buffer, size);
  } else {
    parse_fasta(buffer, size);
  }
}

void parse_fastq(char* buffer, uint64_t size) {
  RunState& s = run_state;
  s.input_is_fastq = 1;
  // Quality lines may hold '@', so the records are counted by a checking walk
  // before the table is sized, not by counting '@' bytes.
  const uint64_t records = walk_fastq(buffer, size, false);
  s.record_count = records;
  s.record_table = static_cast<char*>(tracked_malloc(s.record_count * s.record_size));
  walk_fastq(buffer, size, true);
  say("Parsed %llu sequences\n", static_cast<unsigned long long>(records));
}
