#include "input/fasta_parser.h"

#include <cstring>

#include "run/messages.h"
#include "run/run_state.h"
#include "run/tracked_memory.h"

namespace {

inline bool is_line_end(char c) { return c == '\n' || c == '\r'; }

uint64_t count_record_starts(const char* buffer, uint64_t size) {
  uint64_t count = 0;
  const char* end = buffer + size;
  for (const char* p = buffer; (p = static_cast<const char*>(memchr(p, '>', end - p))) != nullptr; ++p) ++count;
  return count;
}

}  // namespace

void parse_fasta(char* buffer, uint64_t size) {
  RunState& s = run_state;
  const uint64_t starts = count_record_starts(buffer, size);
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
    ++i;
    while (i < size && !is_line_end(buffer[i])) ++i;
    if (i == size) fail(kExitFailure, "Can't find end of sequence name\n");
    // Blank lines between the name and its sequence vanish with its line end.
    while (i < size && is_line_end(buffer[i])) buffer[i++] = '\0';
    if (i == size) fail(kExitFailure, "Can't find data for sequence \"%s\"\n", record->name);
    record->sequence = buffer + i;
    ++made;

    while (i < size && !is_line_end(buffer[i])) ++i;
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
