// The writing side of the member bodies: mirrors the decoder's dictionary slots, chooses each
// member's reference slot and shared prefix, and codes the rest through the same adaptive
// models the decoder uses.
#pragma once
#include <stdint.h>
#include <vector>
#include "engine/lz_format.h"
#include "packer/block_writer.h"

struct encoder_slot {
  std::vector<uint8_t> bytes;   // the first min(size, 24576) bytes of the member
  bool filled = false;
  // Sampled hashes of its 8-byte strings, sorted: how much a later member could copy from it.
  std::vector<uint32_t> sketch;
};

// Packing levels: 1 packs fastest, max_level makes the smallest archive.
constexpr int min_level = 1;
constexpr int max_level = 9;
constexpr int default_level = 3;

// The encoder's picture of the decoder's slot table for one archive.
struct encoder_run {
  encoder_slot slots[slot_count];
  int32_t current_slot = 1;
  // Slot 0 positions that code signing rewrites (PE checksum, certificate table entry); no
  // match or shared prefix may copy from them while slot 0 holds the stub.
  std::vector<bool> unstable_stub_bytes;
  bool slot0_is_stub = true;    // until the 256th file member replaces it
  int level = default_level;
};

// What encoding one member reads of the run: the slot table as it stands before that member.
// The slots are borrowed, so that members can be encoded side by side while their slots are
// held elsewhere (see archive_writer.cpp).
struct member_view {
  const encoder_slot* slots[slot_count];  // never null: an empty slot is not filled
  int32_t current_slot = 1;
  bool slot0_is_stub = true;
  const std::vector<bool>* unstable_stub_bytes = nullptr;
  int level = default_level;
};

member_view view_of(const encoder_run& run);
// The member's sketch, which its slot keeps for the choice of later members' references.
std::vector<uint32_t> member_sketch(const uint8_t* data, int32_t size);
// The member's reference fields and coded data (everything after its size field), with the
// reference chosen among the view's slots. sketch is member_sketch of the member.
std::vector<uint8_t> encode_member_in(const member_view& view, const uint8_t* data, int32_t size,
                                      const std::vector<uint32_t>& sketch);
// Puts the member into the current slot and moves to the next, as the decoder's end_member.
void encoder_advance(encoder_run& run, const uint8_t* data, int32_t size,
                     std::vector<uint32_t> sketch);

// Slot 0 := the first 24576 bytes of the stub image (26112 bytes), current_slot := 1.
void encoder_start_run(encoder_run& run, const uint8_t* stub_image);
// Writes the member's reference fields and coded data (everything after its size field) and
// advances current_slot, as the decoder's end_member will. size is below 2^31 - 4096 (the
// decoder refuses a member of more symbols, whose counts could overflow).
void encode_member(encoder_run& run, const uint8_t* data, int32_t size, block_writer& out);

// The body of one member with a given reference (reference_delta 1 to 255; 1 with
// shared_length 0 is written as the single byte 0): reference fields and coded data. The
// shared length must not exceed what encode_member would allow. For tests and for the
// choice of reference.
std::vector<uint8_t> encode_member_body(const encoder_run& run, const uint8_t* data,
                                        int32_t size, int32_t delta, int32_t shared_length);
// The longest shared prefix the member may take from the slot `delta` back: equal bytes,
// within the slot's length and 65535, and clear of the stub bytes code signing rewrites.
int32_t usable_shared_length(const encoder_run& run, const uint8_t* data, int32_t size,
                             int32_t delta);
