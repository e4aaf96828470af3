// Member bodies. The encoder walks the same window the decoder will hold and sends every
// symbol with the code of the tree in use at that point, then counts it and rebuilds at the
// same points, so both sides hold the same trees by construction.
#include "packer/member_encoder.h"

#include <algorithm>
#include <memory>
#include <string.h>

#include "engine/huffman.h"
#include "engine/lz_decoder.h"
#include "packer/encoder_bits.h"
#include "packer/encoder_match.h"

static uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void encoder_start_run(encoder_run& run, const uint8_t* stub_image) {
  for (encoder_slot& s : run.slots) {
    s.bytes.clear();
    s.filled = false;
  }
  run.slots[0].bytes.assign(stub_image, stub_image + slot_capacity);
  run.slots[0].filled = true;
  run.current_slot = 1;
  run.slot0_is_stub = true;

  // Code signing rewrites the PE checksum and the certificate table entry of the optional
  // header; an archive that copied them would decode differently once signed.
  run.unstable_stub_bytes.assign(slot_capacity, false);
  if (stub_image[0] != 'M' || stub_image[1] != 'Z') return;
  uint32_t pe = le32(stub_image + 0x3C);
  if (pe > uint32_t(slot_capacity) - 24 - 2) return;
  if (memcmp(stub_image + pe, "PE\0\0", 4) != 0) return;
  uint32_t optional = pe + 24;
  uint32_t magic = uint32_t(stub_image[optional]) | uint32_t(stub_image[optional + 1]) << 8;
  auto mark = [&](uint32_t from, uint32_t count) {
    for (uint32_t i = from; i < from + count && i < uint32_t(slot_capacity); i++)
      run.unstable_stub_bytes[i] = true;
  };
  mark(optional + 64, 4);
  mark(optional + (magic == 0x20B ? 144 : 128), 8);
}

int32_t usable_shared_length(const encoder_run& run, const uint8_t* data, int32_t size,
                             int32_t delta) {
  int32_t index = (run.current_slot + 256 - delta) % 256;
  const encoder_slot& slot = run.slots[index];
  if (!slot.filled) return 0;
  int32_t limit = std::min({size, int32_t(slot.bytes.size()), int32_t(65535)});
  bool guard = index == 0 && run.slot0_is_stub;
  int32_t n = 0;
  while (n < limit && data[n] == slot.bytes[size_t(n)] &&
         !(guard && run.unstable_stub_bytes[size_t(n)]))
    n++;
  return n;
}

namespace {

// Both models of one member with the codes of their current trees.
struct symbol_coder {
  huffman_model literal_length;
  huffman_model distance;
  uint64_t literal_code[huffman_symbols];
  uint8_t literal_bits[huffman_symbols];
  uint64_t distance_code[huffman_symbols];
  uint8_t distance_bits[huffman_symbols];
  int32_t symbols = 0;
  int32_t matches = 0;
  int32_t rebuilt_at = -1;
  bit_writer out;
};

void coder_start(symbol_coder& c) {
  huffman_init(c.literal_length, literal_length_kind);
  huffman_init(c.distance, distance_kind);
  huffman_rebuild(c.distance);
  huffman_codes(c.distance, c.distance_code, c.distance_bits);
  c.symbols = 0;
  c.matches = 0;
  c.rebuilt_at = -1;
}

// The decoder rebuilds before the symbol when due; prices need the tree of that point.
void coder_prepare(symbol_coder& c) {
  if (c.rebuilt_at != c.symbols && literal_length_due(c.symbols)) {
    huffman_rebuild(c.literal_length);
    huffman_codes(c.literal_length, c.literal_code, c.literal_bits);
    c.rebuilt_at = c.symbols;
  }
}

void put_literal(symbol_coder& c, uint8_t b) {
  coder_prepare(c);
  put_bits(c.out, c.literal_code[b], c.literal_bits[b]);
  c.literal_length.counts[b]++;
  c.symbols++;
}

void put_match(symbol_coder& c, int32_t length, int32_t distance) {
  coder_prepare(c);
  int symbol = length <= 256 ? length + 254 : 511;
  put_bits(c.out, c.literal_code[symbol], c.literal_bits[symbol]);
  c.literal_length.counts[symbol]++;
  if (symbol == 511) put_bits(c.out, uint64_t(length - 257), 12);
  int high = (distance - 1) >> 5;
  put_bits(c.out, c.distance_code[high], c.distance_bits[high]);
  c.distance.counts[high]++;
  put_bits(c.out, uint64_t((distance - 1) & 31), 5);
  c.matches++;
  if (distance_due(c.matches)) {
    huffman_rebuild(c.distance);
    huffman_codes(c.distance, c.distance_code, c.distance_bits);
  }
  c.symbols++;
}

inline int32_t literal_price(const symbol_coder& c, uint8_t b) { return c.literal_bits[b]; }

inline int32_t match_price(const symbol_coder& c, int32_t length, int32_t distance) {
  int symbol = length <= 256 ? length + 254 : 511;
  return c.literal_bits[symbol] + (symbol == 511 ? 12 : 0) +
         c.distance_bits[(distance - 1) >> 5] + 5;
}

struct effort_setting {
  int32_t max_chain;
  int32_t nice_length;
};

effort_setting setting_for(int effort) {
  if (effort <= 1) return {32, 64};
  if (effort == 2) return {512, 258};
  return {4096, 1024};
}

}  // namespace

