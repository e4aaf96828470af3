// The encoder against the decoder: round trips over the shapes that stress the window, the
// slots, the shared prefix and the models; and the encoder's own promises (determinism,
// never copying the stub bytes code signing rewrites).
#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "packer/encoder_match.h"
#include "tests/packer/codec_support.h"

namespace {

std::vector<uint8_t> text_bytes(size_t n, uint32_t seed) {
  static const char* words[] = {"the ", "archive ", "member ", "window ", "slot ", "#include ",
                                "static ", "int32_t ", "return ", "\n", "{\n", "}\n", "  ",
                                "decode", "(", ")", ";", "0x", "history ", "length "};
  std::vector<uint8_t> r = random_bytes(n, seed);
  std::string s;
  size_t i = 0;
  while (s.size() < n) s += words[r[i++ % n] % 20];
  s.resize(n);
  return std::vector<uint8_t>(s.begin(), s.end());
}

void expect_round_trip(const std::vector<std::vector<uint8_t>>& members,
                       const std::vector<uint8_t>& stub,
                       const std::vector<uint8_t>& password = {}, int level = default_level) {
  std::vector<uint8_t> file = codec::build(members, stub, password, level);
  std::vector<codec::decoded_member> got = codec::decode(file, password);
  ASSERT_EQ(got.size(), members.size());
  for (size_t i = 0; i < members.size(); i++)
    ASSERT_TRUE(got[i].content == members[i]) << "member " << i << " of " << members[i].size();
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<uint8_t> pattern(size_t n, size_t period, uint32_t seed) {
  std::vector<uint8_t> unit = random_bytes(period, seed), out(n);
  for (size_t i = 0; i < n; i++) out[i] = unit[i % period];
  return out;
}

// A stub with a PE header: e_lfanew 0x80, a PE32 optional header at 0x98.
std::vector<uint8_t> pe_stub() {
  std::vector<uint8_t> stub = test_stub_image(3);
  stub[0] = 'M';
  stub[1] = 'Z';
  stub[0x3C] = 0x80;
  stub[0x3D] = stub[0x3E] = stub[0x3F] = 0;
  memcpy(stub.data() + 0x80, "PE\0\0", 4);
  stub[0x98] = 0x0B;
  stub[0x99] = 0x01;
  return stub;
}

}  // namespace

TEST(EncoderRoundTrip, SmallShapes) {
  std::vector<uint8_t> stub = test_stub_image();
  expect_round_trip({{}, {'A'}, text_bytes(100, 1), random_bytes(300, 2), {}, text_bytes(5000, 3),
                     {'A', 'B'}, {'A', 'A', 'A'}},
                    stub);
}

TEST(EncoderRoundTrip, SizesAroundTheSlotAndTheWindow) {
  std::vector<std::vector<uint8_t>> members;
  uint32_t seed = 10;
  for (size_t size : {24575u, 24576u, 24577u, 32767u, 32768u, 32769u, 49151u, 49152u, 49153u,
                      100000u}) {
    members.push_back(text_bytes(size, seed++));
    members.push_back(random_bytes(size, seed++));
  }
  expect_round_trip(members, test_stub_image());
}

TEST(EncoderRoundTrip, RunsAndRepeats) {
  // Distances shorter than the length, matches longer than 4352, periods near the limits.
  expect_round_trip({std::vector<uint8_t>(100000, 0), pattern(70000, 3, 1), pattern(70000, 200, 2),
                     pattern(60000, 16384, 3), pattern(60000, 16385, 4),
                     concat(random_bytes(20000, 5), random_bytes(20000, 5))},
                    test_stub_image());
}

TEST(EncoderRoundTrip, SharedPrefixes) {
  std::vector<uint8_t> a = text_bytes(30000, 20);
  std::vector<uint8_t> whole_prefix(a.begin(), a.begin() + 1000);     // all shared
  std::vector<uint8_t> longer = concat(std::vector<uint8_t>(a.begin(), a.begin() + 24576),
                                       text_bytes(5000, 21));        // shares the whole slot
  std::vector<uint8_t> stub = test_stub_image();
  expect_round_trip({a, whole_prefix, longer, a, {}, whole_prefix}, stub);

  encoder_run run;
  encoder_start_run(run, stub.data());
  std::vector<uint8_t> sink;
  block_writer w;
  block_writer_start(w, &sink, {});
  encode_member(run, a.data(), int32_t(a.size()), w);
  EXPECT_EQ(usable_shared_length(run, whole_prefix.data(), 1000, 1), 1000);
  EXPECT_EQ(usable_shared_length(run, longer.data(), int32_t(longer.size()), 1), 24576);
  // A member that is all shared prefix has no coded data: three bytes of reference fields.
  EXPECT_EQ(encode_member_body(run, whole_prefix.data(), 1000, 1, 1000),
            (std::vector<uint8_t>{1, 0xE8, 0x03}));
}

TEST(EncoderRoundTrip, ThreeHundredMembersWrapTheSlots) {
  // Members 256 on replace the stub in slot 0 and refer back across the wrap.
  std::vector<std::vector<uint8_t>> members;
  std::vector<uint8_t> base = text_bytes(3000, 30);
  for (uint32_t i = 0; i < 300; i++) {
    std::vector<uint8_t> m(base.begin(), base.begin() + 200 + (i * 37) % 2000);
    std::vector<uint8_t> own = text_bytes(100 + (i * 53) % 900, 1000 + i);
    members.push_back(i % 7 == 3 ? own : concat(m, own));
  }
  std::vector<uint8_t> stub = test_stub_image();
  // Parts of the stub too, while slot 0 still holds it and after it is gone.
  members[10] = std::vector<uint8_t>(stub.begin() + 5000, stub.begin() + 9000);
  members[290] = std::vector<uint8_t>(stub.begin() + 5000, stub.begin() + 9000);
  expect_round_trip(members, stub);
}

TEST(EncoderRoundTrip, Passwords) {
  std::vector<std::vector<uint8_t>> members = {text_bytes(9000, 40), random_bytes(5000, 41),
                                               text_bytes(70000, 42)};
  expect_round_trip(members, test_stub_image(), {'k'});
  expect_round_trip(members, test_stub_image(), {'a', 0x82, 0xA0});
}

TEST(EncoderRoundTrip, EveryLevelEverySizeClass) {
  // Empty, all shared prefix, a few bytes, around the history, the slot and the window, and
  // well beyond; text, repeats and noise.
  std::vector<uint8_t> long_text = text_bytes(130000, 50);
  std::vector<std::vector<uint8_t>> members = {{},
                                               long_text,
                                               std::vector<uint8_t>(long_text.begin(),
                                                                    long_text.begin() + 3000),
                                               {'x'},
                                               {'x', 'y'},
                                               text_bytes(100, 51),
                                               pattern(9000, 5, 52),
                                               random_bytes(3000, 53)};
  uint32_t seed = 60;
  for (size_t size : {16383u, 16384u, 16385u, 24575u, 24576u, 24577u, 32769u})
    members.push_back(text_bytes(size, seed++));
  members.push_back(concat(random_bytes(20000, 70), random_bytes(20000, 70)));
  std::vector<size_t> sizes;
  for (int level = min_level; level <= max_level; level++) {
    SCOPED_TRACE(level);
    expect_round_trip(members, test_stub_image(), {}, level);
    sizes.push_back(codec::build(members, test_stub_image(), {}, level).size());
  }
  // The levels trade speed for size: the best is smaller than the fastest.
  EXPECT_LT(sizes.back(), sizes.front());
}

TEST(Encoder, CopiesFromTheStubThroughSlotZero) {
  std::vector<uint8_t> stub = test_stub_image();
  std::vector<uint8_t> piece(stub.begin() + 1000, stub.begin() + 9000);
  std::vector<uint8_t> file = codec::build({piece}, stub);
  // Stub, total size, empty preamble, one block: the member costs a few dozen bytes.
  EXPECT_LT(file.size(), stub.size() + 4 + 3 + 2 + 4 + 100);
  std::vector<codec::decoded_member> got = codec::decode(file);
  EXPECT_TRUE(got.at(0).content == piece);
}

TEST(Encoder, NeverCopiesTheBytesCodeSigningRewrites) {
  std::vector<uint8_t> stub = pe_stub();
  encoder_run run;
  encoder_start_run(run, stub.data());
  std::vector<size_t> marked;
  for (size_t i = 0; i < run.unstable_stub_bytes.size(); i++)
    if (run.unstable_stub_bytes[i]) marked.push_back(i);
  std::vector<size_t> expected;
  for (size_t i = 0x98 + 64; i < 0x98 + 68; i++) expected.push_back(i);
  for (size_t i = 0x98 + 128; i < 0x98 + 136; i++) expected.push_back(i);
  EXPECT_EQ(marked, expected);

  // Members made of the stub's header and of a stretch that runs through both fields.
  std::vector<uint8_t> head(stub.begin(), stub.begin() + 4096);
  std::vector<uint8_t> middle(stub.begin() + 0x40, stub.begin() + 0x200);
  std::vector<uint8_t> file = codec::build({head, middle, head}, stub);
  // Signing: the checksum and the certificate table entry change in the stub part.
  for (size_t i : expected) file[i] ^= 0x5A;
  std::vector<codec::decoded_member> got = codec::decode(file);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_TRUE(got[0].content == head);
  EXPECT_TRUE(got[1].content == middle);
  EXPECT_TRUE(got[2].content == head);
}

TEST(Encoder, OutputIsDeterministic) {
  std::vector<std::vector<uint8_t>> members = {text_bytes(30000, 60), random_bytes(2000, 61),
                                               text_bytes(500, 62), text_bytes(30000, 60)};
  EXPECT_EQ(codec::build(members, test_stub_image()), codec::build(members, test_stub_image()));
}

TEST(Encoder, LongestMatchTakesTheCheapestDistanceAmongEquals) {
  // "wxyz" then a different byte, three times 100 bytes apart, and once more at the end:
  // at the end, matches of 4 bytes at distances 104, 208 and 312.
  std::vector<uint8_t> w;
  for (char next : {'A', 'B', 'C', 'D'}) {
    std::vector<uint8_t> filler = pattern(99, 99, uint32_t(next));
    for (uint8_t& b : filler) b = uint8_t('a' + b % 20);  // never w, x, y or z
    w.insert(w.end(), {'w', 'x', 'y', 'z', uint8_t(next)});
    if (next != 'D') w.insert(w.end(), filler.begin(), filler.end());
  }
  int32_t at = int32_t(w.size()) - 5;
  uint8_t bits[huffman_symbols];
  memset(bits, 9, sizeof bits);
  bits[(208 - 1) >> 5] = 3;
  bits[(312 - 1) >> 5] = 4;

  match_finder f;
  match_finder_start(f, w.data(), int32_t(w.size()));
  match m = find_longest(f, at);
  EXPECT_EQ(m.length, 4);
  EXPECT_EQ(m.distance, 104);  // without prices: the nearest

  match_finder_start(f, w.data(), int32_t(w.size()));
  f.distance_bits = bits;
  m = find_longest(f, at);
  EXPECT_EQ(m.length, 4);
  EXPECT_EQ(m.distance, 208);

  // A longer match wins over a cheaper distance.
  w[size_t(at) + 4] = 'A';
  match_finder_start(f, w.data(), int32_t(w.size()));
  f.distance_bits = bits;
  m = find_longest(f, at);
  EXPECT_EQ(m.length, 5);
  EXPECT_EQ(m.distance, 312);
}
