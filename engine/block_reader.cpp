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
// than stored: they cost the stub's file nothing.
static uint16_t crc_tables[8][256];

static void build_crc_tables() {
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t c = i << 8;
    for (int k = 0; k < 8; k++) c = (c & 0x8000u) ? (c << 1) ^ 0x8005u : c << 1;
    crc_tables[0][i] = uint16_t(c);
  }
  for (int k = 1; k < 8; k++)
    for (uint32_t i = 0; i < 256; i++) {
      uint32_t c = crc_tables[k - 1][i];
      crc_tables[k][i] = uint16_t((c << 8) ^ crc_tables[0][c >> 8]);
    }
}

// The CRC is the data, read as a polynomial over GF(2) (first bit highest), times x^16,
// modulo P = x^16 + x^15 + x^2 + 1. Where the processor multiplies polynomials (PCLMULQDQ),
// 16 bytes at a time are folded into a 128-bit polynomial of the same class modulo P, about
// three times as fast as the tables; the tables finish. Left out of the compact build (the
// stub; see engine/config.h) and of other processors.
#if VANTREL_USE_CLMUL
#include <immintrin.h>

// x^k mod P, for the folding constants.
static uint64_t x_power_mod_p(int k) {
  uint32_t r = 1;
  for (int i = 0; i < k; i++) {
    r <<= 1;
    if (r & 0x10000u) r ^= 0x18005u;
  }
  return r;
}

__attribute__((target("ssse3"))) static inline __m128i load_reversed(const uint8_t* at,
                                                                      __m128i reverse) {
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), reverse);
}

// A polynomial of degree below 64 whose class modulo P is that of the length bytes at data
// (a multiple of 16, at least 16).
__attribute__((target("pclmul,ssse3"))) static uint64_t fold_clmul(const uint8_t* data,
                                                                    int32_t length) {
  // Memory order to polynomial order: the first byte becomes the highest.
  const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  // X = hi x^64 + lo, moved on by 128 bits: hi x^192 + lo x^128, which is congruent to
  // hi (x^192 mod P) + lo (x^128 mod P), a product of degree below 80.
  static const __m128i fold_128 =
      _mm_set_epi64x(int64_t(x_power_mod_p(192)), int64_t(x_power_mod_p(128)));
  static const __m128i fold_64 = _mm_set_epi64x(0, int64_t(x_power_mod_p(64)));
  __m128i x = load_reversed(data, reverse);
  for (int32_t i = 16; i < length; i += 16) {
    __m128i next = load_reversed(data + i, reverse);
    __m128i high = _mm_clmulepi64_si128(x, fold_128, 0x11);
    __m128i low = _mm_clmulepi64_si128(x, fold_128, 0x00);
    x = _mm_xor_si128(_mm_xor_si128(high, low), next);
  }
  // 128 bits to 64, twice: hi x^64 + lo is congruent to hi (x^64 mod P) + lo, whose part above
  // bit 63 has degree below 15 the first time and is 0 the second.
  for (int round = 0; round < 2; round++)
    x = _mm_xor_si128(_mm_clmulepi64_si128(x, fold_64, 0x01), _mm_move_epi64(x));
  return uint64_t(_mm_cvtsi128_si64(x));
}

static bool have_clmul() {
  static const int have = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
  return have;
}
#endif

// One byte into a CRC kept to 16 bits, by the first table.
static inline uint32_t crc_byte(uint32_t crc, uint32_t byte) {
  return ((crc << 8) ^ crc_tables[0][((crc >> 8) ^ byte) & 0xFFu]) & 0xFFFFu;
}

uint16_t crc16_of(const uint8_t* data, int32_t length) {
  if (crc_tables[0][1] == 0) build_crc_tables();
  uint32_t crc = 0;
  int32_t i = 0;
#if VANTREL_USE_CLMUL
  if (length >= 64 && have_clmul()) {
    i = length & ~15;
    // The folded polynomial's CRC is the CRC of its eight bytes, highest first.
    uint64_t folded = fold_clmul(data, i);
    for (int k = 56; k >= 0; k -= 8)
      crc = crc_byte(crc, uint32_t(folded >> k));
  }
#endif
  for (; i + 8 <= length; i += 8) {
    const uint8_t* p = data + i;
    crc = crc_tables[7][(crc >> 8) ^ p[0]] ^ crc_tables[6][(crc & 0xFFu) ^ p[1]] ^
          crc_tables[5][p[2]] ^ crc_tables[4][p[3]] ^ crc_tables[3][p[4]] ^
          crc_tables[2][p[5]] ^ crc_tables[1][p[6]] ^ crc_tables[0][p[7]];
  }
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
