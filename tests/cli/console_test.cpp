// Text outside ASCII as the user reads it: on a terminal (for vantrel.exe under Wine, the
// console Wine gives a program started on a pseudo-terminal, whose code page is the locale's:
// 932 in Japanese, 437 in English) and redirected to a file, where it is UTF-8 bytes.
#include <gtest/gtest.h>

#include <ctype.h>
#include <string.h>

#include <string>

#include "cli/utf8_text.h"
#include "tests/cli/tool_runner.h"

namespace {

// What a terminal shows of its output: without escape sequences, with '\n' line ends.
std::string shown_text(const std::string& terminal) {
  std::string lines;
  for (size_t i = 0; i < terminal.size(); i++) {
    if (terminal[i] == '\x1b' && i + 1 < terminal.size() && terminal[i + 1] == '[') {
      // ESC [ parameters (digits, ';', '?') and a final letter
      size_t end = i + 2;
      while (end < terminal.size() && terminal[end] && strchr("0123456789;?", terminal[end]))
        end++;
      if (end < terminal.size() && isalpha(static_cast<unsigned char>(terminal[end]))) {
        i = end;
        continue;
      }
    }
    if (terminal[i] != '\r') lines += terminal[i];
  }
  return lines;
}

TEST(ToolConsole, NamesMessagesAndErrorsOutsideAsciiShowAsTheyAre) {
  scratch_folder w("console");
  put_text(w / "src/日本語フォルダ/ファイル名.txt", "一");
  put_text(w / "src/表示.txt", "二");
  std::string archive = w / "配布.exe";
  tool_run pack =
      run_tool({"pack", "-q", "-o", archive, "--message", "ようこそ", "-C", w / "src", "."});
  ASSERT_EQ(pack.code, 0) << pack.err;

  tool_run on_terminal = run_tool_in_terminal({"list", archive});
  EXPECT_EQ(on_terminal.code, 0) << on_terminal.out;
  std::string shown = shown_text(on_terminal.out);
  for (const char* expected : {"Message:\n  ようこそ\n", "  日本語フォルダ/\n",
                               "  日本語フォルダ/ファイル名.txt\n", "  表示.txt\n"})
    EXPECT_NE(shown.find(expected), std::string::npos) << expected << " in\n" << shown;
  // An error on standard error, naming what was given.
  tool_run missing = run_tool_in_terminal({"list", w / "無い.exe"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(shown_text(missing.out).find("cannot open '" + w / "無い.exe" + "'"),
            std::string::npos)
      << missing.out;
  // Usage errors and --help come from the parser, and reach the console the same way.
  tool_run usage = run_tool_in_terminal({"list", archive, "--bad-option-é"});
  EXPECT_EQ(usage.code, 2);
  EXPECT_NE(shown_text(usage.out).find("--bad-option-é"), std::string::npos) << usage.out;

  // Redirected: the same text, as UTF-8 bytes with '\n' line ends.
  tool_run redirected = run_tool({"list", "-q", archive});
  EXPECT_EQ(redirected.code, 0) << redirected.err;
  EXPECT_NE(redirected.out.find("Message:\n  ようこそ\n"), std::string::npos) << redirected.out;
  EXPECT_NE(redirected.out.find(" 日本語フォルダ/ファイル名.txt\n"), std::string::npos)
      << redirected.out;
  EXPECT_EQ(redirected.out.find('\r'), std::string::npos);
  // Redirected, also a character outside the BMP, which Wine's console shows as two U+FFFD
  // (a console cell holds one UTF-16 unit, half of the pair).
  missing = run_tool({"list", w / "無い😀.exe"});
  EXPECT_NE(missing.err.find("cannot open '" + w / "無い😀.exe" + "'"), std::string::npos)
      << missing.err;
}

// What is written to a console in pieces may end inside a character; its first bytes wait for
// the next piece instead of showing as U+FFFD.
TEST(ToolConsole, AnUnfinishedCharacterAtTheEndWaitsForTheRest) {
  struct piece {
    const char* bytes;
    size_t whole;
  } pieces[] = {
      {"", 0},
      {"abc", 3},
      {"a\xC3", 1},             // 2-byte sequence, lead only
      {"a\xC3\xA9", 3},         // complete é
      {"\xE6\x97", 0},          // 日 cut after two of three bytes
      {"x\xE6\x97\xA5", 4},     // complete 日
      {"\xF0\x9F\x98", 0},      // 😀 cut after three of four
      {"\xF0\x9F\x98\x80", 4},  // complete 😀
      {"a\x80\x80\x80", 4},     // continuation bytes without a lead: no UTF-8, not held
      {"a\xC0", 2},             // never a lead byte in UTF-8
      {"a\xFF", 2},
  };
  for (const piece& p : pieces)
    EXPECT_EQ(utf8_whole_length(p.bytes, strlen(p.bytes)), p.whole)
        << testing::PrintToString(std::string(p.bytes));
}

}  // namespace
