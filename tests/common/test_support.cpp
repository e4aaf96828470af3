#include "tests/common/test_support.h"

#include <filesystem>
#include <fstream>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace fs = std::filesystem;

std::vector<recorded_box> shown_boxes;
std::vector<int> scripted_answers;
std::vector<std::string> status_lines;

static fs::path to_fs(const std::string& engine_path) {
  std::string p = native_path(engine_path);
  return fs::path(std::u8string(p.begin(), p.end()));
}

std::string native_path(const std::string& engine_path) {
#ifdef _WIN32
  return engine_path;
#else
  std::string p = engine_path;
  for (char& c : p)
    if (c == '\\') c = '/';
  return p;
#endif
}

// Every folder a test makes lives under one root per run of the test program, and the run
// removes the root when it ends. Removing each folder on its own is not enough: a death test's
// child ends through platform_exit (_exit), so no destructor of its own runs, and the folders
// it made were left behind by the thousand. The child finds the root through the environment:
// a forked child inherits it with the rest of the process, and on Windows, where the child is
// a fresh run of the program, the environment is all that carries over.
static const char root_variable[] = "VANTREL_TEST_ROOT";

static int current_process_id() {
#ifdef _WIN32
  return _getpid();
#else
  return int(getpid());
#endif
}

namespace {
struct run_root {
  fs::path path;
  int owner = 0;   // the process that made the root and alone removes it; 0: not this run's
};
}  // namespace

static run_root& root_state() {
  static run_root root;
  return root;
}

static const fs::path& test_temp_root() {
  run_root& root = root_state();
  if (!root.path.empty()) return root.path;
  // A root named in the environment that is not there is left over from some other run
  // (a shell that exported it, say): this run then makes and owns its own.
  if (const char* inherited = getenv(root_variable)) {
    fs::path p(std::u8string(inherited, inherited + strlen(inherited)));
    std::error_code ec;
    if (fs::is_directory(p, ec)) {
      root.path = p;
      return root.path;
    }
  }
  fs::path base = fs::temp_directory_path();
  int pid = current_process_id();
  for (int n = 0;; n++) {
    fs::path p = base / ("vantrel_tests_" + std::to_string(pid) + "_" + std::to_string(n));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      root.path = p;
      root.owner = pid;
      break;
    }
    if (n > 1000) {
      fprintf(stderr, "cannot make a temporary folder in %s\n", base.string().c_str());
      abort();
    }
  }
  std::u8string u = root.path.u8string();
  std::string value(u.begin(), u.end());
#ifdef _WIN32
  _putenv_s(root_variable, value.c_str());
#else
  setenv(root_variable, value.c_str(), 1);
#endif
  return root.path;
}

