// What list, test and extract take as their input, run as a program: files that are not
// archives of this kind.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli/tool_runner.h"

namespace fs = std::filesystem;

namespace {

void put_le(std::vector<uint8_t>& bytes, size_t at, uint32_t value, int width) {
  for (int i = 0; i < width; i++) bytes.at(at + size_t(i)) = uint8_t(value >> (8 * i));
}

// A Windows program whose one section runs past the stub's size, with a length field after
// 26112 bytes that matches the file: only the program's own shape tells it from an archive.
std::vector<uint8_t> larger_program() {
  std::vector<uint8_t> exe(0x8400, 0x90);
  exe[0] = 'M';
  exe[1] = 'Z';
  put_le(exe, 0x3C, 0x80, 4);
  put_le(exe, 0x80, 0x4550, 4);
  put_le(exe, 0x84, 0x14C, 2);  // i386
  put_le(exe, 0x86, 1, 2);      // one section
  put_le(exe, 0x94, 0xE0, 2);   // optional header size
  size_t section = 0x80 + 24 + 0xE0;
  put_le(exe, section + 16, 0x8000, 4);  // raw size
  put_le(exe, section + 20, 0x400, 4);   // raw offset: ends at 0x8400
  put_le(exe, 26112, uint32_t(exe.size()), 4);
  return exe;
}

TEST(ToolInput, FilesThatAreNotArchivesAreSaidToBeSoWithTheirOwnCode) {
  scratch_folder w("notarchive");
  put_text(w / "notes.txt", "just some notes\n");
  put_text(w / "long.txt", std::string(40000, 'x'));
  put_file(w / "empty", {});
  put_file(w / "program.exe", larger_program());
  std::vector<uint8_t> short_length(26200, 0);
  put_le(short_length, 26112, 26117, 4);  // too small to hold even an empty preamble
  put_file(w / "short_length.exe", short_length);

  for (std::string name : {std::string(VANTREL_EXE), w / "notes.txt", w / "long.txt",
                           w / "empty", w / "program.exe", w / "short_length.exe"}) {
    for (const char* command : {"list", "test", "extract"}) {
      std::string out = w / "out";
      std::vector<std::string> args = {command, name};
      if (std::string(command) == "extract") args.insert(args.end(), {"-o", out});
      tool_run r = run_tool(args);
      EXPECT_EQ(r.code, 3) << command << " " << name << ": " << r.err;
      EXPECT_NE(r.err.find("is not a Vantrel archive"), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("longer"), std::string::npos) << r.err;
      EXPECT_FALSE(fs::exists(out)) << "extract made its folder for " << name;
    }
  }

  put_file(w / "bare.exe", std::vector<uint8_t>(26112, 0));
  tool_run bare = run_tool({"test", w / "bare.exe"});
  EXPECT_EQ(bare.code, 3);
  EXPECT_NE(bare.err.find("bare stub"), std::string::npos) << bare.err;

  // What is an archive keeps its own findings: cut short, or a byte appended.
  put_text(w / "src/a.txt", "a");
  std::string archive = w / "a.exe";
  ASSERT_EQ(run_tool({"pack", "-q", "-o", archive, "-C", w / "src", "."}).code, 0);
  std::vector<uint8_t> bytes = get_file(archive);
  bytes.push_back(0);
  put_file(w / "appended.exe", bytes);
  bytes.resize(bytes.size() - 3);
  put_file(w / "cut.exe", bytes);
  tool_run appended = run_tool({"test", w / "appended.exe"});
  EXPECT_EQ(appended.code, 1);
  EXPECT_NE(appended.err.find("longer"), std::string::npos) << appended.err;
  tool_run cut = run_tool({"test", w / "cut.exe"});
  EXPECT_EQ(cut.code, 1);
  EXPECT_NE(cut.err.find("shorter"), std::string::npos) << cut.err;
  EXPECT_EQ(run_tool({"test", w / "missing.exe"}).code, 1);
}

}  // namespace
