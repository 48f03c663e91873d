#include "base/utf8_text.h"

int utf8_sequence_length(const unsigned char* text) {
  const unsigned char lead = text[0];
  int length;
  unsigned char second_low = 0x80;
  unsigned char second_high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) second_low = 0xa0;
    if (lead == 0xed) second_high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) second_low = 0x90;
    if (lead == 0xf4) second_high = 0x8f;
  } else {
    return 0;
  }
  if (text[1] < second_low || text[1] > second_high) return 0;
  for (int i = 2; i < length; ++i) {
    if ((text[i] & 0xc0) != 0x80) return 0;
  }
  return length;
}
