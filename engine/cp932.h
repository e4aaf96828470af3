// The byte structure of code page 932, the encoding of every text and name in an archive:
// single bytes 0x00-0x7F and 0xA1-0xDF; lead bytes 0x81-0x9F and 0xE0-0xFC, each followed by
// a trail byte 0x40-0x7E or 0x80-0xFC. The remaining single bytes (0x80, 0xA0, 0xFD-0xFF) are
// no character: Windows' table maps them to private characters and the POSIX side's refuses
// them, so both sides refuse them as damage. Whether a double-byte code is assigned is the
// conversion's business, not these tests'.
#pragma once
#include <stdint.h>

// Opens a double-byte character; the byte after it belongs to the same character.
inline constexpr bool cp932_is_lead(uint8_t b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// May follow a lead byte. Includes 0x5C and 0x7C: such a byte is part of its character, not a
// separator or a bar.
inline constexpr bool cp932_is_trail(uint8_t b) {
  return b >= 0x40 && b <= 0xFC && b != 0x7F;
}

// A byte that is neither a character on its own nor a lead byte.
inline constexpr bool cp932_is_unassigned_single(uint8_t b) {
  return b == 0x80 || b == 0xA0 || b >= 0xFD;
}
