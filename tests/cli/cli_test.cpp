// The tool end to end, run as a separate process: pack, list, test and extract a real tree,
// the password, damage, refusals, determinism, and every reference archive against its
// manifest.
#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <fstream>
#include <set>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "tests/cli/tool_runner.h"
#include "tests/common/json_lite.h"
#include "tests/common/sha256.h"
#include "tests/common/vectors.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> text_bytes(const std::string& s) { return {s.begin(), s.end()}; }

// Distinct whole-second times in a fixed order, so that two packs can be compared.
void set_sample_times(const std::string& root) {
  std::vector<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  int64_t t = 1600000000;
  for (const std::string& f : files) {
    t += 3600;
    set_times(f, t + 50, t);
  }
}

// A tree with Japanese names, nested and empty folders, an empty file, a large file with
// both repetitive and random parts, and known times.
void make_sample_tree(const std::string& root) {
  put_text(root + "/readme.txt", "Sample archive.\nSecond line.\n");
  put_file(root + "/空.txt", {});
  std::vector<uint8_t> large;
  for (int i = 0; i < 3000; i++) {
    std::string line = "line " + std::to_string(i) + " of the large file\n";
    large.insert(large.end(), line.begin(), line.end());
  }
  uint32_t x = 12345;
  for (int i = 0; i < 40000; i++) {
    x = x * 1103515245u + 12345u;
    large.push_back(uint8_t(x >> 24));
  }
  put_file(root + "/ソフト/大きい.bin", large);
  put_text(root + "/ソフト/表示.txt", "表示のテスト\r\n");
  put_text(root + "/ソフト/画像/深い/メモ.txt", "deep\n");
  fs::create_directories(root + "/空のフォルダ");
  fs::create_directories(root + "/ソフト/画像/空");
  set_sample_times(root);
}


struct packed_sample {
  scratch_folder work{"sample"};
  std::string source = work / "src";
  std::string archive = work / "sample.exe";
  tool_run pack;
  explicit packed_sample(std::vector<std::string> extra = {}) {
    make_sample_tree(source);
    std::vector<std::string> args = {"pack", "-q", "-o", archive, "-C", source};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(".");
    pack = run_tool(args);
  }
};

