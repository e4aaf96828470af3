// The adaptive 512-symbol prefix code of the format and the bit reader under it. Nothing
// about a code is transmitted: both sides rebuild every tree from the counts seen so far, so
// the sort order and the tie-breaks of rebuild() are part of the format. The packer's encoder
// uses this same model code, so both sides derive the same trees by construction.
#pragma once
#include <stdint.h>
#include <string.h>

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
  // cheaper to build, or 0 for none (decoding then walks the tree from the root).
  uint8_t table_bits;
};

void huffman_init(huffman_model& m, model_kind kind);
// The fast construction used by both sides: only the leaves counted since the last rebuild
// are sorted and merged into the kept order, and runs of equal counts are merged into the
// tree a run at a time. Yields the same tree as the reference, node for node.
void huffman_rebuild(huffman_model& m, int table_bits = huffman_table_bits);
// The literal construction (bubble sort from the back, then the list merge that moves every
// new inner node forward), kept as the reference that the fast rebuild is tested against.
// Also builds the table.
void huffman_rebuild_reference(huffman_model& m);
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

// The decoder's bit reader. It takes whole bytes from the block stream exactly as a reader of
// one byte at a time would (a byte is fetched only when one of its bits is needed), but
// looks ahead into the verified bytes of the current block through peek_stream_bytes to
// work on a 64-bit buffer. Bytes looked at but not used are not consumed; bit_reader_finish
// hands the used ones over, so the member record after the coded data starts at the right
// byte. A new block is fetched only when a bit of it is needed.
struct bit_reader {
  uint64_t buffer;        // unused bits, next bit in bit 0
  int32_t bits;           // valid bits in buffer
  const uint8_t* next;    // the current block's bytes not yet put into buffer
  const uint8_t* end;     // the end of the current block's verified bytes
  const uint8_t* start;   // the first byte put into buffer and not consumed
};
void bit_reader_reset(bit_reader& r);
// Consumes the bytes the member used (its last byte included, even when only partly used).
void bit_reader_finish(bit_reader& r);
int read_bit(bit_reader& r);
// read_bits when the buffer, even topped up, holds fewer than n bits: bit by bit, across a
// block's end.
uint32_t read_bits_slow(bit_reader& r, int n);
// The table miss, the short buffer and the model without a table: the walk.
int decode_symbol_slow(huffman_model& m, bit_reader& r);

// Tops the buffer up from the current block without consuming anything. Eight bytes at a
// time where the block has them: the bits loaded beyond `bits` are then the stream's next
// bits, so OR-ing them in again later changes nothing.
inline void bit_reader_fill(bit_reader& r) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the buffer load is little-endian");
  if (r.end - r.next >= 8) {
    uint64_t v;
    memcpy(&v, r.next, 8);
    r.buffer |= v << r.bits;
    // As many whole bytes as fit: the buffer then holds 56 to 63 bits.
    r.next += (uint32_t(r.bits) ^ 63) >> 3;
    r.bits |= 56;
    return;
  }
  while (r.bits <= 56 && r.next < r.end) {
    r.buffer |= uint64_t(*r.next++) << r.bits;
    r.bits += 8;
  }
}

// n up to 24; the first bit read is the least significant.
inline uint32_t read_bits(bit_reader& r, int n) {
  if (r.bits < n) {
    bit_reader_fill(r);
    if (r.bits < n) {
      // Through a copy, so that the caller's reader never has its address taken and can
      // live in registers.
      bit_reader t = r;
      uint32_t v = read_bits_slow(t, n);
      r = t;
      return v;
    }
  }
  uint32_t v = uint32_t(r.buffer) & ((1u << n) - 1);
  r.buffer >>= n;
  r.bits -= n;
  return v;
}

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

// Decodes one symbol (through the table when the model has one) and counts it.
inline int decode_symbol(huffman_model& m, bit_reader& r) {
  if (m.table_bits == 0) return decode_symbol_slow_copy(m, r);
  return decode_symbol_with_table(m, r, m.table_bits);
}

// The plain reader of one byte at a time and the walk of one node per bit: the reference
// the fast path is compared with.
struct byte_bit_reader {
  uint8_t current;      // the byte being handed out, shifted right by the bits taken
  uint8_t bit_count;    // bits of it already taken, 0 to 7
};
void byte_bit_reader_reset(byte_bit_reader& r);
int read_bit(byte_bit_reader& r);
uint32_t read_bits(byte_bit_reader& r, int n);
int decode_symbol_reference(huffman_model& m, byte_bit_reader& r);
