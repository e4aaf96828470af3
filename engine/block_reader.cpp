// The block stream: one 4098-byte block at a time, descrambled in place and checked before
// any of its bytes is handed out.
#include "engine/block_reader.h"

#include "engine/config.h"
#include "engine/edge.h"

block_reader_state reader;

void crc16_update(uint8_t byte) {
  uint32_t r = reader.crc_register;
  for (int bit = 7; bit >= 0; bit--) {
    r = (r << 1) | ((byte >> bit) & 1u);
    if (r & 0x10000u) r ^= 0x18005u;
  }
  reader.crc_register = r;
}

// Slicing by eight: crc_tables[k][b] is the CRC of byte b followed by k zero bytes, so eight
// bytes fold into the register with eight independent look-ups. Built on first use rather
// than stored: they cost the stub's file nothing. The compact variant keeps the first table
// and folds one byte at a time: the check is about one per cent of decoding, not worth the
// code.
#if VANTREL_FAST_PATHS
constexpr int crc_table_count = 8;
#else
constexpr int crc_table_count = 1;
#endif
static uint16_t crc_tables[crc_table_count][256];

static void build_crc_tables() {
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t c = i << 8;
    for (int k = 0; k < 8; k++) c = (c & 0x8000u) ? (c << 1) ^ 0x8005u : c << 1;
    crc_tables[0][i] = uint16_t(c);
  }
  for (int k = 1; k < crc_table_count; k++)
    for (uint32_t i = 0; i < 256; i++) {
      uint32_t c = crc_tables[k - 1][i];
      crc_tables[k][i] = uint16_t((c << 8) ^ crc_tables[0][c >> 8]);
    }
}

// One byte into a CRC kept to 16 bits, by the first table.
static inline uint32_t crc_byte(uint32_t crc, uint32_t byte) {
  return ((crc << 8) ^ crc_tables[0][((crc >> 8) ^ byte) & 0xFFu]) & 0xFFFFu;
}

uint16_t crc16_of(const uint8_t* data, int32_t length) {
  if (crc_tables[0][1] == 0) build_crc_tables();
  uint32_t crc = 0;
  int32_t i = 0;
#if VANTREL_FAST_PATHS
  for (; i + 8 <= length; i += 8) {
    const uint8_t* p = data + i;
    crc = crc_tables[7][(crc >> 8) ^ p[0]] ^ crc_tables[6][(crc & 0xFFu) ^ p[1]] ^
          crc_tables[5][p[2]] ^ crc_tables[4][p[3]] ^ crc_tables[3][p[4]] ^
          crc_tables[2][p[5]] ^ crc_tables[1][p[6]] ^ crc_tables[0][p[7]];
  }
#endif
  for (; i < length; i++)
    crc = crc_byte(crc, data[i]);
  return uint16_t(crc);
}

// The key repeated over a block's length and one key more, so that a block from any key
// position descrambles with one plain XOR of two arrays. Laid out at the first refill of a
// stream, when the password has been accepted.
static uint8_t repeated_key[block_data_size + max_password];

static void lay_out_key() {
  int32_t length = reader.key_length;
  for (int32_t i = 0; length > 0 && i < block_data_size + length; i++)
    repeated_key[i] = reader.key[i % length];
}

static void descramble(uint8_t* data, int32_t count) {
  int32_t length = reader.key_length;
  // Without key bytes there is nothing to XOR with (an empty password that matched a check
  // value of 0); the block check then decides.
  if (length <= 0) return;
  int32_t k = reader.password_index - 1;
  if (k < 0 || k >= length) k = 0;
  const uint8_t* key = repeated_key + k;
  for (int32_t i = 0; i < count; i++) data[i] ^= key[i];
  reader.password_index = (k + count) % length + 1;
}

static void refill() {
  file_handle f = reader.archive_file;
  if (reader.stream_position == 0) {
    int64_t position = platform_file_position(f);
    int64_t size = reader.stream_end ? reader.stream_end : platform_file_size(f);
    if (position < 0 || size < 0) fail_run(failure_read);
    reader.file_remaining = size - position;
    lay_out_key();
  }
  int32_t wanted = reader.file_remaining < block_size ? int32_t(reader.file_remaining) : block_size;
  int32_t count = 0;
  while (count < wanted) {
    int32_t n = platform_read(f, reader.block_buffer + count, wanted - count);
    if (n < 0) fail_run(failure_read);
    if (n == 0) break;
    count += n;
  }
  reader.file_remaining -= count;
  reader.last_block = reader.file_remaining <= 0;
  if (count > 2) descramble(reader.block_buffer, count - 2);
  // Over the plain data and the stored check bytes together the CRC is 0 exactly when the
  // bit-by-bit register would end at 0: both vanish iff the polynomial divides the block.
  reader.crc_register = crc16_of(reader.block_buffer, count);
  if (reader.crc_register != 0) fail_run(failure_damaged);
  reader.block_length = count - 2;
}

uint8_t read_stream_byte() {
  int32_t index = reader.stream_position & (block_data_size - 1);
  if (index == 0) refill();
  if (index >= reader.block_length) fail_run(failure_read);
  if (index == reader.block_length - 1 && reader.last_block) reader.end_of_stream = true;
  reader.stream_position++;
  return reader.block_buffer[index];
}

int32_t peek_stream_bytes(const uint8_t** data) {
  int32_t index = reader.stream_position & (block_data_size - 1);
  if (index == 0 || index >= reader.block_length) {
    *data = nullptr;
    return 0;
  }
  *data = reader.block_buffer + index;
  return reader.block_length - index;
}

void consume_stream_bytes(int32_t count) {
  if (count <= 0) return;
  int32_t index = reader.stream_position & (block_data_size - 1);
  if (index + count == reader.block_length && reader.last_block) reader.end_of_stream = true;
  reader.stream_position += count;
}
