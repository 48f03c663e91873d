#include "cluster/known_assignment.h"

#include <algorithm>
#include <cstring>

#include "barcode/barcode_template.h"
#include "barcode/umi_layout.h"
#include "base/messages.h"
#include "base/tracked_memory.h"
#include "base/worker_pool.h"
#include "cluster/prefix_buckets.h"

namespace {

constexpr uint64_t kBaseBits = 0x5555555555555555ull;

// Substitutions between two packed barcodes: a base differs when either of its two bits does.
uint32_t barcode_distance(const uint64_t* a, const uint64_t* b, uint32_t words) {
  uint32_t distance = 0;
  for (uint32_t w = 0; w < words; ++w) {
    const uint64_t differ = a[w] ^ b[w];
    distance += static_cast<uint32_t>(__builtin_popcountll((differ | (differ >> 1)) & kBaseBits));
  }
  return distance;
}

// The nearest entries seen so far: the best distance, the entry, and whether a second entry is as near.
struct Nearest {
  uint32_t distance;
  uint64_t entry;
  bool tie;

  void offer(uint64_t candidate, uint32_t d) {
    if (d < distance) {
      distance = d;
      entry = candidate;
      tie = false;
    } else if (d == distance && candidate != entry) {
      tie = true;
    }
  }
  [[nodiscard]] uint32_t outcome(uint32_t limit) const {
    if (distance > limit) return kOutcomeUnknown;
    if (tie) return kOutcomeAmbiguous;
    return static_cast<uint32_t>((entry + 1) << kOutcomeEntryShift) | distance;
  }
};

bool is_rejected(const SequenceRecord* record) { return record->name[0] == '#'; }

void say_assigning() {
  say("Assigning reads to %llu known barcodes ..", static_cast<unsigned long long>(run_state.known->library.count));
}

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  return x ^ (x >> 33);
}

uint64_t barcode_hash(const uint64_t* words, uint32_t count) {
  uint64_t hash = 0x9e3779b97f4a7c15ull;
  for (uint32_t w = 0; w < count; ++w) hash = mix(hash ^ words[w]);
  return hash;
}

// Bases begin to end of a packed barcode, hashed.
uint64_t segment_key(const uint64_t* words, uint32_t begin, uint32_t end) {
  uint64_t hash = 0x9e3779b97f4a7c15ull;
  for (uint32_t position = begin; position < end;) {
    const uint32_t offset = position & 31;
    const uint32_t bases = std::min(end - position, 32 - offset);
    const uint64_t bits = (words[position >> 5] << (2 * offset)) >> (64 - 2 * bases);
    hash = mix(hash ^ bits ^ (static_cast<uint64_t>(bases) << 58));
    position += bases;
  }
  return hash;
}

uint64_t table_slots(uint64_t entries) {
  uint64_t slots = 16;
  while (slots < 2 * entries) slots *= 2;
  return slots;
}

// A slot of a segment's table: the entries whose bases in the segment hash to key.
struct SegmentSlot {
  uint64_t key;
  uint32_t begin;  // first place among the segment's sorted entries
  uint32_t count;  // 0 for an empty slot
};

// The index of the entries: an exact table of their whole barcodes and, for
// D of 1 or more, one table per segment of D + 1 segments that cover the
// barcode. A barcode within D of an entry equals it in at least one segment,
// so the segment tables name every entry within D (and a few more, which the
// distance sorts out).
struct KnownIndex {
  uint32_t* exact;  // entry + 1 per slot, 0 when empty
  uint64_t exact_slots;
  uint32_t segments;  // D + 1, or 0 when the exact table alone answers (D = 0) or the barcode is too short to cut
  uint32_t segment_begin[5];
  uint64_t segment_slots;
  SegmentSlot* slots[4];
  uint32_t* sorted[4];  // per segment, the entries in order of their segment's key
};

// A segment's sorted entries, padded so that the next segment's slots stay aligned.
uint64_t sorted_entry_bytes(uint64_t entries) {
  return (entries * sizeof(uint32_t) + alignof(SegmentSlot) - 1) / alignof(SegmentSlot) * alignof(SegmentSlot);
}

