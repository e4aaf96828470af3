// Writing side of the block stream and the preamble: the first pieces of the packer, and what
// the tests build their archives with.
#pragma once
#include <stdint.h>
#include <vector>

// Collects the data bytes of the block stream and emits 4098-byte blocks: 4096 data bytes
// (scrambled when a password is set; the key cycle runs on across blocks) and the CRC-16 of
// the plain data, high byte first. The last block holds the rest (1 to 4096 bytes).
struct block_writer {
  std::vector<uint8_t>* out = nullptr;    // blocks are appended here
  std::vector<uint8_t> password;          // CP932 bytes; empty: no scrambling
  uint8_t pending[4096];
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
  std::vector<uint8_t> message_text;   // CP932, no zero byte inside
  std::vector<uint8_t> run_after;      // CP932
  uint8_t password_flag = 0;           // 0: none; bit 0: masked entry
  std::vector<uint8_t> password;       // CP932; its CRC-16 gives the stored check
};

// Appends total_size (a placeholder; see patch_total_size) and the preamble to out.
void write_preamble(std::vector<uint8_t>& out, const preamble_fields& fields);
// Writes the final length of `file` (stub, payload and all) at offset stub_size.
void patch_total_size(std::vector<uint8_t>& file);
