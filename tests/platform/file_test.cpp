// Files, entries, folders and times through the seam, on the system underneath (the host's,
// or Windows' under Wine).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "platform/platform.h"
#include "tests/common/test_support.h"

namespace {

struct PlatformFiles : testing::Test {
  std::string dir;
  void SetUp() override { dir = make_temp_folder("platform"); }
  void TearDown() override {
    if (!HasFailure()) remove_tree(dir);
  }
};

bool write_all(file_handle f, const std::vector<uint8_t>& data) {
  return platform_write(f, data.data(), int32_t(data.size()));
}

// The last-access and last-write times (and creation where kept) as the system reports them.
struct file_times {
  uint64_t creation, last_access, last_write;
};

file_times times_of(const std::string& path) {
#ifdef _WIN32
  std::wstring w(path.size() + 1, L'\0');
  w.resize(size_t(MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, w.data(), int(w.size())) - 1));
  WIN32_FILE_ATTRIBUTE_DATA a{};
  EXPECT_TRUE(GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &a));
  auto ft = [](FILETIME t) { return uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime; };
  return {ft(a.ftCreationTime), ft(a.ftLastAccessTime), ft(a.ftLastWriteTime)};
#else
  struct stat st {};
  EXPECT_EQ(stat(native_path(path).c_str(), &st), 0);
  auto ft = [](timespec t) {
    return uint64_t(int64_t(t.tv_sec) * 10000000 + t.tv_nsec / 100 + 116444736000000000);
  };
  return {0, ft(st.st_atim), ft(st.st_mtim)};
#endif
}

}  // namespace

TEST_F(PlatformFiles, CreateWriteReadSeekAndSize) {
  std::string path = dir + "data.bin";
  auto data = random_bytes(10000, 3);
  file_handle f = platform_create_file(path.c_str());
  ASSERT_NE(f, no_file);
  EXPECT_TRUE(write_all(f, data));
  EXPECT_EQ(platform_file_size(f), 10000);
  EXPECT_EQ(platform_file_position(f), 10000);
  // The member file is opened read-write: what was written reads back through it.
  ASSERT_TRUE(platform_seek(f, 9000));
  std::vector<uint8_t> tail(2000);
  EXPECT_EQ(platform_read(f, tail.data(), 2000), 1000);
  EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + 1000, data.begin() + 9000));
  EXPECT_EQ(platform_read(f, tail.data(), 10), 0);
  EXPECT_FALSE(platform_seek(f, -1));
  EXPECT_TRUE(platform_close(f));
  EXPECT_EQ(read_file(path), data);

  file_handle r = platform_open_read(path.c_str());
  ASSERT_NE(r, no_file);
  std::vector<uint8_t> all(10000);
  EXPECT_EQ(platform_read(r, all.data(), 10000), 10000);
  EXPECT_EQ(all, data);
  EXPECT_FALSE(platform_write(r, all.data(), 1)) << "a read-only handle took a write";
  EXPECT_TRUE(platform_close(r));
}

TEST_F(PlatformFiles, CreateReplacesAnExistingFile) {
  std::string path = dir + "member.txt";
  write_file(path, random_bytes(5000, 1));
  file_handle f = platform_create_file(path.c_str());
  ASSERT_NE(f, no_file);
  EXPECT_EQ(platform_file_size(f), 0);
  EXPECT_TRUE(write_all(f, {1, 2, 3}));
  EXPECT_TRUE(platform_close(f));
  EXPECT_EQ(read_file(path), (std::vector<uint8_t>{1, 2, 3}));
}

// Creating anew only where nothing stands: an existing file or folder is left as it was, and
// the caller learns that it must ask.
TEST_F(PlatformFiles, CreateNewLeavesWhatExists) {
  std::string fresh = dir + "fresh.txt", file = dir + "old.txt", folder = dir + "sub";
  file_handle f = platform_create_new_file(fresh.c_str());
  ASSERT_NE(f, no_file);
  EXPECT_TRUE(write_all(f, {4, 5}));
  EXPECT_TRUE(platform_close(f));
  EXPECT_EQ(read_file(fresh), (std::vector<uint8_t>{4, 5}));

  auto old = random_bytes(3000, 2);
  write_file(file, old);
  EXPECT_EQ(platform_create_new_file(file.c_str()), no_file);
  EXPECT_EQ(read_file(file), old);
  ASSERT_TRUE(platform_create_folder(folder.c_str()));
  EXPECT_EQ(platform_create_new_file(folder.c_str()), no_file);
  EXPECT_EQ(platform_look_up(folder.c_str()), entry_folder);
  // In a folder that does not exist nothing is created either.
  EXPECT_EQ(platform_create_new_file((dir + "none\\x.txt").c_str()), no_file);
}

