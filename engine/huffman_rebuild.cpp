// The fast rebuild, which the decoder and the encoder both use. It makes the same tree as
// huffman_rebuild_reference, node for node, in five phases:
//
//   find_moved     the leaves whose count changed since the last rebuild
//   collect_moved  their sort keys, in the previous leaf order
//   sort_moved     the keys sorted: by insertion when nearly in order, else by radix
//   merge_moved    the moved leaves merged with the kept ones into the new leaf order
//   build_tree     the inner nodes, whole runs of equal counts at a time
//
// and then the table (huffman_table.cpp). The tie-breaks are part of the format: leaves of
// equal count keep their order from the previous rebuild, and in the merge list a new inner
// node ranks after every entry of equal count (leaves and older inner nodes).
//
// What a rebuild leaves for the next: the leaf order in m.order, each leaf's position in
// m.rank, the counts it sorted by symbol (m.last_counts) and in leaf order
// (m.sorted_counts[1..512]). Counts only grow between rebuilds, so a leaf whose count did not
// change keeps its order among the others like it, and only the moved ones need placing.
#include "engine/huffman.h"

#include <string.h>

#include "engine/config.h"
#include "engine/huffman_table.h"
#if VANTREL_USE_SSE2
#include <emmintrin.h>
#endif

// ---- Sets of leaves as bit masks ------------------------------------------------------------

// Bit j set where a[j] != b[j], for j from 0 to 31: a pass the processor does four at a
// time where it has SSE2.
static inline uint32_t differing(const int32_t* a, const int32_t* b) {
#if VANTREL_USE_SSE2
  uint32_t same = 0;
  for (int j = 0; j < 32; j += 4) {
    __m128i eq = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + j)),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + j)));
    same |= uint32_t(_mm_movemask_ps(_mm_castsi128_ps(eq))) << j;
  }
  return ~same;
#else
  uint32_t bits = 0;
  for (int j = 0; j < 32; j++) bits |= uint32_t(a[j] != b[j]) << j;
  return bits;
#endif
}

// Sets of leaves or positions as bit masks in machine words: a loop over a word's set bits
// ends in a mispredicted branch, so the wider the words, the fewer of those.
typedef uintptr_t mask_word;
constexpr int mask_bits = int(sizeof(mask_word) * 8);
constexpr int mask_words = huffman_symbols / mask_bits;
static inline int lowest_set(uint32_t bits) { return __builtin_ctz(bits); }
static inline int lowest_set(uint64_t bits) { return __builtin_ctzll(bits); }
static inline int highest_set(uint32_t bits) { return 31 - __builtin_clz(bits); }
static inline int highest_set(uint64_t bits) { return 63 - __builtin_clzll(bits); }
// differing for the w-th word of a mask.
static inline mask_word differing_word(const int32_t* a, const int32_t* b, int w) {
  mask_word bits = 0;
  for (int half = 0; half < mask_bits; half += 32)
    bits |= mask_word(differing(a + mask_bits * w + half, b + mask_bits * w + half)) << half;
  return bits;
}

// ---- The leaf order --------------------------------------------------------------------------

// The stable sort by count is a plain sort on count, then position in the previous order.
// Leaves whose count has not changed since the last rebuild stay sorted among themselves; only
// the ones counted since need placing, and between two rebuilds those are at most a few
// hundred. Counts stay below 2^31 (the decoder refuses members long enough to come near it),
// so a 64-bit key holds count, position and symbol: count << 18 | (511 - previous position)
// << 9 | symbol, the larger key first in the leaf order.
struct moved_leaves {
  mask_word at[mask_words];   // the moved leaves by previous position
  int deepest;                // the last previous position with a moved leaf, or -1
  int count;
  uint32_t low, high;         // the smallest and the largest count among them
  uint64_t* keys;             // their keys: in previous order, then sorted (largest first)
  uint64_t key_space[2][huffman_symbols];
};

