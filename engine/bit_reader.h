// The bits of a member's coded data: taken from the block stream, least significant bit of each
// byte first, a new byte only when one of its bits is needed. Two readers of the same bits: the
// decoder's buffered one, and the plain one of a byte at a time that it is tested against.
#pragma once
#include <stdint.h>
#include <string.h>

// The decoder's bit reader. It takes whole bytes from the block stream exactly as a reader of
// one byte at a time would (a byte is fetched only when one of its bits is needed), but
// looks ahead into the verified bytes of the current block through peek_stream_bytes to
// work on a 64-bit buffer. Bytes looked at but not used are not consumed; bit_reader_finish
// hands the used ones over, so the member record after the coded data starts at the right
// byte. A new block is fetched only when a bit of it is needed.
struct bit_reader {
  uint64_t buffer;        // unused bits, next bit in bit 0
  int32_t bits;           // valid bits in buffer
  const uint8_t* next;    // the current block's bytes not yet put into buffer
  const uint8_t* end;     // the end of the current block's verified bytes
  const uint8_t* start;   // the first byte put into buffer and not consumed
};
void bit_reader_reset(bit_reader& r);
// Consumes the bytes the member used (its last byte included, even when only partly used).
void bit_reader_finish(bit_reader& r);
// One bit; past the current block's bytes, the next block's first byte.
int read_bit(bit_reader& r);
// read_bits when the buffer, even topped up, holds fewer than n bits: bit by bit, across a
// block's end.
uint32_t read_bits_slow(bit_reader& r, int n);

// Tops the buffer up from the current block without consuming anything. Eight bytes at a
// time where the block has them: the bits loaded beyond `bits` are then the stream's next
// bits, so OR-ing them in again later changes nothing.
inline void bit_reader_fill(bit_reader& r) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the buffer load is little-endian");
  if (r.end - r.next >= 8) {
    uint64_t v;
    memcpy(&v, r.next, 8);
    r.buffer |= v << r.bits;
    // As many whole bytes as fit: the buffer then holds 56 to 63 bits.
    r.next += (uint32_t(r.bits) ^ 63) >> 3;
    r.bits |= 56;
    return;
  }
  while (r.bits <= 56 && r.next < r.end) {
    r.buffer |= uint64_t(*r.next++) << r.bits;
    r.bits += 8;
  }
}

// n up to 24; the first bit read is the least significant.
inline uint32_t read_bits(bit_reader& r, int n) {
  if (r.bits < n) {
    bit_reader_fill(r);
    if (r.bits < n) {
      // Through a copy, so that the caller's reader never has its address taken and can
      // live in registers.
      bit_reader t = r;
      uint32_t v = read_bits_slow(t, n);
      r = t;
      return v;
    }
  }
  uint32_t v = uint32_t(r.buffer) & ((1u << n) - 1);
  r.buffer >>= n;
  r.bits -= n;
  return v;
}

// The plain reader of one byte at a time: the reference the buffered one is compared with.
struct byte_bit_reader {
  uint8_t current;      // the byte being handed out, shifted right by the bits taken
  uint8_t bit_count;    // bits of it already taken, 0 to 7
};
void byte_bit_reader_reset(byte_bit_reader& r);
int read_bit(byte_bit_reader& r);
uint32_t read_bits(byte_bit_reader& r, int n);