TEST_F(PlatformFiles, ReadAccessIsShared) {
  std::string path = dir + "shared.bin";
  write_file(path, {9, 8, 7});
  file_handle a = platform_open_read(path.c_str());
  file_handle b = platform_open_read(path.c_str());
  ASSERT_NE(a, no_file);
  ASSERT_NE(b, no_file);
  uint8_t x = 0;
  EXPECT_EQ(platform_read(b, &x, 1), 1);
  EXPECT_EQ(x, 9);
#ifdef _WIN32
  // Readers share reading only: nobody may write the archive while it is being read.
  EXPECT_EQ(platform_create_file(path.c_str()), no_file);
#endif
  EXPECT_TRUE(platform_close(a));
  EXPECT_TRUE(platform_close(b));

  // A member file being written can be read by others at the same time (on Windows by a
  // reader that in turn lets the writer go on writing).
  file_handle w = platform_create_file(path.c_str());
  ASSERT_NE(w, no_file);
  EXPECT_TRUE(write_all(w, {5, 6}));
  uint8_t two[2] = {};
#ifdef _WIN32
  std::wstring wide(path.size() + 1, L'\0');
  wide.resize(size_t(MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide.data(), int(wide.size())) - 1));
  HANDLE r = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(r, INVALID_HANDLE_VALUE);
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(r, two, 2, &got, nullptr));
  EXPECT_EQ(got, 2u);
  CloseHandle(r);
  // Nobody else may write it meanwhile.
  EXPECT_EQ(CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
#else
  file_handle r = platform_open_read(path.c_str());
  ASSERT_NE(r, no_file);
  EXPECT_EQ(platform_read(r, two, 2), 2);
  EXPECT_TRUE(platform_close(r));
#endif
  EXPECT_EQ(two[1], 6);
  EXPECT_TRUE(platform_close(w));
}

TEST_F(PlatformFiles, FailuresAreReportedNotHidden) {
  std::string missing = dir + "missing.bin";
  EXPECT_EQ(platform_open_read(missing.c_str()), no_file);
  EXPECT_FALSE(platform_delete_file(missing.c_str()));
  EXPECT_EQ(platform_create_file((dir + "no\\such\\folder.bin").c_str()), no_file);
  uint8_t b = 0;
  EXPECT_EQ(platform_read(no_file, &b, 1), -1);
  EXPECT_FALSE(platform_write(no_file, &b, 1));
  EXPECT_EQ(platform_file_size(no_file), -1);
  EXPECT_FALSE(platform_close(no_file));
  EXPECT_FALSE(platform_set_file_times(no_file, 1, 1, 1));
}

TEST_F(PlatformFiles, DeleteRemovesTheFile) {
  std::string path = dir + "gone.bin";
  write_file(path, {1});
  EXPECT_TRUE(platform_delete_file(path.c_str()));
  EXPECT_FALSE(file_exists(path));
}

TEST_F(PlatformFiles, LookUpTellsFoldersFromOtherEntries) {
  write_file(dir + "file", {1});
  ASSERT_TRUE(platform_create_folder((dir + "folder").c_str()));
  EXPECT_EQ(platform_look_up((dir + "file").c_str()), entry_other);
  EXPECT_EQ(platform_look_up((dir + "folder").c_str()), entry_folder);
  EXPECT_EQ(platform_look_up((dir + "nothing").c_str()), entry_none);
  EXPECT_EQ(platform_look_up((dir + "file\\below").c_str()), entry_none);
}

