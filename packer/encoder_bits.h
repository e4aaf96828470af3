// The writing side of the bit reader: least significant bit of each byte first, the last
// byte padded with zero bits.
#pragma once
#include <stdint.h>
#include <vector>

struct bit_writer {
  std::vector<uint8_t> bytes;
  uint64_t pending = 0;   // bits not yet in bytes, first bit in bit 0
  int pending_bits = 0;   // below 8 between calls
};

inline void put_bits(bit_writer& w, uint64_t value, int count) {
  // Codes run up to 64 bits: take them 32 at a time.
  while (count > 0) {
    int n = count > 32 ? 32 : count;
    uint64_t part = value & ((uint64_t(1) << n) - 1);
    w.pending |= part << w.pending_bits;
    w.pending_bits += n;
    while (w.pending_bits >= 8) {
      w.bytes.push_back(uint8_t(w.pending));
      w.pending >>= 8;
      w.pending_bits -= 8;
    }
    value = n == 64 ? 0 : value >> n;
    count -= n;
  }
}

inline void finish_bits(bit_writer& w) {
  if (w.pending_bits > 0) w.bytes.push_back(uint8_t(w.pending));
  w.pending = 0;
  w.pending_bits = 0;
}

// Bits written so far.
inline uint64_t bits_written(const bit_writer& w) {
  return uint64_t(w.bytes.size()) * 8 + uint64_t(w.pending_bits);
}
