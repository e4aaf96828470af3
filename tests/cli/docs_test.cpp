// The tool's own help against what the README and the manual page say: every option and every
// exit code that --help names is documented in both, and the README's exit-code table holds no
// code the tool does not name.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

#include "tests/cli/tool_runner.h"

namespace {

std::string read_source_file(const std::string& name) {
  std::ifstream f(std::string(SOURCE_DIR) + "/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string between(const std::string& text, const std::string& from, const std::string& to) {
  size_t start = text.find(from);
  if (start == std::string::npos) return "";
  size_t end = text.find(to, start + from.size());
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::set<std::string> all_matches(const std::string& text, const std::regex& pattern) {
  std::set<std::string> found;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
       it != std::sregex_iterator(); ++it)
    found.insert((*it)[1].str());
  return found;
}

TEST(ToolDocs, ReadmeAndManualPageNameEveryOptionAndExitCodeOfTheHelp) {
  std::string readme = between(read_source_file("README.md"), "## The `vantrel` tool",
                               "## Layout");
  std::string exit_table = between(read_source_file("README.md"),
                                   "Of the `vantrel` tool:", "Each ");
  std::string manual = read_source_file("docs/vantrel.1");
  ASSERT_FALSE(readme.empty());
  ASSERT_FALSE(exit_table.empty());
  ASSERT_FALSE(manual.empty());
  manual = std::regex_replace(manual, std::regex(R"(\\-)"), "-");

  const std::regex option(R"(\n  (?:-[a-zA-Z],)?(--[a-z][a-z-]*))");
  int options = 0;
  for (const char* command : {"", "pack", "list", "test", "extract"}) {
    std::vector<std::string> args;
    if (*command) args.push_back(command);
    args.push_back("--help");
    tool_run help = run_tool(args);
    ASSERT_EQ(help.code, 0);
    for (const std::string& name : all_matches(help.out, option)) {
      if (name == "--help" || name == "--version") continue;
      options++;
      EXPECT_NE(readme.find(name), std::string::npos) << command << " " << name << ": README";
      EXPECT_NE(manual.find(name), std::string::npos) << command << " " << name << ": manual";
    }
  }
  EXPECT_GT(options, 20);

  std::string codes_text = between(run_tool({"--help"}).out, "Exit codes:", "\n");
  std::set<std::string> codes = all_matches(codes_text, std::regex(R"((\d+) [A-Za-z(])"));
  for (const std::string& c : all_matches(codes_text, std::regex(R"((\d+),? )")))
    codes.insert(c);
  EXPECT_GE(codes.size(), 10u) << codes_text;
  std::set<std::string> in_table = all_matches(exit_table, std::regex(R"(\n\| (\d+) \|)"));
  EXPECT_EQ(in_table, codes);
  std::string manual_codes = between(manual, ".SH EXIT STATUS", ".SH EXAMPLES");
  for (const std::string& c : codes)
    EXPECT_NE(manual_codes.find(c), std::string::npos) << c << ": manual";
}

}  // namespace
