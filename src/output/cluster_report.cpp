#include "output/cluster_report.h"

#include <algorithm>
#include <cstring>

#include "base/function_ref.h"
#include "base/messages.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"
#include "cluster/known_assignment.h"
#include "cluster/prefix_buckets.h"
#include "output/cluster_tally.h"
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
  run_state.cluster_count = clusters;
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
  uint64_t* tally = nullptr;
  if (cluster_tally_wanted()) {
    // One stretch: all nodes.
    uint64_t first_number[2] = {1, 1};
    for (uint64_t i = 0; i < s.entry_count; ++i) first_number[1] += s.nodes[i].cluster_id == static_cast<int64_t>(i);
    begin_cluster_tally(first_number, 1);
    tally = cluster_tally_reads();
  }
  uint64_t clusters = 0;
  for (uint64_t i = 0; i < s.entry_count; ++i) {
    const ClusterNode* first = &s.nodes[i];
    if (first->cluster_id != static_cast<int64_t>(i)) continue;
    write_cluster_header(++clusters);
    const ClusterNode* node = first;
    uint64_t members = 0;
    do {
      print_record(node->record);
      node = node->next;
      ++members;
    } while (node != first);
    if (tally != nullptr) tally[clusters - 1] = members;
  }
  finish_report(clusters);
}

namespace {

// A read of an entry's group that the report prints: -p leaves out its duplicates.
bool printed(const SequenceRecord* record) {
  const RunState& s = run_state;
  const uint64_t index = static_cast<uint64_t>(reinterpret_cast<const char*>(record) - s.record_table) / s.record_size;
  return (s.known->outcome[index] & kOutcomeDuplicate) == 0;
}

}  // namespace

void write_known_clusters() {
  const KnownBarcodes& known = *run_state.known;
  for (uint64_t k = 0; k < known.library.count; ++k) {
    write_cluster_header(k + 1);
    for (uint64_t i = known.group_start[k]; i < known.group_start[k + 1]; ++i) {
      if (printed(known.group_records[i])) print_record(known.group_records[i]);
    }
  }
  finish_report(known.library.count);
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
// Past kMaxScratchWorkers workers the slots share what that many would hold;
// text that overflows a slot is finished on the calling thread.
uint64_t report_slot_bytes() {
  const uint64_t bytes = scratch_share(std::min<uint64_t>(run_state.input_size / 32, 2 << 20), worker_count());
  return bytes < 64 ? 64 : bytes;
}
constexpr uint64_t kMaxReportJobs = 1024;
static_assert(kMaxReportJobs <= kMaxTallyStretches, "the tally keeps every report job's first cluster");

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

// Where a run of items stopped: the first item not appended and the number
// its first cluster gets.
struct Resume {
  uint64_t item;
  uint64_t number;
};

// Appends the clusters of items begin to end, numbered from number on. A
// worker (flush false) stops before the first cluster that does not fit,
// leaving the buffer as it was before that cluster.
using AppendItems = FunctionRef<Resume(ReportText*, uint64_t begin, uint64_t end, uint64_t number, bool flush)>;

// Writes the clusters of items 0 to items - 1 in order, in jobs of
// consecutive items: workers format whole jobs into their slots; what does
// not fit its slot is finished on the calling thread, which writes each job
// out while the workers format the next ones.
// cluster_count(begin, end) gives the clusters that items begin to end open.
// With tally, the jobs' first cluster numbers go to the cluster tally.
uint64_t write_report(uint64_t items, uint64_t jobs,
                      FunctionRef<uint64_t(uint64_t begin, uint64_t end)> cluster_count,
                      AppendItems append_items, bool tally = false) {
  const auto first_item = [&](uint64_t job) { return job_begin(job, jobs, items); };
  uint64_t first_number[kMaxReportJobs + 1];
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    first_number[job + 1] = cluster_count(first_item(job), first_item(job + 1));
  });
  first_number[0] = 1;
  for (uint64_t job = 0; job < jobs; ++job) first_number[job + 1] += first_number[job];
  if (tally) begin_cluster_tally(first_number, jobs);

  char* slots = static_cast<char*>(hold_work_block(kReportSlots, ordered_slot_count() * report_slot_bytes()));
  Resume resume[kMaxOrderedSlots];
  ReportText texts[kMaxOrderedSlots];
  run_jobs_in_order(
      jobs,
      [&](uint64_t job, uint32_t slot) {
        ReportText* text = &texts[slot];
        *text = {slots + slot * report_slot_bytes(), 0, report_slot_bytes()};
        resume[slot] = append_items(text, first_item(job), first_item(job + 1), first_number[job], false);
      },
      [&](uint64_t job, uint32_t slot) {
        ReportText* text = &texts[slot];
        if (resume[slot].item < first_item(job + 1)) {
          append_items(text, resume[slot].item, first_item(job + 1), resume[slot].number, true);
        }
        write_out(text);
      });
  release_work_block(kReportSlots);
  return first_number[jobs] - 1;
}