TEST(ToolRoundTrip, PackListTestExtractGiveTheTreeBack) {
  packed_sample s({"--message", "ようこそ\n二行目"});
  ASSERT_EQ(s.pack.code, 0) << s.pack.err;

  tool_run list = run_tool({"list", s.archive});
  EXPECT_EQ(list.code, 0) << list.err;
  auto source_tree = tree_of(s.source);
  for (const auto& [name, content] : source_tree)
    EXPECT_NE(list.out.find(name), std::string::npos) << name << " missing from\n" << list.out;
  EXPECT_NE(list.out.find("10 members (5 files, 5 folders)"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("%\n"), std::string::npos) << "no ratio in\n" << list.out;

  tool_run json = run_tool({"list", "--json", s.archive});
  ASSERT_EQ(json.code, 0) << json.err;
  json_value listing;
  std::string error;
  ASSERT_TRUE(json_parse(json.out, listing, error)) << error << "\n" << json.out;
  EXPECT_EQ(listing["message"].text, "ようこそ\r\n二行目");
  std::set<std::string> listed;
  for (const json_value& m : listing["members"].items) {
    std::string name = m["name"].text;
    listed.insert(name);
    ASSERT_TRUE(source_tree.count(name)) << name;
    if (m["kind"].text == "file") {
      EXPECT_EQ(size_t(m["size"].integer), source_tree[name].size()) << name;
      EXPECT_EQ(m["last_write_time"].integer, last_write_filetime(s.source + "/" + name)) << name;
    }
  }
  EXPECT_EQ(listed.size(), source_tree.size());
  // JSON is UTF-8, a Linux file name any bytes: a stray byte and a cut character come out
  // as one U+FFFD each (a cut character's bytes together, as Unicode recommends), a whole
  // character as itself.
  std::string odd = s.work / "\xC3\xA9\xFF\xE3\x81.exe";
  fs::copy_file(s.archive, odd);
  json = run_tool({"list", "--json", odd});
  ASSERT_EQ(json.code, 0) << json.err;
  json_value odd_listing;
  ASSERT_TRUE(json_parse(json.out, odd_listing, error)) << error << "\n" << json.out;
  EXPECT_EQ(odd_listing["archive"].text,
            s.work / "\xC3\xA9\xEF\xBF\xBD\xEF\xBF\xBD.exe");

  tool_run test = run_tool({"test", s.archive});
  EXPECT_EQ(test.code, 0) << test.err;
  EXPECT_NE(test.out.find("OK"), std::string::npos);

  std::string out = s.work / "out/new";   // missing: extract makes it
  tool_run extract = run_tool({"extract", "-q", s.archive, "-o", out});
  ASSERT_EQ(extract.code, 0) << extract.err;
  EXPECT_EQ(tree_of(out), source_tree);
  for (const auto& [name, content] : source_tree) {
    if (name.back() == '/') continue;
    EXPECT_EQ(last_write_filetime(out + "/" + name), last_write_filetime(s.source + "/" + name))
        << name;
  }
}

TEST(ToolRoundTrip, ExtractPicksNamedMembersAndHonoursOverwrite) {
  packed_sample s;
  ASSERT_EQ(s.pack.code, 0) << s.pack.err;
  std::string out = s.work / "out";
  tool_run picked = run_tool({"extract", "-q", s.archive, "-o", out, "ソフト/画像", "readme.txt"});
  ASSERT_EQ(picked.code, 0) << picked.err;
  std::set<std::string> names;
  for (const auto& [name, content] : tree_of(out)) names.insert(name);
  EXPECT_EQ(names, (std::set<std::string>{"readme.txt", "ソフト/", "ソフト/画像/",
                                          "ソフト/画像/深い/", "ソフト/画像/深い/メモ.txt",
                                          "ソフト/画像/空/"}));

  tool_run unknown = run_tool({"extract", "-q", s.archive, "-o", out, "nothing/here"});
  EXPECT_EQ(unknown.code, 2);

  // Without a terminal the default is never: a changed file stays as it is.
  put_text(out + "/readme.txt", "changed");
  EXPECT_EQ(run_tool({"extract", "-q", s.archive, "-o", out, "readme.txt"}).code, 0);
  EXPECT_EQ(get_file(out + "/readme.txt"), text_bytes("changed"));
  // Answers typed at the question: no, then (for another run) yes.
  tool_run no = run_tool({"extract", "-q", "--overwrite", "ask", s.archive, "-o", out,
                          "readme.txt"}, "n\n");
  EXPECT_EQ(no.code, 0);
  EXPECT_NE(no.err.find("readme.txt' already exists"), std::string::npos) << no.err;
  EXPECT_EQ(get_file(out + "/readme.txt"), text_bytes("changed"));
  EXPECT_EQ(run_tool({"extract", "-q", "--overwrite", "ask", s.archive, "-o", out,
                      "readme.txt"}, "y\n").code, 0);
  EXPECT_EQ(get_file(out + "/readme.txt"), get_file(s.source + "/readme.txt"));
  // Quit at the question is a cancel.
  put_text(out + "/readme.txt", "changed");
  EXPECT_EQ(run_tool({"extract", "-q", "--overwrite", "ask", s.archive, "-o", out}, "q\n").code,
            130);
  EXPECT_EQ(get_file(out + "/readme.txt"), text_bytes("changed"));
  EXPECT_EQ(run_tool({"extract", "-q", "--overwrite", "always", s.archive, "-o", out}).code, 0);
  EXPECT_EQ(tree_of(out), tree_of(s.source));
}

// File offset of the flag byte: stub, total_size, two zero-terminated texts.
size_t flag_offset(const std::vector<uint8_t>& file) {
  size_t p = 26112 + 4;
  for (int text = 0; text < 2; text++) {
    while (p < file.size() && file[p] != 0) p++;
    p++;
  }
  return p;
}

TEST(ToolPassword, RightPasswordExtractsWrongOrMissingOneIsRefused) {
  scratch_folder secrets("secret");
  put_text(secrets / "pw", "秘密のパス\nsecond line ignored\n");
  packed_sample s({"--password-file", secrets / "pw"});
  ASSERT_EQ(s.pack.code, 0) << s.pack.err;
  std::vector<uint8_t> file = get_file(s.archive);
  EXPECT_EQ(file.at(flag_offset(file)), 1);

  std::string out = s.work / "out";
  for (const std::vector<std::string>& wrong :
       {std::vector<std::string>{"--password", "秘密"}, {"--password", ""}, {}}) {
    std::vector<std::string> args = {"extract", "-q", s.archive, "-o", out};
    args.insert(args.end(), wrong.begin(), wrong.end());
    tool_run r = run_tool(args);
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_TRUE(tree_of(out).empty());
    std::vector<std::string> list_args = {"list", s.archive};
    list_args.insert(list_args.end(), wrong.begin(), wrong.end());
    EXPECT_EQ(run_tool(list_args).code, 2);
  }
  tool_run right = run_tool({"extract", "-q", s.archive, "-o", out, "--password", "秘密のパス"});
  ASSERT_EQ(right.code, 0) << right.err;
  EXPECT_EQ(tree_of(out), tree_of(s.source));

  packed_sample shown({"--password", "abc", "--show-password"});
  ASSERT_EQ(shown.pack.code, 0) << shown.pack.err;
  file = get_file(shown.archive);
  EXPECT_EQ(file.at(flag_offset(file)), 2);
  EXPECT_EQ(run_tool({"test", "-q", shown.archive, "--password", "abc"}).code, 0);
}

TEST(ToolPassword, ReadersTakeItFromAFileOrTheTerminal) {
  scratch_folder secrets("secret");
  put_text(secrets / "pw", "秘密\r\nsecond line ignored\n");
  put_text(secrets / "wrong", "秘\n");
  packed_sample s({"--password", "秘密"});
  ASSERT_EQ(s.pack.code, 0) << s.pack.err;
  std::string out = s.work / "out";
  for (std::string command : {"list", "test", "extract"}) {
    auto run = [&](std::vector<std::string> more) {
      std::vector<std::string> args = {command, "-q", s.archive};
      if (command == "extract") args.insert(args.end(), {"-o", out});
      args.insert(args.end(), more.begin(), more.end());
      return run_tool(args);
    };
    tool_run right = run({"--password-file", secrets / "pw"});
    EXPECT_EQ(right.code, 0) << command << ": " << right.err;
    EXPECT_EQ(run({"--password-file", secrets / "wrong"}).code, 2) << command;
    EXPECT_EQ(run({"--password-file", secrets / "missing"}).code, 1) << command;
    EXPECT_EQ(run({"--password-file", secrets / "pw", "--password", "秘密"}).code, 2) << command;
    tool_run none = run({});
    EXPECT_EQ(none.code, 2) << command;
    EXPECT_NE(none.err.find("--password-file"), std::string::npos) << none.err;
  }
  EXPECT_EQ(tree_of(out), tree_of(s.source));
  // Typed at the terminal's prompt.
  if (tool_is_windows_program())
    GTEST_SKIP() << "typing at a prompt: Wine's console on a pseudo-terminal is not a terminal "
                    "this test can drive";
  tool_run typed = run_tool_in_terminal({"test", s.archive}, "秘密\n");
  EXPECT_EQ(typed.code, 0) << typed.out;
  EXPECT_NE(typed.out.find("Password: "), std::string::npos) << typed.out;
  EXPECT_EQ(run_tool_in_terminal({"test", s.archive}, "秘\n").code, 2);
}

TEST(ToolDamage, DamagedCopyFailsTestAndExtractLeavingNoHalfWrittenFile) {
  packed_sample s;
  ASSERT_EQ(s.pack.code, 0) << s.pack.err;
  std::vector<uint8_t> file = get_file(s.archive);
  // Well inside the stream, after the first block: the large file's body is being decoded.
  file.at(26112 + 200 + 4098 * 3 + 100) ^= 0x10;
  std::string damaged = s.work / "damaged.exe";
  put_file(damaged, file);

  tool_run test = run_tool({"test", damaged});
  EXPECT_EQ(test.code, 1);
  EXPECT_NE(test.err.find("damaged"), std::string::npos) << test.err;

  std::string out = s.work / "out";
  tool_run extract = run_tool({"extract", "-q", damaged, "-o", out});
  EXPECT_EQ(extract.code, 1);
  auto source = tree_of(s.source);
  auto got = tree_of(out);
  EXPECT_FALSE(got.count("ソフト/大きい.bin"));
  for (const auto& [name, content] : got) {
    ASSERT_TRUE(source.count(name)) << name;
    EXPECT_EQ(content, source[name]) << name << " is not whole";
  }

  // Cut short: the length check refuses it before anything is written.
  file = get_file(s.archive);
  file.erase(file.end() - 10, file.end());
  put_file(damaged, file);
  EXPECT_EQ(run_tool({"test", "-q", damaged}).code, 1);
  EXPECT_EQ(run_tool({"list", damaged}).code, 1);
  EXPECT_EQ(run_tool({"test", "-q", s.work / "missing.exe"}).code, 1);
}

// Bytes that do not compress (xorshift), so that coding them takes a while.
std::vector<uint8_t> noise(size_t size, uint64_t x) {
  std::vector<uint8_t> bytes(size);
  for (uint8_t& b : bytes) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = uint8_t(x);
  }
  return bytes;
}