uint64_t index_bytes(uint64_t entries, uint32_t segments) {
  const uint64_t exact = table_slots(entries) * sizeof(uint32_t);
  const uint64_t per_segment = table_slots(entries) * sizeof(SegmentSlot) + sorted_entry_bytes(entries);
  return exact + segments * per_segment;
}

KnownIndex build_index() {
  const RunState& s = run_state;
  const KnownLibrary& library = s.known->library;
  const uint64_t count = library.count;
  const uint32_t words = library.barcode_words;
  KnownIndex index = {};
  // A barcode shorter than D + 1 bases leaves a segment empty: every pair would be a candidate.
  index.segments = s.distance > 0 && s.barcode_length > s.distance ? s.distance + 1 : 0;
  index.exact_slots = table_slots(count);
  index.segment_slots = table_slots(count);
  char* block = static_cast<char*>(hold_work_block(kKnownIndex, index_bytes(count, index.segments)));
  index.exact = reinterpret_cast<uint32_t*>(block);
  memset(index.exact, 0, index.exact_slots * sizeof(uint32_t));
  for (uint64_t k = 0; k < count; ++k) {
    uint64_t slot = barcode_hash(library.barcodes + k * words, words) & (index.exact_slots - 1);
    while (index.exact[slot] != 0) slot = (slot + 1) & (index.exact_slots - 1);
    index.exact[slot] = static_cast<uint32_t>(k + 1);
  }
  char* next = block + index.exact_slots * sizeof(uint32_t);
  if (index.segments == 0) return index;

  for (uint32_t g = 0; g <= index.segments; ++g) index.segment_begin[g] = s.barcode_length * g / index.segments;
  struct KeyedEntry {
    uint64_t key;
    uint64_t entry;
  };
  auto* keyed = static_cast<KeyedEntry*>(hold_work_block(kKnownIndexKeys, count * sizeof(KeyedEntry)));
  for (uint32_t g = 0; g < index.segments; ++g) {
    index.slots[g] = reinterpret_cast<SegmentSlot*>(next);
    next += index.segment_slots * sizeof(SegmentSlot);
    index.sorted[g] = reinterpret_cast<uint32_t*>(next);
    next += sorted_entry_bytes(count);
    memset(index.slots[g], 0, index.segment_slots * sizeof(SegmentSlot));
    run_jobs(job_count_for(count, 1 << 14, 256), [&](uint64_t job, uint32_t) {
      const uint64_t jobs = job_count_for(count, 1 << 14, 256);
      for (uint64_t k = job_begin(job, jobs, count); k < job_begin(job + 1, jobs, count); ++k) {
        keyed[k] = {segment_key(library.barcodes + k * words, index.segment_begin[g], index.segment_begin[g + 1]), k};
      }
    });
    std::sort(keyed, keyed + count, [](const KeyedEntry& a, const KeyedEntry& b) {
      return a.key != b.key ? a.key < b.key : a.entry < b.entry;
    });
    for (uint64_t i = 0; i < count;) {
      uint64_t end = i;
      while (end < count && keyed[end].key == keyed[i].key) {
        index.sorted[g][end] = static_cast<uint32_t>(keyed[end].entry);
        ++end;
      }
      uint64_t slot = mix(keyed[i].key) & (index.segment_slots - 1);
      while (index.slots[g][slot].count != 0) slot = (slot + 1) & (index.segment_slots - 1);
      index.slots[g][slot] = {keyed[i].key, static_cast<uint32_t>(i), static_cast<uint32_t>(end - i)};
      i = end;
    }
  }
  release_work_block(kKnownIndexKeys);
  return index;
}

