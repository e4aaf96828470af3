// The LZ decoder: a member's coded body into its bytes, through a 49152-byte output window
// flushed 32768 bytes at a time, with 256 dictionary slots holding the first 24576 bytes of
// recent members (slot 0: the stub's own image).
#pragma once
#include <stdint.h>
#include "engine/bit_reader.h"
#include "engine/huffman.h"
#include "engine/lz_format.h"
#include "platform/platform.h"

constexpr int32_t window_size = 49152;
constexpr int32_t flush_size = 32768;

struct dictionary_slot {
  int32_t length;
  uint8_t bytes[slot_capacity];
};

struct slot_table {
  dictionary_slot slots[slot_count];
  int32_t current_slot;
  // Which slots hold a member of this run (slot 0 holds the stub image from the start); a
  // reference to an unfilled slot is damage.
  bool filled[slot_count];
};

// Match copies move 8 bytes at a time, at least 32, and may write up to 31 bytes past the
// match, into positions not yet decoded; the slack keeps that inside the window at its end.
constexpr int32_t copy_slack = 32;

// Window positions count from the member's start with the preloaded history included, so
// for a member near the largest size (2^31 - 1 bytes) they pass 2^31. They are kept modulo
// 2^32: only differences between them are used, and those stay within the window.
struct output_window {
  uint8_t bytes[window_size + copy_slack];
  uint32_t position;
  uint32_t base;
  int32_t flush_start;
  bool skip_output;
};

// The per-run working area: about 6.1 MiB, static, set up by start_run.
struct decoder_state {
  // The stub's image as read from the archive (at least slot_capacity bytes), set by whoever
  // opens it (open_archive): slot 0 of every run starts as its first bytes.
  const uint8_t* stub_image;
  slot_table table;
  output_window window;
  // Both models after init and their first rebuild (first_*) are the same for every
  // member, so they are made once per run and copied. Page-aligned: a copy between two
  // addresses a few bytes short of a multiple of 4096 apart (as unaligned neighbours were)
  // makes the processor stall on false store-to-load conflicts, at a tenth of its speed.
  alignas(4096) huffman_model literal_length_model;
  alignas(4096) huffman_model distance_model;
  alignas(4096) huffman_model first_literal_length;
  alignas(4096) huffman_model first_distance;
  // Whether each model has been rebuilt since it was last copied from its first state. One
  // that has not differs from it in its counts alone, so the next member resets just those:
  // most members of a typical archive end before their first rebuild.
  bool literal_length_rebuilt;
  bool distance_rebuilt;
  bit_reader bits;
  int32_t size;
  int32_t reference_delta;
  int32_t shared_length;
  int32_t reference_slot;
  int32_t history_length;
  int32_t history_start;
  int32_t produced;
  int32_t symbol_count;
  int32_t match_count;
  file_handle output_file;
};
extern decoder_state decoder;

// Slot 0 := the first 24576 bytes of decoder.stub_image, current_slot := 1.
void start_run();
// Reads the member's reference fields and works out the history geometry. A negative size,
// a shared_length above the size or above the reference slot, or an unfilled reference slot
// is damage (fail_run with failure_damaged, engine/edge.h).
void begin_member(int32_t size);
// Writes the shared prefix, decodes the body and flushes. Returns when the member is
// complete or cancel_requested (engine/edge.h) is set. Malformed coded data is damage
// (failure_damaged); a write that fails is failure_write.
void decode_member(file_handle output_file, bool skip_output);
void end_member();
