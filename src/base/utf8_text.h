// The one check of UTF-8 text, shared by every output that carries a path or a
// read name: the stats file escapes what fails it, the page shows U+FFFD.
#pragma once

// Bytes of the well-formed UTF-8 sequence that text begins with (2 to 4; no
// overlong forms, no surrogates, nothing past U+10FFFF), or 0 for a byte that
// begins none, ASCII included. Reads no byte past a NUL.
[[nodiscard]] int utf8_sequence_length(const unsigned char* text);
