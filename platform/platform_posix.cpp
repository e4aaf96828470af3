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
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_posix.h"

namespace {

message_box_hook box_hook;
status_hook status_line_hook;
pump_hook message_pump_hook;
write_hook write_observer;

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

// ---- Confinement below the destination ----------------------------------------------------
// Set by platform_confine_below; until then every path is used as it stands.
int root_folder = -1;        // the destination, opened through whatever links lead to it
std::string root_path;       // its path as the engine spells it, without a final '/'

// The member file being written below the destination: a temporary file beside its final
// name. After the close, `path` is kept so that the engine's delete of that member (after a
// cancel or a failed close) is recognised.
struct pending_member {
  int fd = -1;
  int folder = -1;
  std::string temporary, final_name, path;
  bool times_set = false;
  bool closed = false;
};
pending_member pending;
volatile sig_atomic_t output_abandoned;
int last_write_error;

enum placement { outside_root, the_root, below_root, refused_path };

// Where a native path lies; below the root, parts receives its components.
placement place_of(const std::string& p, std::vector<std::string>& parts) {
  parts.clear();
  if (root_folder < 0) return outside_root;
  size_t n = root_path.size();
  if (p.compare(0, n, root_path) != 0 || (p.size() > n && p[n] != '/')) return outside_root;
  for (size_t at = n; at < p.size();) {
    size_t end = p.find('/', at);
    if (end == std::string::npos) end = p.size();
    if (end > at) parts.push_back(p.substr(at, end - at));
    at = end + 1;
  }
  if (parts.empty()) return the_root;
  for (const std::string& part : parts)
    if (part == "." || part == "..") return refused_path;
  return below_root;
}

// Opens the folder that holds the last of parts, one real folder at a time from the root;
// a symbolic link (or anything else that is not a folder) on the way fails. The caller closes
// the descriptor; -1 on a failure.
int open_parent(const std::vector<std::string>& parts) {
  int folder = fcntl(root_folder, F_DUPFD_CLOEXEC, 0);
  for (size_t i = 0; folder >= 0 && i + 1 < parts.size(); i++) {
    int next = openat(folder, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (next >= 0 && (fstat(next, &st) != 0 || !S_ISDIR(st.st_mode))) {
      close(next);
      next = -1;
      errno = ENOTDIR;
    }
    int saved = errno;
    close(folder);
    errno = saved;
    folder = next;
  }
  return folder;
}

void close_quietly(int fd) {
  int saved = errno;
  if (fd >= 0) close(fd);
  errno = saved;
}

// A name no member is given by this tool's own doing: the fixed prefix and random letters.
int create_temporary(int folder, std::string& name) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  static uint64_t state = uint64_t(getpid()) * 0x9E3779B97F4A7C15ull ^ uint64_t(time(nullptr));
  for (int attempt = 0; attempt < 100; attempt++) {
    name = temporary_file_prefix;
    for (int i = 0; i < 10; i++) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      name += letters[(state >> 33) % (sizeof letters - 1)];
    }
    int fd = openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Runs op(folder, name) on the folder that holds the last of parts, reached as open_parent
// reaches it; false when that folder cannot be reached.
template <typename Op>
bool in_parent(const std::vector<std::string>& parts, Op op) {
  int folder = open_parent(parts);
  if (folder < 0) return false;
  bool ok = op(folder, parts.back().c_str());
  close_quietly(folder);
  return ok;
}

bool is_pending(file_handle f) { return f != no_file && pending.fd >= 0 && fd_of(f) == pending.fd; }

}  // namespace

bool platform_confine_below(const char* destination) {
  std::string p = destination;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  int fd = open(p.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  if (root_folder >= 0) close(root_folder);
  root_folder = fd;
  root_path = p == "/" ? "" : p;
  return true;
}

void platform_abandon_output() { output_abandoned = 1; }

int platform_last_write_error() { return last_write_error; }

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
  std::string p = native(path);
  std::vector<std::string> parts;
  placement place = place_of(p, parts);
  if (place == outside_root)
    return from_fd(open(p.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (place != below_root || pending.fd >= 0) {
    last_write_error = place == the_root ? EISDIR : EINVAL;
    return no_file;
  }
  int folder = open_parent(parts);
  if (folder < 0) {
    last_write_error = errno;
    return no_file;
  }
  // What stands under the final name now is replaced by the rename, never written through;
  // a link or a folder there is not replaced either.
  struct stat st;
  if (fstatat(folder, parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      (S_ISLNK(st.st_mode) || S_ISDIR(st.st_mode))) {
    last_write_error = S_ISDIR(st.st_mode) ? EISDIR : ELOOP;
    close(folder);
    return no_file;
  }
  std::string temporary;
  int fd = create_temporary(folder, temporary);
  if (fd < 0) {
    last_write_error = errno;
    close(folder);
    return no_file;
  }
  pending = pending_member{};
  pending.fd = fd;
  pending.folder = folder;
  pending.temporary = temporary;
  pending.final_name = parts.back();
  pending.path = p;
  return from_fd(fd);
}

// The member is written to a temporary file and renamed at its close in any case, so the
// look-up here only decides whether the caller must ask first.
file_handle platform_create_new_file(const char* path) {
  return platform_look_up(path) == entry_none ? platform_create_file(path) : no_file;
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
    if (r <= 0) {
      ok = false;
      if (is_pending(f)) last_write_error = r < 0 ? errno : ENOSPC;
    } else {
      put += static_cast<int32_t>(r);
    }
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

// A member below the destination is put in place here: renamed over its final name when it
// closed cleanly, its times were set (the last step of a complete member) and nothing asked
// for output to be abandoned; otherwise the temporary file goes and an earlier file stays.
// An abandoned or unfinished member still reports a clean close, so that the engine goes on
// to its own cancel or failure; a failed rename reports a failed close.
bool platform_close(file_handle f) {
  if (!is_pending(f)) return f != no_file && close(fd_of(f)) == 0;
  bool closed = close(pending.fd) == 0;
  if (!closed) last_write_error = errno;
  pending.fd = -1;
  pending.closed = true;
  bool put = false;
  if (closed && pending.times_set && !output_abandoned) {
    put = renameat(pending.folder, pending.temporary.c_str(), pending.folder,
                   pending.final_name.c_str()) == 0;
    if (!put) {
      last_write_error = errno;
      closed = false;
    }
  }
  if (!put) unlinkat(pending.folder, pending.temporary.c_str(), 0);
  close_quietly(pending.folder);
  pending.folder = -1;
  return closed;
}

bool platform_delete_file(const char* path) {
  std::string p = native(path);
  // The member just closed: either its temporary file is gone already, or it was put in
  // place whole before a cancel arrived and stays.
  if (pending.closed && p == pending.path) {
    pending = pending_member{};
    return true;
  }
  std::vector<std::string> parts;
  placement place = place_of(p, parts);
  if (place == outside_root) return unlink(p.c_str()) == 0;
  if (place != below_root) return false;
  return in_parent(parts, [](int folder, const char* name) {
    return unlinkat(folder, name, 0) == 0;
  });
}

// ---- Folders and entries ---------------------------------------------------------------------

// Below the destination an entry is what stands under its name: a symbolic link, dangling
// or not, is an entry other than a folder. A path whose folders cannot be walked has no entry;
// making its folders then names the one in the way.
entry_kind platform_look_up(const char* path) {
  std::string p = native(path);
  std::vector<std::string> parts;
  placement place = place_of(p, parts);
  struct stat st;
  if (place == refused_path) return entry_other;
  if (place != below_root) {
    if (stat(p.c_str(), &st) != 0) return entry_none;
    return S_ISDIR(st.st_mode) ? entry_folder : entry_other;
  }
  if (!in_parent(parts, [&st](int folder, const char* name) {
        return fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
      }))
    return entry_none;
  return S_ISDIR(st.st_mode) ? entry_folder : entry_other;
}

bool platform_create_folder(const char* path) {
  std::string p = native(path);
  std::vector<std::string> parts;
  placement place = place_of(p, parts);
  if (place == outside_root || place == the_root) return mkdir(p.c_str(), 0777) == 0;
  if (place != below_root) return false;
  return in_parent(parts, [](int folder, const char* name) {
    return mkdirat(folder, name, 0777) == 0;
  });
}

namespace {
// FILETIME to a timespec. 0 (and all ones) leave the time as it is, as Windows does. So does a
// value past the last FILETIME Windows takes (a signed count, ending in the year 30828), which
// only a damaged or hostile archive holds: read as signed it would be a date before 1601.
timespec to_timespec(uint64_t filetime) {
  if (filetime == 0 || filetime > uint64_t{INT64_MAX}) return {0, UTIME_OMIT};
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
  bool ok = futimens(fd_of(f), times) == 0;
  if (is_pending(f)) {
    pending.times_set = ok;
    if (!ok) last_write_error = errno;
  }
  return ok;
}

// ---- User interface --------------------------------------------------------------------------

void platform_set_message_box_hook(message_box_hook hook) { box_hook = hook; }
void platform_set_status_hook(status_hook hook) { status_line_hook = hook; }
void platform_set_pump_hook(pump_hook hook) { message_pump_hook = hook; }
void platform_set_write_hook(write_hook hook) { write_observer = hook; }

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
  fflush(nullptr);
  _exit(code);
}
