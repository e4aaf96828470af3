// The bytes the block and preamble writers lay down, checked against the format's own
// numbers rather than against the reader, so that a fault shared by both sides shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "app/archive.h"
#include "packer/block_writer.h"
#include "tests/common/test_support.h"

namespace {

std::vector<uint8_t> bytes_of(const char* s) { return std::vector<uint8_t>(s, s + strlen(s)); }

std::vector<uint8_t> write_stream(const std::vector<uint8_t>& data,
                                  const std::vector<uint8_t>& password) {
  std::vector<uint8_t> out;
  block_writer w;
  block_writer_start(w, &out, password);
  block_write(w, data.data(), data.size());
  block_writer_finish(w);
  return out;
}

std::vector<uint8_t> preamble_of(const preamble_fields& fields) {
  std::vector<uint8_t> out;
  write_preamble(out, fields);
  return out;
}

}  // namespace

TEST(BlockWriter, CheckBytesAreTheCrcHighByteFirst) {
  EXPECT_EQ(write_stream(bytes_of("123456789"), {}), bytes_of("123456789\xFE\xE8"));
  EXPECT_TRUE(write_stream({}, {}).empty());
  EXPECT_TRUE(write_stream({}, bytes_of("pw")).empty());
}

TEST(BlockWriter, ByteAndBulkWritesAgree) {
  std::vector<uint8_t> data = random_bytes(9000, 2);
  std::vector<uint8_t> key = bytes_of("abc");
  std::vector<uint8_t> out;
  block_writer w;
  block_writer_start(w, &out, key);
  size_t i = 0;
  for (size_t piece : {1u, 4094u, 1u, 1u, 3000u}) {
    block_write(w, data.data() + i, piece);
    i += piece;
    block_write_byte(w, data[i++]);
  }
  block_write(w, data.data() + i, data.size() - i);
  EXPECT_EQ(w.data_written, data.size());
  block_writer_finish(w);
  EXPECT_EQ(out, write_stream(data, key));
}

TEST(BlockWriter, PasswordCycleRunsOnAcrossBlocksAndSparesTheCheckBytes) {
  std::vector<uint8_t> data = random_bytes(3 * 4096 + 10, 3);
  for (const char* password : {"abc", "k"}) {
    SCOPED_TRACE(password);
    std::vector<uint8_t> key = bytes_of(password);
    std::vector<uint8_t> out = write_stream(data, key);
    std::vector<uint8_t> plain = write_stream(data, {});
    ASSERT_EQ(out.size(), plain.size());
    for (size_t k = 0; k < data.size(); k++) {
      size_t at = k / 4096 * 4098 + k % 4096;
      ASSERT_EQ(out[at], uint8_t(data[k] ^ key[k % key.size()])) << "stream byte " << k;
    }
    for (size_t b = 0; b < 4; b++) {
      size_t check = b * 4098 + std::min<size_t>(4096, data.size() - b * 4096);
      EXPECT_EQ(out[check], plain[check]);
      EXPECT_EQ(out[check + 1], plain[check + 1]);
    }
  }
}

TEST(PreambleWriter, FieldsInOrderWithTheFlagRules) {
  preamble_fields f;
  f.message_text = bytes_of("ab");
  f.run_after = bytes_of("c");
  EXPECT_EQ(preamble_of(f), std::vector<uint8_t>({0, 0, 0, 0, 'a', 'b', 0, 'c', 0, 0}));
  // A flag without a password is no password.
  f.password_flag = 1;
  EXPECT_EQ(preamble_of(f).size(), 10u);
  EXPECT_EQ(preamble_of(f).back(), 0);
  // CRC-16 of "k" is 0x8179 (as the reference archives store it).
  f.password = bytes_of("k");
  EXPECT_EQ(preamble_of(f),
            std::vector<uint8_t>({0, 0, 0, 0, 'a', 'b', 0, 'c', 0, 1, 0x78, 0x80}));
  f.password_flag = 0;   // a password always gets a nonzero flag: shown as typed
  EXPECT_EQ(preamble_flag_byte(f), 2);
  EXPECT_EQ(preamble_of(f),
            std::vector<uint8_t>({0, 0, 0, 0, 'a', 'b', 0, 'c', 0, 2, 0x7B, 0x83}));
  f.password_flag = 0xFE;
  std::vector<uint8_t> p = preamble_of(f);
  EXPECT_EQ(p[9], 0xFE);
  EXPECT_EQ(p[10] | p[11] << 8, 0x8179 ^ 0xFEFE);
}

TEST(PreambleWriter, RefusesWhatTheReaderCouldNotKeep) {
  preamble_fields f;
  f.message_text = {'a', 0, 'b'};
  EXPECT_THROW(preamble_of(f), std::invalid_argument);
  f.message_text = std::vector<uint8_t>(max_message_text, 'm');
  EXPECT_NO_THROW(preamble_of(f));
  f.message_text.push_back('m');
  EXPECT_THROW(preamble_of(f), std::invalid_argument);
  f.message_text.clear();
  f.run_after = std::vector<uint8_t>(max_run_after + 1, 'r');
  EXPECT_THROW(preamble_of(f), std::invalid_argument);
  f.run_after.clear();
  f.password = std::vector<uint8_t>(max_password + 1, 'p');
  EXPECT_THROW(preamble_of(f), std::invalid_argument);
}
