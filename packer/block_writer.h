// Writing side of the block stream and the preamble: the first pieces of the packer, and what
// the tests build their archives with.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <vector>

#include "engine/block_reader.h"

// Collects the data bytes of the block stream and emits 4098-byte blocks: 4096 data bytes
// (scrambled when a password is set; the key cycle runs on across blocks) and the CRC-16 of
// the plain data, high byte first. The last block holds the rest (1 to 4096 bytes).
struct block_writer {
  std::vector<uint8_t>* out = nullptr;    // blocks are appended here
  std::vector<uint8_t> password;          // CP932 bytes; empty: no scrambling
  uint8_t pending[block_data_size];
  int32_t pending_length = 0;
  size_t key_index = 0;
  uint64_t data_written = 0;              // data bytes taken so far
};

void block_writer_start(block_writer& w, std::vector<uint8_t>* out,
                        const std::vector<uint8_t>& password);
void block_write_byte(block_writer& w, uint8_t b);
void block_write(block_writer& w, const uint8_t* data, size_t length);
// Emits the last, partial block. A stream with no data at all emits nothing.
void block_writer_finish(block_writer& w);

struct preamble_fields {
  std::vector<uint8_t> message_text;   // CP932, no zero byte inside, at most max_message_text
  std::vector<uint8_t> run_after;      // CP932, no zero byte inside, at most max_run_after
  // The flag byte stored when a password is set: bit 0 asks for a masked entry. 0 stands for
  // 2 (a password shown as typed). Without a password the stored byte is always 0, so the
  // byte is nonzero exactly when there is a password.
  uint8_t password_flag = 0;
  std::vector<uint8_t> password;       // CP932, at most max_password; its CRC-16 gives the check
};

// The flag byte write_preamble stores for these fields.
uint8_t preamble_flag_byte(const preamble_fields& fields);
// Appends total_size (a placeholder; see patch_total_size) and the preamble to out, which
// holds the stub already. The stored check is the password's CRC-16/UMTS XOR (flag × 0x0101),
// little-endian. Throws std::invalid_argument for a text with a zero byte or over its limit.
// The block writer must get the same password, so that the data is scrambled with it.
void write_preamble(std::vector<uint8_t>& out, const preamble_fields& fields);
// Writes the final length of `file` (stub, payload and all) at offset stub_size. Throws
// std::length_error beyond 2 GiB, where total_size cannot hold the length.
void patch_total_size(std::vector<uint8_t>& file);
