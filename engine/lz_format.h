// The dimensions of the coded data that the decoder and the packer's encoder share: the
// dictionary slots, the history a member starts with, and the matches the symbols express.
// Constants only, so that the packer's headers can take them without the decoder's.
#pragma once
#include <stdint.h>

// 256 slots holding the first 24576 bytes of recent members (slot 0: the stub's own image).
constexpr int32_t slot_count = 256;
constexpr int32_t slot_capacity = 24576;
// A member starts with up to 16384 bytes of history, at most 15360 of them from behind the
// shared prefix in its reference slot.
constexpr int32_t history_size = 16384;
constexpr int32_t max_history_from_slot = 15360;
// Length symbols give 2 to 4352 bytes, distance symbols 1 to 16384.
constexpr int32_t min_match_length = 2;
constexpr int32_t max_match_length = 4352;
constexpr int32_t max_distance = 16384;
