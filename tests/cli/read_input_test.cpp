// Where archives come from and go to, run as a program: files that are not archives of this
// kind, and pipes (pack -o -, and "-" for list, test and extract), with a terminal and without.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

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
  bytes.erase(bytes.end() - 3, bytes.end());
  put_file(w / "cut.exe", bytes);
  tool_run appended = run_tool({"test", w / "appended.exe"});
  EXPECT_EQ(appended.code, 1);
  EXPECT_NE(appended.err.find("longer"), std::string::npos) << appended.err;
  tool_run cut = run_tool({"test", w / "cut.exe"});
  EXPECT_EQ(cut.code, 1);
  EXPECT_NE(cut.err.find("shorter"), std::string::npos) << cut.err;
  EXPECT_EQ(run_tool({"test", w / "missing.exe"}).code, 1);
}

// The tool's temporary files go to TMPDIR; pointing it at an empty folder shows what is left.
// The temporary folder of the user in Wine's prefix, where vantrel.exe keeps its temporary
// files ("" when the tool run is not vantrel.exe).
std::string windows_temporary_folder() {
  const char* prefix = getenv("WINEPREFIX");
  const passwd* user = getpwuid(getuid());
  if (!tool_is_windows_program() || !prefix || !user) return "";
  return std::string(prefix) + "/drive_c/users/" + user->pw_name + "/Temp";
}

std::function<bool()> temporary_folder(const std::string& folder) {
  return [folder] { return setenv("TMPDIR", folder.c_str(), 1) == 0; };
}

TEST(ToolPipes, PackWritesToStandardOutputAndListTestExtractReadStandardInput) {
  scratch_folder w("pipes");
  put_text(w / "src/a.txt", "first");
  put_text(w / "src/ソフト/b.txt", std::string(5000, 'b'));
  set_times(w / "src/a.txt", 1600000000, 1600000000);
  set_times(w / "src/ソフト/b.txt", 1600000000, 1600000000);
  fs::create_directories(w / "tmp");
  // vantrel.exe keeps its temporary files in the user's temporary folder, which Wine sets.
  std::vector<std::string> windows_temporaries = names_starting(windows_temporary_folder(),
                                                                "vantrel-");
  std::string archive = w / "a.exe";
  ASSERT_EQ(run_tool({"pack", "-q", "-o", archive, "-C", w / "src", "."}).code, 0);

  tool_run piped = run_tool({"pack", "-o", "-", "-C", "src", "."}, "", w.path, nullptr,
                            temporary_folder(w / "tmp"));
  ASSERT_EQ(piped.code, 0) << piped.err;
  std::vector<uint8_t> file = get_file(archive);
  EXPECT_TRUE(std::vector<uint8_t>(piped.out.begin(), piped.out.end()) == file);
  EXPECT_NE(piped.err.find("(standard output): 2 files, 1 folder,"), std::string::npos)
      << piped.err;
  EXPECT_FALSE(fs::exists(w / "-"));

  auto from_pipe = [&](std::vector<std::string> args, const std::string& input) {
    return run_tool(args, input, "", nullptr, temporary_folder(w / "tmp"));
  };
  tool_run list = from_pipe({"list", "-"}, piped.out);
  EXPECT_EQ(list.code, 0) << list.err;
  EXPECT_NE(list.out.find("ソフト/b.txt"), std::string::npos) << list.out;
  tool_run test = from_pipe({"test", "-"}, piped.out);
  EXPECT_EQ(test.code, 0) << test.err;
  EXPECT_NE(test.out.find("(standard input): OK"), std::string::npos) << test.out;
  std::string out = w / "out";
  tool_run extract = from_pipe({"extract", "-q", "-", "-o", out}, piped.out);
  ASSERT_EQ(extract.code, 0) << extract.err;
  EXPECT_EQ(tree_of(out), tree_of(w / "src"));
  // The answers to the overwrite question would come from the pipe that brings the archive.
  EXPECT_EQ(from_pipe({"extract", "-", "-o", out, "--overwrite", "ask"}, piped.out).code, 2);

  std::string damaged = piped.out;
  damaged[damaged.size() - 3] ^= 0x20;  // in the last block
  tool_run broken = from_pipe({"test", "-"}, damaged);
  EXPECT_EQ(broken.code, 1);
  EXPECT_NE(broken.err.find("(standard input)"), std::string::npos) << broken.err;
  EXPECT_EQ(from_pipe({"list", "-"}, "not an archive\n").code, 3);
  EXPECT_EQ(from_pipe({"list", "-"}, "").code, 3);

  ASSERT_EQ(run_tool({"pack", "-q", "-o", archive, "-C", w / "src", "--password", "pw", "."})
                .code,
            0);
  std::string secret =
      run_tool({"pack", "-q", "-o", "-", "-C", w / "src", "--password", "pw", "."}).out;
  EXPECT_EQ(from_pipe({"test", "-q", "-", "--password", "pw"}, secret).code, 0);
  tool_run no_password = from_pipe({"test", "-", "-q"}, secret);
  EXPECT_EQ(no_password.code, 2);
  EXPECT_NE(no_password.err.find("--password"), std::string::npos) << no_password.err;

  // A reader that stops early ends the pack by SIGPIPE, which leaves nothing behind either.
  std::vector<uint8_t> noise(300000);
  uint32_t x = 1;
  for (uint8_t& b : noise) b = uint8_t((x = x * 1103515245u + 12345u) >> 24);
  put_file(w / "src/noise.bin", noise);
  put_text(w / "early.sh", "cd '" + w.path + "' && TMPDIR='" + (w / "tmp") +
                               "' '" VANTREL_EXE
                               "' pack -q -o - -C src . | head -c 10 >/dev/null\n"
                               "exit ${PIPESTATUS[0]}\n");
  int status = system(("bash '" + (w / "early.sh") + "'").c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 141) << status;
  // Every temporary file the tool made is gone (Wine keeps a folder of its own there).
  EXPECT_TRUE(names_starting(w / "tmp", "vantrel-").empty());
  EXPECT_EQ(names_starting(windows_temporary_folder(), "vantrel-"), windows_temporaries);
}

