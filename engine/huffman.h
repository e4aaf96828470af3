// The adaptive 512-symbol prefix code of the format. Nothing about a code is transmitted:
// both sides rebuild every tree from the counts seen so far, so the sort order and the
// tie-breaks of a rebuild are part of the format. The packer's encoder uses this same model
// code, so both sides derive the same trees by construction.
//
//   huffman.cpp          init, the codes, the reference rebuild and the reference walk
//   huffman_rebuild.cpp  the fast rebuild that both sides use, in its phases
//   huffman_table.h/cpp  the lookup table and decoding through it
#pragma once
#include <stdint.h>

#include "engine/bit_reader.h"

constexpr int huffman_symbols = 512;
constexpr int huffman_node_count = 2 * huffman_symbols - 1;
constexpr int huffman_root = huffman_node_count - 1;

// Node i below 512 is the leaf of symbol i; the inner nodes follow in the order of creation.
struct huffman_node {
  int32_t count;
  int16_t child[2];   // node indices followed on a 0 and a 1 bit; -1 in a leaf
};

enum model_kind { literal_length_kind, distance_kind };

// Bits of the fast lookup: codes up to this length decode with one table access. In programs
// the literals and distances spread over codes of 9 to 12 bits, and with a 9-bit table a
// tenth of the literals and a third of the distances had to walk; the tenth bit saves more
// walking than the larger table costs to build at each rebuild.
constexpr int huffman_table_bits = 10;
// Table entries: a leaf is symbol | code length << 9; an entry whose code is longer than the
// table continues with a walk from inner node (entry & 0x3FF), which lies at the table's
// depth.
constexpr uint16_t huffman_table_walk = 0x8000;

struct huffman_model {
  int32_t counts[huffman_symbols];
  int32_t rank[huffman_symbols];
  huffman_node nodes[huffman_node_count];
  int16_t order[huffman_symbols];
  // The counts the last rebuild sorted, by symbol and in leaf order; the leaf order's
  // starts at sorted_counts[1], after a count no leaf reaches, so that the merge can look
  // one place beyond its last leaf.
  int32_t last_counts[huffman_symbols];
  int32_t sorted_counts[huffman_symbols + 1];
  uint16_t table[1 << huffman_table_bits];
  // Bits the current tree's table looks up: huffman_table_bits, fewer for a table that is
  // cheaper to build, or 0 for none (the encoder's models, which nothing decodes from).
  uint8_t table_bits;
};

void huffman_init(huffman_model& m, model_kind kind);
// The fast construction used by both sides: only the leaves counted since the last rebuild
// are sorted and merged into the kept order, and runs of equal counts are merged into the
// tree a run at a time. Yields the same tree as the reference, node for node, and a table of
// table_bits bits (1 to huffman_table_bits, or 0 for none).
// It continues from what huffman_init or the last huffman_rebuild left, with counts that have
// only grown since (as decoding and encoding grow them).
void huffman_rebuild(huffman_model& m, int table_bits = huffman_table_bits);
// The literal construction (bubble sort from the back, then the list merge that moves every
// new inner node forward), kept as the reference that the fast rebuild is tested against.
// Also builds the table. It leaves its merge list in order (the root first), so a model it
// rebuilt is rebuilt by it from then on.
void huffman_rebuild_reference(huffman_model& m);
// The literal decoding of one symbol: a walk of one node per bit from the root, over the
// plain reader. Counts the symbol.
int decode_symbol_reference(huffman_model& m, byte_bit_reader& r);
// Each symbol's code (first bit in bit 0) and length, from the current tree; for the encoder.
// Counts below 2^31 keep every code within 64 bits; a longer one gets length 0.
void huffman_codes(const huffman_model& m, uint64_t* code, uint8_t* length);

// Rebuild schedules. symbols_so_far: symbols decoded in the member before the next one;
// matches_so_far: matches decoded including the one just finished.
inline bool literal_length_due(int32_t symbols_so_far) {
  return symbols_so_far % 256 == 0 && (symbols_so_far < 2048 || symbols_so_far % 1024 == 0);
}
inline bool distance_due(int32_t matches_so_far) {
  return matches_so_far % 64 == 0 && (matches_so_far < 1024 || matches_so_far % 512 == 0);
}
