// Tree construction for the adaptive models. The tie-breaks are part of the format: leaves
// of equal count keep their order from the previous rebuild, and in the merge list a new
// inner node ranks after every entry of equal count (leaves and older inner nodes).
#include "engine/huffman.h"

#include <string.h>

#include "engine/config.h"
#include "engine/huffman_table.h"
#if VANTREL_USE_SSE2
#include <emmintrin.h>
#endif

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

// The kept leaves at previous positions mask_bits * w to mask_bits * w + mask_bits - 1, up
// to deepest.
static inline mask_word kept_bits(const mask_word* moved_at, int w, int deepest) {
  mask_word bits = ~moved_at[w];
  if (mask_bits * w + mask_bits - 1 > deepest)
    bits &= ~mask_word(0) >> (mask_bits - 1 - deepest % mask_bits);
  return bits;
}

// The leaves whose count changed since the last rebuild (moved, sorted by key: count, then
// previous position) merged with the kept ones (the others, by previous position, which is
// their order by count) into leaf positions 0 to deepest; a kept leaf after the deepest
// moved one keeps its place, since every leaf ahead of it was ahead before and has not lost
// count. A kept leaf goes ahead of a moved one of equal count: it was ahead of it before,
// since the moved one had a smaller count then.
//
// The plain merge, from the smallest end: long runs of kept leaves between moved ones keep
// its branches predictable. It works in place: every moved leaf ahead of a kept one in the
// previous order gained count and stays ahead of it, so a kept leaf's new place is never
// before its old one, and filling the places from the back never overwrites a kept leaf
// not yet read.
static void merge_by_runs(huffman_model& m, const uint64_t* moved, int moved_count,
                          const mask_word* moved_at, int deepest) {
  int16_t* order = m.order;
  int32_t* sorted = m.sorted_counts + 1;
  int32_t* rank = m.rank;
  if (deepest < 0) return;
  int out = deepest;
  int j = moved_count - 1;
  auto place = [&](int symbol, int32_t c) {
    order[out] = int16_t(symbol);
    rank[symbol] = out;
    sorted[out] = c;
    out--;
  };
  for (int w = deepest / mask_bits; w >= 0; w--) {
    for (mask_word bits = kept_bits(moved_at, w, deepest); bits != 0;) {
      int top = highest_set(bits);
      bits ^= mask_word(1) << top;
      int p = mask_bits * w + top;
      int32_t c = sorted[p];
      int symbol = order[p];
      for (; j >= 0 && int32_t(moved[j] >> 18) <= c; j--)
        place(int(moved[j] & (huffman_symbols - 1)), int32_t(moved[j] >> 18));
      place(symbol, c);
    }
  }
  for (; j >= 0; j--) place(int(moved[j] & (huffman_symbols - 1)), int32_t(moved[j] >> 18));
}

