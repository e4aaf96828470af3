// The LZ decoder on hand-made coded data (the fixed values and the limits of the format, and
// every kind of damage) and on encoder output (window flushes, skip, cancel).
#include <gtest/gtest.h>

#include <memory>

#include "packer/encoder_coder.h"
#include "tests/packer/codec_support.h"

namespace {

// Writes members symbol by symbol with the first trees of both models (so at most 255
// symbols per member, before the first scheduled rebuild).
struct crafted {
  std::vector<uint8_t> stream;
  std::unique_ptr<huffman_model> literal = std::make_unique<huffman_model>();
  std::unique_ptr<huffman_model> distance = std::make_unique<huffman_model>();
  uint64_t literal_code[huffman_symbols], distance_code[huffman_symbols];
  uint8_t literal_bits[huffman_symbols], distance_bits[huffman_symbols];
  bit_writer bits;

  crafted() {
    huffman_init(*literal, literal_length_kind);
    huffman_rebuild(*literal);
    huffman_codes(*literal, literal_code, literal_bits);
    huffman_init(*distance, distance_kind);
    huffman_rebuild(*distance);
    huffman_codes(*distance, distance_code, distance_bits);
  }
  void member(int32_t size, int delta, int shared) {
    for (int i = 0; i < 4; i++) stream.push_back(uint8_t(uint32_t(size) >> (8 * i)));
    stream.push_back(uint8_t(delta));
    if (delta) {
      stream.push_back(uint8_t(shared));
      stream.push_back(uint8_t(shared >> 8));
    }
    bits = bit_writer();
  }
  void literal_byte(uint8_t b) { put_bits(bits, literal_code[b], literal_bits[b]); }
  // Symbol and extra bits given raw, so that tests can state the bits the format names.
  void match_raw(int symbol, int extra12, int high, int low5) {
    put_bits(bits, literal_code[symbol], literal_bits[symbol]);
    if (symbol == 511) put_bits(bits, uint64_t(extra12), 12);
    put_bits(bits, distance_code[high], distance_bits[high]);
    put_bits(bits, uint64_t(low5), 5);
  }
  void match(int length, int dist) {
    if (length <= 256)
      match_raw(length + 254, 0, (dist - 1) >> 5, (dist - 1) & 31);
    else
      match_raw(511, length - 257, (dist - 1) >> 5, (dist - 1) & 31);
  }
  void end() {
    finish_bits(bits);
    stream.insert(stream.end(), bits.bytes.begin(), bits.bytes.end());
  }
};

std::vector<codec::decoded_member> decode_stream(const std::vector<uint8_t>& stream) {
  built_archive a = build_archive(stream);
  return codec::decode(a.bytes);
}

// Runs the members of a stream as the member loop would, with a member file at `path`; for
// the death tests.
void decode_into(const std::vector<uint8_t>& stream, const std::string& path) {
  install_reporting_hooks();
  built_archive a = build_archive(stream);
  opened_archive o(a.bytes);
  reader.end_of_stream = false;
  start_run();
  while (!reader.end_of_stream) {
    int32_t size = codec::read_size();
    begin_member(size);
    snprintf(member_output.path, sizeof member_output.path, "%s", path.c_str());
    member_output.file = platform_create_file(path.c_str());
    decode_member(member_output.file, false);
    platform_close(member_output.file);
    member_output.file = no_file;
    platform_delete_file(path.c_str());   // only a half-written file may be left to find
    end_member();
  }
}

void expect_damaged(const std::vector<uint8_t>& stream, const char* name) {
  std::string path = fixed_temp_path(name);
  EXPECT_EXIT(decode_into(stream, path), testing::ExitedWithCode(1), "BOX corrupted");
  EXPECT_FALSE(file_exists(path)) << name;
}

std::vector<uint8_t> repeat(uint8_t b, size_t n) { return std::vector<uint8_t>(n, b); }

}  // namespace

TEST(LzDecoder, HistoryGeometry) {
  struct geometry {
    int shared, history_length, history_start;
  };
  for (geometry g : {geometry{48, 15408, 0}, geometry{20000, 16384, 8192}, geometry{0, 15360, 0},
                     geometry{24576, 16384, 8192}}) {
    std::vector<uint8_t> stream = {0x30, 0x75, 0, 0, 1, uint8_t(g.shared), uint8_t(g.shared >> 8)};
    built_archive a = build_archive(stream);
    opened_archive o(a.bytes);
    start_run();
    begin_member(codec::read_size());
    EXPECT_EQ(decoder.reference_slot, 0);
    EXPECT_EQ(decoder.history_length, g.history_length) << g.shared;
    EXPECT_EQ(decoder.history_start, g.history_start) << g.shared;
    EXPECT_EQ(decoder.window.flush_start, g.history_length);
    EXPECT_EQ(decoder.table.slots[1].length, 24576);
  }
}

