// The stub's own memory and string functions, compiled here under other names and checked
// against the C library's on the same inputs.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#define CRT_NAME(name) stub_##name
#include "platform/crt_win32.cpp"

#include "tests/common/test_support.h"

namespace {
int sign(int v) { return (v > 0) - (v < 0); }
}

TEST(StubCrt, MemoryFunctionsMatchTheCLibrary) {
  auto source = random_bytes(300, 7);
  // Every overlap of a 64-byte move within a buffer, both directions.
  for (int from = 0; from < 100; from += 7)
    for (int to = 0; to < 100; to += 5) {
      auto a = source, b = source;
      EXPECT_EQ(stub_memmove(a.data() + to, a.data() + from, 64), a.data() + to);
      memmove(b.data() + to, b.data() + from, 64);
      ASSERT_EQ(a, b) << "memmove from " << from << " to " << to;
    }
  std::vector<uint8_t> copy(300);
  EXPECT_EQ(stub_memcpy(copy.data(), source.data(), 300), copy.data());
  EXPECT_EQ(copy, source);
  EXPECT_EQ(stub_memset(copy.data() + 10, 0x1AB, 5), copy.data() + 10);
  EXPECT_EQ(copy[9], source[9]);
  for (int i = 10; i < 15; i++) EXPECT_EQ(copy[i], 0xAB);
  EXPECT_EQ(copy[15], source[15]);
  const uint8_t x[] = {1, 2, 0x80}, y[] = {1, 2, 0x7F};
  EXPECT_EQ(sign(stub_memcmp(x, y, 3)), 1) << "bytes compare as unsigned";
  EXPECT_EQ(sign(stub_memcmp(y, x, 3)), -1);
  EXPECT_EQ(stub_memcmp(x, y, 2), 0);
  EXPECT_EQ(stub_memchr(x, 0x80, 3), x + 2);
  EXPECT_EQ(stub_memchr(x, 0x80, 2), nullptr);
}

TEST(StubCrt, StringFunctionsMatchTheCLibrary) {
  const char* texts[] = {"", "a", "ab", "abc", "ab\x83\x5C", "b", "ab\x7F"};
  for (const char* s : texts) {
    EXPECT_EQ(stub_strlen(s), strlen(s));
    EXPECT_EQ(stub_strchr(s, '\\'), strchr(s, '\\'));
    EXPECT_EQ(stub_strchr(s, 0), strchr(s, 0));
    EXPECT_EQ(stub_strrchr(s, 'b'), strrchr(s, 'b'));
    EXPECT_EQ(stub_strrchr(s, 0), strrchr(s, 0));
    for (const char* t : texts) {
      EXPECT_EQ(sign(stub_strcmp(s, t)), sign(strcmp(s, t))) << s << " " << t;
      for (size_t n = 0; n < 5; n++)
        EXPECT_EQ(sign(stub_strncmp(s, t, n)), sign(strncmp(s, t, n))) << s << " " << t << n;
    }
    char buffer[8];
    EXPECT_EQ(stub_strcpy(buffer, s), buffer);
    EXPECT_STREQ(buffer, s);
  }
}
