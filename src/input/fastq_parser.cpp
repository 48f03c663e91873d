#include "input/fastq_parser.h"

#include <cstring>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/tracked_memory.h"
#include "input/fasta_parser.h"
#include "input/fastq_compactor.h"

void parse_records(char* buffer, uint64_t size) {
  RunState& s = run_state;
  if (!s.input_is_fastq) {
    const uint64_t mark = size >= 3 && memcmp(buffer, "\xef\xbb\xbf", 3) == 0 ? 3 : 0;
    return parse_fasta(buffer + mark, size - mark);
  }
  s.record_count = s.fastq_records;
  s.record_table = static_cast<char*>(tracked_malloc(s.record_count * s.record_size));
  index_compact_fastq(buffer, s.record_count);
  say("Parsed %llu sequences\n", static_cast<unsigned long long>(s.record_count));
}
