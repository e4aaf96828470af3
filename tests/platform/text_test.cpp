// CP932 <-> UTF-8 at the seam: the same answers from glibc's tables and from Windows'.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

using bytes = std::vector<uint8_t>;

// -1, or the UTF-8 text.
std::pair<int32_t, std::string> to_utf8(const bytes& in, size_t capacity = 256) {
  std::string out(capacity, '\x7F');
  int32_t n = platform_cp932_to_utf8(in.data(), in.size(), out.data(), capacity);
  if (n >= 0) {
    EXPECT_EQ(out[size_t(n)], '\0') << "not zero-terminated";
    out.resize(size_t(n));
  }
  return {n, n < 0 ? std::string() : out};
}

std::pair<int32_t, bytes> to_cp932(const std::string& in, size_t capacity = 256) {
  bytes out(capacity, 0x7F);
  int32_t n = platform_utf8_to_cp932(in.data(), in.size(), out.data(), capacity);
  if (n >= 0) {
    EXPECT_EQ(out[size_t(n)], 0) << "not zero-terminated";
    out.resize(size_t(n));
  }
  return {n, n < 0 ? bytes() : out};
}

}  // namespace

TEST(Cp932Text, BackslashAndTheSecondByte0x5CReadAsThemselves) {
  // 0x5C alone is the separator; 0x83 0x5C is katakana so, whose second byte only looks like it.
  bytes path = {'a', 0x5C, 0x83, 0x5C, 0x5C, 'b'};
  auto [n, text] = to_utf8(path);
  ASSERT_EQ(n, 7);
  EXPECT_EQ(text, "a\\\xE3\x82\xBD\\b");
  auto [m, back] = to_cp932(text);
  ASSERT_EQ(m, 6);
  EXPECT_EQ(back, path);
}

TEST(Cp932Text, JapaneseAndHalfWidthKanaRoundTrip) {
  struct {
    bytes cp932;
    const char* utf8;
  } cases[] = {
      {{0x95, 0x5C, 0x8E, 0xA6}, "\xE8\xA1\xA8\xE7\xA4\xBA"},         // 表示 (0x5C second byte)
      {{0xB1, 0xDF}, "\xEF\xBD\xB1\xEF\xBE\x9F"},                     // half-width ｱﾟ
      {{0x81, 0x60}, "\xEF\xBD\x9E"},                                  // 0x8160: U+FF5E
      {{0x81, 0xE0}, "\xE2\x89\x92"},                                  // U+2252
      {{'~', '|'}, "~|"},
  };
  for (auto& c : cases) {
    auto [n, text] = to_utf8(c.cp932);
    EXPECT_EQ(text, c.utf8);
    EXPECT_EQ(n, int32_t(strlen(c.utf8)));
    auto [m, back] = to_cp932(c.utf8);
    EXPECT_EQ(back, c.cp932) << c.utf8;
    EXPECT_EQ(m, int32_t(c.cp932.size()));
  }
}

TEST(Cp932Text, DuplicateCodesReadAsOneCharacterAndAreWrittenAsTheStandardOne) {
  // The NEC row 13 copy of U+2252 and the IBM extension copy of U+2170 (small roman one).
  EXPECT_EQ(to_utf8({0x87, 0x90}).second, "\xE2\x89\x92");
  EXPECT_EQ(to_cp932("\xE2\x89\x92").second, (bytes{0x81, 0xE0}));
  EXPECT_EQ(to_utf8({0xEE, 0xEF}).second, "\xE2\x85\xB0");
  EXPECT_EQ(to_utf8({0xFA, 0x40}).second, "\xE2\x85\xB0");
  EXPECT_EQ(to_cp932("\xE2\x85\xB0").second, (bytes{0xFA, 0x40}));
}

TEST(Cp932Text, EmptyTextGivesAnEmptyResult) {
  char out[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(platform_cp932_to_utf8(reinterpret_cast<const uint8_t*>(""), 0, out, 4), 0);
  EXPECT_EQ(out[0], '\0');
  uint8_t back[4] = {1, 1, 1, 1};
  EXPECT_EQ(platform_utf8_to_cp932("", 0, back, 4), 0);
  EXPECT_EQ(back[0], 0);
}

TEST(Cp932Text, BytesThatAreNotCp932AreRefused) {
  bytes invalid[] = {
      {0x83},              // lead byte at the end
      {'a', 0x83, 0x20},   // trail byte below 0x40
      {0x83, 0x7F},        // trail byte 0x7F
      {0x83, 0xFD},        // trail byte above 0xFC
      {0x80}, {0xA0}, {0xFD}, {0xFE}, {0xFF},   // single bytes without a character
      {0x85, 0x40},        // an unassigned double-byte code
      {'a', 0x00, 'b'},    // a zero inside the text
  };
  for (auto& in : invalid) EXPECT_EQ(to_utf8(in).first, -1) << testing::PrintToString(in);
}

TEST(Cp932Text, CharactersWithoutTheirOwnCodeAreRefusedNotApproximated) {
  const char* invalid[] = {
      "\xC2\xA5",          // yen sign: a best fit would give 0x5C, the separator
      "\xE2\x80\xBE",      // overline: a best fit would give '~'
      "\xE2\x80\x94",      // em dash: a best fit would give 0x815C, which reads back as U+2015
      "\xC3\xA9",          // é: no code at all
      "\xF0\x9F\x98\x80",  // outside the BMP
      "\xC2\x80",          // U+0080: the Windows table writes 0x80, a byte neither side reads
      "\xC3",              // truncated UTF-8
      "\xC0\xAF",          // overlong '/'
      "\xED\xA0\x80",      // a surrogate
  };
  for (const char* s : invalid) EXPECT_EQ(to_cp932(s).first, -1) << testing::PrintToString(s);
  EXPECT_EQ(to_cp932(std::string("a\0b", 3)).first, -1);
}

TEST(Cp932Text, ResultAndItsZeroMustFitTheCapacity) {
  bytes so = {0x83, 0x5C};            // 3 bytes of UTF-8
  EXPECT_EQ(to_utf8(so, 4).first, 3);
  EXPECT_EQ(to_utf8(so, 3).first, -1);
  EXPECT_EQ(to_utf8(so, 1).first, -1);
  EXPECT_EQ(to_utf8(so, 0).first, -1);
  std::string text = "\xE3\x82\xBD\xE3\x82\xBD";  // 4 bytes of CP932
  EXPECT_EQ(to_cp932(text, 5).first, 4);
  EXPECT_EQ(to_cp932(text, 4).first, -1);
  EXPECT_EQ(to_cp932(text, 0).first, -1);
  // Long texts (a message text of the archive) convert whole.
  bytes long_text;
  for (int i = 0; i < 16000; i++) long_text.insert(long_text.end(), {0x82, 0xA0});  // あ
  auto [n, utf8] = to_utf8(long_text, 48001);
  EXPECT_EQ(n, 48000);
  EXPECT_EQ(to_cp932(utf8, 32001).second, long_text);
}
