// The CP932 byte classes (engine/cp932.h), which the name check, the preamble's cut and the
// Win32 conversion all follow, against the code page as the system converts it: glibc's
// table on the host, Windows' on Windows. Every byte value is tried, so each edge of each
// range is.
#include <gtest/gtest.h>

#include "engine/cp932.h"
#include "platform/platform.h"

namespace {

bool converts(const uint8_t* bytes, size_t length) {
  char out[16];
  return platform_cp932_to_utf8(bytes, length, out, sizeof out) >= 0;
}

}  // namespace

TEST(Cp932Bytes, AByteAloneIsACharacterUnlessItIsALeadByteOrUnassigned) {
  for (int v = 1; v <= 0xFF; v++) {
    uint8_t b = uint8_t(v);
    EXPECT_FALSE(cp932_is_lead(b) && cp932_is_unassigned_single(b)) << "byte 0x" << std::hex << v;
    bool character = !cp932_is_lead(b) && !cp932_is_unassigned_single(b);
    EXPECT_EQ(converts(&b, 1), character) << "byte 0x" << std::hex << v;
  }
}

TEST(Cp932Bytes, TrailBytesAreExactlyThoseThatCompleteALeadByte) {
  // Rows in which the code page assigns every code (kanji, at the ends of both lead ranges
  // and in between), so that only the trail byte decides.
  for (uint8_t lead : {uint8_t(0x89), uint8_t(0x9F), uint8_t(0xE0)}) {
    ASSERT_TRUE(cp932_is_lead(lead));
    for (int v = 1; v <= 0xFF; v++) {
      uint8_t pair[2] = {lead, uint8_t(v)};
      EXPECT_EQ(converts(pair, 2), cp932_is_trail(uint8_t(v)))
          << "lead 0x" << std::hex << int(lead) << ", trail 0x" << v;
    }
  }
}
