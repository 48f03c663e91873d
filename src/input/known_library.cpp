#include "input/known_library.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "base/messages.h"
#include "base/tracked_memory.h"
#include "input/gzip_source.h"
#include "input/input_loader.h"
#include "input/plain_source.h"

namespace {

constexpr size_t kReadStep = 1 << 20;

// The whole file, inflated when it is gzip data, in a tracked block with a closing NUL.
void read_whole_file(KnownLibrary* library, const char* path) {
  OpenInput input = {open(path, O_RDONLY | O_CLOEXEC), {}, 0};
  if (input.fd < 0) fail(kExitFailure, "Can't open known barcodes file \"%s\"\n", path);
  const int64_t head = read_fully(input.fd, reinterpret_cast<char*>(input.head), sizeof input.head);
  if (head < 0) {
    close(input.fd);
    fail(kExitFailure, "Can't read known barcodes file \"%s\"\n", path);
  }
  input.head_size = static_cast<size_t>(head);
  std::unique_ptr<ByteSource> source;
  try {  // a source's buffers and inflate state come from the C++ library
    source = is_gzip_magic(input.head, input.head_size) ? make_gzip_source(input)
                                                        : std::make_unique<PlainSource>(input, -1);
  } catch (const std::bad_alloc&) {
    fail_out_of_memory();
  }
  uint64_t size = 0;
  while (source->state() == SourceState::kMore) {
    if (library->text_bytes < size + kReadStep + 1) {
      const uint64_t grown = std::max<uint64_t>(2 * library->text_bytes, size + kReadStep + 1);
      library->text = static_cast<char*>(tracked_realloc(library->text, library->text_bytes, grown));
      library->text_bytes = grown;
    }
    size += source->read(library->text + size, library->text_bytes - size - 1);
  }
  const SourceState state = source->state();
  source.reset();
  close(input.fd);
  if (state == SourceState::kNoMemory) fail_out_of_memory();
  if (state == SourceState::kCorrupt) fail(kExitFailure, "Can't decompress known barcodes file \"%s\"\n", path);
  if (state != SourceState::kEnd) fail(kExitFailure, "Can't read known barcodes file \"%s\"\n", path);
  library->text[size] = '\0';
}

// Bases as the reads' barcodes are packed: A 0, C 1, G 2, T 3 (either case); -1 for any other byte.
int base_code(char letter) {
  switch (letter) {
    case 'A':
    case 'a':
      return 0;
    case 'C':
    case 'c':
      return 1;
    case 'G':
    case 'g':
      return 2;
    case 'T':
    case 't':
      return 3;
    default:
      return -1;
  }
}

// One line of the file, its line end cut off (NUL written over it).
struct Line {
  char* text;
  uint64_t number;  // 1 for the first line of the file
};

// The next line from *cursor, or text null at the end. LF or CR LF ends a line.
Line next_line(char** cursor, uint64_t* number) {
  char* start = *cursor;
  if (*start == '\0') return {nullptr, 0};
  char* end = strchr(start, '\n');
  if (end == nullptr) {
    end = start + strlen(start);
    *cursor = end;
  } else {
    *cursor = end + 1;
  }
  if (end > start && end[-1] == '\r') --end;
  *end = '\0';
  return {start, ++*number};
}

// Cuts the next field of a line at sep; null when the line has no more fields.
char* next_field(char** cursor, char sep) {
  char* field = *cursor;
  if (field == nullptr) return nullptr;
  char* end = strchr(field, sep);
  if (end == nullptr) {
    *cursor = nullptr;
  } else {
    *end = '\0';
    *cursor = end + 1;
  }
  return field;
}

// True when bases are barcode_length letters A, C, G, T in either case.
bool is_barcode(const char* bases, uint32_t barcode_length) {
  uint32_t length = 0;
  for (; bases[length] != '\0'; ++length) {
    if (base_code(bases[length]) < 0) return false;
  }
  return length == barcode_length;
}

void pack_known_barcode(const char* bases, uint32_t barcode_length, uint64_t* words) {
  for (uint32_t w = 0; w * 32 < barcode_length; ++w) words[w] = 0;
  for (uint32_t j = 0; j < barcode_length; ++j) {
    words[j >> 5] |= static_cast<uint64_t>(base_code(bases[j])) << (62 - 2 * (j & 31));
  }
}

// The first entry, in line order, whose key equals an earlier entry's: its
// index and that earlier entry's, or false when every key differs.
template <typename Less, typename Equal>
bool find_repeat(uint64_t count, uint64_t* order, Less less, Equal equal, uint64_t* later, uint64_t* earlier) {
  for (uint64_t i = 0; i < count; ++i) order[i] = i;
  std::stable_sort(order, order + count, less);
  bool found = false;
  for (uint64_t i = 1; i < count; ++i) {
    if (equal(order[i - 1], order[i]) && (!found || order[i] < *later)) {
      // Equal keys lie in line order: the one before is the first of them only if its own run began there.
      uint64_t first = i - 1;
      while (first > 0 && equal(order[first - 1], order[i])) --first;
      *later = order[i];
      *earlier = order[first];
      found = true;
    }
  }
  return found;
}

// Non-blank lines from cursor to the end of the text.
uint64_t count_entry_lines(const char* cursor) {
  uint64_t count = 0;
  while (*cursor != '\0') {
    const char* end = strchr(cursor, '\n');
    if (end == nullptr) end = cursor + strlen(cursor);
    const uint64_t length = static_cast<uint64_t>(end - cursor);
    count += length > 1 || (length == 1 && *cursor != '\r');
    cursor = *end == '\0' ? end : end + 1;
  }
  return count;
}

// The header: the line of column names, whose first tab or comma is the separator.
char read_header(char** cursor, uint64_t* line_number, const char* path, uint32_t barcode_length) {
  const Line header = next_line(cursor, line_number);
  if (header.text == nullptr) fail(kExitFailure, "Known barcodes file \"%s\" is empty\n", path);
  char* separator_at = strpbrk(header.text, "\t,");
  if (separator_at == nullptr) {
    fail(kExitFailure,
         "Known barcodes file \"%s\", line 1: no header (column names separated by a tab or a comma, "
         "such as \"id<TAB>barcode<TAB>group\")\n",
         path);
  }
  const char separator = *separator_at;
  char* fields = separator_at + 1;
  const char* second = next_field(&fields, separator);
  if (is_barcode(second, barcode_length)) {
    fail(kExitFailure, "Known barcodes file \"%s\", line 1: no header (it holds the barcode \"%s\")\n", path, second);
  }
  return separator;
}

}  // namespace

