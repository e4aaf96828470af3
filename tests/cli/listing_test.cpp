// `vantrel list` as a program: the archive's own texts and password flag in the text form, and
// JSON that any parser takes, whatever bytes the names and texts hold.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/cli/tool_runner.h"

namespace {

using nlohmann::json;

TEST(ToolList, TextFormShowsTheMessageTheProgramToRunAndThePasswordFlag) {
  scratch_folder w("listtext");
  put_text(w / "src/readme.txt", "r");
  std::string plain = w / "plain.exe", rich = w / "rich.exe";
  ASSERT_EQ(run_tool({"pack", "-q", "-o", plain, "-C", w / "src", "."}).code, 0);
  tool_run packed = run_tool({"pack", "-q", "-o", rich, "-C", w / "src", "--message",
                              "ようこそ\n二行目", "--run-after", "readme.txt", "--password",
                              "pw", "--show-password", "."});
  ASSERT_EQ(packed.code, 0) << packed.err;

  tool_run l = run_tool({"list", plain});
  ASSERT_EQ(l.code, 0) << l.err;
  EXPECT_NE(l.out.find("Message:   (none)\nRun after: (none)\nPassword:  no\n"),
            std::string::npos)
      << l.out;
  l = run_tool({"list", "--password", "pw", rich});
  ASSERT_EQ(l.code, 0) << l.err;
  EXPECT_NE(l.out.find("readme.txt\n1 member (1 file, 0 folders), 1 byte, archive "),
            std::string::npos)
      << l.out;
  EXPECT_NE(l.out.find("no saving"), std::string::npos) << l.out;
  EXPECT_NE(l.out.find("Message:\n  ようこそ\n  二行目\nRun after: readme.txt\n"
                       "Password:  yes (shown as it is typed)\n"),
            std::string::npos)
      << l.out;
}

TEST(ToolList, JsonParsesWithAnyBytesAndGivesTimesInUtc) {
  scratch_folder w("listjson");
  struct dated {
    const char* name;
    int64_t seconds;
    long nanoseconds;
    const char* utc;
  } files[] = {
      {"leap.txt", 1709251199, 0, "2024-02-29T23:59:59Z"},
      {"century.txt", 951868800, 250000000, "2000-03-01T00:00:00.25Z"},
      {"late.txt", 2147483648LL, 100, "2038-01-19T03:14:08.0000001Z"},
  };
  for (const dated& f : files) {
    put_text(w / "src/" + f.name, f.name);
    timespec t[2] = {{time_t(f.seconds), f.nanoseconds}, {time_t(f.seconds), f.nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, (w / "src/" + f.name).c_str(), t, 0), 0);
  }
  // A byte that is not UTF-8 in the archive's path, and one that is no CP932 character in
  // its message (written into the finished file: the packer refuses to make one).
  // (Windows hands a program its arguments as UTF-16: no such byte can reach vantrel.exe.)
  std::string archive = w / (tool_is_windows_program() ? "bad\xEF\xBF\xBD name.exe"
                                                       : "bad\xff name.exe");
  ASSERT_EQ(run_tool({"pack", "-q", "-o", archive, "-C", w / "src", "--message", "AB", "."})
                .code,
            0);
  std::vector<uint8_t> bytes = get_file(archive);
  ASSERT_EQ(bytes.at(26116), 'A');
  bytes[26116] = 0x80;
  put_file(archive, bytes);

  tool_run l = run_tool({"list", "--json", archive});
  ASSERT_EQ(l.code, 0) << l.err;
  json doc;
  ASSERT_NO_THROW(doc = json::parse(l.out)) << l.out;
  EXPECT_EQ(doc["archive"], w / "bad\xEF\xBF\xBD name.exe");
  EXPECT_EQ(doc["message"],
            "\xEF\xBF\xBD"
            "B");
  EXPECT_EQ(doc["password"], false);
  ASSERT_EQ(doc["members"].size(), 3u);
  for (const json& m : doc["members"]) {
    for (const dated& f : files) {
      if (m["name"] != f.name) continue;
      uint64_t filetime = uint64_t(f.seconds + 11644473600LL) * 10000000u +
                          uint64_t(f.nanoseconds) / 100;
      EXPECT_EQ(m["last_write_time"], filetime) << f.name;
      EXPECT_EQ(m["last_write_time_utc"], f.utc) << f.name;
      EXPECT_TRUE(m["creation_time_utc"].is_string() && m["last_access_time_utc"].is_string());
    }
  }
  // Extracted, each file gets its time back to the 100 ns the archive holds.
  tool_run out = run_tool({"extract", "-q", archive, "-o", w / "out"});
  ASSERT_EQ(out.code, 0) << out.err;
  for (const dated& f : files)
    EXPECT_EQ(last_write_filetime(w / "out/" + f.name),
              (f.seconds + 11644473600LL) * 10000000 + f.nanoseconds / 100)
        << f.name;
  tool_run text = run_tool({"list", archive});
  EXPECT_NE(text.out.find("Message:\n  \xEF\xBF\xBD"
                          "B\n"),
            std::string::npos)
      << text.out;
}

}  // namespace
