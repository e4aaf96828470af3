// Choosing the literals and matches of a member: a lazy parse for the fast levels, and a
// parse of least cost under the current codes, a stretch at a time, for the others.
#pragma once
#include <stdint.h>

#include "packer/encoder_coder.h"
#include "packer/encoder_match.h"

// Codes window bytes from..to-1 (the window holds the preloaded history below `from`).
void parse_lazy(symbol_coder& c, match_finder& f, const uint8_t* window, int32_t from, int32_t to);
void parse_optimal(symbol_coder& c, match_finder& f, const uint8_t* window, int32_t from,
                   int32_t to);
