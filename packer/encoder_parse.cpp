// Parsing a member into literals and matches. Prices are code lengths in bits under the
// trees in use when a stretch starts; the adaptive models move on while the stretch is
// coded, which is why stretches are short while the trees still change often.
#include "packer/encoder_parse.h"

#include <algorithm>
#include <math.h>
#include <vector>

void parse_lazy(symbol_coder& c, match_finder& f, const uint8_t* w, int32_t from, int32_t to,
                int32_t match_surcharge) {
  // Prices in sixteenths of a bit; among the longest matches, the cheapest distance code.
  f.distance_bits = c.distance_bits;
  auto literal_cost = [&](uint8_t b) { return 16 * literal_price(c, b); };
  auto match_cost = [&](const match& m) {
    return 16 * match_price(c, m.length, m.distance) + match_surcharge;
  };
  int32_t p = from;
  match carried;
  bool have_carried = false;
  while (p < to) {
    coder_prepare(c);
    match m = have_carried ? carried : find_longest(f, p);
    have_carried = false;
    if (m.length >= min_match_length && m.length < f.nice_length && p + 1 < to) {
      match next = find_longest(f, p + 1);
      // A literal and the next match, against this match and literals up to where the next
      // one ends, at the prices in force.
      bool defer = next.length > m.length;
      if (next.length >= m.length && next.length < f.nice_length) {
        int32_t now = match_cost(m);
        for (int32_t i = m.length; i <= next.length; i++) now += literal_cost(w[p + i]);
        defer = literal_cost(w[p]) + match_cost(next) < now;
      }
      if (defer) {
        put_literal(c, w[p]);
        p++;
        carried = next;
        have_carried = true;
        continue;
      }
    }
    bool take = m.length >= min_match_length;
    if (take && m.length < 8) {
      int32_t literals = 0;
      for (int32_t i = 0; i < m.length; i++) literals += literal_cost(w[p + i]);
      take = match_cost(m) < literals;
    }
    if (take) {
      put_match(c, m.length, m.distance);
      p += m.length;
    } else {
      put_literal(c, w[p]);
      p++;
    }
  }
}

static void hint_lengths(const huffman_model& m, uint16_t* out) {
  double total = 0;
  for (int i = 0; i < huffman_symbols; i++) total += m.counts[i];
  for (int i = 0; i < huffman_symbols; i++) {
    double bits = -log2(double(m.counts[i]) / total);
    out[i] = uint16_t(std::min(bits * 16 + 0.5, 60000.0));
  }
}

void hints_from(const symbol_coder& c, parse_hints& hints) {
  hint_lengths(c.literal_length, hints.literal_length);
  hint_lengths(c.distance, hints.distance);
}

void parse_optimal(symbol_coder& c, match_finder& f, const uint8_t* w, int32_t from, int32_t to,
                   const parse_hints* hints, int32_t match_surcharge) {
  constexpr int32_t unreached = INT32_MAX / 2;
  constexpr int32_t list_capacity = 64;
  std::vector<int32_t> cost, step_length, step_distance;
  std::vector<int32_t> path;
  match found[list_capacity];
  // Prices in sixteenths of a bit for the stretch: the codes in force, or their mean with
  // the hints.
  int32_t literal_price_of[huffman_symbols], distance_price_of[huffman_symbols];
  auto set_prices = [&]() {
    for (int i = 0; i < huffman_symbols; i++) {
      literal_price_of[i] = 16 * c.literal_bits[i];
      distance_price_of[i] = 16 * c.distance_bits[i];
      if (hints) {
        literal_price_of[i] = (literal_price_of[i] + hints->literal_length[i]) / 2;
        distance_price_of[i] = (distance_price_of[i] + hints->distance[i]) / 2;
      }
    }
  };
  auto match_cost = [&](int32_t length, int32_t distance) {
    int symbol = length <= 256 ? length + 254 : 511;
    return literal_price_of[symbol] + (symbol == 511 ? 12 * 16 : 0) +
           distance_price_of[(distance - 1) >> 5] + 5 * 16 + match_surcharge;
  };
  int32_t p = from;
  while (p < to) {
    coder_prepare(c);
    set_prices();
    int32_t stretch = c.symbols < 2048 ? 1024 : 4096;
    int32_t span = std::min(to - p, stretch);
    cost.assign(size_t(span) + 1, unreached);
    step_length.assign(size_t(span) + 1, 0);
    step_distance.assign(size_t(span) + 1, 0);
    cost[0] = 0;
    int32_t stop = span;
    match long_match;
    for (int32_t i = 0; i < span; i++) {
      int32_t here = cost[size_t(i)];
      int32_t literal = here + literal_price_of[w[p + i]];
      if (literal < cost[size_t(i) + 1]) {
        cost[size_t(i) + 1] = literal;
        step_length[size_t(i) + 1] = 1;
      }
      int32_t count = find_all(f, p + i, found, list_capacity);
      if (count == 0) continue;
      if (found[count - 1].length >= f.nice_length) {
        // A long match is taken as it stands: the stretch ends where it starts.
        stop = i;
        long_match = found[count - 1];
        break;
      }
      int32_t shorter = min_match_length - 1;
      for (int32_t k = 0; k < count; k++) {
        int32_t distance = found[k].distance;
        int32_t longest = std::min(found[k].length, span - i);
        for (int32_t length = shorter + 1; length <= longest; length++) {
          int32_t price = here + match_cost(length, distance);
          size_t at = size_t(i + length);
          if (price < cost[at]) {
            cost[at] = price;
            step_length[at] = length;
            step_distance[at] = distance;
          }
        }
        shorter = found[k].length;
      }
    }
    path.clear();
    for (int32_t at = stop; at > 0; at -= step_length[size_t(at)]) path.push_back(at);
    for (size_t k = path.size(); k-- > 0;) {
      int32_t at = path[k];
      int32_t length = step_length[size_t(at)];
      if (length == 1)
        put_literal(c, w[p + at - 1]);
      else
        put_match(c, length, step_distance[size_t(at)]);
    }
    p += stop;
    if (long_match.length > 0) {
      put_match(c, long_match.length, long_match.distance);
      p += long_match.length;
    }
  }
}
