// The lookup table: made from the tree a level at a time, and read by the decoder.
#include "engine/huffman_table.h"

#include <string.h>

// The table is made a level at a time. After level d it holds, for every d-bit index, the
// node those bits reach within d steps: a leaf with its code length, or an inner node at
// depth d. Level d + 1 repeats that half (an index's bit d cannot change what fewer bits
// reach), then puts the two children of each inner node at depth d into its two slots. So
// each inner node above table depth is visited once, with no test per table entry.
void huffman_build_table(huffman_model& m) {
  const int bits = m.table_bits;
  uint16_t* table = m.table;
  // The inner nodes at the current depth, each with its code above it (node | code << 16),
  // then those one level down.
  uint32_t level[2][1 << huffman_table_bits];
  int level_count = 1;
  level[0][0] = huffman_root;
  int d = 0;
  for (; d < bits && level_count > 0; d++) {
    if (d > 0) memcpy(table + (1 << d), table, sizeof(uint16_t) << d);
    const uint32_t* here = level[d & 1];
    uint32_t* below = level[(d + 1) & 1];
    int below_count = 0;
    const uint16_t leaf_bits = uint16_t((d + 1) << 9);
    // Children at table depth become the walk's starting points; at the last level they
    // are not pushed.
    const bool push = d + 1 < bits;
    for (int k = 0; k < level_count; k++) {
      uint32_t node = here[k] & 0xFFFF, code = here[k] >> 16;
      uint32_t children;
      memcpy(&children, m.nodes[node].child, sizeof children);
      uint32_t child0 = children & 0xFFFF, child1 = children >> 16;
      uint32_t at1 = code | 1u << d;
      table[code] = uint16_t(child0 | (child0 >= huffman_symbols ? huffman_table_walk : leaf_bits));
      table[at1] = uint16_t(child1 | (child1 >= huffman_symbols ? huffman_table_walk : leaf_bits));
      if (push) {
        below[below_count] = child0 | code << 16;
        below_count += child0 >= huffman_symbols;
        below[below_count] = child1 | at1 << 16;
        below_count += child1 >= huffman_symbols;
      }
    }
    level_count = below_count;
  }
  // Every code ended above table depth: the rest repeats what is there.
  for (; d < bits; d++) memcpy(table + (1 << d), table, sizeof(uint16_t) << d);
}

int decode_symbol_slow(huffman_model& m, bit_reader& r) {
  int node = huffman_root;
  int bits = m.table_bits;
  if (r.bits >= bits) {
    uint16_t entry = m.table[r.buffer & ((1u << bits) - 1)];
    if (entry & huffman_table_walk) {
      // A code longer than the table: continue from the node at table depth.
      r.buffer >>= bits;
      r.bits -= bits;
      node = entry & 0x3FF;
    } else {
      // A short table and a buffer too short for the fast path, but long enough here.
      int length = entry >> 9;
      r.buffer >>= length;
      r.bits -= length;
      node = entry & (huffman_symbols - 1);
    }
  }
  // One node per bit; a new byte (and block) only when a bit is needed.
  const huffman_node* nodes = m.nodes;
  while (node >= huffman_symbols) node = nodes[node].child[read_bit(r)];
  m.counts[node]++;
  return node;
}
