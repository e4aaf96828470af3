// The stored-name check: what may be appended to the destination, walked by CP932 character.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/stored_name.h"

namespace {

bool safe(const std::string& bytes) {
  return stored_name_is_safe(reinterpret_cast<const uint8_t*>(bytes.data()),
                             int32_t(bytes.size()));
}

TEST(StoredName, OrdinaryNamesPass) {
  for (const char* name :
       {"", "a.txt", "dir\\", "dir\\sub\\file", "dir/file", ".hidden", "a..b", "x.y.z",
        " leading space", "con_file", "CONSOLE", "com10", "lpt", "COM1x.txt",
        "~$tmp", "a b\\c d"}) {
    EXPECT_TRUE(safe(name)) << name;
  }
  // The double-byte characters so (83 5C), hyou (95 5C) and one ending in 7C: their second
  // bytes are part of the character, not a separator or a bar.
  EXPECT_TRUE(safe("\x83\x5C"));
  EXPECT_TRUE(safe("\x83\x5C\\\x95\x5C\\"));
  EXPECT_TRUE(safe("\x83\x7C.txt"));
  EXPECT_TRUE(safe("\x83\x5C\\..x"));
  // Half-width katakana are single bytes.
  EXPECT_TRUE(safe("\xB1\xB2\xB3"));
}

TEST(StoredName, EscapesAreRefused) {
  for (const char* name :
       {"..", "..\\x", "a\\..\\..\\x", "a\\..", "../x", "a/../b", "\\x", "/x", "\\", "\\\\srv\\s",
        "C:x", "C:\\x", "a:b", "file.txt:stream", ".", "a\\.\\b", ".\\"}) {
    EXPECT_FALSE(safe(name)) << name;
  }
  // ".." reached through a double-byte character's second byte is still ".." after it.
  EXPECT_FALSE(safe("\x83\x5C\\..\\x"));
}

TEST(StoredName, ForbiddenCharactersAndEndings) {
  for (const char* name :
       {"a*b", "a?b", "a\"b", "a<b", "a>b", "a|b", "a\tb", "a\x01", "a\x1F" "b", "a\x7F",
        "a.", "a ", "dir.\\x", "dir \\x", ".. ", "x\\a.", " "}) {
    EXPECT_FALSE(safe(name)) << name;
  }
}

TEST(StoredName, DeviceNames) {
  for (const char* name : {"CON", "con", "Prn", "aux.txt", "NUL.tar.gz", "COM1", "com9.log",
                           "LPT1", "lpt9", "dir\\CON", "CON\\x", "aux .txt", "nul.d"}) {
    EXPECT_FALSE(safe(name)) << name;
  }
  for (const char* name : {"COM0", "LPT0", "COMA", "xcon", "con1", "aux_"})
    EXPECT_TRUE(safe(name)) << name;
}

TEST(StoredName, DoubledSeparatorsAreRefused) {
  EXPECT_FALSE(safe("a\\\\b"));
  EXPECT_FALSE(safe("a//b"));
  EXPECT_FALSE(safe("a\\/b"));
  EXPECT_FALSE(safe("dir\\\\"));
}

TEST(StoredName, InvalidCp932IsRefused) {
  // A lead byte at the end, a lead byte before a byte that cannot follow it (so a separator
  // or a dot is never hidden in a broken character), and single bytes CP932 does not assign.
  EXPECT_FALSE(safe("abc\x83"));
  EXPECT_FALSE(safe("\x83/x"));
  EXPECT_FALSE(safe("\x83.."));
  EXPECT_FALSE(safe(std::string("\x83\x00", 2)));
  EXPECT_FALSE(safe("a\x80"));
  EXPECT_FALSE(safe("a\xA0"));
  EXPECT_FALSE(safe("a\xFD"));
  EXPECT_FALSE(safe("a\xFF"));
  EXPECT_FALSE(stored_name_is_safe(reinterpret_cast<const uint8_t*>("x"), -1));
}

}  // namespace