TEST(LzDecoder, MatchAndDistanceLimits) {
  crafted c;
  // Literal 0x41, then length 10 at distance 1 (distance symbol 0, five 0 bits).
  c.member(11, 0, 0);
  c.literal_byte(0x41);
  c.match(10, 1);
  c.end();
  // Symbol 511 with twelve 1 bits: 4352.
  c.member(4353, 0, 0);
  c.literal_byte(0x42);
  c.match_raw(511, 0xFFF, 0, 0);
  c.end();
  // Symbol 511 with twelve 0 bits: 257; symbol 256: 2; symbol 510: 256.
  c.member(1 + 257 + 2 + 256, 0, 0);
  c.literal_byte(0x43);
  c.match_raw(511, 0, 0, 0);
  c.match_raw(256, 0, 0, 0);
  c.match_raw(510, 0, 0, 0);
  c.end();
  std::vector<codec::decoded_member> got = decode_stream(c.stream);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].content, repeat(0x41, 11));
  EXPECT_EQ(got[1].content, repeat(0x42, 4353));
  EXPECT_EQ(got[2].content, repeat(0x43, 516));

  // Distance symbol 511 with five 1 bits reaches 16384 back: with 1024 shared bytes of the
  // stub the window holds exactly 16384 bytes, the stub's first, when the coded data starts.
  std::vector<uint8_t> stub = test_stub_image();
  crafted far;
  far.member(1026, 1, 1024);
  far.match_raw(256, 0, 511, 31);
  far.end();
  built_archive a = build_archive(far.stream);
  got = codec::decode(a.bytes);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].history_length, 16384);
  std::vector<uint8_t> expected(stub.begin(), stub.begin() + 1024);
  expected.push_back(stub[0]);
  expected.push_back(stub[1]);
  EXPECT_EQ(got[0].content, expected);
}

TEST(LzDecoder, SharedPrefixAndEmptyBodies) {
  std::vector<uint8_t> stub = test_stub_image();
  crafted c;
  c.member(0, 0, 0);         // empty, no coded byte at all
  c.member(300, 2, 300);     // two slots back is the stub: its first 300 bytes, nothing coded
  c.member(5, 1, 3);         // the previous member's first 3 bytes, then two literals
  c.literal_byte('x');
  c.literal_byte('y');
  c.end();
  c.member(0, 3, 0);         // empty again, delta written out
  std::vector<codec::decoded_member> got = decode_stream(c.stream);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_TRUE(got[0].content.empty());
  EXPECT_TRUE(got[0].pieces.empty());
  EXPECT_EQ(got[1].content, std::vector<uint8_t>(stub.begin(), stub.begin() + 300));
  EXPECT_EQ(got[1].pieces, (std::vector<int32_t>{300}));
  std::vector<uint8_t> third(stub.begin(), stub.begin() + 3);
  third.push_back('x');
  third.push_back('y');
  EXPECT_EQ(got[2].content, third);
  EXPECT_EQ(got[2].pieces, (std::vector<int32_t>{3, 2}));
  EXPECT_TRUE(got[3].content.empty());
}

TEST(LzDecoder, WindowFlushPieces) {
  std::vector<uint8_t> stub = test_stub_image();
  std::vector<uint8_t> data = random_bytes(100000, 77);
  data[0] = uint8_t(stub[0] + 1);   // no shared prefix with the stub
  std::vector<codec::decoded_member> got = codec::decode(codec::build({data}, stub));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].history_length, 15360);
  EXPECT_EQ(got[0].pieces, (std::vector<int32_t>{17408, 32768, 32768, 17056}));
  EXPECT_TRUE(got[0].content == data);

  // Ending exactly on a full window: no flush before the final one, which writes it all.
  std::vector<uint8_t> exact = random_bytes(49152 - 15360, 78);
  exact[0] = uint8_t(stub[0] + 1);
  got = codec::decode(codec::build({exact}, stub));
  EXPECT_EQ(got[0].pieces, (std::vector<int32_t>{33792}));
  EXPECT_TRUE(got[0].content == exact);
}

TEST(LzDecoder, SkippedMemberStillFillsItsSlot) {
  std::vector<uint8_t> stub = test_stub_image();
  std::vector<uint8_t> first = random_bytes(30000, 5);
  std::vector<uint8_t> second(first.begin(), first.begin() + 20000);
  std::vector<uint8_t> tail = random_bytes(3000, 6);
  second.insert(second.end(), tail.begin(), tail.end());
  std::vector<codec::decoded_member> got =
      codec::decode(codec::build({first, second}, stub), {}, {0});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(got[0].pieces.empty());
  EXPECT_EQ(got[1].reference_slot, 1);
  EXPECT_TRUE(got[1].content == second);
}

namespace {
int pumps = 0;
void cancel_at_second_pump() {
  if (++pumps == 2) cancel_requested = 1;
}
}  // namespace

