// The Win32 side for vantrel.exe only (platform/platform_win32_tool.h). The stub never links
// this file; platform_win32.cpp calls into it only when built with VANTREL_TOOL.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "platform/platform_win32.h"
#include "platform/platform_win32_tool.h"

std::wstring tool_wide(const std::string& utf8) {
  if (utf8.empty()) return L"";
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring w(size_t(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), w.data(), n);
  return w;
}

std::string tool_utf8(const wchar_t* text, size_t length) {
  if (length == 0) return "";
  int n = WideCharToMultiByte(CP_UTF8, 0, text, int(length), nullptr, 0, nullptr, nullptr);
  std::string s(size_t(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, int(length), s.data(), n, nullptr, nullptr);
  return s;
}

std::string tool_utf8(const std::wstring& text) { return tool_utf8(text.data(), text.size()); }

std::wstring tool_long_path(const std::string& utf8) {
  std::wstring w = tool_wide(utf8);
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  if (w.compare(0, 4, L"\\\\?\\") == 0) return w;
  if (w.empty()) w = L".";
  DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (n == 0) return w;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(w.c_str(), n, full.data(), nullptr);
  full.resize(n);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::string tool_error_text(unsigned long code) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string s;
  if (n > 0 && text) s = tool_utf8(text, n);
  if (text) LocalFree(text);
  while (!s.empty() &&
         (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.'))
    s.pop_back();
  if (s.empty()) s = "system error " + std::to_string(code);
  return s;
}

// ---- The destination -------------------------------------------------------------------------

namespace {

std::wstring root;  // the destination's long form, without a final '\'; empty: not confined

// The member being written: a temporary file beside its final name.
struct pending_member {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::wstring temporary, final_name;
  std::string path;  // as the engine spelled it
  bool times_set = false;
  bool closed = false;
};
pending_member pending;
volatile LONG output_abandoned;
DWORD last_write_error;

// Whether a long path lies below the destination (not the destination itself).
bool below_root(const std::wstring& p) {
  return !root.empty() && p.size() > root.size() + 1 && p.compare(0, root.size(), root) == 0 &&
         p[root.size()] == L'\\';
}

// True when no link or junction stands on the way from the destination down to p's folder
// (and at p itself, when `itself`): nothing is written through one.
bool no_link_on_the_way(const std::wstring& p, bool itself) {
  for (size_t at = root.size() + 1; at <= p.size(); at++) {
    if (at < p.size() && p[at] != L'\\') continue;
    if (at == p.size() && !itself) break;
    DWORD attributes = GetFileAttributesW(p.substr(0, at).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) break;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
  }
  return true;
}

bool is_pending(file_handle f) {
  return f != no_file && pending.handle != INVALID_HANDLE_VALUE &&
         reinterpret_cast<HANDLE>(f) == pending.handle;
}

}  // namespace

bool platform_confine_below(const char* destination) {
  std::wstring p = tool_long_path(destination);
  while (p.size() > 7 && p.back() == L'\\') p.pop_back();
  DWORD attributes = GetFileAttributesW(p.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (attributes != INVALID_FILE_ATTRIBUTES) SetLastError(ERROR_DIRECTORY);
    return false;
  }
  root = p;
  return true;
}

void platform_abandon_output() { InterlockedExchange(&output_abandoned, 1); }

int platform_last_write_error() { return int(last_write_error); }

const wchar_t* tool_seam_path(const char* path, wchar_t* target, size_t capacity) {
  std::wstring p = tool_long_path(path);
  if (p.size() + 1 > capacity) return nullptr;
  p.copy(target, p.size());
  target[p.size()] = 0;
  return target;
}

file_handle tool_create_member(const char* path, bool only_new) {
  std::wstring p = tool_long_path(path);
  if (!below_root(p)) {
    HANDLE h = CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           only_new ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    return h == INVALID_HANDLE_VALUE ? no_file : reinterpret_cast<file_handle>(h);
  }
  if (pending.handle != INVALID_HANDLE_VALUE || !no_link_on_the_way(p, true)) {
    last_write_error = pending.handle != INVALID_HANDLE_VALUE ? ERROR_BUSY
                                                              : ERROR_CANT_ACCESS_FILE;
    return no_file;
  }
  DWORD attributes = GetFileAttributesW(p.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (only_new) return no_file;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      last_write_error = ERROR_DIRECTORY;
      return no_file;
    }
  }
  size_t slash = p.rfind(L'\\');
  static uint64_t state = uint64_t(GetCurrentProcessId()) * 0x9E3779B97F4A7C15ull ^
                          uint64_t(GetTickCount64());
  static const wchar_t letters[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
  std::wstring prefix = p.substr(0, slash + 1) + tool_wide(temporary_file_prefix);
  for (int attempt = 0; attempt < 100; attempt++) {
    std::wstring name = prefix;
    for (int i = 0; i < 10; i++) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      name += letters[(state >> 33) % 36];
    }
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      pending = pending_member{};
      pending.handle = h;
      pending.temporary = name;
      pending.final_name = p;
      pending.path = path;
      return reinterpret_cast<file_handle>(h);
    }
    last_write_error = GetLastError();
    if (last_write_error != ERROR_FILE_EXISTS) break;
  }
  return no_file;
}

void tool_times_set(file_handle f, bool ok) {
  if (!is_pending(f)) return;
  pending.times_set = ok;
  if (!ok) last_write_error = GetLastError();
}

// A member is put in place at its close: renamed over its final name when it closed cleanly,
// its times were set (the last step of a complete member) and nothing asked for output to be
// abandoned; otherwise the temporary file goes and an earlier file stays.
bool tool_close(file_handle f, bool& handled) {
  handled = is_pending(f);
  if (!handled) return false;
  bool closed = CloseHandle(pending.handle);
  if (!closed) last_write_error = GetLastError();
  pending.handle = INVALID_HANDLE_VALUE;
  pending.closed = true;
  bool put = false;
  if (closed && pending.times_set && !output_abandoned) {
    put = MoveFileExW(pending.temporary.c_str(), pending.final_name.c_str(),
                      MOVEFILE_REPLACE_EXISTING);
    DWORD error = put ? 0 : GetLastError();
    // Windows renames over no read-only file; an earlier file is replaced whatever its
    // attributes, as on Linux, and keeps them when that still fails.
    if (error == ERROR_ACCESS_DENIED) {
      const wchar_t* final_name = pending.final_name.c_str();
      DWORD attributes = GetFileAttributesW(final_name);
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
          !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
          SetFileAttributesW(final_name, attributes & ~DWORD(FILE_ATTRIBUTE_READONLY))) {
        put = MoveFileExW(pending.temporary.c_str(), final_name, MOVEFILE_REPLACE_EXISTING);
        if (!put) {
          error = GetLastError();
          SetFileAttributesW(final_name, attributes);
        }
      }
    }
    if (!put) {
      last_write_error = error;
      closed = false;
    }
  }
  if (!put) DeleteFileW(pending.temporary.c_str());
  return closed;
}

bool tool_delete_file(const char* path, bool& handled) {
  // The member just closed: either its temporary file is gone already, or it was put in place
  // whole before a cancel arrived and stays.
  handled = pending.closed && pending.path == path;
  if (handled) pending = pending_member{};
  return handled;
}

bool tool_folder_allowed(const char* path) {
  std::wstring p = tool_long_path(path);
  return !below_root(p) || no_link_on_the_way(p, false);
}

// ---- The end of the process ------------------------------------------------------------------

namespace {
std::wstring remove_at_exit;
void remove_kept_file() {
  if (!remove_at_exit.empty()) DeleteFileW(remove_at_exit.c_str());
}
}  // namespace

void tool_remove_at_exit(const std::wstring& path) {
  if (remove_at_exit.empty()) atexit(remove_kept_file);
  remove_at_exit = path;
}

void tool_exit(int code) {
  fflush(nullptr);
  remove_kept_file();
  ExitProcess(UINT(code));
}
