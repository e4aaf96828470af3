// The block stream: 4098-byte blocks of 4096 data bytes and a CRC-16 (high byte first), the
// data optionally scrambled with the password. Everything after the preamble is read through
// read_stream_byte.
#pragma once
#include <stdint.h>

#include "platform/platform.h"

constexpr int32_t block_data_size = 4096;
constexpr int32_t block_size = block_data_size + 2;
// The longest password kept; the scrambling key holds at most this many bytes.
constexpr int32_t max_password = 256;

struct block_reader_state {
  // The archive, opened by whoever reads the preamble (open_archive) and left at the first
  // byte of the block stream; closed by the member loop at the end of a run, or by abandon_run.
  file_handle archive_file;
  // The accepted password's CP932 bytes: with at least one, every block's data is descrambled.
  uint8_t key[max_password];
  int32_t key_length;
  uint8_t block_buffer[block_size];
  int32_t block_length;      // data bytes of the current block: delivered by the refill - 2
  int32_t stream_position;   // bytes handed out since the start of the stream
  uint32_t crc_register;
  int32_t password_index;    // 1-based position in key of the next key byte
  bool end_of_stream;
  // The last refill left archive_file at its end: the current block is the stream's last.
  bool last_block;
  // Bytes of the stream behind the last refill; taken at the first refill from stream_end,
  // or from the file's end when stream_end is 0.
  int64_t file_remaining;
  // Where the stream ends in archive_file (set by open_archive: something may follow it, such
  // as a signature); 0: at the end of the file.
  int64_t stream_end;
};
extern block_reader_state reader;

// Feeds one byte into reader.crc_register: its bits, most significant first, are shifted in
// at the bottom of the register and the polynomial 0x8005 applied (no augmenting zeros). Fed
// a text and then two zero bytes, the register holds the text's CRC-16/UMTS; fed a block's
// plain data and its two check bytes, it holds 0 for an intact block.
void crc16_update(uint8_t byte);
// CRC-16/UMTS of a byte string (table-driven), computed on the side: the register is left
// alone. crc16_of(data ++ its CRC high byte first) is 0, which is the refill's check.
uint16_t crc16_of(const uint8_t* data, int32_t length);

// Hands out the next data byte; refills and checks a block when needed (one read of up to
// 4098 bytes from the current position of archive_file, descrambled in place with the key
// when there is one). Fails (fail_run, engine/edge.h) on a corrupted block (failure_damaged,
// before any byte of it is handed out), on a read error or a request past the stream
// (failure_read). Sets end_of_stream while it hands out the stream's last byte.
uint8_t read_stream_byte();

// Fast access for the bit reader: the verified data bytes of the current block that have not
// been handed out yet, without handing them out. Returns their count (0 when the block is
// used up; the next read_stream_byte then refills). Consuming them is done with
// consume_stream_bytes, which keeps end_of_stream exact.
int32_t peek_stream_bytes(const uint8_t** data);
// count: 1 up to what peek_stream_bytes returned last (nothing else may read in between).
void consume_stream_bytes(int32_t count);