uint32_t look_up(const KnownIndex& index, const uint64_t* barcode) {
  const RunState& s = run_state;
  const KnownLibrary& library = s.known->library;
  const uint32_t words = library.barcode_words;
  for (uint64_t slot = barcode_hash(barcode, words) & (index.exact_slots - 1); index.exact[slot] != 0;
       slot = (slot + 1) & (index.exact_slots - 1)) {
    const uint64_t k = index.exact[slot] - 1;
    if (std::equal(barcode, barcode + words, library.barcodes + k * words)) {
      return static_cast<uint32_t>((k + 1) << kOutcomeEntryShift);
    }
  }
  if (s.distance == 0) return kOutcomeUnknown;
  Nearest nearest = {s.distance + 1, 0, false};
  if (index.segments == 0) {
    for (uint64_t k = 0; k < library.count; ++k) {
      nearest.offer(k, barcode_distance(barcode, library.barcodes + k * words, words));
    }
    return nearest.outcome(s.distance);
  }
  for (uint32_t g = 0; g < index.segments; ++g) {
    const uint64_t key = segment_key(barcode, index.segment_begin[g], index.segment_begin[g + 1]);
    for (uint64_t slot = mix(key) & (index.segment_slots - 1); index.slots[g][slot].count != 0;
         slot = (slot + 1) & (index.segment_slots - 1)) {
      const SegmentSlot& found = index.slots[g][slot];
      if (found.key != key) continue;
      for (uint32_t i = found.begin; i < found.begin + found.count; ++i) {
        const uint64_t k = index.sorted[g][i];
        nearest.offer(k, barcode_distance(barcode, library.barcodes + k * words, words));
      }
      break;
    }
  }
  return nearest.outcome(s.distance);
}

// Sorts count reads by barcode, then input order, into the front of keys
// (room for count keys), and returns them there: a group's reads lie all
// over the record table, and each is fetched once to make its key.
SequenceRecord** sort_by_barcode(SequenceRecord* const* records, uint64_t count, SortKey* keys) {
  for (uint64_t i = 0; i < count; ++i) keys[i] = {record_barcode(records[i])[0], records[i]};
  std::sort(keys, keys + count, [](const SortKey& a, const SortKey& b) { return sorts_before(a, b); });
  // The pointers move to the front: each is written below every key still to be read.
  auto* sorted = reinterpret_cast<SequenceRecord**>(keys);
  for (uint64_t i = 0; i < count; ++i) sorted[i] = keys[i].record;
  return sorted;
}

bool same_barcode(const SequenceRecord* a, const SequenceRecord* b) {
  return std::equal(record_barcode(a), record_barcode(a) + run_state.barcode_words, record_barcode(b));
}

uint64_t index_of(const SequenceRecord* record) {
  return static_cast<uint64_t>(reinterpret_cast<const char*>(record) - run_state.record_table) / run_state.record_size;
}

// Whether anything needs the distinct barcodes: -p, a table, the stats or the page.
bool distinct_barcodes_wanted() {
  const RunState& s = run_state;
  return s.remove_duplicates || s.assignments_path != nullptr || s.cluster_table_path != nullptr ||
         s.stats_path != nullptr || s.page_path != nullptr;
}

// Counts the distinct barcodes among unknown reads sorted by barcode and
// keeps the kTopUnknownCount of the most reads in top.
void pick_top_unknown(SequenceRecord** begin, SequenceRecord** end, uint64_t* distinct, UnknownBarcode* top,
                      uint32_t* top_count) {
  for (SequenceRecord** r = begin; r != end;) {
    SequenceRecord** run_end = r + 1;
    while (run_end != end && same_barcode(*r, *run_end)) ++run_end;
    ++*distinct;
    const UnknownBarcode candidate = {*r, static_cast<uint64_t>(run_end - r)};
    uint32_t place = *top_count;
    // Ties keep the barcode first in letter order, met first here.
    while (place > 0 && top[place - 1].reads < candidate.reads) --place;
    if (place < kTopUnknownCount) {
      const uint32_t kept = std::min(*top_count, kTopUnknownCount - 1);
      for (uint32_t i = kept; i > place; --i) top[i] = top[i - 1];
      top[place] = candidate;
      *top_count = kept + 1;
    }
    r = run_end;
  }
}

