// Member bodies. The encoder walks the same window the decoder will hold and sends every
// symbol with the code of the tree in use at that point, then counts it and rebuilds at the
// same points, so both sides hold the same trees by construction.
#include "packer/member_encoder.h"

#include <algorithm>
#include <memory>
#include <string.h>

#include "app/stub_size.h"
#include "engine/lz_decoder.h"
#include "packer/encoder_coder.h"
#include "packer/encoder_parse.h"

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
  uint32_t pe = le32(stub_image + pe_header_offset);
  if (pe > uint32_t(slot_capacity) - pe_optional_header - 2) return;
  if (memcmp(stub_image + pe, "PE\0\0", 4) != 0) return;
  uint32_t optional = pe + pe_optional_header;
  uint32_t magic = uint32_t(stub_image[optional]) | uint32_t(stub_image[optional + 1]) << 8;
  auto mark = [&](uint32_t from, uint32_t count) {
    for (uint32_t i = from; i < from + count && i < uint32_t(slot_capacity); i++)
      run.unstable_stub_bytes[i] = true;
  };
  mark(optional + pe_checksum, 4);
  mark(optional + (magic == 0x20B ? pe32_plus_certificate_entry : pe32_certificate_entry), 8);
}

member_view view_of(const encoder_run& run) {
  member_view v;
  for (int32_t i = 0; i < slot_count; i++) v.slots[i] = &run.slots[i];
  v.current_slot = run.current_slot;
  v.slot0_is_stub = run.slot0_is_stub;
  v.unstable_stub_bytes = &run.unstable_stub_bytes;
  v.level = run.level;
  return v;
}

static int32_t slot_index(const member_view& v, int32_t delta) {
  return (v.current_slot + slot_count - delta) % slot_count;
}

static int32_t shared_length_in(const member_view& v, const uint8_t* data, int32_t size,
                                int32_t delta) {
  int32_t index = slot_index(v, delta);
  const encoder_slot& slot = *v.slots[index];
  if (!slot.filled) return 0;
  int32_t limit = std::min({size, int32_t(slot.bytes.size()), int32_t(65535)});
  bool guard = index == 0 && v.slot0_is_stub;
  const uint8_t* other = slot.bytes.data();
  int32_t n = 0;
  if (!guard) {
    while (n + 8 <= limit) {
      uint64_t x, y;
      memcpy(&x, data + n, 8);
      memcpy(&y, other + n, 8);
      if (x != y) return n + (__builtin_ctzll(x ^ y) >> 3);  // little-endian
      n += 8;
    }
  }
  const std::vector<bool>& unstable = *v.unstable_stub_bytes;
  while (n < limit && data[n] == other[n] && !(guard && unstable[size_t(n)])) n++;
  return n;
}

int32_t usable_shared_length(const encoder_run& run, const uint8_t* data, int32_t size,
                             int32_t delta) {
  return shared_length_in(view_of(run), data, size, delta);
}

namespace {

// What a level spends. Levels 1 to 3 parse lazily; from 4 on each member is parsed for the
// least cost under the codes in force.
struct level_setting {
  bool optimal;
  int32_t max_chain;
  int32_t nice_length;
  int32_t references;  // reference slots tried (by a trial coding of the member's start)
  int trial_level;     // the level of those trials
  int passes;          // of the least-cost parse (see body_at)
  // Added to each match's price, in sixteenths of a bit (see parse_lazy). Without it, on
  // /usr/include/c++ the lazy levels' archives took 2% to 6% more instructions to decode
  // than the least-cost parse of the packer before levels, whose default searched as far as
  // level 3 does; level 9 parses as that did and pays nothing. The short searches find more,
  // shorter matches and pay the most: with these, every level's archive of /usr/include
  // decodes in no more instructions than that packer's.
  int32_t match_surcharge;
};

const level_setting level_settings[max_level + 1] = {
    {false, 0, 0, 0, 0, 1, 0},       // (no level 0)
    {false, 16, 64, 1, 0, 1, 128},   // 1
    {false, 32, 64, 1, 0, 1, 64},    // 2
    {false, 128, 258, 1, 0, 1, 64},  // 3
    {true, 16, 40, 1, 0, 1, 48},     // 4
    {true, 24, 48, 1, 0, 1, 32},     // 5
    {true, 32, 64, 1, 0, 1, 32},     // 6
    {true, 64, 128, 2, 3, 1, 32},    // 7
    {true, 128, 258, 4, 3, 1, 32},   // 8
    {true, 512, 600, 8, 6, 2, 0},    // 9
};

const level_setting& setting_for(int level) {
  return level_settings[std::min(std::max(level, min_level), max_level)];
}

}  // namespace

