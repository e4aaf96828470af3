// Helpers of the extraction tests (member loop and reference archives): running a whole
// extraction through the seam, and looking at what it left on disk.
#pragma once

#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "app/archive.h"
#include "engine/edge.h"
#include "engine/member_loop.h"
#include "platform/platform.h"
#include "tests/common/test_support.h"

namespace extraction {

inline std::filesystem::path fs_path(const std::string& engine_path) {
  std::string n = native_path(engine_path);
  return std::filesystem::path(std::u8string(n.begin(), n.end()));
}

// A temporary folder that a death test's child finds again. On Windows the child re-runs the
// test from its start, so a fresh random folder would differ from the parent's: the first
// call publishes the folder in the environment, which the child inherits.
inline std::string stable_temp_folder(const char* tag) {
  std::string key = std::string("VANTREL_TEST_FOLDER_") + tag;
  if (const char* v = getenv(key.c_str())) {
    std::string folder = v;
    std::error_code ec;
    std::filesystem::create_directories(fs_path(folder), ec);
    return folder;
  }
  std::string folder = make_temp_folder(tag);
#ifdef _WIN32
  _putenv_s(key.c_str(), folder.c_str());
#else
  setenv(key.c_str(), folder.c_str(), 1);
#endif
  return folder;
}

// The last write time of a file as a FILETIME (100 ns since 1601), or 0 when unknown.
inline uint64_t last_write_filetime(const std::string& engine_path) {
  std::error_code ec;
  auto t = std::filesystem::last_write_time(fs_path(engine_path), ec);
  if (ec) return 0;
  auto since_unix = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::file_clock::to_sys(t).time_since_epoch());
  return uint64_t(since_unix.count() / 100 + 116444736000000000LL);
}

// Whether a time read back with last_write_filetime is the one that was set. The mingw
// library reads file times through the C runtime's stat, to whole seconds; elsewhere the
// 100 ns units come back exactly.
inline bool same_file_time(uint64_t read_back, uint64_t set) {
#ifdef _WIN32
  return read_back == set - set % 10000000;
#else
  return read_back == set;
#endif
}

#ifdef _WIN32
// Through the system's calls, in the \\?\ form: the library's folder listing cannot enter a
// path longer than MAX_PATH and lists the current folder in its place without an error.
inline void list_below(const std::wstring& folder, const std::string& prefix,
                       std::vector<std::string>& out) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND)
      out.push_back("<error listing " + prefix + ">");
    return;
  }
  std::vector<std::pair<std::wstring, bool>> entries;
  do {
    std::wstring name = found.cFileName;
    if (name != L"." && name != L"..")
      entries.push_back({name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(search, &found));
  FindClose(search);
  for (const auto& [name, is_folder] : entries) {
    std::u8string u = std::filesystem::path(name).u8string();
    std::string listed = prefix + std::string(u.begin(), u.end());
    if (is_folder) {
      out.push_back(listed + "/");
      list_below(folder + L"\\" + name, listed + "/", out);
    } else {
      out.push_back(listed);
    }
  }
}
#endif

// Every entry below folder, relative, with '/' between names and a final '/' on folders;
// sorted. An entry that cannot be listed shows as "<error ...>", so that a comparison fails.
inline std::vector<std::string> list_tree(const std::string& folder) {
  std::vector<std::string> out;
#ifdef _WIN32
  std::error_code ec;
  std::wstring root = std::filesystem::absolute(fs_path(folder), ec).make_preferred().wstring();
  while (root.size() > 3 && root.back() == L'\\') root.pop_back();
  if (root.rfind(L"\\\\", 0) != 0) root = L"\\\\?\\" + root;
  list_below(root, "", out);
#else
  std::error_code ec;
  std::filesystem::path root = fs_path(folder);
  std::u8string root_text = root.u8string();
  auto it = std::filesystem::recursive_directory_iterator(root, ec);
  for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::u8string full = it->path().u8string();
    std::string name(full.begin() + long(std::min(full.size(), root_text.size())), full.end());
    while (!name.empty() && name[0] == '/') name.erase(0, 1);
    if (it->is_directory()) name += '/';
    out.push_back(name);
  }
  if (ec && ec != std::errc::no_such_file_or_directory) out.push_back("<error " + ec.message() + ">");
#endif
  std::sort(out.begin(), out.end());
  return out;
}

// Opens a saved archive as the running program would its own file, after a reset of every
// process-wide record, with the test hooks installed and the default extraction mode.
inline bool open_for_test(const std::string& archive_path) {
  reset_archive_state();
  extract_mode = extract_options{};
  install_test_hooks();
  scripted_answers.clear();
  platform_set_pump_hook(nullptr);
  platform_set_write_hook(nullptr);
  return open_archive(archive_path.c_str()) == ready;
}

}  // namespace extraction
