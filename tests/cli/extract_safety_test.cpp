// Extraction as a program against a destination that is not empty: symbolic and hard links
// below it, members that fail while they replace an earlier file (damage, a full disk, a
// read-only folder), every signal that ends the tool, and a wrong password that passes the
// archive's check. In none of them may anything be written outside the destination.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/cli/tool_runner.h"

namespace fs = std::filesystem;

namespace {

const std::string temporary_prefix = ".vantrel-tmp-";

std::vector<uint8_t> text_bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> noise(size_t n, uint64_t seed) {
  std::vector<uint8_t> bytes(n);
  uint64_t x = seed;
  for (uint8_t& b : bytes) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = uint8_t(x);
  }
  return bytes;
}

void pack(const std::string& root, const std::string& archive,
          std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"pack", "-q", "-o", archive, "-C", root};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(".");
  tool_run r = run_tool(args);
  ASSERT_EQ(r.code, 0) << r.err;
}

tool_run extract(const std::string& archive, const std::string& out, const std::string& mode,
                 std::vector<std::string> extra = {},
                 const std::function<bool()>& in_child = nullptr) {
  std::vector<std::string> args = {"extract", archive, "-o", out, "--overwrite", mode};
  args.insert(args.end(), extra.begin(), extra.end());
  return run_tool(args, "", "", nullptr, in_child);
}

nlink_t link_count(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_nlink : 0;
}

// ---- Symbolic and hard links ------------------------------------------------------------

struct linked_destination : testing::Test {
  scratch_folder w{"links"};
  std::string archive = w / "links.exe";
  std::string elsewhere = w / "elsewhere";   // must stay as the test made it
  void SetUp() override {
    put_text(w / "src/link/evil.txt", "evil");
    put_text(w / "src/a/b/c.txt", "deep");
    put_text(w / "src/x.txt", "new");
    pack(w / "src", archive);
    fs::create_directories(elsewhere);
    put_text(elsewhere + "/target.txt", "outside");
  }
};

TEST_F(linked_destination, LinkWhereAFolderBelongsStopsTheRunInEveryMode) {
  auto before = tree_of(elsewhere);
  // A link straight below the destination, and one further down below a real folder.
  for (const std::string& at : {std::string("link"), std::string("a/b")}) {
    for (std::string mode : {"always", "never"}) {
      SCOPED_TRACE(at + ", --overwrite " + mode);
      std::string out = w / ("out-" + mode + "-" + std::to_string(at.size()));
      fs::create_directories(fs::path(out + "/" + at).parent_path());
      fs::create_directory_symlink(elsewhere, out + "/" + at);
      tool_run r = extract(archive, out, mode);
      EXPECT_EQ(r.code, 1) << r.err;
      EXPECT_NE(r.err.find("'" + out + "/" + at + "' is a symbolic link"), std::string::npos)
          << r.err;
      EXPECT_TRUE(fs::is_symlink(out + "/" + at));
      EXPECT_EQ(tree_of(elsewhere), before);
    }
  }
}

TEST_F(linked_destination, LinkWhereAFileBelongsIsNeverWrittenThrough) {
  // Wine shows a symbolic link to a file as the file itself and a dangling one as nothing (no
  // reparse point: vantrel.exe cannot tell either from what it stands for), and Wine 8 makes
  // no links or junctions of its own (FSCTL_SET_REPARSE_POINT fails with ERROR_NOT_SUPPORTED,
  // CreateSymbolicLinkW creates nothing). What must hold there as well: nothing is written
  // through the link; the member's rename replaces the link itself.
  bool windows = tool_is_windows_program();
  auto before = tree_of(elsewhere);
  struct link_case {
    const char* what;
    std::string target;
  } cases[] = {{"to a file elsewhere", elsewhere + "/target.txt"},
               {"dangling", elsewhere + "/missing.txt"}};
  for (const link_case& c : cases) {
    for (std::string mode : {"always", "never"}) {
      SCOPED_TRACE(std::string(c.what) + ", --overwrite " + mode);
      scratch_folder out("file_link");
      fs::create_symlink(c.target, out / "x.txt");
      bool seen_as_file = windows && fs::exists(c.target);
      tool_run r = extract(archive, out.path, mode, {"x.txt"});
      if (windows && (mode == "always" || !seen_as_file)) {
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_FALSE(fs::is_symlink(out / "x.txt"));
        EXPECT_EQ(get_file(out / "x.txt"), text_bytes("new"));
      } else if (mode == "always") {
        EXPECT_EQ(r.code, 1) << r.err;
        EXPECT_NE(r.err.find("'" + out.path + "/x.txt' is a symbolic link"), std::string::npos)
            << r.err;
      } else {
        // The link itself is the existing entry that never leaves alone.
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.out.find("1 existing file left as it was"), std::string::npos) << r.out;
      }
      if (!windows || (mode == "never" && seen_as_file)) {
        EXPECT_TRUE(fs::is_symlink(out / "x.txt"));
        EXPECT_EQ(fs::read_symlink(out / "x.txt").string(), c.target);
      }
      EXPECT_TRUE(names_starting(out.path, temporary_prefix).empty());
      EXPECT_EQ(tree_of(elsewhere), before);
    }
  }
}

