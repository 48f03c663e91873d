// zstd data (first bytes 28 b5 2f fd) decompressed frame after frame.
#pragma once

#include <memory>

#include "input/byte_source.h"

[[nodiscard]] bool is_zstd_magic(const unsigned char* head, size_t head_size);

[[nodiscard]] std::unique_ptr<ByteSource> make_zstd_source(const OpenInput& input);