// Sorts a copy of every group by barcode: counts each entry's distinct
// barcodes, marks -p's duplicates in the outcomes, and picks the most
// frequent unknown barcodes.
void count_distinct_barcodes() {
  RunState& s = run_state;
  KnownBarcodes& known = *s.known;
  const uint64_t entries = known.library.count;
  known.distinct = static_cast<uint64_t*>(tracked_calloc(entries, sizeof(uint64_t)));
  // An entry's group is sorted in its worker's keys, counted and forgotten;
  // the unknown reads are sorted into keys of their own, for the top unknown
  // barcodes. Workers are as many as hold the largest group each within the
  // keys that the assigned reads would take: with the unknown reads' keys,
  // never more than one key a grouped read.
  const uint64_t groups = entries + 2;
  uint64_t largest = 1;
  for (uint64_t k = 0; k < entries; ++k) largest = std::max(largest, known_group_reads(known, k));
  const uint64_t assigned = known.accepted - known.ambiguous - known.unknown;
  const uint64_t jobs = job_count_for(known.accepted, 1 << 16, 1024);
  const uint32_t workers =
      static_cast<uint32_t>(std::clamp<uint64_t>(assigned / largest, 1, std::min<uint64_t>(jobs, worker_count())));
  auto* keys = static_cast<SortKey*>(hold_work_block(kKnownGroupCopy, (workers * largest + known.unknown) * sizeof(SortKey)));
  SortKey* unknown_keys = keys + workers * largest;
  SequenceRecord** unknown = nullptr;
  // A job sorts the groups that begin within its share of the reads; empty groups need nothing.
  run_jobs(jobs, [&](uint64_t job, uint32_t worker) {
    const uint64_t from = job_begin(job, jobs, known.accepted);
    const uint64_t to = job_begin(job + 1, jobs, known.accepted);
    uint64_t g = std::lower_bound(known.group_start, known.group_start + groups, from) - known.group_start;
    for (; g < groups && known.group_start[g] < to; ++g) {
      const uint64_t count = known_group_reads(known, g);
      if (count == 0 || g == entries) continue;  // the ambiguous reads' barcodes are not counted
      SequenceRecord* const* group = known.group_records + known.group_start[g];
      if (g > entries) {
        unknown = sort_by_barcode(group, count, unknown_keys);
        continue;
      }
      SequenceRecord** begin = sort_by_barcode(group, count, keys + worker * largest);
      SequenceRecord** end = begin + count;
      uint64_t runs = 0;
      for (SequenceRecord** r = begin; r != end; ++r) {
        if (r == begin || !same_barcode(r[-1], *r)) {
          ++runs;
        } else if (s.remove_duplicates) {
          known.outcome[index_of(*r)] |= kOutcomeDuplicate;
        }
      }
      known.distinct[g] = runs;
    }
  }, workers);
  if (unknown != nullptr) {
    pick_top_unknown(unknown, unknown + known.unknown, &known.unknown_barcodes, known.top_unknown,
                     &known.top_unknown_count);
  }
  release_work_block(kKnownGroupCopy);
}

// The Gini index of count read counts, which it sorts.
double gini_index(uint64_t* reads, uint64_t count) {
  std::sort(reads, reads + count);
  // Sums of integers stay exact; only the last step divides.
  unsigned __int128 weighted = 0;
  unsigned __int128 total = 0;
  for (uint64_t i = 0; i < count; ++i) {
    weighted += static_cast<unsigned __int128>(i + 1) * reads[i];
    total += reads[i];
  }
  if (total == 0) return 0.0;
  const double n = static_cast<double>(count);
  return 2.0 * static_cast<double>(weighted) / (n * static_cast<double>(total)) - (n + 1.0) / n;
}

}  // namespace

void load_known_barcodes() {
  RunState& s = run_state;
  if (s.known_path == nullptr) return;
  // The UMI's positions are cut out of the barcode before the reads are assigned.
  const uint32_t positions = count_barcode_positions(s.template_text);
  const uint32_t barcode_length = positions > umi_length() ? positions - umi_length() : 0;
  // A template without barcode positions is refused when it is compiled.
  if (barcode_length == 0) return;
  s.known = static_cast<KnownBarcodes*>(tracked_calloc(1, sizeof(KnownBarcodes)));
  read_known_library(&s.known->library, s.known_path, barcode_length);
}

