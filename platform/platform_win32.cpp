// The seam on Win32, for the stub and the Windows tests. Paths and texts arrive as UTF-8 and
// go to the wide API as UTF-16, so that names and messages are right whatever the system's
// ANSI code page is. This file goes into the stub: fixed buffers, no C runtime, no
// constructors. The hooks of platform.h exist only with VANTREL_TEST_HOOKS (the Windows
// tests) and in vantrel.exe (VANTREL_TOOL, whose build also routes paths of any length and the
// member files through platform_win32_tool.cpp); the stub has none of it.
#include <windows.h>

#include "engine/cp932.h"
#include "platform/platform.h"
#include "platform/platform_win32.h"
#if VANTREL_TOOL
#include "platform/platform_win32_tool.h"
#endif

namespace {

// Wide scratch space for the texts and paths of one call. The longest text that crosses the
// seam is a message text (32768 CP932 bytes, at most as many UTF-16 units) with a little
// around it; a path is far shorter. Single-threaded, so one pair serves every call.
constexpr size_t wide_capacity = 36864;
wchar_t wide_a[wide_capacity];
wchar_t wide_b[wide_capacity];

#if VANTREL_TEST_HOOKS || VANTREL_TOOL
message_box_hook box_hook;
status_hook status_line_hook;
pump_hook message_pump_hook;
write_hook write_observer;
#endif
HWND status_window;
// The status line's text waiting to be shown (platform_set_status): a stage's words and a path.
constexpr size_t status_capacity = 8192;
constexpr DWORD status_interval_ms = 50;
wchar_t status_text[status_capacity];
bool status_pending;
DWORD status_shown_at;
// The message pump during a run (platform_pump_one_message).
constexpr DWORD pump_interval_ms = 10;
constexpr int pump_batch = 32;
DWORD pumped_at;

constexpr UINT cp932 = 932;

HANDLE handle_of(file_handle f) { return reinterpret_cast<HANDLE>(f); }

file_handle from_handle(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? no_file : reinterpret_cast<file_handle>(h);
}

// The path as UTF-16 in wide_a, or nullptr when it is not valid UTF-8 or too long.
const wchar_t* wide_path(const char* path) {
#if VANTREL_TOOL
  return tool_seam_path(path, wide_a, wide_capacity);
#endif
  size_t n = 0;
  while (path[n]) n++;
  return platform_win32_utf8_to_wide(path, n, wide_a, wide_capacity) < 0 ? nullptr : wide_a;
}

// The structure of code page 932 (engine/cp932.h). The system's table maps the single bytes
// that are no character to private characters; the POSIX side's table rejects them, and so do
// we, so that both sides agree on what is damage. A zero byte inside the text is not a
// character of a name or message either.
bool valid_cp932(const uint8_t* s, size_t n) {
  for (size_t i = 0; i < n; i++) {
    uint8_t b = s[i];
    if (cp932_is_lead(b)) {
      if (++i == n || !cp932_is_trail(s[i])) return false;
    } else if (b == 0 || cp932_is_unassigned_single(b)) {
      return false;
    }
  }
  return true;
}

// CP932 to UTF-16 in target; the unit count, or -1.
int32_t cp932_to_wide(const uint8_t* source, size_t length, wchar_t* target, size_t capacity) {
  if (!valid_cp932(source, length) || length > 0x7FFFFFFF || capacity > 0x7FFFFFFF) return -1;
  int n = MultiByteToWideChar(cp932, MB_ERR_INVALID_CHARS, reinterpret_cast<LPCCH>(source),
                              static_cast<int>(length), target, static_cast<int>(capacity));
  return n > 0 ? n : -1;
}

}  // namespace

// ---- Text ------------------------------------------------------------------------------------

