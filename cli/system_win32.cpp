// The tool's system services in vantrel.exe (cli/system.h), and the console's: arguments come
// as UTF-16 and go on as UTF-8; what the tool prints is UTF-8, written to a console as UTF-16
// (WriteConsoleW) and anywhere else as UTF-8 bytes.
#include <fcntl.h>
#include <io.h>
#include <signal.h>
#include <windows.h>

#include <string.h>

#include <algorithm>
#include <vector>

#include "cli/cli.h"
#include "cli/system.h"
#include "cli/utf8_text.h"
#include "platform/platform_win32_tool.h"

namespace {
bool is_console(DWORD which) {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

// Standard output or error when it is a console: its handle, and the first bytes of a
// character whose remaining bytes are still to come.
struct console_stream {
  int checked = -1;  // -1: not yet; 0: no console; 1: a console
  HANDLE handle = nullptr;
  char held[4] = {};
  size_t held_count = 0;
};
console_stream console_out, console_err;

console_stream* console_of(FILE* stream) {
  console_stream* c = stream == stdout   ? &console_out
                      : stream == stderr ? &console_err
                                         : nullptr;
  if (!c) return nullptr;
  if (c->checked < 0) {
    DWORD which = stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
    c->handle = GetStdHandle(which);
    c->checked = is_console(which) ? 1 : 0;
  }
  return c->checked ? c : nullptr;
}
}  // namespace

// A console shows what WriteConsoleW is given, whatever its code page; bytes written to it
// would be read in its code page (932 in Japan, 437 or 850 elsewhere), and a character split
// between two writes would be lost even under UTF-8.
void write_text(FILE* stream, const std::string& text) {
  console_stream* c = console_of(stream);
  if (!c) {
    fwrite(text.data(), 1, text.size(), stream);
    return;
  }
  fflush(stream);
  std::string bytes(c->held, c->held_count);
  bytes += text;
  size_t whole = utf8_whole_length(bytes.data(), bytes.size());
  c->held_count = bytes.size() - whole;
  memcpy(c->held, bytes.data() + whole, c->held_count);
  bytes.resize(whole);
  std::wstring wide = tool_wide(bytes);
  for (size_t at = 0; at < wide.size();) {
    DWORD n = DWORD(std::min<size_t>(wide.size() - at, 16384)), put = 0;
    if (!WriteConsoleW(c->handle, wide.data() + at, n, &put, nullptr) || put == 0) break;
    at += put;
  }
}

int wmain(int argc, wchar_t** wide_argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; i++)
    arguments.push_back(tool_utf8(wide_argv[i], wcslen(wide_argv[i])));
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Bytes pass unchanged: archives through the pipes, and text with '\n' line ends.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  // The console draws the progress line's escape sequences. Its code page stays the user's:
  // text reaches it as UTF-16 (write_text).
  for (DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    HANDLE h = GetStdHandle(which);
    DWORD mode;
    if (GetConsoleMode(h, &mode)) SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
  int code = vantrel_main(argc, argv.data());
  fflush(nullptr);
  return code;
}

bool stdin_is_terminal() { return is_console(STD_INPUT_HANDLE); }
bool stderr_is_terminal() { return is_console(STD_ERROR_HANDLE); }
bool stdout_is_terminal() { return is_console(STD_OUTPUT_HANDLE); }

bool read_hidden_line(const char* prompt, std::string& line) {
  if (!stdin_is_terminal()) return false;
  write_text(stderr, prompt);
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD saved = 0;
  GetConsoleMode(in, &saved);
  SetConsoleMode(in, (saved | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) &
                         ~DWORD(ENABLE_ECHO_INPUT));
  std::wstring typed;
  bool got = false;
  for (;;) {
    wchar_t c;
    DWORD n = 0;
    if (!ReadConsoleW(in, &c, 1, &n, nullptr) || n == 0) break;
    got = true;
    if (c == L'\n') break;
    if (c != L'\r') typed += c;
  }
  SetConsoleMode(in, saved);
  write_text(stderr, "\n");
  line = tool_utf8(typed);
  return got;
}

double seconds_now() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return double(count.QuadPart) / double(frequency.QuadPart);
}

std::filesystem::path file_path(const std::string& path) {
  return std::filesystem::path(tool_wide(path));
}

