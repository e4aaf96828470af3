// The adaptive models: the values the format fixes, and the fast paths (the rebuild, the
// decoding through the table over the buffered reader) against the literal references.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine/bit_reader.h"
#include "engine/block_reader.h"
#include "engine/huffman.h"
#include "engine/huffman_table.h"
#include "tests/common/archive_builder.h"
#include "tests/common/test_support.h"

namespace {

struct codes {
  uint64_t code[huffman_symbols];
  uint8_t length[huffman_symbols];
};

std::unique_ptr<huffman_model> first_tree(model_kind kind) {
  auto m = std::make_unique<huffman_model>();
  huffman_init(*m, kind);
  huffman_rebuild(*m);
  return m;
}

codes codes_of(const huffman_model& m) {
  codes c;
  huffman_codes(m, c.code, c.length);
  return c;
}

// A simple generator for the randomised cases.
struct rng {
  uint64_t x;
  uint32_t next() {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return uint32_t(x >> 16);
  }
  uint32_t below(uint32_t n) { return next() % n; }
};

void expect_same_tree(const huffman_model& a, const huffman_model& b) {
  for (int i = 0; i < huffman_node_count; i++) {
    ASSERT_EQ(a.nodes[i].count, b.nodes[i].count) << "node " << i;
    ASSERT_EQ(a.nodes[i].child[0], b.nodes[i].child[0]) << "node " << i;
    ASSERT_EQ(a.nodes[i].child[1], b.nodes[i].child[1]) << "node " << i;
  }
  for (int s = 0; s < huffman_symbols; s++) ASSERT_EQ(a.rank[s], b.rank[s]) << "symbol " << s;
  for (int i = 0; i < (1 << huffman_table_bits); i++) ASSERT_EQ(a.table[i], b.table[i]);
}

// Counts of several shapes: many ties, a wide spread, a steep (deep tree) distribution, and
// the literals of incompressible data (near-uniform, with ties, above lengths never used).
// Added to the initial counts, as decoding adds: counts never go down.
void random_counts(huffman_model& m, rng& r, int shape) {
  for (int s = 0; s < huffman_symbols; s++) {
    int32_t c;
    switch (shape % 5) {
      case 4: c = s < 256 ? 1000 + int32_t(r.below(24)) : 1 + int32_t(r.below(2)); break;
      case 0: c = 1 + int32_t(r.below(3)); break;
      case 1: c = 1 + int32_t(r.below(100000)); break;
      case 2: c = 1 + int32_t(r.below(2) ? r.below(4) : 1u << r.below(20)); break;
      default: c = s < 40 ? int32_t(1u << (s % 24)) : 1; break;
    }
    m.counts[s] += c - 1;
  }
}

}  // namespace

TEST(HuffmanModel, FirstTreesAndTheirCodes) {
  auto literal = first_tree(literal_length_kind);
  codes lc = codes_of(*literal);
  for (int s = 0; s < huffman_symbols; s++) ASSERT_EQ(lc.length[s], 9) << s;
  EXPECT_EQ(lc.code[0], 0b010101010u);    // bits 0,1,0,1,0,1,0,1,0 in reading order
  EXPECT_EQ(lc.code[511], 0b101010101u);  // bits 1,0,1,0,1,0,1,0,1
  EXPECT_EQ(literal->table[0] & 511, 170);
  EXPECT_EQ(literal->table[0x1FF] & 511, 341);
  EXPECT_EQ(literal->table[0] >> 9, 9);
  EXPECT_EQ(literal->nodes[huffman_root].count, 512);

  auto distance = first_tree(distance_kind);
  codes dc = codes_of(*distance);
  for (int s = 0; s < huffman_symbols; s++) {
    int expected = s < 64 ? 8 : s < 128 ? 9 : s < 256 ? 10 : 9;
    ASSERT_EQ(dc.length[s], expected) << s;
  }
  // Zero bits lead into the subtree of the ten-bit codes: a shorter table hands over to the
  // walk, a ten-bit one ends in symbol 170.
  EXPECT_EQ(distance->table[0], huffman_table_bits < 10 ? uint16_t(huffman_table_walk | distance->table[0])
                                                        : uint16_t(170 | 10 << 9));
}

