// Paths as Windows users meet them, checked on both builds of the tool (vantrel.exe under Wine
// through VANTREL_TEST_TOOL, where these are the cases the wide API with "\\?\" paths and UTF-16
// arguments must get right): a tree deeper than 260 characters, and names outside ASCII given
// on the command line for the output, the base folder and the member chosen.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "tests/cli/tool_runner.h"

namespace fs = std::filesystem;

TEST(ToolPaths, ATreeDeeperThan260CharactersPacksAndExtractsWhole) {
  scratch_folder w("long");
  std::string src = w / "src";
  std::string deep = src;
  std::string relative;
  for (int level = 0; level < 6; level++) {
    std::string part = "folder_" + std::to_string(level) + std::string(50, 'x');
    deep += "/" + part;
    relative += part + "/";
  }
  put_text(deep + "/長い名前のファイル.txt", "at the bottom\n");
  put_text(src + "/top.txt", "at the top\n");
  ASSERT_GT(deep.size() + 30, 300u);
  std::string archive = w / "long.exe";
  tool_run pack = run_tool({"pack", "-q", "-o", archive, "-C", src, "."});
  ASSERT_EQ(pack.code, 0) << pack.err;
  tool_run list = run_tool({"list", archive});
  EXPECT_EQ(list.code, 0) << list.err;
  EXPECT_NE(list.out.find(relative + "長い名前のファイル.txt"), std::string::npos) << list.out;

  // Extracted below a destination that is itself long, so every written path is longer still.
  std::string destination = w / ("out_" + std::string(200, 'y'));
  tool_run extract = run_tool({"extract", "-q", archive, "-o", destination});
  ASSERT_EQ(extract.code, 0) << extract.err;
  EXPECT_EQ(tree_of(destination), tree_of(src));
  EXPECT_TRUE(names_starting(deep.replace(0, src.size(), destination), ".vantrel-tmp-").empty());
}

TEST(ToolPaths, NamesOutsideAsciiOnTheCommandLineReachTheFileSystemAsGiven) {
  scratch_folder w("unicode");
  std::string src = w / "原稿 ü";
  put_text(src + "/資料/表.txt", "一\n");
  put_text(src + "/資料/別.txt", "二\n");
  std::string archive = w / "配布用 ü 😀.exe";
  tool_run pack = run_tool({"pack", "-o", archive, "-C", src, "資料"});
  ASSERT_EQ(pack.code, 0) << pack.err;
  EXPECT_TRUE(fs::exists(archive));
  // The summary names the output as it was given, whatever the console's code page.
  EXPECT_NE(pack.out.find("配布用 ü 😀.exe: 2 files, 1 folder"), std::string::npos) << pack.out;

  std::string destination = w / "展開先";
  tool_run extract = run_tool({"extract", "-q", archive, "資料/表.txt", "-o", destination});
  ASSERT_EQ(extract.code, 0) << extract.err;
  std::set<std::string> got;
  for (const auto& [name, content] : tree_of(destination)) got.insert(name);
  EXPECT_EQ(got, (std::set<std::string>{"資料/", "資料/表.txt"}));
  tool_run missing = run_tool({"list", archive, "資料/無い.txt"});
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.err.find("'資料/無い.txt' matches nothing"), std::string::npos)
      << missing.err;
}
