#include "input/fastq_parser.h"

#include "base/messages.h"
#include "base/run_state.h"
#include "input/experiment.h"
#include "input/fasta_parser.h"
#include "input/fastq_compactor.h"

void parse_records(char* buffer, uint64_t size) {
  RunState& s = run_state;
  if (s.experiment != nullptr) {
    parse_samples();
  } else if (!s.input_is_fastq) {
    parse_fasta(buffer, size);
  } else {
    grow_record_table(s.fastq_records);
    index_compact_fastq(buffer, s.record_count, 0);
  }
  say("Parsed %llu sequences\n", static_cast<unsigned long long>(s.record_count));
}