TEST(ToolCancel, InterruptRemovesTheMemberBeingWrittenAndKeepsFinishedOnes) {
  scratch_folder w("cancel");
  put_text(w / "src/a.txt", "finished first");
  // Random bytes decode slowly enough (about a second here) that the interrupt, sent at the
  // first write, finds the member still being written.
  std::vector<uint8_t> big = noise(20000000, 88172645463325252ull);
  put_file(w / "src/z.bin", big);
  std::string archive = w / "big.exe";
  ASSERT_EQ(run_tool({"pack", "-q", "-o", archive, "-C", w / "src", "."}).code, 0);
  // The interrupt goes out once the tool has written the first bytes of z.bin (to its
  // temporary file, the second one after a.txt's), so it lands while that member is being
  // written. The folder is made first, so that the watch on it is in place before the tool
  // starts.
  std::string out = w / "out";
  fs::create_directories(out);
  write_watch watch(out, ".vantrel-tmp-", true, 2);
  write_watch::outcome seen = write_watch::cannot_watch;
  tool_run r = run_tool({"extract", "-q", archive, "-o", out}, "", "", [&](pid_t child) {
    seen = watch.wait(child, 60);
    if (seen == write_watch::written) kill(child, SIGINT);
    else kill(child, SIGKILL);   // not left running past the test
  });
  ASSERT_NE(seen, write_watch::cannot_watch) << "cannot watch " << out;
  ASSERT_NE(seen, write_watch::timed_out) << "nothing written to z.bin in 60 s";
  ASSERT_EQ(seen, write_watch::written) << "the tool ended before it wrote z.bin: " << r.err;
  EXPECT_EQ(r.code, 130) << r.err;
  EXPECT_FALSE(fs::exists(out + "/z.bin"));
  EXPECT_EQ(get_file(out + "/a.txt"), text_bytes("finished first"));
  EXPECT_TRUE(names_starting(out, ".vantrel-tmp-").empty());
}