static std::vector<uint8_t> body_at(const member_view& v, const uint8_t* data, int32_t size,
                                    int32_t delta, int32_t shared, int level) {
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
  int32_t index = slot_index(v, delta);
  const std::vector<uint8_t>& reference = v.slots[index]->bytes;
  int32_t slot_length = int32_t(reference.size());
  int32_t h = std::min(slot_length - shared, max_history_from_slot);
  int32_t t = std::min(history_size - h, shared);
  int32_t history_length = h + t, history_start = shared - t;
  std::vector<uint8_t> window(size_t(history_length) + size_t(size - shared));
  // (An empty slot has no storage at all: copy nothing rather than from nowhere.)
  if (history_length > 0)
    memcpy(window.data(), reference.data() + history_start, size_t(history_length));
  memcpy(window.data() + history_length, data + shared, size_t(size - shared));
  int32_t n = int32_t(window.size());

  match_finder finder;
  match_finder_start(finder, window.data(), n);
  const level_setting& setting = setting_for(level);
  finder.max_chain = setting.max_chain;
  finder.nice_length = setting.nice_length;
  if (index == 0 && v.slot0_is_stub) {
    // How far a copy may run from each history position before it would touch a byte that
    // code signing rewrites; INT32_MAX where none follows.
    const std::vector<bool>& unstable = *v.unstable_stub_bytes;
    finder.stable_run.assign(size_t(history_length), INT32_MAX);
    int32_t run_length = INT32_MAX;
    for (int32_t i = history_length - 1; i >= 0; i--) {
      if (unstable[size_t(history_start + i)])
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

  if (!setting.optimal) {
    parse_lazy(c, finder, window.data(), history_length, n, setting.match_surcharge);
  } else {
    parse_optimal(c, finder, window.data(), history_length, n, nullptr, setting.match_surcharge);
    // Further passes price each symbol between the code in force and the code it had at
    // the end of the pass before; the smallest pass is kept.
    auto hints = std::make_unique<parse_hints>();
    auto again = std::make_unique<symbol_coder>();
    for (int pass = 1; pass < setting.passes; pass++) {
      hints_from(c, *hints);
      match_finder fresh;
      match_finder_start(fresh, window.data(), n);
      fresh.max_chain = finder.max_chain;
      fresh.nice_length = finder.nice_length;
      fresh.stable_run = finder.stable_run;
      coder_start(*again);
      parse_optimal(*again, fresh, window.data(), history_length, n, hints.get(),
                    setting.match_surcharge);
      if (bits_written(again->out) < bits_written(c.out)) std::swap(c, *again);
    }
    if (setting.passes > 1) {
      // On data that hardly compresses, the least-cost parse takes short matches that look
      // cheaper than literals at the prices in force and cost more in the end; a lazy parse
      // (level 3's) is tried as well.
      const level_setting& lazy = setting_for(3);
      match_finder fresh;
      match_finder_start(fresh, window.data(), n);
      fresh.max_chain = lazy.max_chain;
      fresh.nice_length = lazy.nice_length;
      fresh.stable_run = finder.stable_run;
      coder_start(*again);
      parse_lazy(*again, fresh, window.data(), history_length, n);
      if (bits_written(again->out) < bits_written(c.out)) std::swap(c, *again);
    }
  }
  finish_bits(c.out);
  body.insert(body.end(), c.out.bytes.begin(), c.out.bytes.end());
  return body;
}

std::vector<uint8_t> encode_member_body(const encoder_run& run, const uint8_t* data,
                                        int32_t size, int32_t delta, int32_t shared) {
  return body_at(view_of(run), data, size, delta, shared, run.level);
}

// Hashes of the 8-byte strings at content-chosen positions (about one in 16: those whose
// hash is below 2^28), sorted and unique; two texts that share strings share many of them
// wherever the strings lie. The hashes below 2^26 (one in 64) are a prefix of the sketch: a
// coarse sketch that costs a quarter as much to compare.
constexpr uint32_t sketch_bound = uint32_t(1) << 28;
constexpr uint32_t coarse_bound = uint32_t(1) << 26;

std::vector<uint32_t> member_sketch(const uint8_t* data, int32_t size) {
  std::vector<uint32_t> out;
  size = std::min(size, slot_capacity);
  for (int32_t i = 0; i + 8 <= size; i++) {
    uint64_t v;
    memcpy(&v, data + i, 8);
    uint32_t h = uint32_t((v * 0x9E3779B97F4A7C15ull) >> 32);
    if (h < sketch_bound) out.push_back(h);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

static size_t coarse_length(const std::vector<uint32_t>& sketch) {
  return size_t(std::lower_bound(sketch.begin(), sketch.end(), coarse_bound) - sketch.begin());
}

// A merge without branches on the data: the comparisons of two sketches follow no pattern,
// and across 255 slots a mispredicted branch per step was most of a fast level's time.
// Counts the hashes the first na of a and the first nb of b have in common.
static int32_t common_count(const std::vector<uint32_t>& a, size_t na,
                            const std::vector<uint32_t>& b, size_t nb) {
  int32_t n = 0;
  size_t i = 0, j = 0;
  const uint32_t* pa = a.data();
  const uint32_t* pb = b.data();
  while (i < na && j < nb) {
    uint32_t x = pa[i], y = pb[j];
    n += x == y;
    i += x <= y;
    j += y <= x;
  }
  return n;
}

std::vector<uint8_t> encode_member_in(const member_view& v, const uint8_t* data, int32_t size,
                                      const std::vector<uint32_t>& sketch) {
  // Candidates: across all filled slots those with the most strings in common and with the
  // longest shared prefix, the nearest slot, and more of the first kind. A level that tries
  // one takes the slot with the most strings in common: on C headers, where most files begin
  // with the same licence, that gave archives about 4% smaller than the longest prefix did.
  struct candidate {
    int32_t delta;
    int32_t shared;
    int32_t common;
  };
  const level_setting& setting = setting_for(v.level);
  std::vector<candidate> all;
  // Strings in common: the coarse sketches rank every slot, and the whole sketches count
  // exactly for the best few (the others count as none); nearly the same choices as whole
  // sketches throughout, at a third of the cost.
  constexpr size_t exact_counts = 8;
  size_t coarse = coarse_length(sketch);
  for (int32_t delta = 1; delta <= 255; delta++) {
    int32_t index = slot_index(v, delta);
    if (!v.slots[index]->filled) continue;
    const std::vector<uint32_t>& other = v.slots[index]->sketch;
    int32_t common = index == 0 && v.slot0_is_stub
                         ? 0
                         : common_count(sketch, coarse, other, coarse_length(other));
    all.push_back({delta, shared_length_in(v, data, size, delta), common});
  }
  std::vector<candidate*> ranked;
  for (candidate& c : all)
    if (c.common > 0) ranked.push_back(&c);
  size_t exact = std::min(ranked.size(), exact_counts);
  std::partial_sort(ranked.begin(), ranked.begin() + ptrdiff_t(exact), ranked.end(),
                    [](const candidate* a, const candidate* b) {
                      return a->common != b->common ? a->common > b->common
                                                    : a->delta < b->delta;
                    });
  for (size_t i = 0; i < ranked.size(); i++) {
    if (i >= exact) {
      ranked[i]->common = 0;
      continue;
    }
    const std::vector<uint32_t>& other = v.slots[slot_index(v, ranked[i]->delta)]->sketch;
    ranked[i]->common = common_count(sketch, sketch.size(), other, other.size());
  }
  std::vector<candidate> chosen;
  auto add = [&](const candidate& c) {
    for (const candidate& x : chosen)
      if (x.delta == c.delta) return;
    chosen.push_back(c);
  };
  auto best_by = [&](auto better) {
    const candidate* best = nullptr;
    for (const candidate& c : all) {
      bool taken = false;
      for (const candidate& x : chosen) taken |= x.delta == c.delta;
      if (!taken && (!best || better(c, *best))) best = &c;
    }
    if (best) add(*best);
  };
  auto by_shared = [](const candidate& a, const candidate& b) {
    return a.shared != b.shared ? a.shared > b.shared : a.common > b.common;
  };
  auto by_common = [](const candidate& a, const candidate& b) {
    return a.common != b.common ? a.common > b.common : a.shared > b.shared;
  };
  best_by(by_common);
  best_by(by_shared);
  if (!all.empty() && all[0].delta == 1) add(all[0]);
  best_by(by_common);
  best_by(by_shared);
  for (int k = 0; k < 3; k++) best_by(by_common);
  if (chosen.empty()) chosen.push_back({1, 0, 0});   // slot 0 is always filled

  size_t tries = std::min(chosen.size(), size_t(setting.references));
  // The reference matters for the prefix and the first 16384 bytes of matches: the trials
  // code only that much, at the level's trial level, and the winner is then coded whole.
  // Every trial ends at the same byte, 40000 past the longest prefix tried: a trial that
  // ended 40000 past its own prefix left out what a longer prefix gives for nothing, and on
  // large files that differ across a few copies (/usr/include/node/openssl) trying four
  // references came out 8% larger than trying two.
  int trial_level = setting.trial_level;
  int32_t trial = 0;
  for (size_t i = 0; i < tries; i++) trial = std::max(trial, chosen[i].shared);
  trial = int32_t(std::min(int64_t(size), int64_t(trial) + 40000));
  std::vector<uint8_t> best;
  size_t best_index = 0;
  bool best_is_whole = false;
  for (size_t i = 0; tries > 1 && i < tries; i++) {
    std::vector<uint8_t> body = body_at(v, data, trial, chosen[i].delta, chosen[i].shared,
                                        trial_level);
    if (i == 0 || body.size() < best.size()) {
      best.swap(body);
      best_index = i;
      best_is_whole = trial == size && trial_level == v.level;
    }
  }
  if (!best_is_whole)
    best = body_at(v, data, size, chosen[best_index].delta, chosen[best_index].shared, v.level);
  return best;
}

void encoder_advance(encoder_run& run, const uint8_t* data, int32_t size,
                     std::vector<uint32_t> sketch) {
  encoder_slot& slot = run.slots[run.current_slot];
  slot.bytes.assign(data, data + std::min(size, slot_capacity));
  slot.filled = true;
  slot.sketch = std::move(sketch);
  if (run.current_slot == 0) run.slot0_is_stub = false;
  run.current_slot = (run.current_slot + 1) % slot_count;
}

void encode_member(encoder_run& run, const uint8_t* data, int32_t size, block_writer& out) {
  std::vector<uint32_t> sketch = size > 0 ? member_sketch(data, size) : std::vector<uint32_t>();
  std::vector<uint8_t> body = encode_member_in(view_of(run), data, size, sketch);
  block_write(out, body.data(), body.size());
  encoder_advance(run, data, size, std::move(sketch));
}
