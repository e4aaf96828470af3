#include "tests/common/test_support.h"

#include <filesystem>
#include <fstream>
#include <string.h>

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

std::string make_temp_folder(const char* tag) {
  static int serial = 0;
  fs::path base = fs::temp_directory_path();
  for (;;) {
    fs::path p = base / ("vantrel_test_" + std::string(tag) + "_" +
                         std::to_string(std::rand()) + "_" + std::to_string(++serial));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      std::u8string u = p.u8string();
      std::string s(u.begin(), u.end());
      for (char& c : s)
        if (c == '/') c = '\\';
      if (s.back() != '\\') s += '\\';
      return s;
    }
  }
}

void remove_tree(const std::string& engine_path) {
  std::error_code ec;
  fs::remove_all(to_fs(engine_path), ec);
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
