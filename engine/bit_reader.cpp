// Bits of the coded data, least significant bit of each byte first: the buffered reader and
// the plain one.
#include "engine/bit_reader.h"

#include "engine/block_reader.h"

// ---- The buffered reader --------------------------------------------------------------------

// The current block's verified bytes not yet handed out become the reader's to load.
static void take_block_bytes(bit_reader& r) {
  int32_t left = peek_stream_bytes(&r.next);
  r.start = r.next;
  r.end = r.next + left;
}

void bit_reader_reset(bit_reader& r) {
  r.buffer = 0;
  r.bits = 0;
  take_block_bytes(r);
}

void bit_reader_finish(bit_reader& r) {
  // Whole bytes still in the buffer were only looked at; a partly used byte counts as used.
  consume_stream_bytes(int32_t(r.next - r.start) - r.bits / 8);
  r.bits = 0;
  r.buffer = 0;
  r.start = r.end = r.next;
}

// Called with an empty buffer and the current block's bytes all loaded (and so all used):
// exactly where the plain reader asks read_stream_byte for the next byte, which refills and
// checks the next block or ends the process past the last byte.
static void next_block(bit_reader& r) {
  consume_stream_bytes(int32_t(r.next - r.start));
  r.buffer = read_stream_byte();
  r.bits = 8;
  take_block_bytes(r);
}

int read_bit(bit_reader& r) {
  if (r.bits == 0) {
    bit_reader_fill(r);
    if (r.bits == 0) next_block(r);
  }
  int bit = int(r.buffer & 1);
  r.buffer >>= 1;
  r.bits--;
  return bit;
}

uint32_t read_bits_slow(bit_reader& r, int n) {
  uint32_t v = 0;
  for (int j = 0; j < n; j++) v |= uint32_t(read_bit(r)) << j;
  return v;
}

// ---- The plain reader -----------------------------------------------------------------------

void byte_bit_reader_reset(byte_bit_reader& r) { r.bit_count = 0; }

int read_bit(byte_bit_reader& r) {
  if (r.bit_count == 0) r.current = read_stream_byte();
  int bit = r.current & 1;
  r.current >>= 1;
  r.bit_count = uint8_t((r.bit_count + 1) % 8);
  return bit;
}

uint32_t read_bits(byte_bit_reader& r, int n) {
  uint32_t v = 0;
  for (int j = 0; j < n; j++) v |= uint32_t(read_bit(r)) << j;
  return v;
}