// Ctrl-C (SIGINT) during a pack: exit code 130, and neither the archive nor its temporary file
// is left; an earlier archive of that name stays as it was.
TEST(ToolCancel, InterruptedPackLeavesNoArchiveAndKeepsAnEarlierOne) {
  scratch_folder w("cancel_pack");
  std::vector<uint8_t> big = noise(20000000, 2463534242ull);
  put_file(w / "src/z.bin", big);
  fs::create_directories(w / "out");
  put_text(w / "out/a.exe", "earlier");
  // Sent once the temporary archive beside a.exe has been written to (the stub's bytes go
  // first, the content after), so that it lands while z.bin is being encoded.
  write_watch watch(w / "out", "a.exe.tmp-", true, 1);
  write_watch::outcome seen = write_watch::cannot_watch;
  tool_run r = run_tool({"pack", "-q", "-o", w / "out/a.exe", "-C", w / "src", "."}, "", "",
                        [&](pid_t child) {
                          seen = watch.wait(child, 60);
                          kill(child, seen == write_watch::written ? SIGINT : SIGKILL);
                        });
  ASSERT_EQ(seen, write_watch::written) << r.err;
  EXPECT_EQ(r.code, 130) << r.err;
  // Under Wine the signal reaches vantrel.exe as the console's Ctrl-C.
  std::string said = tool_is_windows_program() ? "Ctrl-C" : "SIGINT";
  EXPECT_NE(r.err.find("vantrel pack: cancelled by " + said + "\n"), std::string::npos) << r.err;
  EXPECT_EQ(names_starting(w / "out", ""), std::vector<std::string>{"a.exe"});
  EXPECT_EQ(get_file(w / "out/a.exe"), text_bytes("earlier"));
}

// Ctrl-Break during a pack of vantrel.exe (delivered as Windows delivers it; Wine's
// GenerateConsoleCtrlEvent has only Ctrl-C): the same clean end as Ctrl-C.
TEST(ToolCancel, CtrlBreakDuringAPackLeavesNoArchiveAndKeepsAnEarlierOne) {
  if (!tool_is_windows_program())
    GTEST_SKIP() << "Ctrl-Break is a Windows console event; the Linux tool has signals instead";
  ASSERT_TRUE(fs::exists(console_event::program()))
      << console_event::program() << " is missing (the x86_64 Windows build makes it)";
  scratch_folder w("break_pack");
  put_file(w / "src/z.bin", noise(20000000, 2463534242ull));
  fs::create_directories(w / "out");
  put_text(w / "out/a.exe", "earlier");
  console_event ctrl_break(console_event::ctrl_break, w / "out");
  write_watch watch(w / "out", "a.exe.tmp-", true, 1);
  run_with_event e = run_tool_sending({"pack", "-o", w / "out/a.exe", "-C", w / "src", "."},
                                      watch, ctrl_break);
  const tool_run& r = e.run;
  ASSERT_EQ(e.seen, write_watch::written) << r.err;
  ASSERT_EQ(e.sent.code, 0) << e.sent.err;
  EXPECT_EQ(r.code, 130) << r.err;
  EXPECT_NE(r.err.find("vantrel pack: cancelled by Ctrl-Break\n"), std::string::npos) << r.err;
  EXPECT_EQ(names_starting(w / "out", ""), std::vector<std::string>{"a.exe"});
  EXPECT_EQ(get_file(w / "out/a.exe"), text_bytes("earlier"));
}

// Signed as a publisher signs (openssl makes the certificate, osslsigncode signs): the
// signature follows the archive, which tests and extracts as before, and the signature
// verifies; bytes appended after signing are refused as any other appended bytes are.
TEST(ToolSigning, ASignedArchiveTestsAndExtractsAndStaysVerifiable) {
  if (system("command -v openssl >/dev/null && command -v osslsigncode >/dev/null") != 0) {
    const char* ci = getenv("CI");
    if (ci && (strcmp(ci, "true") == 0 || strcmp(ci, "1") == 0)) FAIL() << "openssl or osslsigncode is missing";
    GTEST_SKIP() << "openssl or osslsigncode is missing (scripts/setup.sh installs them)";
  }
  packed_sample s;
  ASSERT_EQ(s.pack.code, 0) << s.pack.err;
  std::string key = s.work / "key.pem", cert = s.work / "cert.pem", signed_archive = s.work / "signed.exe";
  ASSERT_EQ(system(("openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + key + "' -out '" + cert +
                    "' -days 2 -subj '/CN=Vantrel test publisher' 2>/dev/null")
                       .c_str()),
            0);
  ASSERT_EQ(system(("osslsigncode sign -certs '" + cert + "' -key '" + key + "' -n Vantrel -in '" +
                    s.archive + "' -out '" + signed_archive + "' >/dev/null")
                       .c_str()),
            0);
  EXPECT_GT(fs::file_size(signed_archive), fs::file_size(s.archive));
  EXPECT_EQ(system(("osslsigncode verify -CAfile '" + cert + "' '" + signed_archive + "' >/dev/null 2>&1").c_str()), 0);

  tool_run test = run_tool({"test", "-q", signed_archive});
  EXPECT_EQ(test.code, 0) << test.err;
  std::string out = s.work / "out";
  tool_run extract = run_tool({"extract", "-q", signed_archive, "-o", out});
  ASSERT_EQ(extract.code, 0) << extract.err;
  EXPECT_TRUE(tree_of(out) == tree_of(s.source));

  std::vector<uint8_t> file = get_file(signed_archive);
  file.push_back('x');
  std::string appended = s.work / "appended.exe";
  put_file(appended, file);
  tool_run refused = run_tool({"test", "-q", appended});
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find("longer"), std::string::npos) << refused.err;
}

