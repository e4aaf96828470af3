// The seam on POSIX, for the command-line tool and the host tests. Paths arrive in the
// engine's form ('\' separators) and are turned into '/' here; texts are UTF-8 already.
// Message boxes, the status line and the message pump have no system counterpart: the front
// end sets hooks, and without them boxes are printed and answered with the cautious choice.
#include <errno.h>
// glibc's <fcntl.h> has a struct file_handle of its own (name_to_handle_at); keep it out of
// the way of the seam's type.
#define file_handle linux_file_handle
#include <fcntl.h>
#undef file_handle
#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"

namespace {

message_box_hook box_hook;
status_hook status_line_hook;
pump_hook message_pump_hook;
write_hook write_observer;
exit_hook exit_observer;

// Descriptor 0 is a valid file, and 0 means "no file" at the seam: handles are fd + 1.
int fd_of(file_handle f) { return static_cast<int>(f) - 1; }
file_handle from_fd(int fd) { return fd < 0 ? no_file : static_cast<file_handle>(fd) + 1; }

std::string native(const char* path) {
  std::string p = path;
  for (char& c : p)
    if (c == '\\') c = '/';
  return p;
}

// One conversion through iconv; the length of the result, or -1. The zero is not written.
int32_t convert(const char* to, const char* from, const char* source, size_t length,
                char* target, size_t capacity) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
  char* in = const_cast<char*>(source);
  size_t in_left = length;
  char* out = target;
  size_t out_left = capacity;
  size_t r = iconv(cd, &in, &in_left, &out, &out_left);
  if (r != static_cast<size_t>(-1)) r = iconv(cd, nullptr, nullptr, &out, &out_left);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1) || in_left != 0) return -1;
  return static_cast<int32_t>(capacity - out_left);
}

bool has_zero(const char* s, size_t n) { return memchr(s, 0, n) != nullptr; }

}  // namespace

// ---- Text ------------------------------------------------------------------------------------
// glibc's "CP932" is the table Windows uses for code page 932: 0x5C is the backslash and
// 0x83 0x5C the katakana so ("SHIFT_JIS" would make 0x5C a yen sign).

int32_t platform_cp932_to_utf8(const uint8_t* source, size_t length, char* target,
                               size_t capacity) {
  const char* s = reinterpret_cast<const char*>(source);
  if (capacity == 0 || has_zero(s, length)) return -1;
  int32_t n = convert("UTF-8", "CP932", s, length, target, capacity - 1);
  if (n < 0) return -1;
  target[n] = 0;
  return n;
}

int32_t platform_utf8_to_cp932(const char* source, size_t length, uint8_t* target,
                               size_t capacity) {
  char* t = reinterpret_cast<char*>(target);
  if (capacity == 0 || has_zero(source, length)) return -1;
  int32_t n = convert("CP932", "UTF-8", source, length, t, capacity - 1);
  if (n < 0) return -1;
  // glibc maps some characters to look-alikes (U+00A5 YEN SIGN to 0x5C, the separator;
  // U+2014 to 0x815C, which reads back as U+2015). Only what reads back as itself counts,
  // as on Windows with WC_NO_BEST_FIT_CHARS.
  std::string back(length + 1, '\0');
  int32_t m = convert("UTF-8", "CP932", t, static_cast<size_t>(n), back.data(), back.size());
  if (m < 0 || static_cast<size_t>(m) != length || memcmp(back.data(), source, length) != 0)
    return -1;
  target[n] = 0;
  return n;
}

// ---- Files -----------------------------------------------------------------------------------

file_handle platform_open_read(const char* path) {
  return from_fd(open(native(path).c_str(), O_RDONLY | O_CLOEXEC));
}

file_handle platform_open_own_file() {
  char path[4096];
  if (platform_module_path(path, sizeof path) == 0) return no_file;
  return platform_open_read(path);
}

