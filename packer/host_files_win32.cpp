// The packer's system calls in vantrel.exe (packer/host_files.h), through the wide API with
// paths of any length.
#include <string.h>
#include <windows.h>

#include "packer/host_files.h"
#include "platform/platform_win32_tool.h"

namespace {
std::string reason() { return tool_error_text(GetLastError()); }

uint64_t filetime_value(const FILETIME& t) {
  return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// Opened for reading with every kind of sharing.
HANDLE open_shared(const std::string& path, DWORD access, DWORD flags) {
  return CreateFileW(tool_long_path(path).c_str(), access,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, flags, nullptr);
}
}  // namespace

std::string host_look_at(const std::string& path, host_entry& e) {
  // Read-only, hidden and system files are packed as any other; links are followed.
  HANDLE h = open_shared(path, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS);
  if (h == INVALID_HANDLE_VALUE) return reason();
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(h, &info);
  std::string why = ok ? "" : reason();
  CloseHandle(h);
  if (!ok) return why;
  e = host_entry{};
  e.is_folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  e.is_regular = !e.is_folder && !(info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE);
  e.size = int64_t((uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  e.creation_time = filetime_value(info.ftCreationTime);
  e.last_access_time = filetime_value(info.ftLastAccessTime);
  e.last_write_time = filetime_value(info.ftLastWriteTime);
  e.has_creation_time = e.creation_time != 0;
  e.volume = info.dwVolumeSerialNumber;
  e.index = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return "";
}

std::string host_list_folder(const std::string& path, std::vector<std::string>& names) {
  std::wstring pattern = tool_long_path(path);
  if (!pattern.empty() && pattern.back() != L'\\') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                              nullptr, 0);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND ? "" : tool_error_text(e);
  }
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    names.push_back(tool_utf8(name));
  } while (FindNextFileW(h, &found));
  DWORD e = GetLastError();
  FindClose(h);
  return e == ERROR_NO_MORE_FILES ? "" : tool_error_text(e);
}

std::string host_check_readable(const std::string& path) {
  HANDLE h = open_shared(path, GENERIC_READ, FILE_ATTRIBUTE_NORMAL);
  if (h == INVALID_HANDLE_VALUE) return reason();
  CloseHandle(h);
  return "";
}

std::string host_read_file(const std::string& path, std::vector<uint8_t>& data, int64_t limit,
                           bool& too_large) {
  too_large = false;
  // The last access time is put back once the file is read, so that a second pack of the same
  // tree is identical to the first (where the file system keeps such times up to date).
  // FILE_WRITE_ATTRIBUTES allows that; a file that refuses it is read anyway.
  HANDLE h = open_shared(path, GENERIC_READ | FILE_WRITE_ATTRIBUTES, FILE_FLAG_SEQUENTIAL_SCAN);
  if (h == INVALID_HANDLE_VALUE) h = open_shared(path, GENERIC_READ, FILE_FLAG_SEQUENTIAL_SCAN);
  if (h == INVALID_HANDLE_VALUE) return reason();
  FILETIME accessed;
  bool restore = GetFileTime(h, nullptr, &accessed, nullptr);
  data.clear();
  LARGE_INTEGER size;
  if (GetFileSizeEx(h, &size) && size.QuadPart > 0 && size.QuadPart <= limit)
    data.reserve(size_t(size.QuadPart));
  // Files are read on several threads at once.
  std::vector<uint8_t> buffer(65536);
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, buffer.data(), DWORD(buffer.size()), &n, nullptr)) {
      std::string e = reason();
      CloseHandle(h);
      return e;
    }
    if (n == 0) break;
    data.insert(data.end(), buffer.begin(), buffer.begin() + n);
    if (int64_t(data.size()) >= limit) {
      too_large = true;
      break;
    }
  }
  if (restore) SetFileTime(h, nullptr, &accessed, nullptr);
  CloseHandle(h);
  return "";
}

int host_processor_count() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 0;
  int n = 0;
  for (; process; process &= process - 1) n++;
  return n;
}

std::string host_output_create(const std::string& output_path, char* temporary_path,
                               size_t capacity, host_output& out) {
  static uint64_t state = uint64_t(GetCurrentProcessId()) * 0x9E3779B97F4A7C15ull ^
                          uint64_t(GetTickCount64());
  static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; attempt++) {
    std::string name = output_path + ".tmp-";
    for (int i = 0; i < 6; i++) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      name += letters[(state >> 33) % (sizeof letters - 1)];
    }
    if (name.size() >= capacity) return "the path is too long";
    // FILE_SHARE_DELETE: a Ctrl-C handler may remove it while it is open.
    HANDLE h = CreateFileW(tool_long_path(name).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      memcpy(temporary_path, name.c_str(), name.size() + 1);
      out.handle = reinterpret_cast<intptr_t>(h);
      return "";
    }
    error = GetLastError();
  }
  temporary_path[0] = 0;
  return tool_error_text(error);
}

bool host_output_write(host_output& out, const uint8_t* data, size_t length) {
  HANDLE h = reinterpret_cast<HANDLE>(out.handle);
  while (length > 0) {
    DWORD chunk = length > 0x40000000 ? 0x40000000 : DWORD(length), put = 0;
    if (!WriteFile(h, data, chunk, &put, nullptr) || put == 0) return false;
    data += put;
    length -= put;
  }
  return true;
}

bool host_output_write_at(host_output& out, int64_t offset, const uint8_t* data, size_t length) {
  HANDLE h = reinterpret_cast<HANDLE>(out.handle);
  LARGE_INTEGER at, here, zero;
  at.QuadPart = offset;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(h, zero, &here, FILE_CURRENT) ||
      !SetFilePointerEx(h, at, nullptr, FILE_BEGIN))
    return false;
  bool ok = host_output_write(out, data, length);
  return SetFilePointerEx(h, here, nullptr, FILE_BEGIN) && ok;
}

bool host_output_finish(host_output& out) {
  HANDLE h = reinterpret_cast<HANDLE>(out.handle);
  bool ok = FlushFileBuffers(h);
  ok = CloseHandle(h) && ok;
  out.handle = -1;
  return ok;
}

void host_output_discard(host_output& out, const char* temporary_path) {
  if (out.handle != -1) CloseHandle(reinterpret_cast<HANDLE>(out.handle));
  out.handle = -1;
  if (temporary_path[0]) DeleteFileW(tool_long_path(temporary_path).c_str());
}

std::string host_rename_over(const char* temporary_path, const std::string& output_path) {
  if (MoveFileExW(tool_long_path(temporary_path).c_str(), tool_long_path(output_path).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return "";
  return reason();
}