TEST_F(linked_destination, HardLinkedFileIsReplacedAndTheOtherNameKeepsItsContent) {
  scratch_folder out("hard_link");
  fs::create_hard_link(elsewhere + "/target.txt", out / "x.txt");
  ASSERT_EQ(link_count(out / "x.txt"), 2u);
  tool_run r = extract(archive, out.path, "always", {"-q", "x.txt"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(get_file(out / "x.txt"), text_bytes("new"));
  EXPECT_EQ(link_count(out / "x.txt"), 1u);
  EXPECT_EQ(get_file(elsewhere + "/target.txt"), text_bytes("outside"));
  EXPECT_EQ(link_count(elsewhere + "/target.txt"), 1u);
}

TEST_F(linked_destination, DestinationItselfMayBeALink) {
  fs::create_directories(w / "real");
  fs::create_directory_symlink(w / "real", w / "chosen");
  tool_run r = extract(archive, w / "chosen", "always", {"-q"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(tree_of(w / "real"), tree_of(w / "src"));
  EXPECT_TRUE(names_starting(w / "real", temporary_prefix).empty());
}

// ---- A member that fails while it replaces an earlier file ------------------------------

struct replaced_member : testing::Test {
  scratch_folder w{"replace"};
  std::string archive = w / "replace.exe";
  std::vector<uint8_t> big = noise(400000, 77);
  void SetUp() override {
    put_text(w / "src/a.txt", "first");
    put_file(w / "src/big.bin", big);
    pack(w / "src", archive);
  }
  // A destination holding an earlier big.bin.
  std::string earlier_destination(const char* name) {
    std::string out = w / name;
    put_text(out + "/big.bin", "earlier");
    return out;
  }
  void expect_earlier_file_whole(const std::string& out) {
    EXPECT_EQ(get_file(out + "/big.bin"), text_bytes("earlier"));
    EXPECT_TRUE(names_starting(out, temporary_prefix).empty());
  }
};

TEST_F(replaced_member, DamagedMemberLeavesTheEarlierFileWhole) {
  std::vector<uint8_t> file = get_file(archive);
  file.at(file.size() - 100000) ^= 0x10;   // inside big.bin's body
  std::string damaged = w / "damaged.exe";
  put_file(damaged, file);
  std::string out = earlier_destination("out");
  tool_run r = extract(damaged, out, "always", {"-q"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("password"), std::string::npos) << r.err;   // it has none
  expect_earlier_file_whole(out);
}

TEST_F(replaced_member, FullFileSystemLeavesTheEarlierFileWholeAndANewOneAbsent) {
  if (tool_is_windows_program())
    GTEST_SKIP() << "a file size limit (RLIMIT_FSIZE) ends a Wine process by SIGXFSZ";
  // A size limit on the tool's files: a write past it fails as on a full disk (EFBIG).
  auto limit = [] {
    rlimit r = {100000, 100000};
    return setrlimit(RLIMIT_FSIZE, &r) == 0;
  };
  std::string out = earlier_destination("out");
  tool_run r = extract(archive, out, "always", {"-q"}, limit);
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.err.find("writing an extracted file failed (File too large)"), std::string::npos)
      << r.err;
  expect_earlier_file_whole(out);

  std::string fresh = w / "fresh";
  r = extract(archive, fresh, "always", {"-q"}, limit);
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_FALSE(fs::exists(fresh + "/big.bin"));
  EXPECT_EQ(get_file(fresh + "/a.txt"), text_bytes("first"));
  EXPECT_TRUE(names_starting(fresh, temporary_prefix).empty());
}

TEST_F(replaced_member, ReadOnlyFolderLeavesItsFileWhole) {
  if (tool_is_windows_program())
    GTEST_SKIP() << "a read-only folder: Linux permission bits, which Wine maps only in part";
  std::string out = earlier_destination("out");
  fs::permissions(out, fs::perms::owner_read | fs::perms::owner_exec |
                           fs::perms::group_read | fs::perms::group_exec);
  // root writes into a read-only folder unless it gives up overriding permissions.
  auto as_ordinary_user = [] {
    if (geteuid() != 0) return true;
    return prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) == 0 &&
           prctl(PR_CAPBSET_DROP, CAP_FOWNER, 0, 0, 0) == 0;
  };
  tool_run r = extract(archive, out, "always", {"-q", "big.bin"}, as_ordinary_user);
  if (r.code == 124) GTEST_SKIP() << "cannot give up the right to override permissions";
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
  expect_earlier_file_whole(out);
}

// ---- Signals ----------------------------------------------------------------------------

// Random bytes decode slowly enough (about a second here) that a signal, sent at the first
// write of the member, finds it still being written.
struct signalled_run : testing::Test {
  static scratch_folder* w;
  static std::string archive;
  static void SetUpTestSuite() {
    w = new scratch_folder("signals");
    put_text(*w / "src/a.txt", "finished first");
    put_file(*w / "src/z.bin", noise(20000000, 88172645463325252ull));
    archive = *w / "big.exe";
    pack(*w / "src", archive);
  }
  static void TearDownTestSuite() {
    delete w;
    w = nullptr;
  }

  // Extracts into out over an earlier z.bin and sends `number` once that member is being
  // written (the second temporary file, after a.txt's); returns the run.
  tool_run interrupted(const std::string& out, int number) {
    put_text(out + "/z.bin", "earlier");
    write_watch watch(out, temporary_prefix, true, 2);
    write_watch::outcome seen = write_watch::cannot_watch;
    tool_run r = run_tool({"extract", "-q", archive, "-o", out, "--overwrite", "always"}, "", "",
                          [&](pid_t child) {
                            seen = watch.wait(child, 60);
                            kill(child, seen == write_watch::written ? number : SIGKILL);
                          });
    EXPECT_EQ(seen, write_watch::written) << r.err;
    return r;
  }
};
scratch_folder* signalled_run::w;
std::string signalled_run::archive;

TEST_F(signalled_run, EachSignalEndsCleanlyWithItsOwnCode) {
  struct ending {
    int number;
    int code;
  } endings[] = {{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}, {SIGQUIT, 131}, {SIGPIPE, 141}};
  for (const ending& e : endings) {
    // Windows has Ctrl-C (SIGINT, under Wine) and Ctrl-Break; the other signals are Linux's.
    if (tool_is_windows_program() && e.number != SIGINT) continue;
    SCOPED_TRACE(strsignal(e.number));
    std::string out = *w / ("out-" + std::to_string(e.number));
    tool_run r = interrupted(out, e.number);
    EXPECT_EQ(r.code, e.code) << r.err;
    EXPECT_NE(r.err.find("cancelled"), std::string::npos) << r.err;
    EXPECT_EQ(get_file(out + "/z.bin"), text_bytes("earlier"));
    EXPECT_EQ(get_file(out + "/a.txt"), text_bytes("finished first"));
    EXPECT_TRUE(names_starting(out, temporary_prefix).empty());
  }
}

// Ctrl-C as a user presses it: typed at the terminal (for vantrel.exe under Wine, at its
// console, which turns it into CTRL_C_EVENT; a kill sends SIGINT to the process instead).
TEST_F(signalled_run, CtrlCTypedAtTheTerminalEndsCleanly) {
  std::string out = *w / "out-typed";
  put_text(out + "/z.bin", "earlier");
  write_watch watch(out, temporary_prefix, true, 2);
  write_watch::outcome seen = write_watch::cannot_watch;
  tool_run r = run_tool_in_terminal({"extract", archive, "-o", out, "--overwrite", "always"}, "",
                                    nullptr, [&](pid_t child, int terminal) {
                                      seen = watch.wait(child, 60);
                                      if (seen != write_watch::written ||
                                          write(terminal, "\x03", 1) != 1)
                                        kill(child, SIGKILL);
                                    });
  ASSERT_EQ(seen, write_watch::written) << r.out;
  EXPECT_EQ(r.code, 130) << r.out;
  EXPECT_NE(r.out.find("cancelled by"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("100.0%"), std::string::npos) << "a cancelled run shown as complete";
  EXPECT_EQ(get_file(out + "/z.bin"), text_bytes("earlier"));
  EXPECT_EQ(get_file(out + "/a.txt"), text_bytes("finished first"));
  EXPECT_TRUE(names_starting(out, temporary_prefix).empty());
}

// Ctrl-Break, Windows's other cancelling key, delivered as Windows delivers it (Wine's own
// GenerateConsoleCtrlEvent has only Ctrl-C): the same clean end as Ctrl-C, named in the message.
// Into a fresh folder, the member being written is removed; over an earlier file, that file
// stays; the member finished first stays either way.
TEST_F(signalled_run, CtrlBreakEndsCleanlyAndIsNamed) {
  if (!tool_is_windows_program())
    GTEST_SKIP() << "Ctrl-Break is a Windows console event; the Linux tool has signals instead";
  ASSERT_TRUE(fs::exists(console_event::program()))
      << console_event::program() << " is missing (the x86_64 Windows build makes it)";
  for (bool over_earlier : {false, true}) {
    std::string out = *w / (over_earlier ? "out-break-over" : "out-break-fresh");
    SCOPED_TRACE(out);
    fs::create_directories(out);
    if (over_earlier) put_text(out + "/z.bin", "earlier");
    console_event ctrl_break(console_event::ctrl_break, out);
    write_watch watch(out, temporary_prefix, true, 2);
    run_with_event e = run_tool_sending({"extract", archive, "-o", out, "--overwrite", "always"},
                                        watch, ctrl_break);
    const tool_run& r = e.run;
    ASSERT_EQ(e.seen, write_watch::written) << r.err;
    ASSERT_EQ(e.sent.code, 0) << e.sent.err;
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_NE(r.err.find("vantrel extract: cancelled by Ctrl-Break"), std::string::npos)
        << r.err;
    if (over_earlier)
      EXPECT_EQ(get_file(out + "/z.bin"), text_bytes("earlier"));
    else
      EXPECT_FALSE(fs::exists(out + "/z.bin"));
    EXPECT_EQ(get_file(out + "/a.txt"), text_bytes("finished first"));
    EXPECT_TRUE(names_starting(out, temporary_prefix).empty());
  }
}

TEST_F(signalled_run, KilledRunLeavesOnlyARecognisableTemporaryFile) {
  std::string out = *w / "out-killed";
  tool_run r = interrupted(out, SIGKILL);
  EXPECT_EQ(r.code, 128 + SIGKILL);
  EXPECT_EQ(get_file(out + "/z.bin"), text_bytes("earlier"));
  EXPECT_EQ(names_starting(out, temporary_prefix).size(), 1u);
  EXPECT_EQ(names_starting(out, "").size(), 3u);   // a.txt, z.bin and the temporary file
}

// ---- A wrong password that passes the check ---------------------------------------------

// The archive's password check: the CRC of the CP932 bytes and two zero bytes, shifted in
// bit by bit through the polynomial 0x8005.
uint16_t password_check(const std::string& password) {
  uint32_t r = 0;
  std::string bytes = password + std::string(2, '\0');
  for (unsigned char c : bytes)
    for (int bit = 7; bit >= 0; bit--) {
      r = (r << 1) | ((c >> bit) & 1u);
      if (r & 0x10000u) r ^= 0x18005u;
    }
  return uint16_t(r);
}

TEST(ToolPasswordCheck, DamageAfterAWrongPasswordThatPassedTheCheckBlamesThePasswordToo) {
  scratch_folder w("collide");
  put_file(w / "src/data.bin", noise(50000, 5));
  std::string archive = w / "locked.exe";
  pack(w / "src", archive, {"--password", "right"});
  std::vector<uint8_t> file = get_file(archive);
  size_t p = 26112 + 4;
  for (int text = 0; text < 2; text++) {
    while (file.at(p) != 0) p++;
    p++;
  }
  uint8_t flag = file.at(p);
  uint16_t check = uint16_t((file.at(p + 1) | file.at(p + 2) << 8) ^ (flag * 0x0101));
  ASSERT_EQ(password_check("right"), check);
  std::string wrong;
  for (int i = 0; wrong.empty() && i < 10000000; i++) {
    std::string candidate = std::to_string(i).insert(0, 1, 'w');
    if (password_check(candidate) == check) wrong = candidate;
  }
  ASSERT_FALSE(wrong.empty());

  tool_run r = run_tool({"extract", "-q", archive, "-o", w / "out", "--password", wrong});
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("or the password is wrong"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(w / "out/data.bin"));
  EXPECT_EQ(run_tool({"test", "-q", archive, "--password", "right"}).code, 0);
}

}  // namespace