static inline int32_t key_count(uint64_t key) { return int32_t(key >> 18); }
static inline int key_symbol(uint64_t key) { return int(key & (huffman_symbols - 1)); }

// Phase 1. The leaves whose count differs from the one the last rebuild sorted, marked by
// their previous position; their new counts go into last_counts and their leaves.
static void find_moved(huffman_model& m, moved_leaves& mv) {
  mask_word changed[mask_words];
  for (int w = 0; w < mask_words; w++) changed[w] = differing_word(m.counts, m.last_counts, w);
  int deepest = -1;
  for (int w = 0; w < mask_words; w++) mv.at[w] = 0;
  for (int w = 0; w < mask_words; w++) {
    for (mask_word bits = changed[w]; bits != 0; bits &= bits - 1) {
      int s = mask_bits * w + lowest_set(bits);
      int p = m.rank[s];
      mv.at[p / mask_bits] |= mask_word(1) << (p % mask_bits);
      if (p > deepest) deepest = p;
      m.last_counts[s] = m.counts[s];
      m.nodes[s].count = m.counts[s];
    }
  }
  mv.deepest = deepest;
}

// Phase 2. The moved leaves' keys, in previous order (so that sorting them stably by count
// alone puts them in key order), and the spread of their counts.
static void collect_moved(const huffman_model& m, moved_leaves& mv) {
  uint64_t* keys = mv.keys = mv.key_space[0];
  int count = 0;
  uint32_t low = UINT32_MAX, high = 0;
  for (int w = 0; w < mask_words; w++) {
    for (mask_word bits = mv.at[w]; bits != 0; bits &= bits - 1) {
      int p = mask_bits * w + lowest_set(bits);
      int s = m.order[p];
      uint32_t c = uint32_t(m.counts[s]);
      low = c < low ? c : low;
      high = c > high ? c : high;
      keys[count++] = uint64_t(c) << 18 | uint64_t(huffman_symbols - 1 - p) << 9 | uint64_t(s);
    }
  }
  mv.count = count;
  mv.low = low;
  mv.high = high;
}

// Phase 3. The keys sorted, largest first.
//
// A few keys, or keys whose counts spread wide, which happens later in a member: most of them
// are near their previous place then, since most leaves gain little between two rebuilds (on
// programs a late rebuild moves 160 to 200 leaves, with about one inversion per key).
// Insertion from the back costs a step per key and one per inversion there. Near uniform
// counts (the literals of compressed data) reorder everywhere instead; counting the places
// where the order breaks tells the two apart. Insertion gives up past a budget of inversions,
// and the radix sort finishes: insertion never swaps keys of equal count, so those are still
// in previous order for its stable passes. Narrow spreads come early in a member, with keys in
// symbol order: one radix pass.
static void sort_moved(moved_leaves& mv) {
  uint64_t* keys = mv.keys;
  const int count = mv.count;
  const uint32_t low = mv.low, spread = mv.high - mv.low;
  bool in_order = false;
  int breaks = 0;
  if (count > 32 && spread >= 256)
    for (int i = 1; i < count; i++) breaks += keys[i - 1] < keys[i];
  if (count <= 32 || (spread >= 256 && 6 * breaks <= count)) {
    in_order = true;
    int budget = count <= 32 ? huffman_symbols * huffman_symbols : 4 * count;
    for (int i = 1; i < count; i++) {
      uint64_t k = keys[i];
      int j = i;
      while (j > 0 && keys[j - 1] < k) {
        keys[j] = keys[j - 1];
        j--;
      }
      keys[j] = k;
      budget -= i - j;
      if (budget < 0) {
        in_order = false;
        break;
      }
    }
  }
  if (in_order) return;
  // A radix sort by count above the smallest, largest first, in as few passes of at most 8
  // bits as the spread of the counts needs, each as narrow as that allows.
  int width = 32 - __builtin_clz(spread | 1);
  int passes = (width + 7) / 8;
  int digit = (width + passes - 1) / passes;
  uint32_t mask = (1u << digit) - 1;
  uint64_t* other = mv.key_space[1];
  for (int shift = 0; shift < width; shift += digit) {
    uint16_t start[256];
    memset(start, 0, sizeof(uint16_t) << digit);
    for (int i = 0; i < count; i++)
      start[mask - (((uint32_t(key_count(keys[i])) - low) >> shift) & mask)]++;
    uint16_t sum = 0;
    for (uint32_t b = 0; b <= mask; b++) {
      uint16_t n = start[b];
      start[b] = sum;
      sum = uint16_t(sum + n);
    }
    for (int i = 0; i < count; i++)
      other[start[mask - (((uint32_t(key_count(keys[i])) - low) >> shift) & mask)]++] = keys[i];
    uint64_t* t = keys;
    keys = other;
    other = t;
  }
  mv.keys = keys;
}

