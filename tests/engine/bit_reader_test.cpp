// The two bit readers over a real block stream: the bit order, read_bits, and the bytes each
// one consumes.
#include <gtest/gtest.h>

#include <vector>

#include "engine/bit_reader.h"
#include "engine/block_reader.h"
#include "tests/common/archive_builder.h"

TEST(BitReader, BitOrderAndReadBits) {
  built_archive a = build_archive({0xB4, 0x01, 0x10, 0xFF});
  {
    opened_archive o(a.bytes);
    byte_bit_reader r;
    byte_bit_reader_reset(r);
    std::vector<int> bits;
    for (int i = 0; i < 8; i++) bits.push_back(read_bit(r));
    EXPECT_EQ(bits, (std::vector<int>{0, 0, 1, 0, 1, 1, 0, 1}));
    byte_bit_reader_reset(r);
    EXPECT_EQ(read_bits(r, 5), 1u);
    byte_bit_reader_reset(r);
    EXPECT_EQ(read_bits(r, 5), 16u);
    EXPECT_EQ(reader.stream_position, 3);
  }
  {
    opened_archive o(a.bytes);
    bit_reader r;
    bit_reader_reset(r);
    std::vector<int> bits;
    for (int i = 0; i < 8; i++) bits.push_back(read_bit(r));
    EXPECT_EQ(bits, (std::vector<int>{0, 0, 1, 0, 1, 1, 0, 1}));
    bit_reader_finish(r);
    EXPECT_EQ(reader.stream_position, 1);
    bit_reader_reset(r);
    EXPECT_EQ(read_bits(r, 5), 1u);
    bit_reader_finish(r);
    EXPECT_EQ(reader.stream_position, 2);   // the partly used byte is gone, the rest stays
    bit_reader_reset(r);
    EXPECT_EQ(read_bits(r, 5), 16u);
    bit_reader_finish(r);
    EXPECT_EQ(reader.stream_position, 3);
    EXPECT_FALSE(reader.end_of_stream);
    EXPECT_EQ(read_stream_byte(), 0xFF);
    EXPECT_TRUE(reader.end_of_stream);
  }
}