#if VANTREL_FAST_PATHS
// The same merge without branches, for finely interleaved lists. Each step waits on the load
// that its last choice selected, so the output is cut into four parts merged side by side. A
// part's start is found by bisection: the first t places hold i kept leaves, where i is the
// least with kept[i] behind moved[t - i - 1].
static void merge_in_lanes(huffman_model& m, const uint64_t* moved, int moved_count,
                           const mask_word* moved_at, int deepest) {
  int16_t* order = m.order;
  int32_t* sorted = m.sorted_counts + 1;
  int32_t* rank = m.rank;
  // Both lists as entries count << 17 | kept << 16 | symbol, so that one comparison puts a
  // kept leaf ahead of a moved one of equal count: the kept ones first, then from
  // moved_from on the moved ones. Each list ends in an entry below every real one.
  constexpr intptr_t moved_from = huffman_symbols + 1;
  uint64_t entry[2 * moved_from];
  intptr_t kept_count = 0;
  for (int w = 0; w <= deepest / mask_bits; w++) {
    for (mask_word bits = kept_bits(moved_at, w, deepest); bits != 0; bits &= bits - 1) {
      int p = mask_bits * w + lowest_set(bits);
      entry[kept_count++] =
          uint64_t(uint32_t(sorted[p])) << 17 | uint64_t(1) << 16 | uint64_t(uint16_t(order[p]));
    }
  }
  entry[kept_count] = 0;
  for (int j = 0; j < moved_count; j++)
    entry[moved_from + j] = (moved[j] >> 18) << 17 | (moved[j] & (huffman_symbols - 1));
  entry[moved_from + moved_count] = 0;

  // A cursor's place in the output is the sum of its two indices, less moved_from.
  struct cursor { intptr_t kept, moved; };
  auto start_at = [&](intptr_t t) {
    intptr_t lo = t > moved_count ? t - moved_count : 0, hi = t < kept_count ? t : kept_count;
    while (lo < hi) {
      intptr_t mid = (lo + hi) >> 1;
      if (entry[mid] > entry[moved_from + t - mid - 1]) lo = mid + 1;
      else hi = mid;
    }
    return cursor{lo, moved_from + t - lo};
  };
  // The choice by masks: a compiler turns a plain conditional here into a branch.
  auto step = [&](cursor& c) __attribute__((always_inline)) {
    uint64_t k = entry[c.kept], v = entry[c.moved];
    uint64_t take_kept = -uint64_t(k > v);
    v ^= (k ^ v) & take_kept;
    intptr_t t = c.kept + c.moved - moved_from;
    order[t] = int16_t(v);
    sorted[t] = int32_t(v >> 17);
    rank[uint16_t(v)] = int32_t(t);
    c.kept -= intptr_t(take_kept);
    c.moved += 1 + intptr_t(take_kept);
  };
  const intptr_t total = kept_count + moved_count;
  const intptr_t e1 = total / 4, e2 = total / 2, e3 = total * 3 / 4;
  cursor c0{0, moved_from}, c1 = start_at(e1), c2 = start_at(e2), c3 = start_at(e3);
  for (intptr_t k = 0; k < e1; k++) {
    step(c0);
    step(c1);
    step(c2);
    step(c3);
  }
  while (c1.kept + c1.moved - moved_from < e2) step(c1);
  while (c2.kept + c2.moved - moved_from < e3) step(c2);
  while (c3.kept + c3.moved - moved_from < total) step(c3);
}
#endif