// The kept leaves at previous positions mask_bits * w to mask_bits * w + mask_bits - 1, up
// to deepest.
static inline mask_word kept_bits(const moved_leaves& mv, int w) {
  mask_word bits = ~mv.at[w];
  if (mask_bits * w + mask_bits - 1 > mv.deepest)
    bits &= ~mask_word(0) >> (mask_bits - 1 - mv.deepest % mask_bits);
  return bits;
}

// The leaf order as the merge writes it: m.order, m.rank and the counts in leaf order. Held
// as plain pointers, which the compiler keeps in registers; with every store reached through
// the model instead, the whole rebuild ran about 4% slower.
struct leaf_order {
  int16_t* order;
  int32_t* rank;
  int32_t* sorted;   // m.sorted_counts + 1
};

// A leaf into position p of the new order, with its count.
static inline void place_leaf(const leaf_order& o, int p, int symbol, int32_t c) {
  o.order[p] = int16_t(symbol);
  o.rank[symbol] = p;
  o.sorted[p] = c;
}

// Phase 4. The moved leaves (sorted by key: count, then previous position) merged with the
// kept ones (the others, by previous position, which is their order by count) into leaf
// positions 0 to deepest; a kept leaf after the deepest moved one keeps its place, since
// every leaf ahead of it was ahead before and has not lost count. A kept leaf goes ahead of a
// moved one of equal count: it was ahead of it before, since the moved one had a smaller
// count then.
//
// The merge goes from the smallest end: long runs of kept leaves between moved ones keep its
// branches predictable. It works in place: every moved leaf ahead of a kept one in the
// previous order gained count and stays ahead of it, so a kept leaf's new place is never
// before its old one, and filling the places from the back never overwrites a kept leaf not
// yet read.
static void merge_moved(huffman_model& m, const moved_leaves& mv) {
  if (mv.deepest < 0) return;
  const leaf_order o{m.order, m.rank, m.sorted_counts + 1};
  const uint64_t* keys = mv.keys;
  int out = mv.deepest;
  int j = mv.count - 1;
  for (int w = mv.deepest / mask_bits; w >= 0; w--) {
    for (mask_word bits = kept_bits(mv, w); bits != 0;) {
      int top = highest_set(bits);
      bits ^= mask_word(1) << top;
      int p = mask_bits * w + top;
      int32_t c = o.sorted[p];
      int symbol = o.order[p];
      for (; j >= 0 && key_count(keys[j]) <= c; j--)
        place_leaf(o, out--, key_symbol(keys[j]), key_count(keys[j]));
      place_leaf(o, out--, symbol, c);
    }
  }
  for (; j >= 0; j--) place_leaf(o, out--, key_symbol(keys[j]), key_count(keys[j]));
}