TEST(HuffmanModel, RebuildSchedules) {
  std::vector<int32_t> literal, distance;
  for (int32_t n = 0; n <= 5000; n++)
    if (literal_length_due(n)) literal.push_back(n);
  EXPECT_EQ(literal, (std::vector<int32_t>{0, 256, 512, 768, 1024, 1280, 1536, 1792, 2048, 3072,
                                           4096}));
  EXPECT_FALSE(literal_length_due(2304));
  for (int32_t m = 1; m <= 2600; m++)
    if (distance_due(m)) distance.push_back(m);
  std::vector<int32_t> expected;
  for (int32_t m = 64; m < 1024; m += 64) expected.push_back(m);
  for (int32_t m = 1024; m <= 2600; m += 512) expected.push_back(m);
  EXPECT_EQ(distance, expected);
  EXPECT_TRUE(distance_due(960));
  EXPECT_FALSE(distance_due(1088));
}

TEST(HuffmanModel, EqualCountsKeepTheirPreviousOrder) {
  // Symbol 7 is ahead of symbol 3 after a rebuild where it was more frequent; once both are
  // equal again it stays ahead, although 3 is the smaller symbol.
  auto m = first_tree(literal_length_kind);
  m->counts[7] = 5;
  m->counts[3] = 4;
  huffman_rebuild(*m);
  EXPECT_LT(m->rank[7], m->rank[3]);
  m->counts[3] = 5;
  huffman_rebuild(*m);
  EXPECT_LT(m->rank[7], m->rank[3]);
  EXPECT_EQ(m->rank[7], 0);
  EXPECT_EQ(m->rank[3], 1);
}

TEST(HuffmanModel, FastRebuildMatchesTheLiteralOne) {
  rng r{0x1234567};
  auto fast = std::make_unique<huffman_model>();
  auto slow = std::make_unique<huffman_model>();
  for (int round = 0; round < 120; round++) {
    huffman_init(*fast, round % 2 ? distance_kind : literal_length_kind);
    random_counts(*fast, r, round);
    *slow = *fast;
    // A chain of rebuilds with growing counts, so that later ones start from a rank order
    // that earlier ones left.
    for (int step = 0; step < 6; step++) {
      huffman_rebuild(*fast);
      huffman_rebuild_reference(*slow);
      ASSERT_NO_FATAL_FAILURE(expect_same_tree(*fast, *slow)) << "round " << round;
      ASSERT_EQ(slow->order[0], huffman_root);
      int bumps = int(r.below(600));
      for (int k = 0; k < bumps; k++) {
        int s = int(r.below(8) == 0 ? r.below(huffman_symbols) : r.below(16));
        fast->counts[s]++;
        slow->counts[s]++;
      }
    }
  }
}

TEST(HuffmanModel, CodesFollowTheTree) {
  // Every code walks from the root to its own leaf.
  rng r{99};
  auto m = std::make_unique<huffman_model>();
  huffman_init(*m, literal_length_kind);
  random_counts(*m, r, 3);
  huffman_rebuild(*m);
  codes c = codes_of(*m);
  int longest = 0;
  for (int s = 0; s < huffman_symbols; s++) {
    ASSERT_GT(c.length[s], 0);
    int node = huffman_root;
    for (int j = 0; j < c.length[s]; j++)
      node = (c.code[s] >> j) & 1 ? m->nodes[node].child[1] : m->nodes[node].child[0];
    ASSERT_EQ(node, s);
    longest = std::max(longest, int(c.length[s]));
  }
  EXPECT_GT(longest, huffman_table_bits);   // the walk path is exercised below
}

// ---- Decoding over a real block stream -----------------------------------------------------

TEST(HuffmanDecoding, NineZeroAndNineOneBitsOnTheFirstTrees) {
  built_archive a = build_archive({0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00});
  opened_archive o(a.bytes);
  auto literal = first_tree(literal_length_kind);
  auto distance = first_tree(distance_kind);
  bit_reader r;
  bit_reader_reset(r);
  EXPECT_EQ(decode_symbol(*literal, r), 170);   // bits 0-8
  EXPECT_EQ(decode_symbol(*distance, r), 170);  // bits 9-18, all 0
  bit_reader_finish(r);
  EXPECT_EQ(reader.stream_position, 3);
  bit_reader_reset(r);
  EXPECT_EQ(decode_symbol(*literal, r), 341);
  EXPECT_EQ(literal->counts[170], 2);
  EXPECT_EQ(literal->counts[341], 2);
  bit_reader_finish(r);
  EXPECT_EQ(reader.stream_position, 5);
}