TEST(ToolPack, SameTreeAndTimesGiveTheSameBytes) {
  packed_sample s;
  ASSERT_EQ(s.pack.code, 0) << s.pack.err;
  std::string again = s.work / "again.exe";
  // The first pack read every file; the access times it may have moved are put back.
  set_sample_times(s.source);
  tool_run second = run_tool({"pack", "-q", "-o", again, "-C", s.source, "."});
  ASSERT_EQ(second.code, 0) << second.err;
  EXPECT_EQ(get_file(again), get_file(s.archive));
  // Naming the same members another way changes nothing either.
  tool_run third = run_tool({"pack", "-q", "-o", again, "-C", s.source, "ソフト", "readme.txt",
                             "空.txt", "空のフォルダ/", "./ソフト/画像"});
  ASSERT_EQ(third.code, 0) << third.err;
  EXPECT_EQ(get_file(again), get_file(s.archive));
}

// vantrel.exe and the Linux tool pack the same tree with the same times to the same bytes, and
// each reads the other's archive. Under Wine the creation time a Windows program sees is not
// the Linux birth time, so the stored times are the last write times (--times write-only).
TEST(ToolPack, LinuxAndWindowsPackTheSameTreeToTheSameBytes) {
  if (!tool_is_windows_program())
    GTEST_SKIP() << "compares with vantrel.exe (VANTREL_TEST_TOOL)";
  scratch_folder w("both");
  std::string src = w / "src";
  make_sample_tree(src);
  std::vector<std::string> options = {"pack",       "-q",        "--times",
                                      "write-only", "--message", "説明\nsecond line",
                                      "--password", "合言葉"};
  std::vector<std::string> on_windows = options, on_linux = options;
  for (auto* args : {&on_windows, &on_linux}) args->insert(args->end(), {"-C", src, "."});
  on_windows.insert(on_windows.begin() + 2, {"-o", w / "windows.exe"});
  on_linux.insert(on_linux.begin() + 2, {"-o", w / "linux.exe"});
  tool_run windows = run_tool(on_windows);
  ASSERT_EQ(windows.code, 0) << windows.err;
  tool_run linux = run_linux_tool(on_linux);
  ASSERT_EQ(linux.code, 0) << linux.err;
  std::vector<uint8_t> a = get_file(w / "windows.exe"), b = get_file(w / "linux.exe");
  ASSERT_GT(a.size(), 26112u);
  EXPECT_TRUE(a == b) << "vantrel.exe wrote " << a.size() << " bytes, vantrel " << b.size();
  for (const char* archive : {"windows.exe", "linux.exe"}) {
    EXPECT_EQ(run_tool({"extract", "-q", "--password", "合言葉", w / archive, "-o",
                        w / (std::string(archive) + ".win")})
                  .code,
              0);
    EXPECT_EQ(run_linux_tool({"extract", "-q", "--password", "合言葉", w / archive, "-o",
                              w / (std::string(archive) + ".linux")})
                  .code,
              0);
    EXPECT_EQ(tree_of(w / (std::string(archive) + ".win")), tree_of(src)) << archive;
    EXPECT_EQ(tree_of(w / (std::string(archive) + ".linux")), tree_of(src)) << archive;
  }
}

// A copy made with cp -a keeps the last write and access times but not the creation time;
// the reproducible ways to pack give the copy the same bytes as the original.
TEST(ToolPack, ACopyPacksToTheSameBytesWithWriteTimesOnlyOrAClamp) {
  packed_sample s;
  ASSERT_EQ(s.pack.code, 0) << s.pack.err;
  std::string copy = s.work / "copy";
  ASSERT_EQ(system(("cp -a '" + s.source + "' '" + copy + "'").c_str()), 0);
  auto pack = [&](const std::string& tree, const std::string& name,
                  std::vector<std::string> options, const char* epoch = nullptr) {
    std::string archive = s.work / name;
    std::vector<std::string> args = {"pack", "-q", "-o", archive, "-C", tree};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(".");
    tool_run r = run_tool(args, "", "", nullptr, [epoch] {
      return epoch ? setenv("SOURCE_DATE_EPOCH", epoch, 1) == 0
                   : unsetenv("SOURCE_DATE_EPOCH") == 0;
    });
    EXPECT_EQ(r.code, 0) << r.err;
    return get_file(archive);
  };
  std::vector<uint8_t> write_only = pack(s.source, "w1.exe", {"--times", "write-only"});
  EXPECT_TRUE(write_only == pack(copy, "w2.exe", {"--times", "write-only"}));
  // Earlier than every time in the tree: all three times become this one.
  std::vector<uint8_t> clamped = pack(s.source, "c1.exe", {}, "1500000000");
  EXPECT_TRUE(clamped == pack(copy, "c2.exe", {}, "1500000000"));
  EXPECT_TRUE(clamped == pack(copy, "c3.exe", {"--mtime", "2017-07-14 02:40:00"}, "1"));
  EXPECT_TRUE(clamped == pack(copy, "c4.exe", {"--mtime", "@1500000000"}));
  EXPECT_FALSE(clamped == write_only);

  tool_run json = run_tool({"list", "--json", s.work / "c2.exe"});
  json_value listing;
  std::string error;
  ASSERT_TRUE(json_parse(json.out, listing, error)) << error;
  int files = 0;
  for (const json_value& m : listing["members"].items) {
    if (m["kind"].text != "file") continue;
    files++;
    for (const char* t : {"creation_time", "last_access_time", "last_write_time"})
      EXPECT_EQ(m[t].integer, (1500000000LL + 11644473600LL) * 10000000) << t;
  }
  EXPECT_EQ(files, 5);
  // A limit between the tree's times keeps the earlier ones (set_sample_times: an hour apart
  // from 1600003600 on, in name order: readme.txt is last).
  pack(s.source, "mid.exe", {"--times", "write-only", "--mtime", "@1600010000"});
  ASSERT_TRUE(json_parse(run_tool({"list", "--json", s.work / "mid.exe"}).out, listing, error));
  std::set<int64_t> times;
  for (const json_value& m : listing["members"].items)
    if (m["kind"].text == "file") times.insert(m["last_write_time"].integer);
  EXPECT_EQ(times.size(), 3u);
  EXPECT_EQ(*times.rbegin(), (1600010000LL + 11644473600LL) * 10000000);

  for (const char* bad : {"yesterday", "2017-13-01", "@12x", "2017-07-14 2:40"})
    EXPECT_EQ(run_tool(
                  {"pack", "-q", "-o", s.work / "bad.exe", "--mtime", bad, "-C", s.source, "."})
                  .code,
              2)
        << bad;
  tool_run bad_epoch = run_tool({"pack", "-q", "-o", s.work / "bad.exe", "-C", s.source, "."},
                                "", "", nullptr,
                                [] { return setenv("SOURCE_DATE_EPOCH", "soon", 1) == 0; });
  EXPECT_EQ(bad_epoch.code, 2);
  EXPECT_NE(bad_epoch.err.find("SOURCE_DATE_EPOCH"), std::string::npos);
  EXPECT_FALSE(fs::exists(s.work / "bad.exe"));
}