TEST(ToolPipes, OnATerminalPackWillNotWriteAnArchiveNorTheReadersReadOne) {
  scratch_folder w("terminal");
  put_text(w / "src/a.txt", std::string(200000, 'a'));
  tool_run pack = run_tool_in_terminal({"pack", "-o", "-", "-C", w / "src", "."});
  EXPECT_EQ(pack.code, 2);
  EXPECT_NE(pack.out.find("will not write an archive to a terminal"), std::string::npos)
      << pack.out;
  EXPECT_LT(pack.out.size(), 1000u);
  for (const char* command : {"list", "test", "extract"}) {
    tool_run read = run_tool_in_terminal({command, "-"});
    EXPECT_EQ(read.code, 2) << command;
    EXPECT_NE(read.out.find("will not read an archive from a terminal"), std::string::npos)
        << read.out;
  }
  // Redirected, the archive goes to the file and the progress and summary to the terminal.
  std::string archive = w / "a.exe";
  tool_run shown = run_tool_in_terminal({"pack", "-o", "-", "-C", w / "src", "."}, "", [&] {
    return freopen(archive.c_str(), "wb", stdout) != nullptr;
  });
  EXPECT_EQ(shown.code, 0) << shown.out;
  EXPECT_NE(shown.out.find("\033[K"), std::string::npos) << "no progress on the terminal";
  EXPECT_NE(shown.out.find("(standard output): 1 file, 0 folders"), std::string::npos)
      << shown.out;
  EXPECT_EQ(run_tool({"test", "-q", archive}).code, 0);
  tool_run quiet = run_tool({"pack", "-o", "-", "-C", w / "src", "."});
  EXPECT_EQ(quiet.err.find("\033[K"), std::string::npos) << "progress without a terminal";
}

}  // namespace