void read_known_library(KnownLibrary* library, const char* path, uint32_t barcode_length) {
  memset(library, 0, sizeof *library);
  read_whole_file(library, path);
  char* cursor = library->text;
  // A UTF-8 byte-order mark, as spreadsheets write it, may stand first.
  cursor += byte_order_mark(reinterpret_cast<const unsigned char*>(cursor), strlen(cursor));
  uint64_t line_number = 0;
  const char separator = read_header(&cursor, &line_number, path, barcode_length);

  const uint64_t lines = count_entry_lines(cursor);
  if (lines == 0) fail(kExitFailure, "Known barcodes file \"%s\" has no entries after its header\n", path);
  if (lines > kMaxKnownEntries) {
    fail(kExitFailure, "Known barcodes file \"%s\" has more than %llu entries\n", path,
         static_cast<unsigned long long>(kMaxKnownEntries));
  }
  library->count = lines;
  library->barcode_words = (barcode_length + 31) / 32;
  library->barcodes = static_cast<uint64_t*>(tracked_malloc(lines * library->barcode_words * sizeof(uint64_t)));
  library->ids = static_cast<const char**>(tracked_malloc(lines * sizeof(const char*)));
  library->groups = static_cast<const char**>(tracked_malloc(lines * sizeof(const char*)));
  // Line numbers and a sort order, for the messages about repeats.
  auto* line_of = static_cast<uint64_t*>(hold_work_block(kKnownLibraryLines, 2 * lines * sizeof(uint64_t)));
  uint64_t* order = line_of + lines;

  uint64_t entry = 0;
  for (Line line = next_line(&cursor, &line_number); line.text != nullptr; line = next_line(&cursor, &line_number)) {
    if (line.text[0] == '\0') continue;
    char* fields = line.text;
    const char* id = next_field(&fields, separator);
    const char* bases = next_field(&fields, separator);
    const char* group = next_field(&fields, separator);
    const auto refuse = [&](const char* what, const char* text) {
      fail(kExitFailure, "Known barcodes file \"%s\", line %llu: %s \"%s\"\n", path,
           static_cast<unsigned long long>(line.number), what, text);
    };
    if (id[0] == '\0') refuse("empty id before", bases != nullptr ? bases : "");
    if (bases == nullptr) refuse("no barcode after the id", id);
    for (const char* b = bases; *b != '\0'; ++b) {
      if (base_code(*b) < 0) {
        fail(kExitFailure,
             "Known barcodes file \"%s\", line %llu: barcode \"%s\" has \"%c\"; only A, C, G and T are allowed\n", path,
             static_cast<unsigned long long>(line.number), bases, *b);
      }
    }
    if (strlen(bases) != barcode_length) {
      fail(kExitFailure, "Known barcodes file \"%s\", line %llu: barcode \"%s\" has %zu bases; the template's has %u\n",
           path, static_cast<unsigned long long>(line.number), bases, strlen(bases), barcode_length);
    }
    pack_known_barcode(bases, barcode_length, library->barcodes + entry * library->barcode_words);
    library->ids[entry] = id;
    library->groups[entry] = group != nullptr ? group : "";
    line_of[entry] = line.number;
    ++entry;
  }

  // Repeats: the first line, in file order, that repeats an id or a barcode is named.
  const uint32_t words = library->barcode_words;
  const uint64_t* barcodes = library->barcodes;
  const auto barcode_less = [&](uint64_t a, uint64_t b) {
    return std::lexicographical_compare(barcodes + a * words, barcodes + (a + 1) * words, barcodes + b * words,
                                        barcodes + (b + 1) * words);
  };
  const auto barcode_equal = [&](uint64_t a, uint64_t b) {
    return std::equal(barcodes + a * words, barcodes + (a + 1) * words, barcodes + b * words);
  };
  const char** ids = library->ids;
  const auto id_less = [&](uint64_t a, uint64_t b) { return strcmp(ids[a], ids[b]) < 0; };
  const auto id_equal = [&](uint64_t a, uint64_t b) { return strcmp(ids[a], ids[b]) == 0; };
  uint64_t id_later = 0, id_earlier = 0, barcode_later = 0, barcode_earlier = 0;
  const bool id_repeats = find_repeat(lines, order, id_less, id_equal, &id_later, &id_earlier);
  const bool barcode_repeats = find_repeat(lines, order, barcode_less, barcode_equal, &barcode_later, &barcode_earlier);
  if (id_repeats && (!barcode_repeats || id_later <= barcode_later)) {
    fail(kExitFailure, "Known barcodes file \"%s\", line %llu: id \"%s\" is also on line %llu\n", path,
         static_cast<unsigned long long>(line_of[id_later]), ids[id_later],
         static_cast<unsigned long long>(line_of[id_earlier]));
  }
  if (barcode_repeats) {
    std::string letters;
    try {
      for (uint32_t j = 0; j < barcode_length; ++j) {
        letters += "ACGT"[(barcodes[barcode_later * words + (j >> 5)] >> (62 - 2 * (j & 31))) & 3];
      }
    } catch (const std::bad_alloc&) {
      fail_out_of_memory();
    }
    fail(kExitFailure, "Known barcodes file \"%s\", line %llu: barcode %s is also on line %llu\n", path,
         static_cast<unsigned long long>(line_of[barcode_later]), letters.c_str(),
         static_cast<unsigned long long>(line_of[barcode_earlier]));
  }
  release_work_block(kKnownLibraryLines);
}

void release_known_library(KnownLibrary* library) {
  if (library->barcodes != nullptr) {
    tracked_free(library->barcodes, library->count * library->barcode_words * sizeof(uint64_t));
    library->barcodes = nullptr;
  }
  if (library->ids != nullptr) {
    tracked_free(library->ids, library->count * sizeof(const char*));
    library->ids = nullptr;
  }
  if (library->groups != nullptr) {
    tracked_free(library->groups, library->count * sizeof(const char*));
    library->groups = nullptr;
  }
  if (library->text != nullptr) {
    tracked_free(library->text, library->text_bytes);
    library->text = nullptr;
  }
}