TEST(ToolPack, EveryProblemIsReportedAtOnceAndUnreadableEntriesAreSkippedOnRequest) {
  scratch_folder w("problems");
  std::string src = w / "src", out = w / "out.exe";
  put_text(src + "/good/a.txt", "a");
  put_text(src + "/bad/😀1.txt", "1");
  put_text(src + "/bad/sub/😀2.txt", "2");
  // Under Wine a Windows program cannot open a file named CON.txt by its path at all.
  bool device_name = !tool_is_windows_program();
  if (device_name) put_text(src + "/bad/CON.txt", "c");
  put_text(src + "/bad/Case.txt", "1");
  put_text(src + "/bad/CASE.TXT", "2");
  tool_run names = run_tool({"pack", "-q", "-o", out, "-C", src, "good", "bad", "/abs"});
  EXPECT_EQ(names.code, 2);
  std::vector<std::string> reasons =
      {"'bad/😀1.txt': the name holds a character that CP932 cannot hold", "'bad/sub/😀2.txt'",
       "differ only in case", "'/abs' is an absolute path"};
  if (device_name)
    reasons.insert(reasons.end(), {"'bad/CON.txt': the extractor would refuse",
                                   "5 problems; nothing was packed"});
  else
    reasons.push_back("4 problems; nothing was packed");
  for (const std::string& why : reasons)
    EXPECT_NE(names.err.find(why), std::string::npos) << why << " in\n" << names.err;
  EXPECT_FALSE(fs::exists(out));

  if (tool_is_windows_program())
    GTEST_SKIP() << "unreadable entries: Linux permission bits, which Wine maps only in part";
  put_text(src + "/locked/x.txt", "x");
  put_text(src + "/locked/inner/y.txt", "y");
  put_text(src + "/locked/z.txt", "z");
  fs::permissions(src + "/locked/x.txt", fs::perms::none);
  fs::permissions(src + "/locked/inner", fs::perms::none);
  // root reads anything unless it gives up overriding permissions.
  auto as_ordinary_user = [] {
    if (geteuid() != 0) return true;
    return prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) == 0 &&
           prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) == 0;
  };
  tool_run refused = run_tool({"pack", "-q", "-o", out, "-C", src, "good", "locked"}, "", "",
                              nullptr, as_ordinary_user);
  if (refused.code == 124) GTEST_SKIP() << "cannot give up the right to override permissions";
  EXPECT_EQ(refused.code, 1) << refused.err;
  EXPECT_NE(refused.err.find("locked/x.txt': Permission denied"), std::string::npos)
      << refused.err;
  EXPECT_NE(refused.err.find("locked/inner': Permission denied"), std::string::npos)
      << refused.err;
  EXPECT_NE(refused.err.find("--skip-unreadable"), std::string::npos) << refused.err;
  EXPECT_FALSE(fs::exists(out));

  tool_run skipped =
      run_tool({"pack", "-q", "-o", out, "-C", src, "--skip-unreadable", "good", "locked"}, "",
               "", nullptr, as_ordinary_user);
  EXPECT_EQ(skipped.code, 4) << skipped.err;
  EXPECT_NE(skipped.err.find("warning: 2 entries could not be read and were left out"),
            std::string::npos)
      << skipped.err;
  std::string extracted = w / "extracted";
  ASSERT_EQ(run_tool({"extract", "-q", out, "-o", extracted}).code, 0);
  std::set<std::string> got;
  for (const auto& [name, content] : tree_of(extracted)) got.insert(name);
  EXPECT_EQ(got, (std::set<std::string>{"good/", "good/a.txt", "locked/", "locked/z.txt"}));
  // Skipping covers what cannot be read, never a name that cannot be stored.
  fs::remove(out);
  EXPECT_EQ(run_tool({"pack", "-q", "-o", out, "-C", src, "--skip-unreadable", "bad", "locked"},
                     "", "", nullptr, as_ordinary_user)
                .code,
            2);
  EXPECT_FALSE(fs::exists(out));
  // Nothing left to pack once the unreadable are left out: refused, and they are still named.
  tool_run nothing =
      run_tool({"pack", "-q", "-o", out, "-C", src + "/locked", "--skip-unreadable", "x.txt"},
               "", "", nullptr, as_ordinary_user);
  EXPECT_EQ(nothing.code, 2);
  EXPECT_NE(nothing.err.find("x.txt': Permission denied; left out"), std::string::npos)
      << nothing.err;
  EXPECT_NE(nothing.err.find("nothing to pack"), std::string::npos) << nothing.err;
  fs::permissions(src + "/locked/inner", fs::perms::owner_all);
}

