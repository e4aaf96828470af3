// Tree construction for the adaptive models. The tie-breaks are part of the format: leaves
// of equal count keep their order from the previous rebuild, and in the merge list a new
// inner node ranks after every entry of equal count (leaves and older inner nodes).
#include "engine/huffman.h"

#include <string.h>

void huffman_init(huffman_model& m, model_kind kind) {
  for (int i = 0; i < huffman_symbols; i++) {
    m.counts[i] = (kind == distance_kind && i < 64) ? 2 : 1;
    m.rank[i] = i;
    m.order[i] = int16_t(i);
    // The count the leaf was last sorted with: the next rebuild places only changed ones.
    m.nodes[i].count = m.counts[i];
    m.nodes[i].child[0] = -1;
    m.nodes[i].child[1] = -1;
  }
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

// Depth-first numbering from the root: every inner node's children have lower indices, so
// one pass from the root down sees each parent before its children. Codes no longer than
// the table fill their share of it directly; at table depth an inner node fills its share
// with a pointer that the decoder continues from.
static void build_table(huffman_model& m) {
  uint8_t depth[huffman_node_count];
  uint16_t prefix[huffman_node_count];
  // Nodes at table depth and below are reached only by the walk: they keep this mark.
  memset(depth, huffman_table_bits, sizeof depth);
  depth[huffman_root] = 0;
  prefix[huffman_root] = 0;
  for (int n = huffman_root; n >= huffman_symbols; n--) {
    int d = depth[n];
    if (d >= huffman_table_bits) continue;
    for (int bit = 0; bit < 2; bit++) {
      int c = bit ? m.nodes[n].child[1] : m.nodes[n].child[0];
      int cd = d + 1;
      depth[c] = uint8_t(cd);
      uint16_t code = uint16_t(prefix[n] | (bit << d));
      prefix[c] = code;
      uint16_t entry;
      if (c < huffman_symbols)
        entry = uint16_t(c | cd << 9);
      else if (cd == huffman_table_bits)
        entry = uint16_t(huffman_table_walk | c);
      else
        continue;
      for (int i = code; i < (1 << huffman_table_bits); i += 1 << cd) m.table[i] = entry;
    }
  }
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
  m.table_ready = true;
  build_table(m);
}

// Descending on unique keys; a half already in order costs one comparison, so the leaf order
// kept from the previous rebuild makes this nearly linear once counts settle.
static void sort_descending(uint64_t* key) {
  uint64_t left[huffman_symbols / 2];
  for (int width = 1; width < huffman_symbols; width *= 2) {
    for (int lo = 0; lo < huffman_symbols; lo += 2 * width) {
      int mid = lo + width, hi = lo + 2 * width;
      if (key[mid - 1] > key[mid]) continue;
      memcpy(left, key + lo, size_t(width) * sizeof(uint64_t));
      int i = 0, j = mid, k = lo;
      while (i < width && j < hi) key[k++] = key[j] > left[i] ? key[j++] : left[i++];
      while (i < width) key[k++] = left[i++];
    }
  }
}

// The merge list of the reference is, at every round, the sorted leaves interleaved with the
// inner nodes, largest count first; among equal counts the leaves come first, then the inner
// nodes oldest first. Its last entry is therefore the newest inner node of the smallest
// inner count when that count does not exceed the smallest leaf's, else the smallest leaf.
// Inner nodes are made with counts that never decrease, so the remaining ones are a run of
// equal smallest count (taken newest first, [lo, hi)) followed by the rest ([next, tail)).
void huffman_rebuild(huffman_model& m, bool with_table) {
  // The stable sort by count is a plain sort on count, then position in the previous order.
  // Counts stay below 2^31 (the decoder refuses members long enough to come near it).
  // Leaves whose count has not changed since the last rebuild (their leaf node still holds
  // it) keep their relative order and so stay sorted among themselves; only the ones counted
  // since need placing, and between two rebuilds those are at most a few hundred. They are
  // sorted apart and merged in. Should the unchanged ones not be in order after all (counts
  // set by hand), everything goes through the full sort.
  uint64_t key[huffman_symbols], moved[huffman_symbols];
  int16_t* order = m.order;
  // The previous leaf order: left in order by init and by this function; the reference
  // leaves its merge list there instead (the root first), and then it comes from the ranks.
  if (order[0] >= huffman_symbols)
    for (int i = 0; i < huffman_symbols; i++) order[m.rank[i]] = int16_t(i);
  int kept = 0, moved_count = 0;
  bool in_order = true;
  for (int p = 0; p < huffman_symbols; p++) {
    int s = order[p];
    int32_t c = m.counts[s];
    uint64_t k = uint64_t(uint32_t(c)) << 18 | uint64_t(huffman_symbols - 1 - p) << 9 | uint64_t(s);
    if (c == m.nodes[s].count) {
      if (kept > 0 && key[kept - 1] < k) in_order = false;
      key[kept++] = k;
    } else {
      // Insertion from the back; counts only grow, so few of them move far.
      int j = moved_count++;
      while (j > 0 && moved[j - 1] < k) {
        moved[j] = moved[j - 1];
        j--;
      }
      moved[j] = k;
      m.nodes[s].count = c;
    }
  }
  if (!in_order) {
    for (int p = 0; p < huffman_symbols; p++) {
      int s = order[p];
      m.nodes[s].count = m.counts[s];
      key[p] = uint64_t(uint32_t(m.counts[s])) << 18 | uint64_t(huffman_symbols - 1 - p) << 9 |
               uint64_t(s);
    }
    sort_descending(key);
    kept = huffman_symbols;
    moved_count = 0;
  }
  // Both lists are descending: merged from the smallest end.
  int32_t leaf_counts[huffman_symbols];
  for (int i = kept - 1, j = moved_count - 1, p = huffman_symbols - 1; p >= 0; p--) {
    uint64_t k = j < 0 || (i >= 0 && key[i] < moved[j]) ? key[i--] : moved[j--];
    int symbol = int(k & (huffman_symbols - 1));
    order[p] = int16_t(symbol);
    m.rank[symbol] = p;
    leaf_counts[p] = int32_t(k >> 18);
  }

  int16_t queue[huffman_symbols];
  int32_t queue_counts[huffman_symbols];
  int lo = 0, hi = 0, next = 0, tail = 0;
  int leaf = huffman_symbols - 1;
  huffman_node* nodes = m.nodes;
  // The smallest remaining leaf and inner counts; INT32_MAX for none.
  int32_t leaf_count = leaf_counts[leaf];
  int32_t inner_count = INT32_MAX;
  for (int index = huffman_symbols; index < huffman_node_count; index++) {
    int16_t taken[2];
    int32_t sum = 0;
    if (leaf >= 1 && leaf_counts[leaf - 1] < inner_count) {
      // The two smallest leaves, both below every inner count (the common case while many
      // symbols still have their first count).
      taken[0] = order[leaf];
      taken[1] = order[leaf - 1];
      sum = leaf_count + leaf_counts[leaf - 1];
      leaf -= 2;
      leaf_count = leaf >= 0 ? leaf_counts[leaf] : INT32_MAX;
    } else if (hi - lo >= 2 && inner_count <= leaf_count) {
      // The two newest of the current run.
      taken[0] = queue[hi - 1];
      taken[1] = queue[hi - 2];
      hi -= 2;
      sum = 2 * inner_count;
      if (lo == hi) inner_count = next < tail ? queue_counts[next] : INT32_MAX;
    } else for (int t = 0; t < 2; t++) {
      if (inner_count <= leaf_count) {
        if (lo == hi) {
          lo = next;
          hi = next + 1;
          while (hi < tail && queue_counts[hi] == inner_count) hi++;
          next = hi;
        }
        taken[t] = queue[--hi];
        sum += inner_count;
        if (lo == hi) inner_count = next < tail ? queue_counts[next] : INT32_MAX;
      } else {
        taken[t] = order[leaf];
        sum += leaf_count;
        leaf--;
        leaf_count = leaf >= 0 ? leaf_counts[leaf] : INT32_MAX;
      }
    }
    huffman_node& n = nodes[index];
    n.count = sum;
    n.child[0] = taken[1];
    n.child[1] = taken[0];
    if (lo < hi && next == tail && sum == inner_count) {
      // Joins the current run as its newest member; the slot at hi is free (already taken).
      queue[hi] = int16_t(index);
      queue_counts[hi] = sum;
      hi++;
      if (hi > tail) tail = hi;
      next = tail;
    } else {
      queue[tail] = int16_t(index);
      queue_counts[tail] = sum;
      tail++;
      if (inner_count == INT32_MAX) inner_count = sum;
    }
  }
  m.table_ready = with_table;
  if (with_table) build_table(m);
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