// The merge list of the reference is, at every round, the sorted leaves interleaved with the
// inner nodes, largest count first; among equal counts the leaves come first, then the inner
// nodes oldest first. So each round takes the smallest leaf unless an inner node's count is
// no larger, and among inner nodes of the smallest count the newest. Inner nodes are made
// with counts that never decrease, which keeps the ones not yet taken in two ranges of
// creation order (see below).
//
// Early in a member most symbols still have their first count, and later too the small
// counts come in long runs of equal values. Such a run pairs up in a fixed pattern, two
// leaves or two group members to a node, so whole runs are merged at once; only the rounds
// where a leaf meets an inner node, or a run ends, go one entry at a time.
void huffman_rebuild(huffman_model& m, int table_bits) {
  // The previous leaf order, as init or the last rebuild left it.
  int16_t* order = m.order;
  huffman_node* nodes = m.nodes;
  int32_t* sorted = m.sorted_counts + 1;
  int32_t* last = m.last_counts;

  // The stable sort by count is a plain sort on count, then position in the previous order.
  // Leaves whose count has not changed since the last rebuild stay sorted among themselves;
  // only the ones counted since need placing, and between two rebuilds those are at most a
  // few hundred. They are found by comparing the counts with the ones of the last rebuild
  // (see differing), sorted apart and merged back in. Counts stay below
  // 2^31 (the decoder refuses members long enough to come near it), so a 64-bit key holds
  // count, position and symbol.
  mask_word changed[mask_words];
  for (int w = 0; w < mask_words; w++) changed[w] = differing_word(m.counts, last, w);
  // The same by previous position, so that the moved keys arrive in the previous order.
  mask_word moved_at[mask_words] = {};
  int deepest = -1;         // the last previous position with a moved leaf
  for (int w = 0; w < mask_words; w++) {
    for (mask_word bits = changed[w]; bits != 0; bits &= bits - 1) {
      int s = mask_bits * w + lowest_set(bits);
      int p = m.rank[s];
      moved_at[p / mask_bits] |= mask_word(1) << (p % mask_bits);
      if (p > deepest) deepest = p;
      last[s] = m.counts[s];
      nodes[s].count = m.counts[s];
    }
  }
  // The moved keys arrive in previous order, so sorting them stably by count alone puts
  // them in key order.
  uint64_t moved_keys[2][huffman_symbols];
  uint64_t* moved = moved_keys[0];
  int moved_count = 0;
  uint32_t low = UINT32_MAX, high = 0;
  for (int w = 0; w < mask_words; w++) {
    for (mask_word bits = moved_at[w]; bits != 0; bits &= bits - 1) {
      int p = mask_bits * w + lowest_set(bits);
      int s = order[p];
      uint32_t c = uint32_t(m.counts[s]);
      low = c < low ? c : low;
      high = c > high ? c : high;
      moved[moved_count++] = uint64_t(c) << 18 | uint64_t(huffman_symbols - 1 - p) << 9 | uint64_t(s);
    }
  }
  // A few keys, or keys whose counts spread wide, which happens later in a member: most of
  // them are near their previous place then, since most leaves gain little between two
  // rebuilds (on programs a late rebuild moves 160 to 200 leaves, with about one inversion
  // per key). Insertion from the back costs a step per key and one per inversion there. Near
  // uniform counts (the literals of compressed data) reorder everywhere instead; counting the
  // places where the order breaks tells the two apart. Insertion gives up past a budget of
  // inversions, and the radix sort below finishes: insertion never swaps keys of equal count,
  // so those are still in previous order for its stable passes. Narrow spreads come early in
  // a member, with keys in symbol order: one radix pass.
  bool in_order = false;
  int breaks = 0;
  if (moved_count > 32 && high - low >= 256)
    for (int i = 1; i < moved_count; i++) breaks += moved[i - 1] < moved[i];
  if (moved_count <= 32 || (high - low >= 256 && 6 * breaks <= moved_count)) {
    in_order = true;
    int budget = moved_count <= 32 ? huffman_symbols * huffman_symbols : 4 * moved_count;
    for (int i = 1; i < moved_count; i++) {
      uint64_t k = moved[i];
      int j = i;
      while (j > 0 && moved[j - 1] < k) {
        moved[j] = moved[j - 1];
        j--;
      }
      moved[j] = k;
      budget -= i - j;
      if (budget < 0) {
        in_order = false;
        break;
      }
    }
  }
  if (!in_order) {
    // Many keys far from sorted (early in a member they arrive in symbol order), or where
    // insertion gave up: a radix sort by count above the smallest, largest first, in as few
    // passes of at most 8 bits as the spread of the counts needs, each as narrow as that
    // allows.
    int width = 32 - __builtin_clz((high - low) | 1);
    int passes = (width + 7) / 8;
    int digit = (width + passes - 1) / passes;
    uint32_t mask = (1u << digit) - 1;
    uint64_t* other = moved_keys[1];
    for (int shift = 0; shift < width; shift += digit) {
      uint16_t start[256];
      memset(start, 0, sizeof(uint16_t) << digit);
      for (int i = 0; i < moved_count; i++)
        start[mask - (((uint32_t(moved[i] >> 18) - low) >> shift) & mask)]++;
      uint16_t sum = 0;
      for (uint32_t b = 0; b <= mask; b++) {
        uint16_t n = start[b];
        start[b] = sum;
        sum = uint16_t(sum + n);
      }
      for (int i = 0; i < moved_count; i++)
        other[start[mask - (((uint32_t(moved[i] >> 18) - low) >> shift) & mask)]++] = moved[i];
      uint64_t* t = moved;
      moved = other;
      other = t;
    }
  }
  // The merged order replaces positions 0 to deepest. Wide spreads of counts come later in a
  // member, where moved and kept leaves interleave finely and the plain merge's branches go
  // either way; the compact build (the stub) keeps the plain merge alone.
#if VANTREL_FAST_PATHS
  if (moved_count > 32 && high - low >= 256)
    merge_in_lanes(m, moved, moved_count, moved_at, deepest);
  else
#endif
    merge_by_runs(m, moved, moved_count, moved_at, deepest);
  const int32_t* leaf_counts = sorted;

  // The smallest inner nodes form a group of equal count, nodes[group_lo] to
  // nodes[group_hi - 1], taken newest first; the nodes made after it, with larger counts,
  // are nodes[pending] to nodes[next - 1]. A new node of the group's count can only come
  // from two leaves before the group's first member is taken (once one is taken, every
  // remaining leaf is at least as large as the group), and no node is pending then: so it
  // is always the group's next index, and the group stays one range.
  int leaf = huffman_symbols - 1;
  int next = huffman_symbols, pending = huffman_symbols;
  int group_lo = huffman_symbols, group_hi = huffman_symbols;
  int32_t group_count = INT32_MAX;   // INT32_MAX while there is no inner node to take
  // The indices where the inner nodes' count steps up, in creation order: the pending
  // nodes' runs of equal count begin there. Noted as the nodes are made, which saves
  // comparing counts one by one when a group is formed.
  int16_t steps[huffman_symbols];
  int step_read = 0, step_count = 0;
  int32_t last_sum = -1;
  auto note_step = [&](int32_t sum) {
    steps[step_count] = int16_t(next);
    step_count += sum != last_sum;
    last_sum = sum;
  };
  // The group is used up: the next one is the run of equal counts that the pending nodes
  // start with.
  auto next_group = [&] {
    if (pending < next) {
      group_lo = pending;
      group_count = nodes[pending].count;
      // pending always lies on a step: every node made after a group was formed has a
      // larger count, or joins it while nothing is pending.
      step_read++;
      pending = step_read < step_count ? steps[step_read] : next;
      group_hi = pending;
    } else {
      group_count = INT32_MAX;
    }
  };
  // Where each run of equal leaf counts begins: bit p is set when position p's count
  // differs from the one before it (position 0 compares with the count past the last).
  uint32_t run_begins[huffman_symbols / 32];
  for (int w = 0; w < huffman_symbols / 32; w++)
    run_begins[w] = differing(leaf_counts + 32 * w, leaf_counts + 32 * w - 1);
  // The first position of the run that position p ends.
  auto run_start = [&](int p) {
    int w = p >> 5;
    uint32_t bits = run_begins[w] & (0xFFFFFFFFu >> (31 - (p & 31)));
    while (bits == 0) bits = run_begins[--w];
    return 32 * w + 31 - __builtin_clz(bits);
  };
  while (next < huffman_node_count) {
    if (group_lo == group_hi) next_group();
    int32_t leaf_count = leaf_counts[leaf];
    if (group_count <= leaf_count) {
      int pairs = (group_hi - group_lo) >> 1;
      if (pairs > 0) {
        // Pairs of group members, newest first; their sums exceed the group's count, so
        // they go after the others in creation order.
        int32_t sum = 2 * group_count;
        note_step(sum);
        int k = 0;
#if VANTREL_FAST_PATHS && VANTREL_USE_SSE2
        if (next + 8 <= huffman_node_count) {
          // Eight nodes at once, whatever the number of pairs: a loop of varying length
          // ends in a mispredicted branch, and the nodes past the pairs are written over
          // later. Two nodes to a store: count, children, count, children.
          uint32_t g = uint32_t(group_hi);
          __m128i base = _mm_set_epi32(int32_t(g * 0x10001u), sum, int32_t(g * 0x10001u), sum);
          for (int q = 0; q < 4; q++) {
            uint32_t a = uint32_t(4 * q + 2), b = uint32_t(4 * q + 4);
            __m128i offset = _mm_set_epi32(int32_t(b + (b - 1) * 0x10000u), 0,
                                           int32_t(a + (a - 1) * 0x10000u), 0);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(nodes + next + 2 * q),
                             _mm_sub_epi32(base, offset));
          }
          k = pairs < 8 ? pairs : 8;
          next += k;
          group_hi -= 2 * k;
        }
#endif
        for (; k < pairs; k++) {
          huffman_node& n = nodes[next++];
          n.count = sum;
          n.child[0] = int16_t(group_hi - 2);
          n.child[1] = int16_t(group_hi - 1);
          group_hi -= 2;
        }
        continue;
      }
      // The two stretches below are left out of the compact build (the stub, whose every
      // byte counts): the rounds make the same nodes, one at a time.
#if VANTREL_FAST_PATHS
      // A group of one, and inner nodes of distinct counts after it: they pair in creation
      // order, the group's member with the first pending node and then the pending nodes two
      // by two, as long as each is no larger than the smallest leaf and each pair ends a run
      // of equal counts (a run is taken newest first). None of them reaches the first node
      // made here: every pending node was made of entries no larger than the group's member,
      // so its count is at most twice the member's. In the upper part of a tree most rounds
      // are of this kind. Fewer than two pairs are left to the round below.
      const int end = next;
      const int first = pending;
      auto count_at = [&](int x) { return x < end ? nodes[x].count : INT32_MAX; };
      auto fits = [&](int x) {   // the pair x, x + 1
        int32_t c = count_at(x + 1);
        return x + 1 < end && count_at(x) < c && c <= leaf_count && c < count_at(x + 2);
      };
      if (first < end && count_at(first) <= leaf_count && count_at(first) < count_at(first + 1) &&
          fits(first + 1)) {
        auto make = [&](int taken_first, int taken_second) {
          int32_t sum = nodes[taken_first].count + nodes[taken_second].count;
          note_step(sum);
          huffman_node& n = nodes[next++];
          n.count = sum;
          n.child[0] = int16_t(taken_second);
          n.child[1] = int16_t(taken_first);
        };
        make(group_lo, first);
        int q = first + 1;
        do {
          make(q, q + 1);
          q += 2;
        } while (fits(q));
        // Every node taken was a run of its own: the runs' starts advance one by one.
        step_read += q - first;
        pending = q;
        group_lo = group_hi = q;
        continue;
      }
#endif
    } else {
      int pairs = (leaf - run_start(leaf) + 1) >> 1;
      if (pairs > 0) {
        // Pairs of leaves of one count, below every inner node; their sums stay above it.
        int32_t sum = 2 * leaf_count;
        bool join = group_lo < group_hi && pending == next && sum == group_count;
        note_step(sum);
        int k = 0;
#if VANTREL_FAST_PATHS && VANTREL_USE_SSE2
        if (next + 8 <= huffman_node_count && leaf >= 15) {
          // Eight nodes at once, as above; each takes the next two leaves from the end.
          __m128i counts = _mm_set1_epi32(sum);
          for (int q = 0; q < 2; q++) {
            // order[leaf - 7 - 8q] to order[leaf - 8q]: four pairs, the last one first.
            __m128i pairs4 = _mm_shuffle_epi32(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(order + leaf - 7 - 8 * q)),
                _MM_SHUFFLE(0, 1, 2, 3));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(nodes + next + 4 * q),
                             _mm_unpacklo_epi32(counts, pairs4));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(nodes + next + 4 * q + 2),
                             _mm_unpackhi_epi32(counts, pairs4));
          }
          k = pairs < 8 ? pairs : 8;
          next += k;
          leaf -= 2 * k;
        }
