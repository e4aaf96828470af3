#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>

#include "platform/platform.h"
#include "tests/common/archive_builder.h"
#include "tests/common/test_support.h"

// The run's root is removed once, by the process that made it; these check the two things
// that removal depends on: everything lands inside the root, and a death test's child (on
// Windows a fresh run of the program) lands in the very same root and leaves it standing.

namespace {

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

TEST(TempRoot, FoldersAndFixedPathsLieInTheRoot) {
  std::string root = temp_root_path();
  ASSERT_FALSE(root.empty());
  EXPECT_NE(root.back(), '\\');
  EXPECT_TRUE(folder_exists(root));
  std::string a = make_temp_folder("root_a"), b = make_temp_folder("root_a");
  EXPECT_NE(a, b);
  EXPECT_TRUE(starts_with(a, root + "\\")) << a << " not in " << root;
  EXPECT_TRUE(folder_exists(a));
  EXPECT_EQ(fixed_temp_path("vantrel_root_name.bin"), root + "\\vantrel_root_name.bin");
  remove_tree(a);
  remove_tree(b);
  EXPECT_FALSE(folder_exists(a));
  EXPECT_TRUE(folder_exists(root));
}

namespace {

// The child names, in a file at a fixed path, the folder it made. On Windows the child runs
// the test from its start up to its death test, so each test has one death test, with its
// checks after it.
void expect_child_in_parents_root(bool normal_exit) {
  std::string root = temp_root_path();
  std::string marker = fixed_temp_path("vantrel_child_folder.txt");
  platform_delete_file(marker.c_str());
  EXPECT_EXIT(
      {
        std::string folder = make_temp_folder("child");
        write_file(fixed_temp_path("vantrel_child_folder.txt"),
                   std::vector<uint8_t>(folder.begin(), folder.end()));
        if (normal_exit) exit(7);
        platform_exit(7);
      },
      ::testing::ExitedWithCode(7), "");
  ASSERT_TRUE(file_exists(marker)) << "the child's fixed path is not the parent's";
  std::vector<uint8_t> named = read_file(marker);
  std::string folder(named.begin(), named.end());
  EXPECT_TRUE(starts_with(folder, root + "\\")) << folder << " not in " << root;
  EXPECT_TRUE(folder_exists(folder)) << folder;
  EXPECT_TRUE(folder_exists(root)) << "the child removed the run's root";
  platform_delete_file(marker.c_str());
  remove_tree(folder);
}

}  // namespace

// Through platform_exit (the stub's end after a failure) nothing of the process runs any
// more; through exit(),
// atexit handlers and static destructors do.
TEST(TempRootDeathTest, AChildThatDiesUsesTheParentsRootAndLeavesIt) {
  expect_child_in_parents_root(false);
}

TEST(TempRootDeathTest, AChildThatExitsUsesTheParentsRootAndLeavesIt) {
  expect_child_in_parents_root(true);
}