// Every level gives the tree back, the levels differ, and the thread count never changes a
// byte; -N and --level N are the same; levels and thread counts out of range are refused.
TEST(ToolPack, LevelsAndThreads) {
  packed_sample s({"-T", "1"});
  ASSERT_EQ(s.pack.code, 0) << s.pack.err;
  std::vector<uint8_t> one_thread = get_file(s.archive);
  std::string again = s.work / "again.exe", out = s.work / "out";
  auto pack = [&](std::vector<std::string> options) {
    set_sample_times(s.source);
    std::vector<std::string> args = {"pack", "-q", "-o", again, "-C", s.source};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(".");
    tool_run run = run_tool(args);
    EXPECT_EQ(run.code, 0) << run.err;
    return get_file(again);
  };
  for (const char* threads : {"2", "3", "16"})
    EXPECT_TRUE(pack({"--threads", threads}) == one_thread) << threads << " threads";
  EXPECT_TRUE(pack({}) == one_thread);

  std::map<std::string, std::vector<uint8_t>> tree = tree_of(s.source);
  std::vector<size_t> sizes;
  for (int level = 1; level <= 9; level++) {
    std::string option = "-";
    option.append(std::to_string(level));  // (GCC 12 warns falsely about literal + string)
    std::vector<uint8_t> archive = pack({option, "-T", "2"});
    sizes.push_back(archive.size());
    if (level == 4) {
      EXPECT_TRUE(pack({"--level", "4", "-T", "1"}) == archive);
    }
    fs::remove_all(out);
    tool_run extracted = run_tool({"extract", "-q", again, "-o", out});
    ASSERT_EQ(extracted.code, 0) << "level " << level << ": " << extracted.err;
    EXPECT_EQ(tree_of(out), tree) << "level " << level;
  }
  EXPECT_LT(sizes[8], sizes[0]);

  for (std::vector<std::string> bad : {std::vector<std::string>{"--level", "0"},
                                       {"--level", "10"},
                                       {"-T", "0"},
                                       {"--threads", "x"}}) {
    fs::remove(again);
    std::vector<std::string> args = {"pack", "-q", "-o", again, "-C", s.source};
    args.insert(args.end(), bad.begin(), bad.end());
    args.push_back(".");
    tool_run refused = run_tool(args);
    EXPECT_EQ(refused.code, 2) << bad[0] << " " << bad[1];
    EXPECT_FALSE(fs::exists(again)) << bad[0] << " " << bad[1];
  }
  std::string help = run_tool({"pack", "--help"}).out;
  EXPECT_NE(help.find("--level"), std::string::npos);
  EXPECT_NE(help.find("--threads"), std::string::npos);
}

