// The lookup table of a model's current tree and decoding through it: codes of up to
// table_bits bits take one table access, longer ones continue with a walk from the node the
// table reaches. Every model the decoder reads from has a table (only the encoder's have
// none), and decoding needs one.
#pragma once
#include <stdint.h>

#include "engine/bit_reader.h"
#include "engine/huffman.h"

// The table of m.table_bits bits (1 to huffman_table_bits) for the tree in m.nodes; the
// rebuilds end with it.
void huffman_build_table(huffman_model& m);

// The table miss and the short buffer: what the table resolves, then the walk of one node
// per bit, across a block's end. Counts the symbol.
int decode_symbol_slow(huffman_model& m, bit_reader& r);

// decode_symbol_slow through a copy of the reader, as read_bits does.
inline int decode_symbol_slow_copy(huffman_model& m, bit_reader& r) {
  bit_reader t = r;
  int symbol = decode_symbol_slow(m, t);
  r = t;
  return symbol;
}

// Decodes one symbol through a table of table_bits bits, which the model must have (the
// decoder calls this with a constant for the literal/length model, whose table is always
// full), and counts it.
__attribute__((always_inline)) inline int decode_symbol_with_table(huffman_model& m, bit_reader& r,
                                                                    int table_bits) {
  // Topped up every time: within a block that is a few instructions without a branch, where
  // testing first would be a branch that goes either way every few symbols.
  bit_reader_fill(r);
  if (r.bits >= huffman_table_bits) {
    uint16_t entry = m.table[r.buffer & ((1u << table_bits) - 1)];
    if (!(entry & huffman_table_walk)) {
      int length = entry >> 9;
      r.buffer >>= length;
      r.bits -= length;
      int symbol = entry & (huffman_symbols - 1);
      m.counts[symbol]++;
      return symbol;
    }
    // A code longer than a short table: the rest of the walk here, while the buffer holds
    // enough bits for any code that occurs in practice; the slow path starts over otherwise.
    if (r.bits >= 32) {
      uint64_t buffer = r.buffer >> table_bits;
      int node = entry & 0x3FF;
      int limit = r.bits - table_bits;
      int used = 0;
      do {
        node = m.nodes[node].child[buffer & 1];
        buffer >>= 1;
        used++;
      } while (node >= huffman_symbols && used < limit);
      if (node < huffman_symbols) {
        r.buffer = buffer;
        r.bits = limit - used;
        m.counts[node]++;
        return node;
      }
    }
  }
  return decode_symbol_slow_copy(m, r);
}

// Decodes one symbol through the model's table and counts it.
inline int decode_symbol(huffman_model& m, bit_reader& r) {
  return decode_symbol_with_table(m, r, m.table_bits);
}