// Decoding with the table or the walk over the buffered reader gives the same symbols, the same extra
// bits and consumes exactly the same bytes as the walk over the plain reader, across block
// boundaries, member ends (whole bytes read between members), rebuilds and long codes.
TEST(HuffmanDecoding, FastDecodingMatchesTheWalk) {
  for (uint32_t seed = 1; seed <= 6; seed++) {
    std::vector<uint8_t> stream = random_bytes(30000 + seed * 1000, seed);
    built_archive a = build_archive(stream);
    rng r{seed * 7919u};
    // The script of operations, decided during the reference run and replayed.
    struct op {
      int kind;   // 0 literal symbol, 1 distance symbol, 2 read_bits(12), 3 read_bits(5),
                  // 4 end of member and one whole byte, 5 rebuild both
      uint32_t value;
    };
    std::vector<op> script;
    auto lit = std::make_unique<huffman_model>();
    auto dist = std::make_unique<huffman_model>();
    {
      opened_archive o(a.bytes);
      huffman_init(*lit, literal_length_kind);
      huffman_init(*dist, distance_kind);
      random_counts(*lit, r, int(seed));
      random_counts(*dist, r, int(seed) + 1);
      huffman_rebuild_reference(*lit);
      huffman_rebuild_reference(*dist);
      byte_bit_reader br;
      byte_bit_reader_reset(br);
      while (reader.stream_position < int32_t(stream.size()) - 64) {
        int kind = int(r.below(12));
        kind = kind < 6 ? 0 : kind < 8 ? 1 : kind < 9 ? 2 : kind < 10 ? 3 : kind < 11 ? 5 : 4;
        if ((kind == 4 && r.below(8)) || (kind == 5 && r.below(16))) kind = 0;
        uint32_t v = 0;
        switch (kind) {
          case 0: v = uint32_t(decode_symbol_reference(*lit, br)); break;
          case 1: v = uint32_t(decode_symbol_reference(*dist, br)); break;
          case 2: v = read_bits(br, 12); break;
          case 3: v = read_bits(br, 5); break;
          case 4: byte_bit_reader_reset(br); v = read_stream_byte(); break;
          case 5: huffman_rebuild_reference(*lit); huffman_rebuild_reference(*dist); break;
        }
        script.push_back({kind, v});
      }
      script.push_back({6, uint32_t(reader.stream_position)});
    }
    opened_archive o(a.bytes);
    huffman_init(*lit, literal_length_kind);
    huffman_init(*dist, distance_kind);
    rng again{seed * 7919u};
    random_counts(*lit, again, int(seed));
    random_counts(*dist, again, int(seed) + 1);
    // Full tables, tables of one and two bits (nearly every code walks on over the buffer),
    // and short tables, whose leaves are also found when fewer bits than a full table are
    // left before a block's end.
    const int table_bits[] = {huffman_table_bits, 1, 6, 2, 3, 5};
    int tables = table_bits[seed - 1];
    huffman_rebuild(*lit, tables);
    huffman_rebuild(*dist, tables);
    bit_reader br;
    bit_reader_reset(br);
    for (size_t i = 0; i + 1 < script.size(); i++) {
      const op& s = script[i];
      uint32_t v = 0;
      switch (s.kind) {
        case 0: v = uint32_t(decode_symbol(*lit, br)); break;
        case 1: v = uint32_t(decode_symbol(*dist, br)); break;
        case 2: v = read_bits(br, 12); break;
        case 3: v = read_bits(br, 5); break;
        case 4:
          bit_reader_finish(br);
          v = read_stream_byte();
          bit_reader_reset(br);
          break;
        case 5: huffman_rebuild(*lit, tables); huffman_rebuild(*dist, tables); break;
      }
      ASSERT_EQ(v, s.value) << "seed " << seed << " table bits " << tables << " step " << i
                            << " kind " << s.kind;
    }
    bit_reader_finish(br);
    EXPECT_EQ(uint32_t(reader.stream_position), script.back().value);
  }
}
