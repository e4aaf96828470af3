// Hash chains over the window. Distances never exceed 16384, so the chain links live in a
// ring of at most 32768 entries: a link is read only for a position at most 16384 back,
// which no newer position has overwritten yet. Tables are sized to the window, so that a
// small member does not pay for clearing big ones.
//
// The chains link positions by their first four bytes; matches of two and three bytes come
// from the newest position with those bytes. On source text, chains of three bytes were
// mostly spaces and common words: the limit on steps ran out among candidates that a
// four-byte chain never holds, and the older, longer matches went unseen.
#include "packer/encoder_match.h"

#include <algorithm>
#include <string.h>

static inline uint32_t hash3(const match_finder& f, const uint8_t* p) {
  uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
  return (v * 2654435761u) >> (32 - f.hash_bits);
}

static inline uint32_t hash4(const match_finder& f, const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return (v * 2654435761u) >> (32 - f.hash_bits);
}

// Candidates from it are checked byte by byte, so a collision only costs a comparison.
static inline uint32_t key2(const match_finder& f, const uint8_t* p) {
  uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8;
  return (v * 2654435761u) >> (32 - f.hash_bits);
}

void match_finder_start(match_finder& f, const uint8_t* data, int32_t size) {
  f.data = data;
  f.size = size;
  f.hash_bits = 10;
  while (f.hash_bits < 16 && (int32_t(1) << f.hash_bits) < size) f.hash_bits++;
  f.ring_mask = 1023;
  while (f.ring_mask < 32767 && f.ring_mask < size) f.ring_mask = f.ring_mask * 2 + 1;
  f.head4.assign(size_t(1) << f.hash_bits, -1);
  f.chain.assign(size_t(f.ring_mask) + 1, -1);
  f.last3.assign(size_t(1) << f.hash_bits, -1);
  f.last2.assign(size_t(1) << f.hash_bits, -1);
  f.inserted = 0;
}

void match_finder_insert_to(match_finder& f, int32_t to) {
  if (to > f.size) to = f.size;
  const uint8_t* d = f.data;
  for (int32_t p = f.inserted; p < to; p++) {
    if (p + 3 < f.size) {
      uint32_t h = hash4(f, d + p);
      f.chain[size_t(p & f.ring_mask)] = f.head4[h];
      f.head4[h] = p;
    }
    if (p + 2 < f.size) f.last3[hash3(f, d + p)] = p;
    if (p + 1 < f.size) f.last2[key2(f, d + p)] = p;
  }
  if (to > f.inserted) f.inserted = to;
}

// Longest length at which a copy from `source` may run for `position`.
static inline int32_t limit_for(const match_finder& f, int32_t source, int32_t position) {
  int32_t limit = std::min(max_match_length, f.size - position);
  if (!f.stable_run.empty() && source < int32_t(f.stable_run.size()))
    limit = std::min(limit, f.stable_run[size_t(source)]);
  return limit;
}

static inline int32_t common_length(const uint8_t* a, const uint8_t* b, int32_t limit) {
  int32_t n = 0;
  while (n + 8 <= limit) {
    uint64_t x, y;
    memcpy(&x, a + n, 8);
    memcpy(&y, b + n, 8);
    if (x != y) return n + (__builtin_ctzll(x ^ y) >> 3);  // little-endian: first differing byte
    n += 8;
  }
  while (n < limit && a[n] == b[n]) n++;
  return n;
}

// Visits the candidates at `position` that could be longer than `best` (which the visitor
// raises): a candidate whose byte at offset best differs, or whose limit does not reach past
// best, cannot be, and is passed over without comparing the rest.
template <typename Visit>
static void walk(match_finder& f, int32_t position, const int32_t& best, Visit visit) {
  match_finder_insert_to(f, position);
  const uint8_t* d = f.data;
  if (position + 1 >= f.size) return;
  int32_t lowest = position - max_distance;
  int32_t c2 = f.last2[key2(f, d + position)];
  if (c2 >= 0 && c2 >= lowest) {
    int32_t limit = limit_for(f, c2, position);
    if (limit >= 2) {
      if (!visit(c2, common_length(d + c2, d + position, limit))) return;
    }
  }
  if (position + 2 >= f.size) return;
  int32_t c3 = f.last3[hash3(f, d + position)];
  if (c3 >= 0 && c3 >= lowest && c3 != c2) {
    int32_t limit = limit_for(f, c3, position);
    if (limit >= 3 && limit > best && d[c3 + best] == d[position + best]) {
      if (!visit(c3, common_length(d + c3, d + position, limit))) return;
    }
  }
  if (position + 3 >= f.size) return;
  int32_t c = f.head4[hash4(f, d + position)];
  for (int32_t steps = f.max_chain; c >= lowest && c >= 0 && steps > 0; steps--) {
    int32_t limit = limit_for(f, c, position);
    if (limit >= 3 && limit > best && d[c + best] == d[position + best]) {
      if (!visit(c, common_length(d + c, d + position, limit))) return;
    }
    int32_t next = f.chain[size_t(c & f.ring_mask)];
    if (next >= c) break;
    c = next;
  }
}

match find_longest(match_finder& f, int32_t position) {
  match best;
  // With distance prices, a candidate as long as the best is worth comparing too.
  int32_t reach = 0;
  walk(f, position, reach, [&](int32_t source, int32_t length) {
    int32_t distance = position - source;
    if (length > best.length && length >= min_match_length) {
      best.length = length;
      best.distance = distance;
    } else if (f.distance_bits && length == best.length && length >= min_match_length &&
               f.distance_bits[(distance - 1) >> 5] <
                   f.distance_bits[(best.distance - 1) >> 5]) {
      best.distance = distance;
    }
    reach = f.distance_bits ? std::max(best.length - 1, 0) : best.length;
    return best.length < f.nice_length;
  });
  return best;
}

int32_t find_all(match_finder& f, int32_t position, match* out, int32_t capacity) {
  int32_t count = 0;
  int32_t best = min_match_length - 1;
  walk(f, position, best, [&](int32_t source, int32_t length) {
    if (length > best && count < capacity) {
      best = length;
      out[count].length = length;
      out[count].distance = position - source;
      count++;
    }
    return best < f.nice_length && count < capacity;
  });
  return count;
}
