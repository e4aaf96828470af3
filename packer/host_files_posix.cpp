// The packer's system calls on Linux (packer/host_files.h).
#include "packer/host_files.h"

#include <dirent.h>
#include <errno.h>
#include <sched.h>
#include <stdlib.h>
// glibc's <fcntl.h> has a struct file_handle of its own (name_to_handle_at); keep it out of
// the way of the seam's type.
#define file_handle linux_file_handle
#include <fcntl.h>
#undef file_handle
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "packer/pack_tree.h"

namespace {
std::string reason() { return strerror(errno); }

// Opening without O_NOATIME keeps a second pack of the same tree identical to the first; the
// flag is refused for files of other users, which are then opened as usual.
int open_quietly(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOATIME | O_CLOEXEC);
  if (fd < 0 && errno == EPERM) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  return fd;
}
}  // namespace

std::string host_look_at(const std::string& path, host_entry& e) {
  struct statx sx;
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
    return reason();
  e = host_entry{};
  e.is_folder = S_ISDIR(sx.stx_mode);
  e.is_regular = S_ISREG(sx.stx_mode);
  e.size = int64_t(sx.stx_size);
  e.last_write_time = filetime_of(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
  e.last_access_time = filetime_of(sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec);
  e.has_creation_time = (sx.stx_mask & STATX_BTIME) != 0;
  if (e.has_creation_time)
    e.creation_time = filetime_of(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec);
  e.volume = (uint64_t(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
  e.index = sx.stx_ino;
  return "";
}

std::string host_list_folder(const std::string& path, std::vector<std::string>& names) {
  DIR* d = opendir(path.c_str());
  if (!d) return reason();
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    names.push_back(e->d_name);
  }
  closedir(d);
  return "";
}

std::string host_check_readable(const std::string& path) {
  int fd = open_quietly(path);
  if (fd < 0) return reason();
  close(fd);
  return "";
}

std::string host_read_file(const std::string& path, std::vector<uint8_t>& data, int64_t limit,
                           bool& too_large) {
  too_large = false;
  int fd = open_quietly(path);
  if (fd < 0) return reason();
  struct stat st;
  data.clear();
  if (fstat(fd, &st) == 0 && st.st_size > 0 && st.st_size <= limit)
    data.reserve(size_t(st.st_size));
  uint8_t buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::string e = reason();
      close(fd);
      return e;
    }
    if (n == 0) break;
    data.insert(data.end(), buffer, buffer + n);
    if (int64_t(data.size()) >= limit) {
      too_large = true;
      break;
    }
  }
  close(fd);
  return "";
}

int host_processor_count() {
  cpu_set_t cpus;
  return sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 0;
}

std::string host_output_create(const std::string& output_path, char* temporary_path,
                               size_t capacity, host_output& out) {
  std::string pattern = output_path + ".tmp-XXXXXX";
  if (pattern.size() >= capacity) return "the path is too long";
  memcpy(temporary_path, pattern.c_str(), pattern.size() + 1);
  int fd = mkstemp(temporary_path);
  if (fd < 0) {
    temporary_path[0] = 0;
    return reason();
  }
  out.handle = fd;
  return "";
}

bool host_output_write(host_output& out, const uint8_t* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(int(out.handle), data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= size_t(n);
  }
  return true;
}

bool host_output_write_at(host_output& out, int64_t offset, const uint8_t* data, size_t length) {
  return pwrite(int(out.handle), data, length, off_t(offset)) == ssize_t(length);
}

bool host_output_finish(host_output& out) {
  // mkstemp made the file for its owner only; an archive gets what any new file gets.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(int(out.handle), 0666 & ~mask);
  bool ok = fsync(int(out.handle)) == 0;
  ok = close(int(out.handle)) == 0 && ok;
  out.handle = -1;
  return ok;
}

void host_output_discard(host_output& out, const char* temporary_path) {
  if (out.handle >= 0) close(int(out.handle));
  out.handle = -1;
  if (temporary_path[0]) unlink(temporary_path);
}

std::string host_rename_over(const char* temporary_path, const std::string& output_path) {
  return rename(temporary_path, output_path.c_str()) == 0 ? "" : reason();
}
