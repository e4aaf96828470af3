// The block reader against archives made by the block writer: every boundary shape, the
// password cycle, the end-of-stream flag, the bulk access of the bit reader, and every way a
// block can fail.
#include <gtest/gtest.h>
#include <stdio.h>

#include "app/archive.h"
#include "engine/block_reader.h"
#include "tests/common/archive_builder.h"
#include "tests/common/test_support.h"

namespace {

// Runs the bitwise step over data and then two zero bytes: the CRC as the password check
// computes it.
uint16_t bitwise_crc(const std::vector<uint8_t>& data) {
  reader.crc_register = 0;
  for (uint8_t b : data) crc16_update(b);
  crc16_update(0);
  crc16_update(0);
  return uint16_t(reader.crc_register);
}

std::vector<uint8_t> bytes_of(const char* s) { return std::vector<uint8_t>(s, s + strlen(s)); }

int64_t file_position() { return platform_file_position(reader.archive_file); }

}  // namespace

TEST(Crc16, CatalogueCheckValueBothWays) {
  std::vector<uint8_t> text = bytes_of("123456789");
  EXPECT_EQ(crc16_of(text.data(), int32_t(text.size())), 0xFEE8);
  EXPECT_EQ(bitwise_crc(text), 0xFEE8);
  EXPECT_EQ(crc16_of(nullptr, 0), 0);
  EXPECT_EQ(bitwise_crc({}), 0);
}

TEST(Crc16, TableAgreesWithTheBitwiseStep) {
  // Lengths on both sides of multiples of 8, where the tables take eight bytes at a time and
  // then the rest one by one.
  for (size_t length : {1u, 2u, 3u, 17u, 63u, 64u, 65u, 79u, 80u, 255u, 4096u, 4098u}) {
    for (uint32_t seed = 1; seed <= 8; seed++) {
      std::vector<uint8_t> data = random_bytes(length, seed * 977 + uint32_t(length));
      uint16_t table = crc16_of(data.data(), int32_t(data.size()));
      EXPECT_EQ(table, bitwise_crc(data)) << "length " << length << " seed " << seed;
      // The same bytes at an odd address.
      std::vector<uint8_t> shifted(length + 1);
      memcpy(shifted.data() + 1, data.data(), length);
      EXPECT_EQ(crc16_of(shifted.data() + 1, int32_t(length)), table) << "length " << length;
      // The refill's view: data followed by its check bytes leaves the register at 0, and
      // any other check bytes do not.
      reader.crc_register = 0;
      for (uint8_t b : data) crc16_update(b);
      crc16_update(uint8_t(table >> 8));
      crc16_update(uint8_t(table));
      EXPECT_EQ(reader.crc_register, 0u);
      reader.crc_register = 0;
      for (uint8_t b : data) crc16_update(b);
      crc16_update(uint8_t(table >> 8));
      crc16_update(uint8_t(table ^ 1));
      EXPECT_NE(reader.crc_register, 0u);
    }
  }
}

// ---- Reading whole streams -----------------------------------------------------------------

namespace {

// Reads the whole stream one byte at a time and checks that end_of_stream rises exactly
// with the last byte and that every refill happens on a block boundary and not before.
void read_and_check(const built_archive& a, const std::vector<uint8_t>& expected) {
  ASSERT_EQ(reader.archive_file != no_file, true);
  ASSERT_EQ(file_position(), int64_t(a.stream_offset));
  std::vector<uint8_t> got(expected.size());
  for (size_t i = 0; i < expected.size(); i++) {
    ASSERT_FALSE(reader.end_of_stream) << "before byte " << i;
    got[i] = read_stream_byte();
    // After byte i the file has been read through the block that holds it.
    size_t blocks_read = i / block_data_size + 1;
    int64_t through = int64_t(a.stream_offset + blocks_read * block_size);
    if (through > int64_t(a.bytes.size())) through = int64_t(a.bytes.size());
    ASSERT_EQ(file_position(), through) << "after byte " << i;
  }
  EXPECT_TRUE(reader.end_of_stream);
  EXPECT_EQ(reader.stream_position, int32_t(expected.size()));
  EXPECT_TRUE(got == expected);
}

}  // namespace

