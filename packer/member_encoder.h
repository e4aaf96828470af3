// The writing side of the member bodies: mirrors the decoder's dictionary slots, chooses each
// member's reference slot and shared prefix, and codes the rest through the same adaptive
// models the decoder uses.
#pragma once
#include <stdint.h>
#include <vector>
#include "packer/block_writer.h"

struct encoder_slot {
  std::vector<uint8_t> bytes;   // the first min(size, 24576) bytes of the member
  bool filled = false;
};

// The encoder's picture of the decoder's slot table for one archive.
struct encoder_run {
  encoder_slot slots[256];
  int32_t current_slot = 1;
  // Slot 0 positions that code signing rewrites (PE checksum, certificate table entry); no
  // match or shared prefix may copy from them.
  std::vector<bool> unstable_stub_bytes;
  int effort = 2;               // 1 fast ... 3 thorough; the default is the packer's
};

// Slot 0 := the first 24576 bytes of the stub image (26112 bytes), current_slot := 1.
void encoder_start_run(encoder_run& run, const uint8_t* stub_image);
// Writes the member's reference fields and coded data (everything after its size field) and
// advances current_slot, as the decoder's end_member will.
void encode_member(encoder_run& run, const uint8_t* data, int32_t size, block_writer& out);