void assign_known_reads() {
  RunState& s = run_state;
  KnownBarcodes& known = *s.known;
  say_assigning();
  known.outcome = static_cast<uint32_t*>(tracked_malloc(std::max<uint64_t>(s.record_count, 1) * sizeof(uint32_t)));
  const KnownLibrary& library = known.library;
  for (uint64_t r = 0; r < s.record_count; ++r) {
    const SequenceRecord* record = record_at(r);
    if (is_rejected(record)) {
      known.outcome[r] = kOutcomeRejected;
      continue;
    }
    Nearest nearest = {s.distance + 1, 0, false};
    for (uint64_t k = 0; k < library.count; ++k) {
      nearest.offer(k, barcode_distance(record_barcode(record), library.barcodes + k * library.barcode_words,
                                        library.barcode_words));
    }
    known.outcome[r] = nearest.outcome(s.distance);
  }
  say(" OK\n");
}

void assign_known_reads_fast() {
  RunState& s = run_state;
  KnownBarcodes& known = *s.known;
  say_assigning();
  known.outcome = static_cast<uint32_t*>(tracked_malloc(std::max<uint64_t>(s.record_count, 1) * sizeof(uint32_t)));
  const KnownIndex index = build_index();
  const uint64_t jobs = job_count_for(s.record_count, 1 << 14, 1024);
  run_jobs(jobs, [&](uint64_t job, uint32_t) {
    for (uint64_t r = job_begin(job, jobs, s.record_count); r < job_begin(job + 1, jobs, s.record_count); ++r) {
      const SequenceRecord* record = record_at(r);
      known.outcome[r] = is_rejected(record) ? kOutcomeRejected : look_up(index, record_barcode(record));
    }
  });
  release_work_block(kKnownIndex);
  say(" OK\n");
}

void group_known_reads() {
  RunState& s = run_state;
  KnownBarcodes& known = *s.known;
  const uint64_t entries = known.library.count;
  const uint64_t groups = entries + 2;
  known.group_start = static_cast<uint64_t*>(tracked_calloc(groups + 1, sizeof(uint64_t)));
  const auto group_of = [&](uint32_t outcome) {
    return outcome_assigned(outcome) ? outcome_entry(outcome) : outcome == kOutcomeAmbiguous ? entries : entries + 1;
  };
  for (uint64_t r = 0; r < s.record_count; ++r) {
    const uint32_t outcome = known.outcome[r];
    if (outcome == kOutcomeRejected) continue;
    ++known.group_start[group_of(outcome) + 1];
    if (outcome_assigned(outcome)) ++known.at_distance[outcome & kOutcomeDistanceMask];
  }
  for (uint64_t g = 0; g < groups; ++g) known.group_start[g + 1] += known.group_start[g];
  known.accepted = known.group_start[groups];
  known.ambiguous = known_group_reads(known, entries);
  known.unknown = known_group_reads(known, entries + 1);
  known.group_records =
      static_cast<SequenceRecord**>(tracked_malloc(std::max<uint64_t>(known.accepted, 1) * sizeof(SequenceRecord*)));
  auto* cursor = static_cast<uint64_t*>(hold_work_block(kKnownGroupCursors, groups * sizeof(uint64_t)));
  memcpy(cursor, known.group_start, groups * sizeof(uint64_t));
  for (uint64_t r = 0; r < s.record_count; ++r) {
    const uint32_t outcome = known.outcome[r];
    if (outcome != kOutcomeRejected) known.group_records[cursor[group_of(outcome)]++] = record_at(r);
  }
  release_work_block(kKnownGroupCursors);

  if (distinct_barcodes_wanted()) count_distinct_barcodes();
  known.members = static_cast<uint64_t*>(tracked_malloc(std::max<uint64_t>(entries, 1) * sizeof(uint64_t)));
  for (uint64_t k = 0; k < entries; ++k) {
    uint64_t members = known_group_reads(known, k);
    if (s.remove_duplicates) members = known.distinct[k];
    known.duplicates += known_group_reads(known, k) - members;
    known.members[k] = members;
  }

  // The reads that enter the assignment and stay: -p's duplicates go.
  s.entry_count = known.accepted - known.duplicates;
  uint64_t assigned = 0;
  for (uint64_t reads : known.at_distance) assigned += reads;
  say(" - %llu reads assigned to known barcodes", static_cast<unsigned long long>(assigned));
  for (uint32_t d = 0; d <= s.distance; ++d) {
    say("%s%llu at distance %u", d == 0 ? " (" : ", ", static_cast<unsigned long long>(known.at_distance[d]), d);
  }
  say(")\n - %llu reads ambiguous\n - %llu reads unknown\n", static_cast<unsigned long long>(known.ambiguous),
      static_cast<unsigned long long>(known.unknown));
  if (s.remove_duplicates) {
    say(" - %llu reads left out of the report as duplicates of a barcode\n",
        static_cast<unsigned long long>(known.duplicates));
  }
}

