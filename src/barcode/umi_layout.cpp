#include "barcode/umi_layout.h"

#include <cctype>
#include <cstring>

#include "base/messages.h"
#include "base/tracked_memory.h"

namespace {

// One range as typed, 1-based and inclusive.
struct PositionRange {
  uint32_t from;
  uint32_t to;
};

[[noreturn]] void refuse_malformed() {
  fail(kExitFailure, "Can't parse umi (\"%s\") - umi should be template positions such as 1-12 or 1-6,30-35\n",
       run_state.umi_ranges);
}

// A position: 1 to 9 digits, not 0.
uint32_t read_position(const char*& p) {
  uint32_t value = 0;
  int digits = 0;
  while (*p >= '0' && *p <= '9') {
    if (++digits > 9) refuse_malformed();
    value = value * 10 + static_cast<uint32_t>(*p++ - '0');
  }
  if (digits == 0 || value == 0) refuse_malformed();
  return value;
}

bool is_barcode_letter(char letter) { return letter == 'N' || letter == 'n' || letter == '.'; }

// Appends a stretch, joining it to the last one when they touch.
void add_run(BaseRun* runs, uint32_t& count, uint32_t first, uint32_t bases) {
  if (bases == 0) return;
  if (count > 0 && runs[count - 1].first + runs[count - 1].count == first) {
    runs[count - 1].count += bases;
  } else {
    runs[count++] = {first, bases};
  }
}

// Bases first to first + count - 1 (count 1 to 32) of packed words, right-aligned.
uint64_t take_bases(const uint64_t* words, uint32_t first, uint32_t count) {
  const uint32_t shift = 2 * (first & 31);
  uint64_t top = words[first >> 5] << shift;
  if (shift + 2 * count > 64) top |= words[(first >> 5) + 1] >> (64 - shift);
  return top >> (64 - 2 * count);
}

// Writes count bases (1 to 32, right-aligned in value) at base first of packed words, keeping the bits around them.
void put_bases(uint64_t* words, uint32_t first, uint32_t count, uint64_t value) {
  const uint32_t shift = 2 * (first & 31);
  const uint64_t top = value << (64 - 2 * count);
  const uint64_t mask = ~0ull << (64 - 2 * count);
  uint64_t& word = words[first >> 5];
  word = (word & ~(mask >> shift)) | (top >> shift);
  if (shift + 2 * count > 64) {
    uint64_t& next = words[(first >> 5) + 1];
    next = (next & ~(mask << (64 - shift))) | (top << (64 - shift));
  }
}

}  // namespace

void prepare_umi_layout() {
  const RunState& s = run_state;
  const char* text = s.umi_ranges;
  PositionRange ranges[kMaxUmiBases + 1];
  uint32_t range_count = 0;
  uint64_t bases = 0;
  for (const char* p = text;;) {
    PositionRange range;
    range.from = read_position(p);
    range.to = range.from;
    if (*p == '-') range.to = read_position(++p);
    if (*p != ',' && *p != '\0') refuse_malformed();
    if (range.to < range.from) {
      fail(kExitFailure, "Can't use umi (\"%s\") - range %u-%u is descending\n", text, range.from, range.to);
    }
    if (range_count > 0) {
      const PositionRange& last = ranges[range_count - 1];
      if (range.from <= last.to && range.to >= last.from) {
        fail(kExitFailure, "Can't use umi (\"%s\") - ranges %u-%u and %u-%u overlap\n", text, last.from, last.to,
             range.from, range.to);
      }
      if (range.to < last.from) {
        fail(kExitFailure, "Can't use umi (\"%s\") - range %u-%u comes after %u-%u; ranges should be ascending\n", text,
             range.from, range.to, last.from, last.to);
      }
    }
    bases += range.to - range.from + 1ull;
    if (bases > kMaxUmiBases) {
      fail(kExitFailure, "Can't use umi (\"%s\") - a UMI has at most %u positions\n", text, kMaxUmiBases);
    }
    ranges[range_count++] = range;  // at most kMaxUmiBases ranges fit below the limit
    if (*p++ == '\0') break;
  }

  const uint32_t template_length = static_cast<uint32_t>(strlen(s.template_text));
  for (uint32_t r = 0; r < range_count; ++r) {
    if (ranges[r].to > template_length) {
      fail(kExitFailure, "Can't use umi (\"%s\") - position %u is beyond the template's %u positions\n", text,
           ranges[r].to, template_length);
    }
    for (uint32_t position = ranges[r].from; position <= ranges[r].to; ++position) {
      const char letter = s.template_text[position - 1];
      if (!is_barcode_letter(letter)) {
        fail(kExitFailure, "Can't use umi (\"%s\") - position %u of the template is \"%c\", not a barcode position (N or .)\n",
             text, position, letter);
      }
    }
  }

  auto* layout = static_cast<UmiLayout*>(hold_work_block(kUmiLayout, sizeof(UmiLayout)));
  memset(layout, 0, sizeof(UmiLayout));
  layout->length = static_cast<uint32_t>(bases);
  // Walk the template as the screening does, numbering its barcode positions.
  uint32_t walked = 0;
  uint32_t next_range = 0;
  for (uint32_t i = 0; i < template_length; ++i) {
    if (!is_barcode_letter(s.template_text[i])) continue;
    const bool in_umi = next_range < range_count && i + 1 >= ranges[next_range].from;
    if (in_umi) {
      add_run(layout->umi_runs, layout->umi_run_count, walked, 1);
      if (i + 1 == ranges[next_range].to) ++next_range;
    } else {
      add_run(layout->barcode_runs, layout->barcode_run_count, walked, 1);
    }
    ++walked;
  }
  if (walked == layout->length) {
    fail(kExitFailure, "Can't use umi (\"%s\") - it takes every barcode position of the template, leaving none to cluster\n",
         text);
  }
}

const UmiLayout* umi_layout() { return static_cast<const UmiLayout*>(run_state.work_blocks[kUmiLayout].data); }

uint32_t umi_length() {
  const UmiLayout* layout = umi_layout();
  return layout != nullptr ? layout->length : 0;
}

void split_umi(SequenceRecord* record, const UmiLayout& layout) {
  uint64_t* words = record_barcode(record);
  uint64_t umi = 0;
  for (uint32_t r = 0; r < layout.umi_run_count; ++r) {
    const BaseRun& run = layout.umi_runs[r];
    umi = (run.count == 32 ? 0 : umi << (2 * run.count)) | take_bases(words, run.first, run.count);
  }
  // The barcode's bases only move towards the start, each read before anything is written over it.
  uint32_t placed = 0;
  for (uint32_t r = 0; r < layout.barcode_run_count; ++r) {
    const BaseRun& run = layout.barcode_runs[r];
    for (uint32_t done = 0; done < run.count; done += 32) {
      const uint32_t count = run.count - done < 32 ? run.count - done : 32;
      if (placed != run.first + done) put_bases(words, placed, count, take_bases(words, run.first + done, count));
      placed += count;
    }
  }
  if ((placed & 31) != 0) words[placed >> 5] &= ~0ull << (64 - 2 * (placed & 31));
  words[run_state.barcode_words] = umi;
}

void umi_letters(uint64_t umi, uint32_t length, char* text) {
  static const char kLetters[4] = {'A', 'C', 'G', 'T'};
  for (uint32_t j = 0; j < length; ++j) text[j] = kLetters[(umi >> (2 * (length - 1 - j))) & 3];
  text[length] = '\0';
}