TEST(LzDecoder, CancelStopsAtTheNextSymbolAndFlushes) {
  std::vector<uint8_t> stub = test_stub_image();
  std::vector<uint8_t> data = random_bytes(20000, 9);
  data[0] = uint8_t(stub[0] + 1);
  std::vector<uint8_t> file = codec::build({data}, stub);
  opened_archive o(file, nullptr, "cancel");
  std::string path = o.folder + "cut.bin";
  reader.end_of_stream = false;
  cancel_requested = 0;
  start_run();
  begin_member(codec::read_size());
  pumps = 0;
  platform_set_pump_hook(cancel_at_second_pump);
  member_output.file = platform_create_file(path.c_str());
  decode_member(member_output.file, false);
  platform_close(member_output.file);
  member_output.file = no_file;
  platform_set_pump_hook(nullptr);
  cancel_requested = 0;
  EXPECT_EQ(pumps, 2);
  // The rebuild before the 257th symbol pumped the cancel; that symbol is still decoded and
  // the test before the next one stops.
  EXPECT_EQ(decoder.symbol_count, 257);
  EXPECT_LT(decoder.produced, 20000);
  std::vector<uint8_t> got = read_file(path);
  ASSERT_EQ(got.size(), size_t(decoder.produced));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
}

// The largest member the size field allows: 2^31 - 1 bytes, one literal and then matches of
// the longest length at distance 1. Window positions count the preloaded history too, so
// near the member's end they pass 2^31; the sanitizer run checks that nothing overflows.
TEST(LzDecoder, MemberOfTheLargestSize) {
  const int32_t size = INT32_MAX;
  auto coder = std::make_unique<symbol_coder>();
  coder_start(*coder);
  put_literal(*coder, 'x');
  int32_t matches = 0;
  for (int32_t left = size - 1; left > 0; matches++) {
    int32_t n = left < max_match_length ? left : max_match_length;
    if (left - n == 1) n--;   // no match of one byte
    put_match(*coder, n, 1);
    left -= n;
  }
  finish_bits(coder->out);
  std::vector<uint8_t> stream;
  for (int i = 0; i < 4; i++) stream.push_back(uint8_t(uint32_t(size) >> (8 * i)));
  stream.push_back(0);   // reference_delta 0: no shared prefix
  stream.insert(stream.end(), coder->out.bytes.begin(), coder->out.bytes.end());

  built_archive a = build_archive(stream);
  opened_archive o(a.bytes, nullptr, "largest");
  reader.end_of_stream = false;
  cancel_requested = 0;
  start_run();
  begin_member(codec::read_size());
  decode_member(no_file, true);   // skipped output: nothing is written, the window still fills
  end_member();
  EXPECT_EQ(decoder.produced, size);
  EXPECT_EQ(decoder.symbol_count, 1 + matches);
  EXPECT_EQ(decoder.match_count, matches);
  EXPECT_TRUE(reader.end_of_stream);
  const output_window& w = decoder.window;
  int32_t held = int32_t(uint32_t(w.position) - uint32_t(w.base));
  ASSERT_GE(held, 16384);
  for (int32_t i = held - 16384; i < held; i++) ASSERT_EQ(w.bytes[i], 'x') << i;
}

// ---- Damaged input -------------------------------------------------------------------------

TEST(LzDecoderDeath, DistanceBeforeTheWindow) {
  crafted c;
  c.member(3, 0, 0);   // history 15360 from the stub; after one literal 15361 bytes back
  c.literal_byte(1);
  c.match(2, 15362);
  c.end();
  expect_damaged(c.stream, "lz_far.bin");
}

TEST(LzDecoderDeath, SharedLengthAboveTheSize) {
  crafted c;
  c.member(5, 1, 10);
  expect_damaged(c.stream, "lz_shared_size.bin");
}

TEST(LzDecoderDeath, SharedLengthAboveTheSlot) {
  crafted c;
  c.member(5, 0, 0);
  for (int i = 0; i < 5; i++) c.literal_byte(uint8_t('a' + i));
  c.end();
  c.member(10, 1, 6);
  expect_damaged(c.stream, "lz_shared_slot.bin");
}

TEST(LzDecoderDeath, SlotNotFilledInThisRun) {
  crafted c;
  c.member(4, 2, 0);   // slot 255
  expect_damaged(c.stream, "lz_unfilled.bin");
}

TEST(LzDecoderDeath, NegativeSize) {
  crafted c;
  c.member(-1, 0, 0);
  expect_damaged(c.stream, "lz_negative.bin");
}

TEST(LzDecoderDeath, MatchRunningPastTheMember) {
  crafted c;
  c.member(5, 0, 0);
  c.literal_byte(1);
  c.match(10, 1);
  c.end();
  expect_damaged(c.stream, "lz_overrun.bin");
}