// The checks both UTF-8 conversions make before calling the system: 1 when the text is to
// be converted, 0 when it was empty (target holds just its zero), -1 when it cannot be. A
// non-empty text needs room beyond its zero; the system reads a room of 0 as "how much
// would it take?" and writes nothing. An embedded zero would end the text early.
template <typename From, typename To>
static int conversion_start(const From* source, size_t length, To* target, size_t capacity) {
  if (capacity == 0 || length > 0x7FFFFFFF) return -1;
  if (length == 0) {
    target[0] = 0;
    return 0;
  }
  if (capacity < 2) return -1;
  for (size_t i = 0; i < length; i++)
    if (source[i] == 0) return -1;
  return 1;
}

int32_t platform_win32_utf8_to_wide(const char* source, size_t length, wchar_t* target,
                                    size_t capacity) {
  int start = conversion_start(source, length, target, capacity);
  if (start <= 0) return start;
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, source, static_cast<int>(length),
                              target, static_cast<int>(capacity - 1));
  if (n <= 0) return -1;
  target[n] = 0;
  return n;
}

int32_t platform_win32_wide_to_utf8(const wchar_t* source, size_t length, char* target,
                                    size_t capacity) {
  int start = conversion_start(source, length, target, capacity);
  if (start <= 0) return start;
  int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, source, static_cast<int>(length),
                              target, static_cast<int>(capacity - 1), nullptr, nullptr);
  if (n <= 0) return -1;
  target[n] = 0;
  return n;
}

int32_t platform_cp932_to_utf8(const uint8_t* source, size_t length, char* target,
                               size_t capacity) {
  if (capacity == 0) return -1;
  if (length == 0) {
    target[0] = 0;
    return 0;
  }
  int32_t n = cp932_to_wide(source, length, wide_b, wide_capacity);
  if (n < 0) return -1;
  return platform_win32_wide_to_utf8(wide_b, static_cast<size_t>(n), target, capacity);
}

int32_t platform_utf8_to_cp932(const char* source, size_t length, uint8_t* target,
                               size_t capacity) {
  if (capacity == 0) return -1;
  if (length == 0) {
    target[0] = 0;
    return 0;
  }
  if (capacity < 2) return -1;
  int32_t n = platform_win32_utf8_to_wide(source, length, wide_a, wide_capacity);
  if (n < 0) return -1;
  // No best fit: a character without its own code must fail rather than become a look-alike
  // (a yen sign would become the separator 0x5C).
  BOOL used_default = FALSE;
  int m = WideCharToMultiByte(cp932, WC_NO_BEST_FIT_CHARS, wide_a, n,
                              reinterpret_cast<LPSTR>(target), static_cast<int>(capacity - 1),
                              nullptr, &used_default);
  if (m <= 0 || used_default) return -1;
  // Only what reads back as itself counts: the table also writes codes (0x80, 0xA0, 0xFD-0xFF)
  // that the other direction refuses.
  int32_t back = cp932_to_wide(target, static_cast<size_t>(m), wide_b, wide_capacity);
  if (back != n) return -1;
  for (int32_t i = 0; i < n; i++)
    if (wide_a[i] != wide_b[i]) return -1;
  target[m] = 0;
  return m;
}

// ---- Files -----------------------------------------------------------------------------------