#endif
        for (; k < pairs; k++) {
          huffman_node& n = nodes[next++];
          n.count = sum;
          memcpy(n.child, order + leaf - 1, sizeof n.child);   // order[leaf - 1], order[leaf]
          leaf -= 2;
        }
        if (join) group_hi = pending = next;
        continue;
      }
#if VANTREL_FAST_PATHS
      if (leaf >= 3 && leaf_counts[leaf - 3] < group_count &&
          leaf_counts[leaf - 3] < leaf_count + leaf_counts[leaf - 1]) {
        // Leaves of distinct counts: the four smallest entries are leaves, and so are the
        // two after them as long as those stay below every inner node, the ones there are
        // and the first one this stretch makes, which is the smallest it makes. Such a
        // stretch pairs its leaves in order. Near-uniform counts, as incompressible data
        // gives the literals, make long stretches. A single pair is left to the round
        // below, which makes its choices without branches.
        int32_t bound = leaf_count + leaf_counts[leaf - 1];
        if (group_count < bound) bound = group_count;
        do {
          int32_t sum = leaf_counts[leaf] + leaf_counts[leaf - 1];
          note_step(sum);
          huffman_node& n = nodes[next++];
          n.count = sum;
          memcpy(n.child, order + leaf - 1, sizeof n.child);
          leaf -= 2;
        } while (leaf >= 1 && leaf_counts[leaf - 1] < bound);
        // No node made here joins the group: its members were made of entries taken before
        // the first leaf here, so their count is at most twice that leaf's, which is below
        // the first sum here because the next leaf is larger.
        continue;
      }
#endif
    }
    // One round, one entry at a time, the choices made without branches: they go either
    // way from one round to the next. Past the last leaf its count reads as INT32_MAX.
    int16_t taken[2];
    int32_t sum = 0;
    for (int t = 0; t < 2; t++) {
      bool from_group = group_count <= leaf_count;
      int16_t group_node = int16_t(group_hi - 1), leaf_node = order[leaf & (huffman_symbols - 1)];
      taken[t] = from_group ? group_node : leaf_node;
      sum += from_group ? group_count : leaf_count;
      group_hi -= from_group;
      leaf -= !from_group;
      leaf_count = leaf_counts[leaf];
      if (group_lo == group_hi) next_group();
    }
    note_step(sum);
    huffman_node& n = nodes[next];
    n.count = sum;
    n.child[0] = taken[1];
    n.child[1] = taken[0];
    next++;
    if (group_lo < group_hi && pending == next - 1 && sum == group_count) group_hi = pending = next;
  }
  m.table_bits = uint8_t(table_bits);
  if (table_bits > 0) huffman_build_table(m);
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