// ---- The tree --------------------------------------------------------------------------------
//
// The merge list of the reference is, at every round, the sorted leaves interleaved with the
// inner nodes, largest count first; among equal counts the leaves come first, then the inner
// nodes oldest first. So each round takes the smallest leaf unless an inner node's count is
// no larger, and among inner nodes of the smallest count the newest. Inner nodes are made
// with counts that never decrease, which keeps the ones not yet taken in two ranges of
// creation order (see tree_builder).
//
// Early in a member most symbols still have their first count, and later too the small
// counts come in long runs of equal values. Such a run pairs up in a fixed pattern, two
// leaves or two group members to a node, so whole runs are merged at once; only the rounds
// where a leaf meets an inner node, or a run ends, go one entry at a time.

struct tree_builder {
  huffman_node* nodes;
  const int16_t* order;         // the leaves in the new order, largest count first
  const int32_t* leaf_counts;   // their counts; leaf_counts[-1] is INT32_MAX
  int leaf;                     // the smallest leaf not yet taken: order[leaf]
  int next;                     // the index of the next inner node
  // The smallest inner nodes not yet taken form a group of equal count, nodes[group_lo] to
  // nodes[group_hi - 1], taken newest first; the nodes made after it, with larger counts,
  // are nodes[pending] to nodes[next - 1]. A new node of the group's count can only come
  // from two leaves before the group's first member is taken (once one is taken, every
  // remaining leaf is at least as large as the group), and no node is pending then: so it
  // is always the group's next index, and the group stays one range.
  int pending, group_lo, group_hi;
  int32_t group_count;          // INT32_MAX while there is no inner node to take
  // The indices where the inner nodes' count steps up, in creation order: the pending
  // nodes' runs of equal count begin there. Noted as the nodes are made, which saves
  // comparing counts one by one when a group is formed.
  int16_t steps[huffman_symbols];
  int step_read, step_count;
  int32_t last_sum;
  // Where each run of equal leaf counts begins: bit p is set when position p's count
  // differs from the one before it (position 0 compares with the count past the last).
  uint32_t run_begins[huffman_symbols / 32];
};

// A node of count sum is about to be made at b.next.
static inline void note_step(tree_builder& b, int32_t sum) {
  b.steps[b.step_count] = int16_t(b.next);
  b.step_count += sum != b.last_sum;
  b.last_sum = sum;
}

// The group is used up: the next one is the run of equal counts that the pending nodes
// start with.
static void next_group(tree_builder& b) {
  if (b.pending < b.next) {
    b.group_lo = b.pending;
    b.group_count = b.nodes[b.pending].count;
    // pending always lies on a step: every node made after a group was formed has a
    // larger count, or joins it while nothing is pending.
    b.step_read++;
    b.pending = b.step_read < b.step_count ? b.steps[b.step_read] : b.next;
    b.group_hi = b.pending;
  } else {
    b.group_count = INT32_MAX;
  }
}

// The first position of the run of equal leaf counts that position p ends.
static int run_start(const tree_builder& b, int p) {
  int w = p >> 5;
  uint32_t bits = b.run_begins[w] & (0xFFFFFFFFu >> (31 - (p & 31)));
  while (bits == 0) bits = b.run_begins[--w];
  return 32 * w + 31 - __builtin_clz(bits);
}

// The group's count is no larger than the smallest leaf: pairs of group members, newest
// first. Their sums exceed the group's count, so they go after the others in creation order.
// False when the group has a single member.
static bool pair_group_members(tree_builder& b) {
  int pairs = (b.group_hi - b.group_lo) >> 1;
  if (pairs <= 0) return false;
  int32_t sum = 2 * b.group_count;
  note_step(b, sum);
  for (int k = 0; k < pairs; k++) {
    huffman_node& n = b.nodes[b.next++];
    n.count = sum;
    n.child[0] = int16_t(b.group_hi - 2);
    n.child[1] = int16_t(b.group_hi - 1);
    b.group_hi -= 2;
  }
  return true;
}