TEST(BlockReader, EveryBoundaryShape) {
  // One byte; a block less one; exactly one and two full blocks (no empty block follows);
  // a last block of one data byte after full ones; several blocks with a ragged end.
  for (size_t length : {1u, 4095u, 4096u, 4097u, 8192u, 8193u, 12289u, 14000u}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> data = random_bytes(length, uint32_t(length));
    built_archive a = build_archive(data);
    size_t blocks = (length + 4095) / 4096;
    ASSERT_EQ(a.bytes.size(), a.stream_offset + length + 2 * blocks);
    opened_archive open(a.bytes);
    ASSERT_EQ(open.result, ready);
    read_and_check(a, data);
  }
}

TEST(BlockReader, RefillHappensExactlyAtOffset4096) {
  std::vector<uint8_t> data = random_bytes(5000, 3);
  built_archive a = build_archive(data);
  opened_archive open(a.bytes);
  for (int i = 0; i < 4096; i++) read_stream_byte();
  EXPECT_EQ(file_position(), int64_t(a.stream_offset + block_size));
  EXPECT_EQ(reader.block_length, 4096);
  EXPECT_EQ(read_stream_byte(), data[4096]);
  EXPECT_EQ(file_position(), int64_t(a.bytes.size()));
  EXPECT_EQ(reader.block_length, 5000 - 4096);
}

TEST(BlockReader, PasswordCycleRunsAcrossBlocks) {
  // 4096 is not a multiple of 3, so a cycle restarted per block would descramble block 2
  // wrongly and fail its check.
  for (const char* password : {"abc", "k", "\x94\xE9\x96\xA7"}) {
    SCOPED_TRACE(password);
    std::vector<uint8_t> key = bytes_of(password);
    std::vector<uint8_t> data = random_bytes(3 * 4096 + 77, 11);
    built_archive a = build_archive(data, key);
    // Stream byte 4096 is stored XORed with key byte 4096 mod L, whatever the block.
    EXPECT_EQ(a.bytes[stream_byte_file_offset(a, 4096)], uint8_t(data[4096] ^ key[4096 % key.size()]));
    opened_archive open(a.bytes);
    ASSERT_TRUE(archive.password_flag);
    ASSERT_TRUE(password_matches(key.data(), int32_t(key.size())));
    set_archive_password(key.data(), int32_t(key.size()));
    read_and_check(a, data);
  }
}

TEST(BlockReader, BulkAccessMatchesByteAccess) {
  // The bit reader's way: peek, consume a part, sometimes a single byte through
  // read_stream_byte (which also refills). end_of_stream must rise with the final byte only.
  for (size_t length : {1u, 4096u, 4097u, 9000u}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> data = random_bytes(length, 7);
    built_archive a = build_archive(data, bytes_of("pw"));
    opened_archive open(a.bytes);
    set_archive_password(reinterpret_cast<const uint8_t*>("pw"), 2);
    const uint8_t* view = nullptr;
    EXPECT_EQ(peek_stream_bytes(&view), 0);   // nothing is loaded before the first request
    std::vector<uint8_t> got;
    int step = 0;
    while (got.size() < length) {
      ASSERT_FALSE(reader.end_of_stream);
      int32_t n = peek_stream_bytes(&view);
      if (n == 0) {
        got.push_back(read_stream_byte());
        continue;
      }
      // One byte, all but one (so that a block's last byte is taken alone), a slice, all.
      int32_t take = n;
      switch (step++ % 4) {
        case 0: take = 1; break;
        case 1: take = n > 1 ? n - 1 : n; break;
        case 2: take = n > 1000 ? 1000 : n; break;
      }
      got.insert(got.end(), view, view + take);
      consume_stream_bytes(take);
      ASSERT_EQ(reader.end_of_stream, got.size() == length) << "after " << got.size();
    }
    EXPECT_TRUE(reader.end_of_stream);
    EXPECT_TRUE(got == data);
    EXPECT_EQ(peek_stream_bytes(&view), 0);
  }
}

// ---- Failures --------------------------------------------------------------------------------

