// Path operations and folder chains, on UTF-8 paths converted from CP932 names whose second
// bytes are 0x5C, and on the real file system of the side the tests run on.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string.h>
#include <string>

#include "fs/paths.h"
#include "platform/platform.h"
#include "tests/common/test_support.h"

#define COUNTED_NAMESPACE counted_paths
#include "tests/fs/counting_seam.h"

namespace {

std::string utf8_of_cp932(const std::vector<uint8_t>& bytes) {
  char out[512];
  int32_t n = platform_cp932_to_utf8(bytes.data(), bytes.size(), out, sizeof out);
  EXPECT_GE(n, 0);
  return n < 0 ? std::string() : std::string(out, size_t(n));
}

std::string trailing(const std::string& path) {
  char out[max_path_bytes];
  int32_t n = with_trailing_separator(path.c_str(), out);
  EXPECT_EQ(n, n < 0 ? -1 : int32_t(strlen(out)));
  return out;
}

std::string folder_of(const std::string& path) {
  char out[max_path_bytes];
  folder_part(path.c_str(), out);
  return out;
}

std::string chain(const std::string& path) {
  char failed[max_path_bytes];
  memset(failed, 'x', sizeof failed);
  int32_t n = make_folder_chain(path.c_str(), "", failed);
  EXPECT_EQ(size_t(n), strlen(failed));
  return failed;
}

// The katakana so, the kanji hyou and nou: each a double-byte CP932 character whose second
// byte is 0x5C.
const std::vector<uint8_t> so = {0x83, 0x5C}, hyou = {0x95, 0x5C}, nou = {0x94, 0x5C};

std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
const std::vector<uint8_t> bs = {0x5C};

// Runs a test body with the current folder set to a fresh temporary one, so that relative
// names such as ".\x" or "Q:" (a plain name on POSIX) land there.
struct in_temp_folder {
  std::string folder;
  std::filesystem::path saved;
  explicit in_temp_folder(const char* tag) : folder(make_temp_folder(tag)) {
    saved = std::filesystem::current_path();
    std::string n = native_path(folder);
    std::filesystem::current_path(std::filesystem::path(std::u8string(n.begin(), n.end())));
  }
  ~in_temp_folder() {
    std::filesystem::current_path(saved);
    remove_tree(folder);
  }
};

TEST(Paths, ConversionKeepsRealSeparatorsOnly) {
  // "ソ\表能" and "表\ソ\": the converted text holds exactly the real separators.
  std::string a = utf8_of_cp932(join({so, bs, hyou, nou}));
  EXPECT_EQ(a, "ソ\\表能");
  std::string b = utf8_of_cp932(join({hyou, bs, so, bs}));
  EXPECT_EQ(b, "表\\ソ\\");
  EXPECT_EQ(std::count(a.begin(), a.end(), '\\'), 1);
}

TEST(Paths, NextCharStepsWholeCharacters) {
  const char* s = "aソ\\\xF0\x9F\x98\x80z";
  const char* p = next_char(s);
  EXPECT_EQ(p - s, 1);
  p = next_char(p);
  EXPECT_EQ(p - s, 4);  // three bytes of so
  p = next_char(p);
  EXPECT_EQ(p - s, 5);  // the separator
  p = next_char(p);
  EXPECT_EQ(p - s, 9);  // a four-byte character
  p = next_char(next_char(p));
  EXPECT_EQ(*p, 0);
  EXPECT_EQ(next_char(p), p);  // stays at the end
  // A damaged lead byte never swallows a separator or the terminating zero.
  const char* bad = "\xE3\\x";
  EXPECT_EQ(next_char(bad) - bad, 1);
  const char* cut = "\xE3\x82";
  EXPECT_EQ(next_char(cut) - cut, 2);
}

TEST(Paths, WithTrailingSeparator) {
  EXPECT_EQ(trailing(""), ".\\");
  EXPECT_EQ(trailing("C:"), "C:\\");
  EXPECT_EQ(trailing("C:\\"), "C:\\");
  EXPECT_EQ(trailing("dir\\\\"), "dir\\\\");
  std::string ends_in_so = utf8_of_cp932(join({hyou, so}));
  EXPECT_EQ(trailing(ends_in_so), ends_in_so + "\\");
  EXPECT_EQ(trailing("ソ"), "ソ\\");
  // The longest result that fits, and one byte more.
  std::string longest(size_t(max_path_bytes) - 2, 'a');
  EXPECT_EQ(trailing(longest), longest + "\\");
  EXPECT_EQ(trailing(longest + "a"), "");
  EXPECT_EQ(trailing(longest + "\\"), longest + "\\");
}

TEST(Paths, FolderPart) {
  EXPECT_EQ(folder_of(""), "");
  EXPECT_EQ(folder_of("name.txt"), "");
  EXPECT_EQ(folder_of("C:\\a\\b.txt"), "C:\\a\\");
  EXPECT_EQ(folder_of("C:\\a\\"), "C:\\a\\");
  EXPECT_EQ(folder_of("a\\\\b"), "a\\\\");
  // Only second bytes 0x5C in the CP932 name: no separator at all.
  EXPECT_EQ(folder_of(utf8_of_cp932(join({so, hyou, nou}))), "");
  EXPECT_EQ(folder_of(utf8_of_cp932(join({so, bs, hyou, bs, nou}))),
            utf8_of_cp932(join({so, bs, hyou, bs})));
}

TEST(Paths, ClassifyFolder) {
  // Drive roots are present without any look-up, whether or not such a drive exists.
  EXPECT_EQ(classify_folder("C:\\"), folder_present);
  EXPECT_EQ(classify_folder("z:\\"), folder_present);
  EXPECT_EQ(classify_folder("Q:\\"), folder_present);

  std::string tmp = make_temp_folder("classify");
  EXPECT_EQ(classify_folder(tmp.c_str()), folder_present);
  EXPECT_EQ(classify_folder((tmp + "missing\\").c_str()), folder_missing);
  write_file(tmp + "file", {1, 2, 3});
  EXPECT_EQ(classify_folder((tmp + "file\\").c_str()), not_a_folder);
  std::string japanese = tmp + utf8_of_cp932(join({so, hyou})) + "\\";
  EXPECT_EQ(classify_folder(japanese.c_str()), folder_missing);
  char failed[max_path_bytes];
  EXPECT_EQ(make_folder_chain(japanese.c_str(), "", failed), 0);
  EXPECT_EQ(classify_folder(japanese.c_str()), folder_present);
  remove_tree(tmp);
}

#ifndef _WIN32
// "1:\" is no drive root: it is looked up as the name "1:" (a plain name on POSIX, so the
// look-up can be watched in a folder of our own).
TEST(Paths, DigitColonIsLookedUp) {
  in_temp_folder here("digit");
  EXPECT_EQ(classify_folder("1:\\"), folder_missing);
  std::filesystem::create_directory("1:");
  EXPECT_EQ(classify_folder("1:\\"), folder_present);
}

// Doubled separators are taken as they stand: the second prefix ends in a separator, which
// POSIX looks up as the folder itself.
TEST(Paths, FolderChainTakesDoubledSeparatorsAsTheyStand) {
  std::string tmp = make_temp_folder("doubled");
  EXPECT_EQ(chain(tmp + "a\\\\b\\"), "");
  EXPECT_TRUE(folder_exists(tmp + "a\\b"));
  remove_tree(tmp);
}
#endif

TEST(Paths, FolderChainCreatesInOrderAndStopsAtAFile) {
  std::string tmp = make_temp_folder("chain");
  EXPECT_EQ(chain(""), "");
  std::string ab = tmp + "A\\B\\";
  EXPECT_EQ(chain(ab), "");
  EXPECT_TRUE(folder_exists(tmp + "A\\B"));
  EXPECT_EQ(chain(ab), "");  // all present: nothing to do, still success

  // A file in the way: it is the failed prefix and nothing below it is tried.
  write_file(tmp + "F", {0});
  EXPECT_EQ(chain(tmp + "F\\G\\"), tmp + "F");
  // Without a trailing separator the last part is left alone.
  EXPECT_EQ(chain(tmp + "C\\D"), "");
  EXPECT_TRUE(folder_exists(tmp + "C"));
  EXPECT_FALSE(file_exists(tmp + "C\\D") || folder_exists(tmp + "C\\D"));

  // Names whose CP932 second bytes are 0x5C, one folder level each.
  std::string j1 = utf8_of_cp932(so), j2 = utf8_of_cp932(join({hyou, nou}));
  EXPECT_EQ(chain(tmp + j1 + "\\" + j2 + "\\"), "");
  EXPECT_TRUE(folder_exists(tmp + j1 + "\\" + j2));
  remove_tree(tmp);
}

TEST(Paths, FolderChainFailureLeavesEarlierFolders) {
  std::string tmp = make_temp_folder("chainfail");
  EXPECT_EQ(chain(tmp + "P\\Q\\"), "");
  write_file(tmp + "P\\Q\\R", {7});
  EXPECT_EQ(chain(tmp + "P\\Q\\R\\S\\T\\"), tmp + "P\\Q\\R");
  EXPECT_TRUE(folder_exists(tmp + "P\\Q"));
  EXPECT_FALSE(folder_exists(tmp + "P\\Q\\R\\S"));
  remove_tree(tmp);
}

TEST(Paths, FolderChainSkipsDriveRootAndWalksRelativeNames) {
  in_temp_folder here("relative");
  // The drive root is neither looked up nor made; a drive that does not exist fails at its
  // first folder. (On POSIX "Q:" would be a plain name: its absence shows it was not made.)
  EXPECT_EQ(chain("Q:\\A\\B\\"), "Q:\\A");
  EXPECT_FALSE(std::filesystem::exists("Q:"));
  // ".\" first looks up "." (a folder), then makes the named one.
  EXPECT_EQ(chain(".\\made\\"), "");
  EXPECT_TRUE(std::filesystem::is_directory("made"));
}

// What the walk looks at, through a seam on which every folder above the temporary one
// cannot be listed (a look-up finds nothing, and making it fails as it exists).
TEST(FolderWalk, LooksNoHigherThanTheDeepestFolderThatExists) {
  namespace c = counted_paths;
  std::string tmp = make_temp_folder("walk");
  std::string top = tmp.substr(0, tmp.size() - 1);
  c::unlistable = c::folders_down_to(tmp);
  c::unlistable.erase(top);
  char failed[max_path_bytes];

  // A missing folder two levels down: looked up upwards to the first that exists, then made.
  c::looked_up.clear();
  EXPECT_EQ(c::make_folder_chain((tmp + "d\\e\\").c_str(), "", failed), 0);
  EXPECT_STREQ(failed, "");
  EXPECT_EQ(c::looked_up, (std::vector<std::string>{tmp + "d\\e", tmp + "d", top}));
  EXPECT_TRUE(folder_exists(tmp + "d\\e"));

  // The folders of known cost nothing; only what lies beyond them is looked up.
  c::looked_up.clear();
  EXPECT_EQ(c::make_folder_chain((tmp + "d\\e\\").c_str(), (tmp + "d\\e\\").c_str(), failed), 0);
  EXPECT_EQ(c::make_folder_chain((tmp + "d\\").c_str(), (tmp + "d\\e\\").c_str(), failed), 0);
  EXPECT_TRUE(c::looked_up.empty());
  EXPECT_EQ(c::make_folder_chain((tmp + "d\\e\\f\\g\\").c_str(), (tmp + "d\\e\\").c_str(), failed), 0);
  EXPECT_EQ(c::looked_up, (std::vector<std::string>{tmp + "d\\e\\f\\g", tmp + "d\\e\\f"}));
  EXPECT_TRUE(folder_exists(tmp + "d\\e\\f\\g"));

  // Shared bytes that end inside a name share no folder: "f" is not "fg".
  c::looked_up.clear();
  EXPECT_EQ(c::make_folder_chain((tmp + "d\\e\\fg\\").c_str(), (tmp + "d\\e\\f\\g\\").c_str(),
                              failed),
            0);
  EXPECT_EQ(c::looked_up, std::vector<std::string>{tmp + "d\\e\\fg"});
  EXPECT_TRUE(folder_exists(tmp + "d\\e\\fg"));

  // A file in the way is met on the way up and named; nothing is made below it.
  write_file(tmp + "F", {0});
  c::looked_up.clear();
  EXPECT_EQ(c::make_folder_chain((tmp + "F\\G\\").c_str(), "", failed), int32_t(top.size() + 2));
  EXPECT_EQ(std::string(failed), tmp + "F");
  EXPECT_EQ(c::looked_up, (std::vector<std::string>{tmp + "F\\G", tmp + "F"}));

  // A folder on the way that cannot be listed, below the deepest one found, is tried and,
  // as it cannot be made either, named.
  ASSERT_TRUE(platform_create_folder((tmp + "hidden").c_str()));
  c::unlistable.insert(tmp + "hidden");
  EXPECT_EQ(c::make_folder_chain((tmp + "hidden\\x\\").c_str(), "", failed), int32_t(top.size() + 7));
  EXPECT_EQ(std::string(failed), tmp + "hidden");
  c::unlistable.clear();
  remove_tree(tmp);
}

TEST(Paths, OverlongPrefixFailsWithinBounds) {
  std::string tmp = make_temp_folder("long");
  std::string path = tmp + std::string(size_t(max_path_bytes), 'n') + "\\";
  std::string failed = chain(path);
  EXPECT_FALSE(failed.empty());
  EXPECT_LT(failed.size(), size_t(max_path_bytes));
  EXPECT_EQ(path.compare(0, failed.size(), failed), 0);
  remove_tree(tmp);
}

}  // namespace