double known_gini_index() {
  const KnownBarcodes& known = *run_state.known;
  const uint64_t entries = known.library.count;
  auto* reads = static_cast<uint64_t*>(hold_work_block(kKnownReadCounts, entries * sizeof(uint64_t)));
  for (uint64_t k = 0; k < entries; ++k) reads[k] = known_group_reads(known, k);
  const double gini = gini_index(reads, entries);
  release_work_block(kKnownReadCounts);
  return gini;
}

KnownSampleFigures known_sample_figures(uint64_t first_record, uint64_t record_count) {
  const KnownBarcodes& known = *run_state.known;
  const uint64_t entries = known.library.count;
  KnownSampleFigures figures = {};
  auto* reads = static_cast<uint64_t*>(hold_work_block(kKnownReadCounts, entries * sizeof(uint64_t)));
  std::fill(reads, reads + entries, 0);
  for (uint64_t r = first_record; r < first_record + record_count; ++r) {
    const uint32_t outcome = known.outcome[r];
    if (outcome_assigned(outcome)) {
      ++reads[outcome_entry(outcome)];
      ++figures.at_distance[outcome & kOutcomeDistanceMask];
    } else if (outcome != kOutcomeRejected) {
      ++(outcome == kOutcomeAmbiguous ? figures.ambiguous : figures.unknown);
    }
  }
  figures.entries_without_reads = static_cast<uint64_t>(std::count(reads, reads + entries, 0));
  figures.gini = gini_index(reads, entries);
  release_work_block(kKnownReadCounts);
  // The unknown group is in input order: the sample's unknown reads are one stretch of it.
  SequenceRecord** unknown_begin = known.group_records + known.group_start[entries + 1];
  SequenceRecord** unknown_end = known.group_records + known.group_start[entries + 2];
  SequenceRecord** begin = std::lower_bound(unknown_begin, unknown_end, record_at(first_record));
  auto* keys = static_cast<SortKey*>(hold_work_block(kKnownGroupCopy, std::max<uint64_t>(figures.unknown, 1) * sizeof(SortKey)));
  SequenceRecord** sorted = sort_by_barcode(begin, figures.unknown, keys);
  pick_top_unknown(sorted, sorted + figures.unknown, &figures.unknown_barcodes, figures.top_unknown,
                   &figures.top_unknown_count);
  release_work_block(kKnownGroupCopy);
  return figures;
}

uint64_t known_entries_without_reads() {
  const KnownBarcodes& known = *run_state.known;
  uint64_t empty = 0;
  for (uint64_t k = 0; k < known.library.count; ++k) empty += known_group_reads(known, k) == 0;
  return empty;
}

void release_known_barcodes() {
  RunState& s = run_state;
  KnownBarcodes* known = s.known;
  if (known == nullptr) return;
  const uint64_t entries = known->library.count;
  if (known->outcome != nullptr) tracked_free(known->outcome, std::max<uint64_t>(s.record_count, 1) * sizeof(uint32_t));
  if (known->group_start != nullptr) tracked_free(known->group_start, (entries + 3) * sizeof(uint64_t));
  if (known->group_records != nullptr) {
    tracked_free(known->group_records, std::max<uint64_t>(known->accepted, 1) * sizeof(SequenceRecord*));
  }
  if (known->distinct != nullptr) tracked_free(known->distinct, entries * sizeof(uint64_t));
  if (known->members != nullptr) tracked_free(known->members, std::max<uint64_t>(entries, 1) * sizeof(uint64_t));
  release_known_library(&known->library);
  tracked_free(known, sizeof(KnownBarcodes));
  s.known = nullptr;
}