std::vector<uint8_t> encode_member_body(const encoder_run& run, const uint8_t* data,
                                        int32_t size, int32_t delta, int32_t shared) {
  std::vector<uint8_t> body;
  if (delta == 1 && shared == 0) {
    body.push_back(0);
  } else {
    body.push_back(uint8_t(delta));
    body.push_back(uint8_t(shared));
    body.push_back(uint8_t(shared >> 8));
  }
  if (size == shared) return body;

  // The window as the decoder preloads it, then the rest of the member.
  int32_t index = (run.current_slot + 256 - delta) % 256;
  const std::vector<uint8_t>& reference = run.slots[index].bytes;
  int32_t slot_length = int32_t(reference.size());
  int32_t h = std::min(slot_length - shared, max_history_from_slot);
  int32_t t = std::min(history_size - h, shared);
  int32_t history_length = h + t, history_start = shared - t;
  std::vector<uint8_t> window(size_t(history_length) + size_t(size - shared));
  memcpy(window.data(), reference.data() + history_start, size_t(history_length));
  memcpy(window.data() + history_length, data + shared, size_t(size - shared));
  int32_t n = int32_t(window.size());

  match_finder finder;
  match_finder_start(finder, window.data(), n);
  effort_setting setting = setting_for(run.effort);
  finder.max_chain = setting.max_chain;
  finder.nice_length = setting.nice_length;
  if (index == 0 && run.slot0_is_stub) {
    // How far a copy may run from each history position before it would touch a byte that
    // code signing rewrites; INT32_MAX where none follows.
    finder.stable_run.assign(size_t(history_length), INT32_MAX);
    int32_t run_length = INT32_MAX;
    for (int32_t i = history_length - 1; i >= 0; i--) {
      if (run.unstable_stub_bytes[size_t(history_start + i)])
        run_length = 0;
      else if (run_length != INT32_MAX)
        run_length++;
      finder.stable_run[size_t(i)] = run_length;
    }
  }

  auto coder = std::make_unique<symbol_coder>();
  symbol_coder& c = *coder;
  coder_start(c);
  c.out.bytes.reserve(size_t(size - shared) / 2 + 16);

  const uint8_t* w = window.data();
  int32_t p = history_length;
  match carried;
  bool have_carried = false;
  while (p < n) {
    coder_prepare(c);
    match m = have_carried ? carried : find_longest(finder, p);
    have_carried = false;
    if (m.length >= encoder_min_match && m.length < finder.nice_length && p + 1 < n) {
      match next = find_longest(finder, p + 1);
      if (next.length > m.length) {
        put_literal(c, w[p]);
        p++;
        carried = next;
        have_carried = true;
        continue;
      }
    }
    bool take = m.length >= encoder_min_match;
    if (take && m.length < 8) {
      int32_t literals = 0;
      for (int32_t i = 0; i < m.length; i++) literals += literal_price(c, w[p + i]);
      take = match_price(c, m.length, m.distance) < literals;
    }
    if (take) {
      put_match(c, m.length, m.distance);
      p += m.length;
    } else {
      put_literal(c, w[p]);
      p++;
    }
  }
  finish_bits(c.out);
  body.insert(body.end(), c.out.bytes.begin(), c.out.bytes.end());
  return body;
}

void encode_member(encoder_run& run, const uint8_t* data, int32_t size, block_writer& out) {
  // Candidates: the last few slots, and the stub's image while slot 0 still holds it.
  struct candidate {
    int32_t delta;
    int32_t shared;
  };
  std::vector<candidate> candidates;
  int32_t recent = run.effort <= 1 ? 4 : 8;
  for (int32_t delta = 1; delta <= std::min(recent, int32_t(255)); delta++) {
    int32_t index = (run.current_slot + 256 - delta) % 256;
    if (!run.slots[index].filled) continue;
    candidates.push_back({delta, usable_shared_length(run, data, size, delta)});
  }
  if (run.slot0_is_stub && run.current_slot > recent)
    candidates.push_back({run.current_slot, usable_shared_length(run, data, size, run.current_slot)});
  if (candidates.empty()) candidates.push_back({1, 0});   // slot 0 is always filled

  // Longest shared prefix first, the nearest slot among equals.
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const candidate& a, const candidate& b) { return a.shared > b.shared; });
  size_t tries = run.effort <= 1 ? 1 : run.effort == 2 ? 3 : candidates.size();
  // A big member gains little from its reference beyond the prefix; spare the time.
  if (size > (1 << 20)) tries = 1;
  tries = std::min(tries, candidates.size());
  std::vector<uint8_t> best;
  for (size_t i = 0; i < tries; i++) {
    std::vector<uint8_t> body =
        encode_member_body(run, data, size, candidates[i].delta, candidates[i].shared);
    if (i == 0 || body.size() < best.size()) best.swap(body);
  }
  block_write(out, best.data(), best.size());

  encoder_slot& slot = run.slots[run.current_slot];
  slot.bytes.assign(data, data + std::min(size, slot_capacity));
  slot.filled = true;
  if (run.current_slot == 0) run.slot0_is_stub = false;
  run.current_slot = (run.current_slot + 1) % 256;
}
