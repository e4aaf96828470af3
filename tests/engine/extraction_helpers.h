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

#include "app/archive.h"
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

// Every entry below folder, relative, with '/' between names and a final '/' on folders;
// sorted.
inline std::vector<std::string> list_tree(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  std::filesystem::path root = fs_path(folder);
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::u8string rel = std::filesystem::relative(it->path(), root).generic_u8string();
    std::string name(rel.begin(), rel.end());
    if (it->is_directory()) name += '/';
    out.push_back(name);
  }
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
