// Choosing the literals and matches of a member: a lazy parse for the fast levels, and a
// parse of least cost under the current codes, a stretch at a time, for the others.
#pragma once
#include <stdint.h>

#include "packer/encoder_coder.h"
#include "packer/encoder_match.h"

// Codes window bytes from..to-1 (the window holds the preloaded history below `from`).
// match_surcharge, in sixteenths of a bit, is added to the price of every match: what a
// match costs the decoder beyond its bits. Each match counts towards a rebuild of the
// distance tree (one every 64 matches early in a member), and rebuilds are half of what
// decoding spends on source text, so a parse with fewer matches decodes faster.
void parse_lazy(symbol_coder& c, match_finder& f, const uint8_t* window, int32_t from,
                int32_t to, int32_t match_surcharge = 0);
// Prices that look ahead: the code lengths, in sixteenths of a bit, that each symbol had by
// the end of an earlier pass over the same member, where the adaptive codes were heading.
struct parse_hints {
  uint16_t literal_length[huffman_symbols];
  uint16_t distance[huffman_symbols];
};
// The hints from a coder that has coded the whole member.
void hints_from(const symbol_coder& c, parse_hints& hints);

// With hints, each price is the mean of the code in force and the hint.
void parse_optimal(symbol_coder& c, match_finder& f, const uint8_t* window, int32_t from,
                   int32_t to, const parse_hints* hints = nullptr, int32_t match_surcharge = 0);
