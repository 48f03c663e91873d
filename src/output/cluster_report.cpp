#include "output/cluster_report.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "base/messages.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"
#include "output/output_file.h"

namespace {

void write_cluster_header(uint64_t number) {
  fprintf(run_state.output_file, ">%llu\n", static_cast<unsigned long long>(number));
}

// A report that did not reach the file, or a count that did not reach
// standard output, must not pass for a complete run. The report is closed
// before the count is printed: some file systems report a failed write only
// when the file is closed.
void finish_report(uint64_t clusters) {
  close_output(&run_state.output_file, run_state.output_path);
  printf("%llu clusters\n", static_cast<unsigned long long>(clusters));
  if (fflush(stdout) != 0 || ferror(stdout)) fail(kExitFailure, "Can't write to standard output\n");
}

}  // namespace

void print_record(const SequenceRecord* record) {
  fprintf(run_state.output_file, "%s\t%s\n", record->name + 1, record->sequence);
}

void write_clusters() {
  const RunState& s = run_state;
  uint64_t clusters = 0;
  for (uint64_t i = 0; i < s.entry_count; ++i) {
    const ClusterNode* first = &s.nodes[i];
    if (first->cluster_id != static_cast<int64_t>(i)) continue;
    write_cluster_header(++clusters);
    const ClusterNode* node = first;
    do {
      print_record(node->record);
      node = node->next;
    } while (node != first);
  }
  finish_report(clusters);
}

void write_buckets_as_clusters() {
  const RunState& s = run_state;
  uint64_t clusters = 0;
  for (uint32_t k = 0; k < kBucketCount; ++k) {
    for (uint64_t e = 0; e < s.bucket_counts[k]; ++e) {
      write_cluster_header(++clusters);
      print_record(s.bucket_entries[k][e]);
    }
  }
  finish_report(clusters);
}

namespace {

// Text on its way to the output file, in a buffer the caller owns.
struct ReportText {
  char* data;
  uint64_t size;
  uint64_t capacity;
};

// A slot holds a few megabytes of text, less for a small input.
uint64_t report_slot_bytes() {
  const uint64_t bytes = run_state.input_size / 32;
  return bytes < 64 ? 64 : (bytes > (2 << 20) ? 2 << 20 : bytes);
}
constexpr uint64_t kMaxReportJobs = 1024;

void write_out(ReportText* text) {
  fwrite(text->data, 1, text->size, run_state.output_file);
  text->size = 0;
}

// Appends bytes. A worker (flush false) gets false when they do not fit; the
// calling thread writes the buffer out first, and pieces larger than the
// whole buffer straight to the file.
bool append(ReportText* text, const char* bytes, uint64_t length, bool flush) {
  if (text->size + length > text->capacity) {
    if (!flush) return false;
    write_out(text);
    if (length > text->capacity) {
      fwrite(bytes, 1, length, run_state.output_file);
      return true;
    }
  }
  memcpy(text->data + text->size, bytes, length);
  text->size += length;
  return true;
}

bool append_header(ReportText* text, uint64_t number, bool flush) {
  char digits[24];
  char* p = digits + sizeof digits;
  *--p = '\n';
  do {
    *--p = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  *--p = '>';
  return append(text, p, static_cast<uint64_t>(digits + sizeof digits - p), flush);
}

// The line print_record writes.
bool append_member(ReportText* text, const SequenceRecord* record, bool flush) {
  const char* name = record->name + 1;
  const uint64_t name_length = strlen(name);
  const uint64_t sequence_length = strlen(record->sequence);
  if (text->size + name_length + sequence_length + 2 <= text->capacity) {
    char* out = text->data + text->size;
    memcpy(out, name, name_length);
    out[name_length] = '\t';
    memcpy(out + name_length + 1, record->sequence, sequence_length);
    out[name_length + 1 + sequence_length] = '\n';
    text->size += name_length + sequence_length + 2;
    return true;
  }
  return append(text, name, name_length, flush) && append(text, "\t", 1, flush) &&
         append(text, record->sequence, sequence_length, flush) && append(text, "\n", 1, flush);
}

// One cluster of the forest: its header, then its ring from its first node.
// A worker's buffer is left as it was when the cluster does not fit.
bool append_cluster(ReportText* text, const ClusterNode* first, uint64_t number, bool flush) {
  const uint64_t size_before = text->size;
  bool fits = append_header(text, number, flush);
  // Members lie all over the record table and the input. The ring is walked
  // a batch at a time first, so that the records, and then their names and
  // sequences, can all be fetched at once.
  constexpr int kBatch = 32;
  const SequenceRecord* batch[kBatch];
  const ClusterNode* node = first;
  do {
    int count = 0;
    do {
      batch[count++] = node->record;
      node = node->next;
    } while (count < kBatch && node != first);
    for (int i = 0; i < count; ++i) __builtin_prefetch(batch[i]);
    for (int i = 0; i < count; ++i) {
      __builtin_prefetch(batch[i]->name);
      __builtin_prefetch(batch[i]->sequence);
    }
    for (int i = 0; i < count && fits; ++i) fits = append_member(text, batch[i], flush);
  } while (fits && node != first);
  if (!fits) text->size = size_before;
  return fits;
}

// Writes the clusters of items 0 to items - 1 in order, in jobs of
// consecutive items: workers format whole jobs into their slots; a job that
// does not fit its slot is finished on the calling thread.
// cluster_count(begin, end) gives the clusters that items begin to end open;
// append_item appends the clusters of an item, numbered from n on, and
// returns the number of the next cluster, or 0 when they did not fit.
uint64_t write_report(
    uint64_t items, uint64_t jobs, const std::function<uint64_t(uint64_t begin, uint64_t end)>& cluster_count,
    const std::function<uint64_t(ReportText*, uint64_t item, uint64_t number, bool flush)>& append_item) {
  const auto first_item = [&](uint64_t job) { return job_begin(job, jobs, items); };
  uint64_t first_number[kMaxReportJobs + 1];
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    first_number[job + 1] = cluster_count(first_item(job), first_item(job + 1));
  });
  first_number[0] = 1;
  for (uint64_t job = 0; job < jobs; ++job) first_number[job + 1] += first_number[job];