TEST_F(PlatformFiles, CreateFolderOnlyMakesANewFolderWhoseParentExists) {
  std::string folder = dir + "made";
  EXPECT_TRUE(platform_create_folder(folder.c_str()));
  EXPECT_TRUE(folder_exists(folder));
  EXPECT_FALSE(platform_create_folder(folder.c_str())) << "an existing folder counts as failure";
  EXPECT_FALSE(platform_create_folder((dir + "a\\b").c_str()));
  write_file(dir + "file", {1});
  EXPECT_FALSE(platform_create_folder((dir + "file").c_str()));
}

TEST_F(PlatformFiles, JapaneseNamesReachTheSystemAsTheirCharacters) {
  // 表示ソ: both double-byte characters have 0x5C as their second CP932 byte. Written through
  // the seam, seen by the standard library under the same name, whatever the ANSI code page.
  std::string folder = dir + "\xE8\xA1\xA8\xE7\xA4\xBA";
  std::string file = folder + "\\\xE3\x82\xBD.txt";
  ASSERT_TRUE(platform_create_folder(folder.c_str()));
  file_handle f = platform_create_file(file.c_str());
  ASSERT_NE(f, no_file);
  EXPECT_TRUE(write_all(f, {'o', 'k'}));
  EXPECT_TRUE(platform_close(f));
  EXPECT_EQ(read_file(file), (std::vector<uint8_t>{'o', 'k'}));
  EXPECT_EQ(platform_look_up(folder.c_str()), entry_folder);
  EXPECT_EQ(platform_look_up(file.c_str()), entry_other);
  EXPECT_TRUE(platform_delete_file(file.c_str()));
}

TEST_F(PlatformFiles, TimesAreSetAndReadBack) {
  std::string path = dir + "timed.bin";
  file_handle f = platform_create_file(path.c_str());
  ASSERT_NE(f, no_file);
  EXPECT_TRUE(write_all(f, {1}));
  // 2001-02-03 04:05:06.7891234, 1999-12-31 23:59:59.9999999, and one before 1970 (1969-07-20
  // 20:17:40.5), in 100 ns steps.
  const uint64_t creation = 126257247067891234, access = 125911583999999999,
                 write = 116226910605000000;
  EXPECT_TRUE(platform_set_file_times(f, creation, access, write));
  EXPECT_TRUE(platform_close(f));
  file_times t = times_of(path);
  EXPECT_EQ(t.last_write, write);
  EXPECT_EQ(t.last_access, access);
#ifdef _WIN32
  // Wine keeps no creation time on a Unix file system; real Windows does.
  if (!GetProcAddress(GetModuleHandleW(L"ntdll"), "wine_get_version")) {
    EXPECT_EQ(t.creation, creation);
  }
#endif
}

#ifndef _WIN32
// A time past the year 30828 fits no FILETIME that Windows takes; read as a signed count it
// would date the file before 1601. It leaves the time as it is, like 0 does.
TEST_F(PlatformFiles, TimesPastTheLastFileTimeLeaveTheTimeAlone) {
  std::string path = dir + "far.bin";
  file_handle f = platform_create_file(path.c_str());
  ASSERT_NE(f, no_file);
  EXPECT_TRUE(write_all(f, {1}));
  const uint64_t kept = 126257247067891234;  // 2001-02-03
  EXPECT_TRUE(platform_set_file_times(f, 0, kept, kept));
  EXPECT_TRUE(platform_set_file_times(f, 0, uint64_t{1} << 63, ~uint64_t{0} - 1));
  EXPECT_TRUE(platform_close(f));
  file_times t = times_of(path);
  EXPECT_EQ(t.last_write, kept);
  EXPECT_EQ(t.last_access, kept);
}
#endif

TEST(PlatformProcess, ModulePathNamesTheRunningProgram) {
  char path[4096];
  size_t n = platform_module_path(path, sizeof path);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(strlen(path), n);
  std::string s(path);
  EXPECT_NE(s.find("vantrel_tests"), std::string::npos) << s;
  EXPECT_EQ(s.find('/'), std::string::npos) << "module path not in the engine's form: " << s;
  EXPECT_EQ(platform_module_path(path, n), 0u) << "a path without room for its zero";

  file_handle own = platform_open_own_file();
  ASSERT_NE(own, no_file);
  EXPECT_EQ(platform_file_size(own), int64_t(read_file(s).size()));
  uint8_t mz[2] = {};
  EXPECT_EQ(platform_read(own, mz, 2), 2);
  EXPECT_TRUE(platform_close(own));
}