#if VANTREL_FAST_PATHS
// The count of inner node x, or INT32_MAX from end on.
static inline int32_t count_before(const huffman_node* nodes, int end, int x) {
  return x < end ? nodes[x].count : INT32_MAX;
}

// Whether the pending nodes x and x + 1 (of those before end) pair with each other: each is
// no larger than the smallest leaf, and the pair ends a run of equal counts.
static inline bool pending_pair_fits(const huffman_node* nodes, int end, int x,
                                     int32_t leaf_count) {
  int32_t c = count_before(nodes, end, x + 1);
  return x + 1 < end && count_before(nodes, end, x) < c && c <= leaf_count &&
         c < count_before(nodes, end, x + 2);
}

// A new node of two inner nodes, the first one taken as its 1 branch.
static inline void pair_inner(tree_builder& b, int taken_first, int taken_second) {
  int32_t sum = b.nodes[taken_first].count + b.nodes[taken_second].count;
  note_step(b, sum);
  huffman_node& n = b.nodes[b.next++];
  n.count = sum;
  n.child[0] = int16_t(taken_second);
  n.child[1] = int16_t(taken_first);
}

// A group of one, and inner nodes of distinct counts after it: they pair in creation order,
// the group's member with the first pending node and then the pending nodes two by two, as
// long as each is no larger than the smallest leaf and each pair ends a run of equal counts
// (a run is taken newest first). None of them reaches the first node made here: every
// pending node was made of entries no larger than the group's member, so its count is at
// most twice the member's. In the upper part of a tree most rounds are of this kind. Fewer
// than two pairs are left to merge_one_round; false then.
static bool pair_pending_nodes(tree_builder& b, int32_t leaf_count) {
  const huffman_node* nodes = b.nodes;
  const int end = b.next;
  const int first = b.pending;
  if (!(first < end && count_before(nodes, end, first) <= leaf_count &&
        count_before(nodes, end, first) < count_before(nodes, end, first + 1) &&
        pending_pair_fits(nodes, end, first + 1, leaf_count)))
    return false;
  pair_inner(b, b.group_lo, first);
  int q = first + 1;
  do {
    pair_inner(b, q, q + 1);
    q += 2;
  } while (pending_pair_fits(nodes, end, q, leaf_count));
  // Every node taken was a run of its own: the runs' starts advance one by one.
  b.step_read += q - first;
  b.pending = q;
  b.group_lo = b.group_hi = q;
  return true;
}
#endif

// A leaf is smaller than every inner node: pairs of leaves of its count, below every inner
// node; their sums stay above it. False when the run of its count is a single leaf.
static bool pair_leaf_run(tree_builder& b, int32_t leaf_count) {
  int pairs = (b.leaf - run_start(b, b.leaf) + 1) >> 1;
  if (pairs <= 0) return false;
  int32_t sum = 2 * leaf_count;
  bool join = b.group_lo < b.group_hi && b.pending == b.next && sum == b.group_count;
  note_step(b, sum);
  for (int k = 0; k < pairs; k++) {
    huffman_node& n = b.nodes[b.next++];
    n.count = sum;
    memcpy(n.child, b.order + b.leaf - 1, sizeof n.child);   // order[leaf - 1], order[leaf]
    b.leaf -= 2;
  }
  if (join) b.group_hi = b.pending = b.next;
  return true;
}