// Unlike remove_all, goes on past an entry it cannot remove (on Windows, a file some test
// left open), so that one such file keeps only itself and its folders, and names them.
#ifdef _WIN32
// Names them only when `report` is set. Through the system's calls: the library's folder listing cannot take a path longer than
// MAX_PATH, not even in the \\?\ form, and lists the current folder in its place without an
// error, so the files of deep folders were never removed, and the folders then failed as not
// empty (reported as "access denied": the library tries DeleteFileW after RemoveDirectoryW).
static void remove_everything(const std::wstring& p, bool report) {
  DWORD attributes = GetFileAttributesW(p.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES &&
      (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND))
    return;
  bool removed;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
      !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    // The names first, so that no search handle is open on the folder while it is emptied.
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((p + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    for (const std::wstring& name : names) remove_everything(p + L"\\" + name, report);
    removed = RemoveDirectoryW(p.c_str());
  } else {
    removed = DeleteFileW(p.c_str());
  }
  if (!removed && report) {
    std::string error = std::system_category().message(int(GetLastError()));
    std::u8string name = fs::path(p).u8string();
    fprintf(stderr, "cannot remove %s: %s\n", std::string(name.begin(), name.end()).c_str(),
            error.c_str());
  }
}

// The \\?\ form, which the system takes past MAX_PATH; tests make such paths.
static std::wstring long_form(const fs::path& p) {
  std::error_code ec;
  fs::path full = fs::absolute(p, ec);
  if (ec) full = p;
  std::wstring w = full.make_preferred().wstring();
  while (w.size() > 3 && w.back() == L'\\') w.pop_back();
  if (w.rfind(L"\\\\", 0) == 0) return w;   // already long, or a network path
  return L"\\\\?\\" + w;
}
#else
static void remove_everything(const fs::path& p) {
  std::error_code ec;
  if (fs::is_directory(fs::symlink_status(p, ec)))
    for (fs::directory_iterator it(p, ec), end; !ec && it != end; it.increment(ec))
      remove_everything(it->path());
  if (!fs::remove(p, ec) && ec)
    fprintf(stderr, "cannot remove %s: %s\n", p.string().c_str(), ec.message().c_str());
}
#endif

namespace {
// Makes the root before the first test, so that a death test whose child makes the first
// folder still finds a root its parent owns; removes it after the last one. A run with a
// failure keeps it, with everything in it, for inspection.
class temp_root_environment : public ::testing::Environment {
 public:
  void SetUp() override { test_temp_root(); }
  void TearDown() override {
    run_root& root = root_state();
    if (root.path.empty() || root.owner != current_process_id()) return;
    if (!::testing::UnitTest::GetInstance()->Passed()) {
      fprintf(stderr, "test files kept in %s\n", root.path.string().c_str());
      return;
    }
#ifdef _WIN32
    remove_everything(long_form(root.path), true);
#else
    remove_everything(root.path);
#endif
  }
};

::testing::Environment* const temp_root_registered =
    ::testing::AddGlobalTestEnvironment(new temp_root_environment);
}  // namespace

static std::string engine_form(const fs::path& p) {
  std::u8string u = p.u8string();
  std::string s(u.begin(), u.end());
  for (char& c : s)
    if (c == '/') c = '\\';
  return s;
}

std::string make_temp_folder(const char* tag) {
  static int serial = 0;
  const fs::path& base = test_temp_root();
  // Bounded: with the root gone (removed by a child, say) every try fails, and a test that
  // hangs says less than one that stops.
  for (int tries = 0; tries < 1000; tries++) {
    fs::path p = base / ("vantrel_test_" + std::string(tag) + "_" +
                         std::to_string(std::rand()) + "_" + std::to_string(++serial));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      std::string s = engine_form(p);
      if (s.back() != '\\') s += '\\';
      return s;
    }
  }
  fprintf(stderr, "cannot make a temporary folder in %s\n", base.string().c_str());
  abort();
}

std::string temp_root_path() { return engine_form(test_temp_root()); }

void remove_tree(const std::string& engine_path) {
#ifdef _WIN32
  remove_everything(long_form(to_fs(engine_path)), false);
#else
  std::error_code ec;
  fs::remove_all(to_fs(engine_path), ec);
#endif
}

void write_file(const std::string& engine_path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(to_fs(engine_path), std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> read_file(const std::string& engine_path) {
  std::ifstream f(to_fs(engine_path), std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)),
                              std::istreambuf_iterator<char>());
}

bool file_exists(const std::string& engine_path) {
  std::error_code ec;
  return fs::is_regular_file(to_fs(engine_path), ec);
}

bool folder_exists(const std::string& engine_path) {
  std::error_code ec;
  return fs::is_directory(to_fs(engine_path), ec);
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
  for (size_t i = 0; i < n; i++) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    v[i] = uint8_t(x >> 24);
  }
  return v;
}

std::vector<uint8_t> test_stub_image(uint32_t seed) { return random_bytes(26112, 0x5EED0000u + seed); }

std::vector<uint8_t> cp932(const char* utf8) {
  std::vector<uint8_t> out(strlen(utf8) * 2 + 1);
  int32_t n = platform_utf8_to_cp932(utf8, strlen(utf8), out.data(), out.size());
  if (n < 0) return {};
  out.resize(size_t(n));
  return out;
}

int record_box(void* owner, const char* caption, const char* text, unsigned flags) {
  shown_boxes.push_back({owner != nullptr, caption, text, flags});
  if (!scripted_answers.empty()) {
    int a = scripted_answers.front();
    scripted_answers.erase(scripted_answers.begin());
    return a;
  }
  unsigned buttons = flags & 0x0F;
  return (buttons == mb_yesno || buttons == mb_yesnocancel) ? id_yes : id_ok;
}

static void record_status(const char* text) { status_lines.push_back(text); }

void install_test_hooks() {
  shown_boxes.clear();
  status_lines.clear();
  platform_set_message_box_hook(record_box);
  platform_set_status_hook(record_status);
}
