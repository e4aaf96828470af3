// How much of a run of UTF-8 bytes can be converted now: what is written to a Windows console
// in pieces may end inside a character, whose first bytes wait for the rest.
#pragma once
#include <stddef.h>

// The length of bytes[0, n) without a character cut short at its end (at most 3 bytes, the
// start of a sequence whose remaining bytes have not come yet). Bytes that are no UTF-8 at all
// count as whole: they are shown as U+FFFD, never held back.
inline size_t utf8_whole_length(const char* bytes, size_t n) {
  for (size_t back = 1; back <= 3 && back <= n; back++) {
    unsigned char c = static_cast<unsigned char>(bytes[n - back]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    size_t needed = c >= 0xF5 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 1;
    return needed > back ? n - back : n;
  }
  return n;
}