#if VANTREL_FAST_PATHS
// Leaves of distinct counts: the four smallest entries are leaves, and so are the two after
// them as long as those stay below every inner node, the ones there are and the first one
// this stretch makes, which is the smallest it makes. Such a stretch pairs its leaves in
// order. Near-uniform counts, as incompressible data gives the literals, make long
// stretches. A single pair is left to merge_one_round, which makes its choices without
// branches; false then.
static bool pair_distinct_leaves(tree_builder& b, int32_t leaf_count) {
  const int32_t* leaf_counts = b.leaf_counts;
  int leaf = b.leaf;
  if (!(leaf >= 3 && leaf_counts[leaf - 3] < b.group_count &&
        leaf_counts[leaf - 3] < leaf_count + leaf_counts[leaf - 1]))
    return false;
  int32_t bound = leaf_count + leaf_counts[leaf - 1];
  if (b.group_count < bound) bound = b.group_count;
  do {
    int32_t sum = leaf_counts[leaf] + leaf_counts[leaf - 1];
    note_step(b, sum);
    huffman_node& n = b.nodes[b.next++];
    n.count = sum;
    memcpy(n.child, b.order + leaf - 1, sizeof n.child);
    leaf -= 2;
  } while (leaf >= 1 && leaf_counts[leaf - 1] < bound);
  b.leaf = leaf;
  // No node made here joins the group: its members were made of entries taken before the
  // first leaf here, so their count is at most twice that leaf's, which is below the first
  // sum here because the next leaf is larger.
  return true;
}
#endif

// One round, one entry at a time, the choices made without branches: they go either way
// from one round to the next. Past the last leaf its count reads as INT32_MAX.
static void merge_one_round(tree_builder& b, int32_t leaf_count) {
  int16_t taken[2];
  int32_t sum = 0;
  for (int t = 0; t < 2; t++) {
    bool from_group = b.group_count <= leaf_count;
    int16_t group_node = int16_t(b.group_hi - 1), leaf_node = b.order[b.leaf & (huffman_symbols - 1)];
    taken[t] = from_group ? group_node : leaf_node;
    sum += from_group ? b.group_count : leaf_count;
    b.group_hi -= from_group;
    b.leaf -= !from_group;
    leaf_count = b.leaf_counts[b.leaf];
    if (b.group_lo == b.group_hi) next_group(b);
  }
  note_step(b, sum);
  huffman_node& n = b.nodes[b.next];
  n.count = sum;
  n.child[0] = taken[1];
  n.child[1] = taken[0];
  b.next++;
  if (b.group_lo < b.group_hi && b.pending == b.next - 1 && sum == b.group_count)
    b.group_hi = b.pending = b.next;
}

// Phase 5. The inner nodes 512 to 1022 from the new leaf order, as the reference's merge
// list makes them.
static void build_tree(huffman_model& m) {
  tree_builder b;
  b.nodes = m.nodes;
  b.order = m.order;
  b.leaf_counts = m.sorted_counts + 1;
  b.leaf = huffman_symbols - 1;
  b.next = b.pending = huffman_symbols;
  b.group_lo = b.group_hi = huffman_symbols;
  b.group_count = INT32_MAX;
  b.step_read = b.step_count = 0;
  b.last_sum = -1;
  for (int w = 0; w < huffman_symbols / 32; w++)
    b.run_begins[w] = differing(b.leaf_counts + 32 * w, b.leaf_counts + 32 * w - 1);
  while (b.next < huffman_node_count) {
    if (b.group_lo == b.group_hi) next_group(b);
    int32_t leaf_count = b.leaf_counts[b.leaf];
    if (b.group_count <= leaf_count) {
      if (pair_group_members(b)) continue;
#if VANTREL_FAST_PATHS
      if (pair_pending_nodes(b, leaf_count)) continue;
#endif
    } else {
      if (pair_leaf_run(b, leaf_count)) continue;
#if VANTREL_FAST_PATHS
      if (pair_distinct_leaves(b, leaf_count)) continue;
#endif
    }
    merge_one_round(b, leaf_count);
  }
}

void huffman_rebuild(huffman_model& m, int table_bits) {
  moved_leaves mv;
  find_moved(m, mv);
  collect_moved(m, mv);
  sort_moved(mv);
  merge_moved(m, mv);
  build_tree(m);
  m.table_bits = uint8_t(table_bits);
  if (table_bits > 0) huffman_build_table(m);
}
