// The adaptive models: their first state, the literal rebuild and walk that the fast paths
// are tested against, and the codes the encoder sends. The tie-breaks are part of the format:
// leaves of equal count keep their order from the previous rebuild, and in the merge list a
// new inner node ranks after every entry of equal count (leaves and older inner nodes).
#include "engine/huffman.h"

#include "engine/huffman_table.h"

void huffman_init(huffman_model& m, model_kind kind) {
  for (int i = 0; i < huffman_symbols; i++) {
    m.counts[i] = (kind == distance_kind && i < 64) ? 2 : 1;
    m.rank[i] = i;
    m.order[i] = int16_t(i);
    m.nodes[i].count = m.counts[i];
    // The counts the last rebuild sorted, by symbol and by position: the next rebuild
    // places only the symbols whose count differs.
    m.last_counts[i] = m.counts[i];
    m.sorted_counts[i + 1] = m.counts[i];
    m.nodes[i].child[0] = -1;
    m.nodes[i].child[1] = -1;
  }
  m.sorted_counts[0] = INT32_MAX;
}

// Leaves keep their symbol (their index) and their missing children from huffman_init.
static void place_leaves(huffman_model& m) {
  for (int i = 0; i < huffman_symbols; i++) {
    m.nodes[i].count = m.counts[i];
    m.order[m.rank[i]] = int16_t(i);
  }
}

static void set_inner(huffman_model& m, int index, int16_t child0, int16_t child1) {
  huffman_node& n = m.nodes[index];
  n.count = m.nodes[child0].count + m.nodes[child1].count;
  n.child[0] = child0;
  n.child[1] = child1;
}

void huffman_rebuild_reference(huffman_model& m) {
  place_leaves(m);
  int16_t* order = m.order;
  auto count = [&](int p) { return m.nodes[order[p]].count; };

  int start = 0;
  for (;;) {
    int lowest = -1;
    for (int j = huffman_symbols - 2; j >= start; j--) {
      if (count(j) < count(j + 1)) {
        int16_t t = order[j];
        order[j] = order[j + 1];
        order[j + 1] = t;
        lowest = j;
      }
    }
    if (lowest < 0) break;
    start = lowest + 1;
    if (start > huffman_symbols - 2) break;
  }
  for (int p = 0; p < huffman_symbols; p++) m.rank[order[p]] = p;

  for (int k = huffman_symbols - 1; k >= 1; k--) {
    if (k < huffman_symbols - 1) {
      int16_t fresh = order[k];
      int c = m.nodes[fresh].count;
      int j = k;
      while (j > 0 && count(j - 1) < c) {
        order[j] = order[j - 1];
        j--;
      }
      order[j] = fresh;
    }
    int index = huffman_node_count - k;
    set_inner(m, index, order[k - 1], order[k]);
    order[k - 1] = int16_t(index);
  }
  m.table_bits = huffman_table_bits;
  huffman_build_table(m);
}

int decode_symbol_reference(huffman_model& m, byte_bit_reader& r) {
  int node = huffman_root;
  do {
    node = m.nodes[node].child[read_bit(r)];
  } while (node >= huffman_symbols);
  m.counts[node]++;
  return node;
}

void huffman_codes(const huffman_model& m, uint64_t* code, uint8_t* length) {
  uint64_t node_code[huffman_node_count];
  uint8_t node_depth[huffman_node_count];
  node_code[huffman_root] = 0;
  node_depth[huffman_root] = 0;
  for (int n = huffman_root; n >= huffman_symbols; n--) {
    int d = node_depth[n];
    int c0 = m.nodes[n].child[0], c1 = m.nodes[n].child[1];
    uint8_t cd = d >= 64 ? 255 : uint8_t(d + 1);
    node_depth[c0] = node_depth[c1] = cd;
    node_code[c0] = node_code[n];
    node_code[c1] = d < 64 ? node_code[n] | uint64_t(1) << d : 0;
  }
  for (int s = 0; s < huffman_symbols; s++) {
    code[s] = node_code[s];
    length[s] = node_depth[s] > 64 ? 0 : node_depth[s];
  }
}