file_handle platform_create_file(const char* path) {
  return from_fd(open(native(path).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
}

int32_t platform_read(file_handle f, void* buffer, int32_t count) {
  if (f == no_file || count < 0) return -1;
  // A short read from read(2) is not the end of the file; keep going until it is.
  int32_t got = 0;
  while (got < count) {
    ssize_t r = read(fd_of(f), static_cast<char*>(buffer) + got, static_cast<size_t>(count - got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<int32_t>(r);
  }
  return got;
}

bool platform_write(file_handle f, const void* buffer, int32_t count) {
  bool ok = f != no_file && count >= 0;
  int32_t put = 0;
  while (ok && put < count) {
    ssize_t r =
        write(fd_of(f), static_cast<const char*>(buffer) + put, static_cast<size_t>(count - put));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) ok = false;
    else put += static_cast<int32_t>(r);
  }
  if (write_observer) write_observer(f, buffer, count);
  return ok;
}

int64_t platform_file_size(file_handle f) {
  struct stat st;
  if (f == no_file || fstat(fd_of(f), &st) != 0) return -1;
  return st.st_size;
}

int64_t platform_file_position(file_handle f) {
  if (f == no_file) return -1;
  off_t p = lseek(fd_of(f), 0, SEEK_CUR);
  return p < 0 ? -1 : p;
}

bool platform_seek(file_handle f, int64_t offset) {
  return f != no_file && offset >= 0 && lseek(fd_of(f), offset, SEEK_SET) == offset;
}

bool platform_close(file_handle f) { return f != no_file && close(fd_of(f)) == 0; }

bool platform_delete_file(const char* path) { return unlink(native(path).c_str()) == 0; }

// ---- Folders and entries ---------------------------------------------------------------------

entry_kind platform_look_up(const char* path) {
  struct stat st;
  if (stat(native(path).c_str(), &st) != 0) return entry_none;
  return S_ISDIR(st.st_mode) ? entry_folder : entry_other;
}

bool platform_create_folder(const char* path) {
  return mkdir(native(path).c_str(), 0777) == 0;
}

namespace {
// FILETIME to a timespec. 0 (and all ones) leave the time as it is, as Windows does.
timespec to_timespec(uint64_t filetime) {
  if (filetime == 0 || filetime == ~uint64_t{0}) return {0, UTIME_OMIT};
  constexpr int64_t unix_epoch = 116444736000000000;  // 1970-01-01 in FILETIME units
  int64_t t = static_cast<int64_t>(filetime) - unix_epoch;
  int64_t seconds = t / 10000000, rest = t % 10000000;
  if (rest < 0) seconds--, rest += 10000000;
  return {static_cast<time_t>(seconds), static_cast<long>(rest * 100)};
}
}  // namespace

bool platform_set_file_times(file_handle f, uint64_t, uint64_t last_access, uint64_t last_write) {
  if (f == no_file) return false;
  timespec times[2] = {to_timespec(last_access), to_timespec(last_write)};
  return futimens(fd_of(f), times) == 0;
}

// ---- User interface --------------------------------------------------------------------------

void platform_set_message_box_hook(message_box_hook hook) { box_hook = hook; }
void platform_set_status_hook(status_hook hook) { status_line_hook = hook; }
void platform_set_pump_hook(pump_hook hook) { message_pump_hook = hook; }
void platform_set_write_hook(write_hook hook) { write_observer = hook; }
void platform_set_exit_hook(exit_hook hook) { exit_observer = hook; }

int platform_message_box(void* owner, const char* caption, const char* text, unsigned flags) {
  if (box_hook) return box_hook(owner, caption, text, flags);
  fflush(stdout);
  fprintf(stderr, "%s: %s\n", caption, text);
  // Nobody to ask: take the answer that changes nothing.
  switch (flags & 0x0F) {
    case mb_yesno: return id_no;
    case mb_yesnocancel: return id_cancel;
    default: return id_ok;
  }
}

void platform_set_status(const char* text) {
  if (status_line_hook) status_line_hook(text);
}

void platform_pump_one_message() {
  if (message_pump_hook) message_pump_hook();
}

// ---- Process ---------------------------------------------------------------------------------

size_t platform_module_path(char* buffer, size_t capacity) {
  if (capacity == 0) return 0;
  ssize_t n = readlink("/proc/self/exe", buffer, capacity);
  if (n <= 0 || static_cast<size_t>(n) >= capacity) return 0;
  buffer[n] = 0;
  // Back to the engine's form, whose path walks look for '\'.
  for (ssize_t i = 0; i < n; i++)
    if (buffer[i] == '/') buffer[i] = '\\';
  return static_cast<size_t>(n);
}

// Ends the process from wherever the failure struck, deep inside the engine: static
// destructors of the front end must not run under frames that still use those objects, so
// _exit, after flushing what was printed. The same on every path, death tests included.
void platform_exit(int code) {
  if (exit_observer) exit_observer(code);
  fflush(nullptr);
  _exit(code);
}
