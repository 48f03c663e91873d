// The library of known barcodes (--known FILE): one header line, then one
// entry a line, fields separated by the header's first tab or comma: an id,
// the barcode's bases, optionally a group; further fields are ignored. Read
// whole (plain or gzip) and checked before any output file is created.
#pragma once

#include <cstdint>

struct KnownLibrary {
  char* text;              // the file's bytes (inflated) and a closing NUL; ids and groups point into it
  uint64_t text_bytes;     // size text was allocated with
  uint64_t count;          // entries, in line order
  uint32_t barcode_words;  // 64-bit words per packed barcode
  uint64_t* barcodes;      // count * barcode_words words, packed as the reads' barcodes are
  const char** ids;        // count ids, NUL-closed in text
  const char** groups;     // count groups, "" without a third field
};

// The most entries a library may hold: an entry's number must fit beside the
// flags of a read's assignment.
constexpr uint64_t kMaxKnownEntries = (1ull << 29) - 2;

// Reads and checks the library at path for barcodes of barcode_length bases;
// on any fault prints one message naming the file (and the line) and exits
// with 1. Fills *library with tracked blocks that release_known_library gives back.
void read_known_library(KnownLibrary* library, const char* path, uint32_t barcode_length);

// Releases what read_known_library took, each block at most once.
void release_known_library(KnownLibrary* library);
