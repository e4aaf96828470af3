// Match finding for the encoder: hash chains over the window as the decoder will hold it
// (the preloaded history followed by the member's bytes after the shared prefix).
#pragma once
#include <stdint.h>
#include <vector>

#include "engine/lz_format.h"

struct match {
  int32_t length = 0;
  int32_t distance = 0;
};

struct match_finder {
  const uint8_t* data = nullptr;
  int32_t size = 0;
  // Bytes that may be copied from a source position below history_length: 0 for none; a
  // source position at or above history_length is unlimited. Empty: no limit at all.
  std::vector<int32_t> stable_run;
  int32_t max_chain = 256;
  int32_t nice_length = 258;
  int32_t hash_bits = 16;
  int32_t ring_mask = 32767;
  std::vector<int32_t> head4;   // newest position per 4-byte hash, -1 for none
  std::vector<int32_t> chain;   // previous position with the same hash, by position mod ring
  std::vector<int32_t> last3;   // newest position per hash of 3 bytes
  std::vector<int32_t> last2;   // newest position per hash of 2 bytes
  int32_t inserted = 0;         // positions below this are in the tables
  // Code lengths of the distance symbols in force, or null: find_longest then takes, among
  // the longest matches, the one with the shortest distance code rather than the nearest.
  const uint8_t* distance_bits = nullptr;
};

void match_finder_start(match_finder& f, const uint8_t* data, int32_t size);
// Adds every position below `to` to the tables.
void match_finder_insert_to(match_finder& f, int32_t to);
// The longest match at `position` (among equals the nearest, or the cheapest with
// distance_bits), inserting positions up to and including it first. length 0 when there is
// none of at least 2 bytes.
match find_longest(match_finder& f, int32_t position);
// Every length improvement at `position`: out[k] has a longer length than out[k-1], each
// with the nearest distance found for it. Returns the count (at most capacity).
int32_t find_all(match_finder& f, int32_t position, match* out, int32_t capacity);