  char* slots = static_cast<char*>(hold_work_block(kReportSlots, ordered_slot_count() * report_slot_bytes()));
  uint64_t resume_item[2 * 256];
  uint64_t resume_number[2 * 256];
  ReportText texts[2 * 256];
  run_jobs_in_order(
      jobs,
      [&](uint64_t job, uint32_t slot) {
        ReportText* text = &texts[slot];
        *text = {slots + slot * report_slot_bytes(), 0, report_slot_bytes()};
        uint64_t number = first_number[job];
        uint64_t item = first_item(job);
        for (uint64_t next; item < first_item(job + 1); ++item, number = next) {
          next = append_item(text, item, number, false);
          if (next == 0) break;
        }
        resume_item[slot] = item;
        resume_number[slot] = number;
      },
      [&](uint64_t job, uint32_t slot) {
        ReportText* text = &texts[slot];
        uint64_t number = resume_number[slot];
        for (uint64_t item = resume_item[slot]; item < first_item(job + 1); ++item) {
          number = append_item(text, item, number, true);
        }
        write_out(text);
      });
  release_work_block(kReportSlots);
  return first_number[jobs] - 1;
}

}  // namespace

// Jobs of the report: about 64 clusters' worth of entries each, so small
// reports run on the calling thread alone.
uint64_t report_jobs() { return job_count_for(run_state.entry_count, 64, kMaxReportJobs); }

void write_clusters_fast() {
  const RunState& s = run_state;
  const uint64_t entries = s.entry_count;
  const auto is_first = [&](uint64_t i) { return s.nodes[i].cluster_id == static_cast<int64_t>(i); };
  const uint64_t clusters = write_report(
      entries, report_jobs(),
      [&](uint64_t begin, uint64_t end) {
        uint64_t count = 0;
        for (uint64_t i = begin; i < end; ++i) count += is_first(i);
        return count;
      },
      [&](ReportText* text, uint64_t i, uint64_t number, bool flush) -> uint64_t {
        // Clusters of one member lie all over the input too: fetch the next
        // clusters' records, and their text a little closer.
        if (i + 8 < entries && is_first(i + 8)) __builtin_prefetch(s.nodes[i + 8].record);
        if (i + 4 < entries && is_first(i + 4)) {
          __builtin_prefetch(s.nodes[i + 4].record->name);
          __builtin_prefetch(s.nodes[i + 4].record->sequence);
        }
        if (!is_first(i)) return number;
        return append_cluster(text, &s.nodes[i], number, flush) ? number + 1 : 0;
      });
  finish_report(clusters);
}

void write_buckets_as_clusters_fast() {
  const RunState& s = run_state;
  // Items are buckets; each of their entries is a cluster.
  const uint64_t clusters = write_report(
      kBucketCount, report_jobs(),
      [&](uint64_t begin, uint64_t end) {
        uint64_t count = 0;
        for (uint64_t k = begin; k < end; ++k) count += s.bucket_counts[k];
        return count;
      },
      [&](ReportText* text, uint64_t k, uint64_t number, bool flush) -> uint64_t {
        const uint64_t size_before = text->size;
        const uint64_t count = s.bucket_counts[k];
        SequenceRecord* const* entries = s.bucket_entries[k];
        for (uint64_t e = 0; e < count; ++e) {
          if (e + 8 < count) __builtin_prefetch(entries[e + 8]);
          if (e + 4 < count) {
            __builtin_prefetch(entries[e + 4]->name);
            __builtin_prefetch(entries[e + 4]->sequence);
          }
          if (!append_header(text, number + e, flush) || !append_member(text, entries[e], flush)) {
            text->size = size_before;
            return 0;
          }
        }
        return number + count;
      });
  finish_report(clusters);
}