// Appends the member lines of records, fetching each record, and then its
// name and sequence, well before they are needed. False (some lines
// appended) when a worker's buffer is full.
bool append_members(ReportText* text, const SequenceRecord* const* records, uint64_t count, bool flush) {
  constexpr uint64_t kRecordsAhead = 16;
  constexpr uint64_t kTextAhead = 8;
  for (uint64_t i = 0; i < count && i < kRecordsAhead; ++i) __builtin_prefetch(records[i]);
  for (uint64_t i = 0; i < count && i < kTextAhead; ++i) {
    __builtin_prefetch(records[i]->name);
    __builtin_prefetch(records[i]->sequence);
  }
  for (uint64_t i = 0; i < count; ++i) {
    if (i + kRecordsAhead < count) __builtin_prefetch(records[i + kRecordsAhead]);
    if (i + kTextAhead < count) {
      __builtin_prefetch(records[i + kTextAhead]->name);
      __builtin_prefetch(records[i + kTextAhead]->sequence);
    }
    if (!append_member(text, records[i], flush)) return false;
  }
  return true;
}

// What the report notes of each cluster for the page: nothing, its members,
// or the reads its kept entries stand for (with -p).
enum class Tally { none, members, reads };

// The clusters whose first nodes lie in begin to end, members in ring order.
// Walking a ring is a chain of cache misses, one node after the other, so
// the rings of consecutive clusters are walked side by side, a lane each,
// every lane gathering its members' records; lanes are formatted in cluster
// order, the first one whenever it is full or its ring is done.
// With a tally, each cluster's members or reads go to the cluster tally.
template <Tally kTally>
Resume append_forest_clusters(ReportText* text, uint64_t begin, uint64_t end, uint64_t number, bool flush) {
  const ClusterNode* nodes = run_state.nodes;
  uint64_t* const tally = kTally != Tally::none ? cluster_tally_reads() : nullptr;
  const uint64_t* const entry_reads = kTally == Tally::reads ? kept_entry_reads() : nullptr;
  constexpr uint32_t kLanes = 16;
  constexpr uint32_t kLaneRecords = 128;
  struct Lane {
    const ClusterNode* first;
    const ClusterNode* node;  // the next node to gather; null once the ring is done
    uint32_t gathered;
    uint64_t tallied;  // members formatted so far, or their reads gathered so far
    bool header_written;
    const SequenceRecord* records[kLaneRecords];
  };
  Lane lanes[kLanes];
  uint32_t head = 0;    // the lane of the cluster formatted next
  uint32_t active = 0;  // lanes in use, from head on
  uint64_t next = begin;
  uint64_t cluster_start = text->size;
  // A worker resumes at the cluster of the head lane, whose lines go.
  const auto stop = [&] {
    text->size = cluster_start;
    return Resume{static_cast<uint64_t>(lanes[head].first - nodes), number};
  };
  for (;;) {
    while (active < kLanes) {
      while (next < end && nodes[next].cluster_id != static_cast<int64_t>(next)) ++next;
      if (next == end) break;
      Lane& lane = lanes[(head + active) % kLanes];
      lane.first = lane.node = &nodes[next];
      lane.gathered = 0;
      if constexpr (kTally != Tally::none) lane.tallied = 0;
      lane.header_written = false;
      ++active;
      ++next;
    }
    if (active == 0) return {end, number};
    // Steps every lane with room once per round: independent loads, in flight together.
    for (bool stepped = true; stepped;) {
      stepped = false;
      for (uint32_t a = 0; a < active; ++a) {
        Lane& lane = lanes[(head + a) % kLanes];
        if (lane.node == nullptr || lane.gathered == kLaneRecords) continue;
        lane.records[lane.gathered++] = lane.node->record;
        if constexpr (kTally == Tally::reads) lane.tallied += entry_reads[lane.node - nodes];
        lane.node = lane.node->next == lane.first ? nullptr : lane.node->next;
        stepped = true;
      }
      if (lanes[head].node == nullptr || lanes[head].gathered == kLaneRecords) break;
    }
    while (active != 0) {
      Lane& lane = lanes[head];
      if (lane.node != nullptr && lane.gathered < kLaneRecords) break;
      if (!lane.header_written) {
        cluster_start = text->size;
        if (!append_header(text, number, flush)) return stop();
        lane.header_written = true;
      }
      if (!append_members(text, lane.records, lane.gathered, flush)) return stop();
      if constexpr (kTally == Tally::members) lane.tallied += lane.gathered;
      lane.gathered = 0;
      if (lane.node != nullptr) break;  // more of its ring to gather
      if constexpr (kTally != Tally::none) tally[number - 1] = lane.tallied;
      ++number;
      head = (head + 1) % kLanes;
      --active;
    }
  }
}

}  // namespace

