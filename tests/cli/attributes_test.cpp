// Read-only, hidden and system files, as Windows marks them (for vantrel.exe under Wine,
// through Wine's attrib: read-only is the Unix write permission, hidden and system are kept in
// an extended attribute) and as Linux has them (no write permission, a name starting with a
// dot): pack reads them as any other file, and extract replaces such an earlier file when told
// to and leaves it alone otherwise.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "tests/cli/tool_runner.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> text_bytes(const std::string& s) { return {s.begin(), s.end()}; }

// Marks path with attrib's flags (+r, +h, +s) under Wine, and checks that attrib now reports
// them: without them the test would prove nothing. On Linux, read-only is the permission.
void mark(const std::string& path, const std::vector<std::string>& flags) {
  bool read_only = false;
  for (const std::string& f : flags) read_only |= f == "+r";
  if (!tool_is_windows_program()) {
    if (read_only)
      fs::permissions(path,
                      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                      fs::perm_options::remove);
    return;
  }
  // One flag a call: Wine's attrib keeps only the last of several. The first Windows program
  // of a run can fail to start while the Wine server of an earlier run is still going away
  // ("ShellExecuteEx failed"), so a failed start is tried again before it counts.
  for (const std::string& f : flags) {
    tool_run set;
    for (int attempt = 0; attempt < 3; attempt++) {
      set = run_wine_program({"attrib", f, windows_path(path)});
      if (set.code == 0) break;
      sleep(1);
    }
    ASSERT_EQ(set.code, 0) << f << " " << path << ": " << set.out << set.err;
  }
  tool_run shown = run_wine_program({"attrib", windows_path(path)});
  ASSERT_EQ(shown.code, 0) << shown.err;
  // "A  SHR    Z:\...": the letters before the path.
  std::string letters = shown.out.substr(0, shown.out.find("Z:"));
  for (const std::string& f : flags)
    ASSERT_NE(letters.find(char(toupper(f[1]))), std::string::npos)
        << f << " not set on " << path << ": " << shown.out;
}

TEST(ToolAttributes, ReadOnlyHiddenAndSystemFilesPackAndExtractAsAnyOther) {
  scratch_folder w("attributes");
  std::string src = w / "src";
  put_text(src + "/read-only.txt", "kept as it is");
  put_text(src + "/hidden.txt", "not shown in Explorer");
  put_text(src + "/.dot-file", "hidden under Wine and on Linux by its name");
  put_text(src + "/folder/system.txt", "a system file");
  put_text(src + "/folder/all.txt", "read-only, hidden and system");
  mark(src + "/read-only.txt", {"+r"});
  mark(src + "/hidden.txt", {"+h"});
  mark(src + "/folder/system.txt", {"+s"});
  mark(src + "/folder/all.txt", {"+r", "+h", "+s"});
  if (tool_is_windows_program()) mark(src + "/folder", {"+h"});

  std::string archive = w / "marked.exe";
  tool_run pack = run_tool({"pack", "-q", "-o", archive, "-C", src, "."});
  ASSERT_EQ(pack.code, 0) << pack.err;
  tool_run out = run_tool({"extract", "-q", archive, "-o", w / "out"});
  ASSERT_EQ(out.code, 0) << out.err;
  EXPECT_EQ(tree_of(w / "out"), tree_of(src));
}

TEST(ToolAttributes, ExtractReplacesAnEarlierReadOnlyOrHiddenFileOnlyWhenTold) {
  scratch_folder w("attributes_over");
  put_text(w / "src/read-only.txt", "new");
  put_text(w / "src/hidden.txt", "new");
  std::string archive = w / "new.exe";
  ASSERT_EQ(run_tool({"pack", "-q", "-o", archive, "-C", w / "src", "."}).code, 0);
  for (std::string mode : {"never", "always"}) {
    SCOPED_TRACE("--overwrite " + mode);
    std::string out = w / ("out-" + mode);
    put_text(out + "/read-only.txt", "earlier");
    put_text(out + "/hidden.txt", "earlier");
    mark(out + "/read-only.txt", {"+r"});
    mark(out + "/hidden.txt", {"+h", "+s"});
    tool_run r = run_tool({"extract", archive, "-o", out, "--overwrite", mode});
    ASSERT_EQ(r.code, 0) << r.err;
    std::string want = mode == "always" ? "new" : "earlier";
    EXPECT_EQ(get_file(out + "/read-only.txt"), text_bytes(want));
    EXPECT_EQ(get_file(out + "/hidden.txt"), text_bytes(want));
    EXPECT_NE(r.out.find(mode == "always" ? "2 files written" : "2 existing files left"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(names_starting(out, ".vantrel-tmp-").empty());
  }
}

}  // namespace
