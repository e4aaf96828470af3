// The adaptive 512-symbol prefix code of the format and the bit reader under it. Nothing
// about a code is transmitted: both sides rebuild every tree from the counts seen so far, so
// the sort order and the tie-breaks of rebuild() are part of the format. The packer's encoder
// uses this same model code, so both sides derive the same trees by construction.
#pragma once
#include <stdint.h>

constexpr int huffman_symbols = 512;

struct huffman_node {
  int32_t symbol;
  int32_t count;
  int16_t child0;   // node index followed on a 0 bit; -1 in a leaf
  int16_t child1;
};

enum model_kind { literal_length_kind, distance_kind };

// Bits of the fast lookup: codes up to this length decode with one table access.
constexpr int huffman_table_bits = 10;

struct huffman_model {
  int32_t counts[huffman_symbols];
  int32_t rank[huffman_symbols];
  huffman_node nodes[2 * huffman_symbols - 1];
  int16_t order[huffman_symbols];
  // Derived from the tree at every rebuild: each symbol's code (first bit in bit 0) and
  // length, for the encoder; and the decoding table for the decoder.
  uint32_t code[huffman_symbols];
  uint8_t code_length[huffman_symbols];   // 0 when longer than 32 bits (encoder never emits)
  uint16_t table[1 << huffman_table_bits];
};

void huffman_init(huffman_model& m, model_kind kind);
void huffman_rebuild(huffman_model& m);
// The literal construction, kept as the reference that the fast rebuild is tested against.
void huffman_rebuild_reference(huffman_model& m);

// Rebuild schedules. symbols_so_far: symbols decoded in the member before the next one;
// matches_so_far: matches decoded including the one just finished.
inline bool literal_length_due(int32_t symbols_so_far) {
  return symbols_so_far % 256 == 0 && (symbols_so_far < 2048 || symbols_so_far % 1024 == 0);
}
inline bool distance_due(int32_t matches_so_far) {
  return matches_so_far % 64 == 0 && (matches_so_far < 1024 || matches_so_far % 512 == 0);
}

struct bit_reader {
  uint8_t current;      // the byte being handed out, shifted right by the bits taken
  uint8_t bit_count;    // bits of it already taken, 0 to 7
};
void bit_reader_reset(bit_reader& r);
int read_bit(bit_reader& r);
uint32_t read_bits(bit_reader& r, int n);
// Decodes one symbol and counts it. The plain walk, one node per bit, is the reference;
// decode_symbol may take the table path.
int decode_symbol(huffman_model& m, bit_reader& r);
int decode_symbol_reference(huffman_model& m, bit_reader& r);