// Jobs of the report: about 64 clusters' worth of entries each, so small
// reports run on the calling thread alone.
uint64_t report_jobs() { return job_count_for(run_state.entry_count, 64, kMaxReportJobs); }

void write_clusters_fast() {
  const RunState& s = run_state;
  const auto is_first = [&](uint64_t i) { return s.nodes[i].cluster_id == static_cast<int64_t>(i); };
  // The choice is made once: the report's loop without the tally is as before.
  const Tally tally = kept_entry_reads() != nullptr ? Tally::reads
                      : cluster_tally_wanted()      ? Tally::members
                                                    : Tally::none;
  const AppendItems append_items = tally == Tally::reads     ? AppendItems(append_forest_clusters<Tally::reads>)
                                   : tally == Tally::members ? AppendItems(append_forest_clusters<Tally::members>)
                                                             : AppendItems(append_forest_clusters<Tally::none>);
  const uint64_t clusters = write_report(
      s.entry_count, report_jobs(),
      [&](uint64_t begin, uint64_t end) {
        uint64_t count = 0;
        for (uint64_t i = begin; i < end; ++i) count += is_first(i);
        return count;
      },
      append_items, tally != Tally::none);
  finish_report(clusters);
}

void write_known_clusters_fast() {
  const KnownBarcodes& known = *run_state.known;
  const bool all_printed = !run_state.remove_duplicates;
  // Items are entries, each a cluster; jobs of about 64 clusters' worth of reads.
  const uint64_t jobs = job_count_for(known.accepted, 64, kMaxReportJobs);
  const uint64_t clusters = write_report(
      known.library.count, std::min(jobs, known.library.count),
      [](uint64_t begin, uint64_t end) { return end - begin; },
      [&](ReportText* text, uint64_t begin, uint64_t end, uint64_t number, bool flush) -> Resume {
        constexpr uint64_t kBatch = 128;
        const SequenceRecord* batch[kBatch];
        for (uint64_t k = begin; k < end; ++k, ++number) {
          const uint64_t size_before = text->size;
          const auto stop = [&] {
            text->size = size_before;
            return Resume{k, number};
          };
          if (!append_header(text, number, flush)) return stop();
          const uint64_t group_begin = known.group_start[k];
          const uint64_t group_end = known.group_start[k + 1];
          if (all_printed) {
            if (!append_members(text, known.group_records + group_begin, group_end - group_begin, flush)) return stop();
            continue;
          }
          for (uint64_t i = group_begin; i < group_end;) {
            uint64_t gathered = 0;
            for (; i < group_end && gathered < kBatch; ++i) {
              if (printed(known.group_records[i])) batch[gathered++] = known.group_records[i];
            }
            if (!append_members(text, batch, gathered, flush)) return stop();
          }
        }
        return {end, number};
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
      [&](ReportText* text, uint64_t begin, uint64_t end, uint64_t number, bool flush) -> Resume {
        for (uint64_t k = begin; k < end; ++k) {
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
              return {k, number};
            }
          }
          number += count;
        }
        return {end, number};
      });
  finish_report(clusters);
}