file_handle platform_open_read(const char* path) {
  const wchar_t* w = wide_path(path);
  if (!w) return no_file;
#if VANTREL_TOOL
  // The tool deletes the file it keeps standard input in as it ends, while this is still open.
  constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_DELETE;
#else
  constexpr DWORD share = FILE_SHARE_READ;
#endif
  return from_handle(CreateFileW(w, GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
}

file_handle platform_open_own_file() {
  char path[4096];
  if (platform_module_path(path, sizeof path) == 0) return no_file;
  return platform_open_read(path);
}

static file_handle create_member(const char* path, DWORD disposition) {
#if VANTREL_TOOL
  return tool_create_member(path, disposition == CREATE_NEW);
#endif
  const wchar_t* w = wide_path(path);
  if (!w) return no_file;
  return from_handle(CreateFileW(w, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

file_handle platform_create_file(const char* path) { return create_member(path, CREATE_ALWAYS); }

file_handle platform_create_new_file(const char* path) { return create_member(path, CREATE_NEW); }

int32_t platform_read(file_handle f, void* buffer, int32_t count) {
  if (f == no_file || count < 0) return -1;
  DWORD got = 0;
  if (!ReadFile(handle_of(f), buffer, static_cast<DWORD>(count), &got, nullptr)) return -1;
  return static_cast<int32_t>(got);
}

bool platform_write(file_handle f, const void* buffer, int32_t count) {
  bool ok = false;
  if (f != no_file && count >= 0) {
    DWORD put = 0;
    ok = WriteFile(handle_of(f), buffer, static_cast<DWORD>(count), &put, nullptr) &&
         put == static_cast<DWORD>(count);
  }
#if VANTREL_TEST_HOOKS || VANTREL_TOOL
  if (write_observer) write_observer(f, buffer, count);
#endif
  return ok;
}

int64_t platform_file_size(file_handle f) {
  LARGE_INTEGER size;
  if (f == no_file || !GetFileSizeEx(handle_of(f), &size)) return -1;
  return size.QuadPart;
}

int64_t platform_file_position(file_handle f) {
  LARGE_INTEGER zero, position;
  zero.QuadPart = 0;
  if (f == no_file || !SetFilePointerEx(handle_of(f), zero, &position, FILE_CURRENT)) return -1;
  return position.QuadPart;
}

bool platform_seek(file_handle f, int64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = offset;
  return f != no_file && offset >= 0 && SetFilePointerEx(handle_of(f), to, nullptr, FILE_BEGIN);
}

bool platform_close(file_handle f) {
#if VANTREL_TOOL
  bool handled;
  bool closed = tool_close(f, handled);
  if (handled) return closed;
#endif
  return f != no_file && CloseHandle(handle_of(f));
}

bool platform_delete_file(const char* path) {
#if VANTREL_TOOL
  bool handled;
  if (tool_delete_file(path, handled) || handled) return true;
#endif
  const wchar_t* w = wide_path(path);
  return w && DeleteFileW(w);
}

// ---- Folders and entries ---------------------------------------------------------------------

entry_kind platform_look_up(const char* path) {
  const wchar_t* w = wide_path(path);
  if (!w) return entry_none;
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW(w, &found);
  if (h == INVALID_HANDLE_VALUE) return entry_none;
  FindClose(h);
  return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? entry_folder : entry_other;
}

bool platform_create_folder(const char* path) {
#if VANTREL_TOOL
  if (!tool_folder_allowed(path)) return false;
#endif
  const wchar_t* w = wide_path(path);
  return w && CreateDirectoryW(w, nullptr);
}

bool platform_set_file_times(file_handle f, uint64_t creation, uint64_t last_access,
                             uint64_t last_write) {
  if (f == no_file) return false;
  FILETIME c, a, w;
  c.dwLowDateTime = static_cast<DWORD>(creation);
  c.dwHighDateTime = static_cast<DWORD>(creation >> 32);
  a.dwLowDateTime = static_cast<DWORD>(last_access);
  a.dwHighDateTime = static_cast<DWORD>(last_access >> 32);
  w.dwLowDateTime = static_cast<DWORD>(last_write);
  w.dwHighDateTime = static_cast<DWORD>(last_write >> 32);
  bool ok = SetFileTime(handle_of(f), &c, &a, &w);
#if VANTREL_TOOL
  tool_times_set(f, ok);
#endif
  return ok;
}

// ---- User interface --------------------------------------------------------------------------

#if VANTREL_TEST_HOOKS || VANTREL_TOOL
void platform_set_message_box_hook(message_box_hook hook) { box_hook = hook; }
void platform_set_status_hook(status_hook hook) { status_line_hook = hook; }
void platform_set_pump_hook(pump_hook hook) { message_pump_hook = hook; }
void platform_set_write_hook(write_hook hook) { write_observer = hook; }
#endif
void platform_win32_set_status_window(void* hwnd) { status_window = static_cast<HWND>(hwnd); }

// The status line shows the newest text, but is redrawn at most once per status_interval_ms:
// in a run of small files, drawing every name cost about as much as writing the files. A text
// not yet shown goes up at a later pump once the interval is over, and before any box, so
// what stands there while the user is asked or told something is always the latest.
// Milliseconds, wrapping, from the system clock. Not GetTickCount: under Wine that is kept by
// the window system's server, and stands still while a program decodes without calling it.
static DWORD now_ms() {
  FILETIME t;
  GetSystemTimeAsFileTime(&t);
  return t.dwLowDateTime / 10000;
}

static void show_pending_status(bool now) {
  if (!status_pending) return;
  DWORD time = now_ms();
  if (!now && time - status_shown_at < status_interval_ms) return;
  status_pending = false;
  status_shown_at = time;
  SetWindowTextW(status_window, status_text);
}

int platform_message_box(void* owner, const char* caption, const char* text, unsigned flags) {
  show_pending_status(true);
#if VANTREL_TEST_HOOKS || VANTREL_TOOL
  if (box_hook) return box_hook(owner, caption, text, flags);
#endif
  size_t nc = 0, nt = 0;
  while (caption[nc]) nc++;
  while (text[nt]) nt++;
  // A text that cannot be converted still gets its box: the question must be asked.
  if (platform_win32_utf8_to_wide(caption, nc, wide_a, wide_capacity) < 0) wide_a[0] = 0;
  if (platform_win32_utf8_to_wide(text, nt, wide_b, wide_capacity) < 0) wide_b[0] = 0;
  return MessageBoxW(static_cast<HWND>(owner), wide_b, wide_a, flags);
}

void platform_set_status(const char* text) {
#if VANTREL_TEST_HOOKS || VANTREL_TOOL
  if (status_line_hook) {
    status_line_hook(text);
    return;
  }
#endif
  if (!status_window) return;
  size_t n = 0;
  while (text[n]) n++;
  if (platform_win32_utf8_to_wide(text, n, status_text, status_capacity) < 0) status_text[0] = 0;
  status_pending = true;
  show_pending_status(false);
}

void platform_pump_one_message() {
#if VANTREL_TEST_HOOKS || VANTREL_TOOL
  if (message_pump_hook) {
    message_pump_hook();
    return;
  }
#endif
  // Looking at the queue is a round trip to the window system; once per pump_interval_ms is
  // as often as a person or a redraw can tell, and then whatever is waiting is taken.
  DWORD time = now_ms();
  if (time - pumped_at < pump_interval_ms) return;
  pumped_at = time;
  show_pending_status(false);
  MSG message;
  for (int n = 0; n < pump_batch && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE); n++) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

// ---- Process ---------------------------------------------------------------------------------

size_t platform_module_path(char* buffer, size_t capacity) {
  DWORD n = GetModuleFileNameW(nullptr, wide_b, static_cast<DWORD>(wide_capacity));
  if (n == 0 || n >= wide_capacity) return 0;
  int32_t m = platform_win32_wide_to_utf8(wide_b, n, buffer, capacity);
  return m < 0 ? 0 : static_cast<size_t>(m);
}

void platform_exit(int code) {
#if VANTREL_TOOL
  tool_exit(code);
#endif
  ExitProcess(static_cast<UINT>(code));
}

void platform_win32_restrict_dll_search() {
  typedef BOOL(WINAPI * set_default_dll_directories)(DWORD);
  auto set_default = reinterpret_cast<set_default_dll_directories>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (set_default && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  SetDllDirectoryW(L"");
}