TEST(ToolPack, RefusalsLeaveNoOutput) {
  scratch_folder w("refuse");
  std::string out = w / "out/x.exe";
  fs::create_directories(w / "out");
  put_text(w / "ok/a.txt", "a");
  put_text(w / "device/CON.txt", "c");
  put_text(w / "colon/a:b", "c");
  put_text(w / "dot/name.", "c");
  put_text(w / "case/Read.txt", "1");
  put_text(w / "case/sub/x", "1");
  put_text(w / "case/READ.TXT", "2");
  put_text(w / "wide/ａｂ.txt", "1");
  put_text(w / "wide/ＡＢ.txt", "2");
  put_text(w / "unmappable/😀.txt", "1");
  put_text(w / "huge/big.bin", "");
  fs::resize_file(w / "huge/big.bin", 2147483648ull);   // sparse: no disk space taken
  fs::create_directories(w / "empty");
  fs::create_directories(w / "loop/inner");
  fs::create_directory_symlink("..", w / "loop/inner/back");

  struct refusal {
    std::vector<std::string> paths;
    const char* why;
    std::string base = "";
  } refusals[] = {
      {{"device"}, "extractor would refuse"},
      {{"colon"}, "extractor would refuse"},
      {{"dot"}, "dot"},
      {{"case"}, "differ only in case"},
      {{"wide"}, "differ only in case"},
      {{"unmappable"}, "CP932"},
      {{"."}, "nothing to pack", "empty"},
      {{w.path + "/ok"}, "absolute"},
      {{"ok/../ok"}, ".."},
      {{"loop"}, "loop"},
      {{"huge"}, "2 GiB"},
      {{"missing"}, "cannot read"},
  };
  for (const refusal& r : refusals) {
    // Names a Windows program under Wine cannot open by their path at all.
    if (tool_is_windows_program() && (r.paths[0] == "device" || r.paths[0] == "dot")) continue;
    std::vector<std::string> args = {"pack", "-q", "-o", out, "-C", w / r.base};
    args.insert(args.end(), r.paths.begin(), r.paths.end());
    tool_run run = run_tool(args);
    EXPECT_EQ(run.code, r.paths[0] == "missing" ? 1 : 2) << r.paths[0] << ": " << run.err;
    EXPECT_NE(run.err.find(r.why), std::string::npos) << r.paths[0] << ": " << run.err;
    EXPECT_TRUE(fs::is_empty(w / "out")) << r.paths[0];
  }
  // The path asked for is named, not the temporary file beside it.
  tool_run nowhere = run_tool({"pack", "-q", "-o", w / "nodir/x.exe", "-C", w.path, "ok"});
  EXPECT_EQ(nowhere.code, 1);
  EXPECT_NE(nowhere.err.find("cannot create '" + (w / "nodir/x.exe") + "': "), std::string::npos)
      << nowhere.err;
  tool_run summary = run_tool({"pack", "-o", out, "-C", w.path, "ok"});
  EXPECT_NE(summary.out.find(": 1 file, 1 folder, 1 byte packed into "), std::string::npos)
      << summary.out;
  ASSERT_EQ(run_tool({"extract", "-q", out, "-o", w / "one"}).code, 0);
  EXPECT_NE(run_tool({"extract", out, "-o", w / "one"})
                .out.find("0 files written to " + (w / "one") +
                          ", 1 existing file left as it was"),
            std::string::npos);
  fs::remove(out);
  tool_run warned = run_tool({"pack", "-q", "-o", out, "-C", w.path, "--run-after", "b.txt", "ok"});
  EXPECT_EQ(warned.code, 0) << warned.err;
  EXPECT_NE(warned.err.find("names no packed file"), std::string::npos);
  EXPECT_EQ(run_tool({"pack", "-q", "-o", out, "-C", w.path, "--run-after", "OK/A.TXT", "ok"})
                .err.find("names no packed file"),
            std::string::npos);
  // An archive written into the tree it packs is not packed into the next one.
  std::string inside = w / "ok/self.exe";
  ASSERT_EQ(run_tool({"pack", "-q", "-o", inside, "-C", w / "ok", "."}).code, 0);
  ASSERT_EQ(run_tool({"pack", "-q", "-o", inside, "-C", w / "ok", "."}).code, 0);
  EXPECT_EQ(run_tool({"list", inside}).out.find("self.exe"), std::string::npos);
  EXPECT_EQ(run_tool({"pack", "-o", out}).code, 2);
  EXPECT_EQ(run_tool({"frobnicate"}).code, 2);
  EXPECT_EQ(run_tool({"--help"}).code, 0);
  tool_run version = run_tool({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_NE(version.out.find("vantrel"), std::string::npos);
}

std::string read_text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TEST(ToolVectors, ExtractGivesWhatEachManifestNames) {
  if (!vectors_present()) return;
  const std::string dir = vectors_folder();
  json_value index;
  std::string error;
  ASSERT_TRUE(json_parse(read_text(dir + "/index.json"), index, error)) << error;
  ASSERT_GT(index["vectors"].size(), 0u);
  for (const json_value& v : index["vectors"].items) {
    std::string name = v["vector"].text;
    json_value manifest;
    ASSERT_TRUE(json_parse(read_text(dir + "/" + name + ".json"), manifest, error))
        << name << ": " << error;
    std::string archive = dir + "/" + name + ".exe";
    int case_number = 0;
    for (const json_value& c : manifest["cases"].items) {
      SCOPED_TRACE(name + " case " + std::to_string(case_number++));
      ASSERT_TRUE(c["pre_existing"].is_null() || c["pre_existing"].size() == 0)
          << "cases with files in place first are not handled here";
      scratch_folder out("vector");
      std::vector<std::string> args = {"extract", "-q", archive, "-o", out.path,
                                       "--overwrite", "always"};
      if (!c["password"].is_null()) {
        args.push_back("--password");
        args.push_back(c["password"].text);
      }
      tool_run r = run_tool(args);
      EXPECT_EQ(r.code, c["vantrel_exit_code"].integer) << r.err;

      std::set<std::string> expected;
      for (const auto& [path, f] : c["files"].members) {
        expected.insert(path);
        std::string file = out.path + "/" + path;
        std::vector<uint8_t> bytes = get_file(file);
        EXPECT_TRUE(fs::is_regular_file(file)) << path;
        EXPECT_EQ(int64_t(bytes.size()), f["size"].integer) << path;
        EXPECT_EQ(sha256_hex(bytes.data(), bytes.size()), f["sha256"].text) << path;
        EXPECT_EQ(last_write_filetime(file), f["last_write_time"].integer) << path;
      }
      for (const json_value& folder : c["folders"].items) expected.insert(folder.text + "/");
      std::set<std::string> present;
      for (const auto& [path, content] : tree_of(out.path)) present.insert(path);
      EXPECT_EQ(present, expected);
    }
  }
}

}  // namespace