FILE* open_file(const std::string& path, const char* mode) {
  return _wfopen(tool_long_path(path).c_str(), tool_wide(mode).c_str());
}

std::string temporary_folder() {
  wchar_t folder[MAX_PATH + 2];
  DWORD n = GetTempPathW(MAX_PATH + 2, folder);
  if (n == 0 || n > MAX_PATH + 1) return ".";
  while (n > 3 && folder[n - 1] == L'\\') n--;
  return tool_utf8(folder, n);
}

bool make_private_folder(const std::string& prefix, std::string& made) {
  for (int attempt = 0; attempt < 100; attempt++) {
    std::string name = prefix + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(GetTickCount64() % 1000000 + attempt);
    if (CreateDirectoryW(tool_long_path(name).c_str(), nullptr)) {
      made = name;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  errno = EACCES;
  return false;
}

void remove_file(const char* path) { DeleteFileW(tool_long_path(path).c_str()); }
void remove_folder(const char* path) { RemoveDirectoryW(tool_long_path(path).c_str()); }
void quick_exit_now(int code) { ExitProcess(UINT(code)); }
// Console events are handled on a thread of their own, where the usual output serves.
void say_on_standard_error(const char* text) {
  write_text(stderr, text);
  fflush(stderr);
}

// Kept in the temporary folder and removed when the process ends (tool_exit, or the normal end).
bool keep_standard_input(std::string& path, std::string& error) {
  std::string folder = temporary_folder();
  std::string name;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; attempt++) {
    name = folder + "\\vantrel-input-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(attempt);
    h = CreateFileW(tool_long_path(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (h == INVALID_HANDLE_VALUE) {
    error = "cannot keep standard input in '" + folder + "': " + tool_error_text(GetLastError());
    return false;
  }
  tool_remove_at_exit(tool_long_path(name));
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  std::vector<char> buffer(1 << 16);
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(in, buffer.data(), DWORD(buffer.size()), &n, nullptr)) {
      DWORD e = GetLastError();
      if (e == ERROR_BROKEN_PIPE) break;
      error = "reading standard input failed: " + tool_error_text(e);
      CloseHandle(h);
      return false;
    }
    if (n == 0) break;
    DWORD put = 0;
    if (!WriteFile(h, buffer.data(), n, &put, nullptr) || put != n) {
      error = "cannot keep standard input in a temporary file: " +
              tool_error_text(GetLastError());
      CloseHandle(h);
      return false;
    }
  }
  CloseHandle(h);
  path = name;
  return true;
}

bool local_time_text(int64_t seconds, char* text, size_t capacity) {
  ULARGE_INTEGER t;
  t.QuadPart = uint64_t(seconds + 11644473600LL) * 10000000ull;
  FILETIME utc, local;
  utc.dwLowDateTime = t.LowPart;
  utc.dwHighDateTime = t.HighPart;
  SYSTEMTIME s;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &s)) return false;
  return snprintf(text, capacity, "%04u-%02u-%02u %02u:%02u:%02u", s.wYear, s.wMonth, s.wDay,
                  s.wHour, s.wMinute, s.wSecond) > 0;
}

namespace {
void (*cancel_handler)(int);
volatile LONG break_pressed;  // the cancel came from Ctrl-Break: its name in the message

// Runs on a thread of its own. Ctrl-C and Ctrl-Break end the tool as SIGINT does on Linux;
// closing the console, logging off or shutting down as SIGHUP and SIGTERM do.
BOOL WINAPI on_console_event(DWORD event) {
  int number = 0;
  switch (event) {
    case CTRL_BREAK_EVENT:
      InterlockedExchange(&break_pressed, 1);
      number = 2;
      break;
    case CTRL_C_EVENT: number = 2; break;
    case CTRL_CLOSE_EVENT: number = 1; break;
    default: number = 15; break;
  }
  if (cancel_handler) cancel_handler(number);
  return TRUE;
}
}  // namespace

void on_cancel(void (*handler)(int number)) {
  cancel_handler = handler;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

const char* cancel_name(int number) {
  switch (number) {
    case 2: return break_pressed ? "Ctrl-Break" : "Ctrl-C";
    case 1: return "closing the console";
    default: return "the system's shutdown";
  }
}

std::string write_error_text(int code) { return tool_error_text(DWORD(code)); }

bool is_link(const std::string& path) {
  DWORD attributes = GetFileAttributesW(tool_long_path(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}
