// The symbol side of the encoder: both models of one member with the codes of their
// current trees, sending each symbol with the code in use and counting it afterwards, and
// rebuilding at the points where the decoder does.
#pragma once
#include <stdint.h>

#include "engine/huffman.h"
#include "packer/encoder_bits.h"

struct symbol_coder {
  huffman_model literal_length;
  huffman_model distance;
  uint64_t literal_code[huffman_symbols];
  uint8_t literal_bits[huffman_symbols];
  uint64_t distance_code[huffman_symbols];
  uint8_t distance_bits[huffman_symbols];
  int32_t symbols = 0;
  int32_t matches = 0;
  int32_t rebuilt_at = -1;
  bit_writer out;
};

inline void coder_start(symbol_coder& c) {
  huffman_init(c.literal_length, literal_length_kind);
  huffman_init(c.distance, distance_kind);
  huffman_rebuild(c.distance, 0);
  huffman_codes(c.distance, c.distance_code, c.distance_bits);
  c.symbols = 0;
  c.matches = 0;
  c.rebuilt_at = -1;
  c.out.bytes.clear();
  c.out.pending = 0;
  c.out.pending_bits = 0;
}

// The decoder rebuilds before the symbol when due; prices need the tree of that point.
inline void coder_prepare(symbol_coder& c) {
  if (c.rebuilt_at != c.symbols && literal_length_due(c.symbols)) {
    huffman_rebuild(c.literal_length, 0);
    huffman_codes(c.literal_length, c.literal_code, c.literal_bits);
    c.rebuilt_at = c.symbols;
  }
}

inline void put_literal(symbol_coder& c, uint8_t b) {
  coder_prepare(c);
  put_bits(c.out, c.literal_code[b], c.literal_bits[b]);
  c.literal_length.counts[b]++;
  c.symbols++;
}

inline void put_match(symbol_coder& c, int32_t length, int32_t distance) {
  coder_prepare(c);
  int symbol = length <= 256 ? length + 254 : 511;
  put_bits(c.out, c.literal_code[symbol], c.literal_bits[symbol]);
  c.literal_length.counts[symbol]++;
  if (symbol == 511) put_bits(c.out, uint64_t(length - 257), 12);
  int high = (distance - 1) >> 5;
  put_bits(c.out, c.distance_code[high], c.distance_bits[high]);
  c.distance.counts[high]++;
  put_bits(c.out, uint64_t((distance - 1) & 31), 5);
  c.matches++;
  if (distance_due(c.matches)) {
    huffman_rebuild(c.distance, 0);
    huffman_codes(c.distance, c.distance_code, c.distance_bits);
  }
  c.symbols++;
}

inline int32_t literal_price(const symbol_coder& c, uint8_t b) { return c.literal_bits[b]; }

inline int32_t match_price(const symbol_coder& c, int32_t length, int32_t distance) {
  int symbol = length <= 256 ? length + 254 : 511;
  return c.literal_bits[symbol] + (symbol == 511 ? 12 : 0) +
         c.distance_bits[(distance - 1) >> 5] + 5;
}
