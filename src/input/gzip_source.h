// gzip data (first bytes 1f 8b) inflated with ISA-L: one member or several
// one after the other (as concatenated files and block-gzip tools write them).
#pragma once

#include <memory>

#include "input/byte_source.h"

[[nodiscard]] bool is_gzip_magic(const unsigned char* head, size_t head_size);

// The size of the inflated data as the last member's trailer tells it (mod
// 2^32), bounded by what the compressed size allows: exact for the usual
// single-member file, a hint that the growth corrects otherwise; 0 when the
// input is not a regular file. *at_least: what sound data inflates to at
// least, as far as the trailer tells it and at most 32 times the compressed
// size (a file that claims more may be lying); 0 when the hint is a guess.
[[nodiscard]] uint64_t gzip_size_hint(int fd, uint64_t* at_least);

// on_worker: one of several inputs loaded at once, each on a worker: its
// block-gzip members are inflated on that worker alone, with no helpers.
[[nodiscard]] std::unique_ptr<ByteSource> make_gzip_source(const OpenInput& input, bool on_worker = false);