namespace {

// Child side of a death test: reads `good` bytes, says so, then asks for one more.
void read_then_one_more(size_t good) {
  for (size_t i = 0; i < good; i++) read_stream_byte();
  fprintf(stderr, "handed out %zu\n", good);
  fflush(stderr);
  read_stream_byte();
  fprintf(stderr, "survived\n");
  platform_exit(0);
}

int owner_window;

}  // namespace

TEST(BlockReaderDeathTest, FlippedBitAnywhereInABlockIsCorruption) {
  // Block 2 of three; positions cover its first and last data byte, the middle, and both
  // check bytes. Block 1 is handed out in full; not one byte of block 2 is.
  std::vector<uint8_t> data = random_bytes(3 * 4096 - 5, 5);
  struct damage { bool check; size_t where; int bit; } cases[] = {
      {false, 4096, 0}, {false, 4096 + 2048, 7}, {false, 8191, 3},
      {true, 0, 0}, {true, 0, 7}, {true, 1, 4},
  };
  for (const damage& d : cases) {
    SCOPED_TRACE(d.where);
    built_archive a = build_archive(data);
    if (d.check) flip_check_bit(a, 1, int(d.where), d.bit);
    else flip_stream_bit(a, d.where, d.bit);
    EXPECT_EXIT(
        {
          install_reporting_hooks();
          opened_archive open(a.bytes, &owner_window);
          read_then_one_more(4096);
        },
        ::testing::ExitedWithCode(1),
        "handed out 4096\\s+BOX corrupted owned=1 flags=16 caption=ok");
  }
}

TEST(BlockReaderDeathTest, ScrambledArchivesFailTheirCheckWhenTheKeyOrCheckIsWrong) {
  std::vector<uint8_t> data = random_bytes(6000, 9);
  std::vector<uint8_t> key = bytes_of("abc");
  // Another key of the same length descrambles into garbage: block 1 already fails.
  EXPECT_EXIT(
      {
        install_reporting_hooks();
        opened_archive open(build_archive(data, key).bytes);
        set_archive_password(reinterpret_cast<const uint8_t*>("abd"), 3);
        read_then_one_more(0);
      },
      ::testing::ExitedWithCode(1), "handed out 0\\s+BOX corrupted");
  // Check bytes computed over the scrambled data of block 2 (a writer's mistake).
  built_archive a = build_archive(data, key);
  check_over_stored_data(a, 1);
  EXPECT_EXIT(
      {
        install_reporting_hooks();
        opened_archive open(a.bytes);
        set_archive_password(key.data(), 3);
        read_then_one_more(4096);
      },
      ::testing::ExitedWithCode(1), "handed out 4096\\s+BOX corrupted");
}

TEST(BlockReaderDeathTest, RequestPastTheStreamIsAReadFailure) {
  for (size_t length : {1u, 4096u, 5000u}) {
    SCOPED_TRACE(length);
    built_archive a = build_archive(random_bytes(length, 2));
    EXPECT_EXIT(
        {
          install_reporting_hooks();
          opened_archive open(a.bytes, &owner_window);
          for (size_t i = 0; i < length; i++) read_stream_byte();
          if (!reader.end_of_stream) platform_exit(3);
          read_then_one_more(0);
        },
        ::testing::ExitedWithCode(1),
        "handed out 0\\s+BOX read_failed owned=1 flags=16 caption=ok");
  }
}

TEST(BlockReaderDeathTest, RaggedTailsAfterAFullBlock) {
  // Bytes after a full last block make it not the last: end_of_stream stays down, and the
  // next refill gets the tail. Two zero bytes and a lone zero pass the check with no data
  // (read failure); a lone nonzero byte fails it.
  struct tail { std::vector<uint8_t> bytes; const char* box; } tails[] = {
      {{0, 0}, "BOX read_failed"}, {{0}, "BOX read_failed"}, {{5}, "BOX corrupted"},
  };
  for (const tail& t : tails) {
    built_archive a = build_archive(random_bytes(4096, 4));
    append_bytes(a, t.bytes);
    EXPECT_EXIT(
        {
          install_reporting_hooks();
          opened_archive open(a.bytes);
          for (int i = 0; i < 4096; i++) read_stream_byte();
          if (reader.end_of_stream) platform_exit(3);
          read_then_one_more(0);
        },
        ::testing::ExitedWithCode(1), t.box);
  }
}
