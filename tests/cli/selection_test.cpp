// Choosing members with patterns, run as a program: PATTERNs for list and extract, and
// --exclude / --exclude-from for pack, list and extract.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "tests/cli/tool_runner.h"

namespace {

std::set<std::string> files_below(const std::string& root) {
  std::set<std::string> names;
  for (const auto& [name, content] : tree_of(root))
    if (name.back() != '/') names.insert(name);
  return names;
}

struct pattern_tree {
  scratch_folder work{"patterns"};
  std::string archive = work / "tree.exe";
  pattern_tree() {
    for (const char* name :
         {"include/a.h", "include/sub/b.h", "include/sub/b.c", "src/main.c", "src/util.c",
          "docs/read me.txt", "docs/x[1].txt", "docs/x1.txt", "ソフト/表示.h", "ソフト/表.h"})
      put_text(work / "src/" + name, name);
    EXPECT_EQ(run_tool({"pack", "-q", "-o", archive, "-C", work / "src", "."}).code, 0);
  }
  // The files that extract writes for these arguments.
  std::set<std::string> extracted(std::vector<std::string> args, int expected_code = 0) {
    static int run = 0;
    std::string out = work / "out" + std::to_string(run++);
    std::vector<std::string> all = {"extract", "-q", archive, "-o", out};
    all.insert(all.end(), args.begin(), args.end());
    tool_run r = run_tool(all);
    EXPECT_EQ(r.code, expected_code) << r.err;
    return files_below(out);
  }
};

TEST(ToolPatterns, ExtractAndListChooseByWholePathWithStarCrossingFolders) {
  pattern_tree t;
  using names = std::set<std::string>;
  EXPECT_EQ(t.extracted({"*.h"}),
            (names{"include/a.h", "include/sub/b.h", "ソフト/表示.h", "ソフト/表.h"}));
  EXPECT_EQ(t.extracted({"include"}),
            (names{"include/a.h", "include/sub/b.h", "include/sub/b.c"}));
  EXPECT_EQ(t.extracted({"./include/sub/"}), (names{"include/sub/b.h", "include/sub/b.c"}));
  // '?' is one character, Japanese ones too; a set is one of its characters; '\' makes '['
  // itself.
  EXPECT_EQ(t.extracted({"src/?ain.c", "ソフト/表?.h"}), (names{"src/main.c", "ソフト/表示.h"}));
  EXPECT_EQ(t.extracted({"docs/[a-r]*", "docs/x[1].txt"}),
            (names{"docs/read me.txt", "docs/x1.txt"}));
  EXPECT_EQ(t.extracted({"docs/x\\[1].txt"}), (names{"docs/x[1].txt"}));
  EXPECT_EQ(t.extracted({"src/[!m]*"}), (names{"src/util.c"}));
  // Exclusions match at any depth, and a folder goes with everything below it.
  EXPECT_EQ(t.extracted({"*.h", "--exclude", "sub", "--exclude", "表*"}),
            (names{"include/a.h"}));
  put_text(t.work / "skip.list", "*.c\r\n\ndocs\n");
  EXPECT_EQ(t.extracted({"--exclude-from", t.work / "skip.list", "--exclude=ソフト"}),
            (names{"include/a.h", "include/sub/b.h"}));

  // A pattern that matches nothing is named, the others still work, and the status says so.
  std::string out = t.work / "partial";
  tool_run partial = run_tool({"extract", "-q", t.archive, "-o", out, "nothing*", "src/main.c"});
  EXPECT_EQ(partial.code, 2);
  EXPECT_NE(partial.err.find("'nothing*' matches nothing"), std::string::npos) << partial.err;
  EXPECT_EQ(files_below(out), (names{"src/main.c"}));
  EXPECT_EQ(run_tool({"extract", "-q", t.archive, "-o", out, "."}).code, 2);

  tool_run list = run_tool({"list", t.archive, "*.c", "--exclude", "util.c"});
  ASSERT_EQ(list.code, 0) << list.err;
  EXPECT_NE(list.out.find("include/sub/b.c"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("src/main.c"), std::string::npos) << list.out;
  EXPECT_EQ(list.out.find("util.c"), std::string::npos) << list.out;
  EXPECT_EQ(list.out.find("a.h"), std::string::npos) << list.out;
  tool_run json = run_tool({"list", "--json", t.archive, "docs", "nothing"});
  EXPECT_EQ(json.code, 2);
  nlohmann::json doc = nlohmann::json::parse(json.out);
  names listed;
  for (const auto& m : doc["members"]) listed.insert(m["name"]);
  EXPECT_EQ(listed, (names{"docs/", "docs/read me.txt", "docs/x[1].txt", "docs/x1.txt"}));
  EXPECT_EQ(run_tool({"list", t.archive, "--exclude-from", t.work / "missing.list"}).code, 1);
}

TEST(ToolPatterns, PackLeavesOutWhatIsExcludedEvenNamesItCouldNotStore) {
  scratch_folder w("packexclude");
  for (const char* name : {"keep/a.txt", "keep/a.o", "keep/deep/b.o", "keep/.git/HEAD",
                           "keep/cache/tmp/x", "keep/cache/kept", "keep/😀.txt"})
    put_text(w / "src/" + name, name);
  put_text(w / "more.list", "*.o\n.git\n");
  std::string archive = w / "x.exe";
  tool_run packed = run_tool({"pack", "-q", "-o", archive, "-C", w / "src", "--exclude-from",
                              w / "more.list", "--exclude", "cache/tmp", "--exclude", "*😀*",
                              "keep"});
  ASSERT_EQ(packed.code, 0) << packed.err;
  std::string out = w / "out";
  ASSERT_EQ(run_tool({"extract", "-q", archive, "-o", out}).code, 0);
  EXPECT_EQ(files_below(out), (std::set<std::string>{"keep/a.txt", "keep/cache/kept"}));
  EXPECT_EQ(tree_of(out).count("keep/.git/"), 0u);
  EXPECT_EQ(run_tool({"pack", "-q", "-o", archive, "-C", w / "src", "--exclude", "keep", "keep"})
                .code,
            2);
}

}  // namespace
