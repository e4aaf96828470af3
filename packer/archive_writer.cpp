#include "packer/archive_writer.h"

#include <algorithm>
#include <errno.h>
// glibc's <fcntl.h> has a struct file_handle of its own (name_to_handle_at); keep it out of
// the way of the seam's type.
#define file_handle linux_file_handle
#include <fcntl.h>
#undef file_handle
#include <map>
#include <memory>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/stub_size.h"
#include "packer/member_encoder.h"
#include "packer/pack_names.h"

// Kept in static storage so that a signal handler may read it.
static char temporary_path[4096];

const char* pack_temporary_path() { return temporary_path; }

static bool is_folder_entry(const std::vector<uint8_t>& name) {
  return name.size() >= 2 && name[name.size() - 2] == '\\' && name.back() == '.';
}

// The UTF-8 form of a stored name for messages, '/' separated, without a folder entry's ".".
static std::string shown_name(const std::vector<uint8_t>& stored) {
  std::vector<uint8_t> name(stored.begin(), stored.end() - (is_folder_entry(stored) ? 2 : 0));
  std::string out;
  if (!cp932_to_utf8(name, out)) return std::string(name.begin(), name.end());
  // Only real separators are 0x5C here: UTF-8 has no 0x5C inside a character.
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

// '<name>' followed by text; built by appending (GCC 12 warns falsely about literal + string).
static std::string about(const std::vector<uint8_t>& stored, const char* text,
                         const std::string& more = "") {
  std::string out = "'";
  out.append(shown_name(stored)).append("'").append(text).append(more);
  return out;
}

std::string order_and_check_members(std::vector<pack_member>& members) {
  std::vector<std::string> problems = order_and_check_all_members(members);
  return problems.empty() ? "" : problems[0];
}

std::vector<std::string> order_and_check_all_members(std::vector<pack_member>& members) {
  if (members.empty()) return {"nothing to pack (an archive needs at least one member)"};
  std::vector<std::string> problems;
  for (pack_member& m : members) {
    if (m.is_folder != is_folder_entry(m.stored_name)) {
      problems.push_back(
          about(m.stored_name, ": a folder entry must end in \\. and only a folder entry may"));
      continue;
    }
    std::string problem = stored_name_problem(m.stored_name);
    if (!problem.empty()) problems.push_back(about(m.stored_name, ": ", problem));
  }
  std::stable_sort(members.begin(), members.end(),
                   [](const pack_member& a, const pack_member& b) {
                     return compare_stored_names(a.stored_name, b.stored_name) < 0;
                   });
  // The same member reached twice (a folder and a file inside it both named on the command
  // line) is stored once.
  std::vector<pack_member> kept;
  for (pack_member& m : members) {
    if (!kept.empty() && kept.back().stored_name == m.stored_name &&
        kept.back().source == m.source && kept.back().data == m.data)
      continue;
    if (!kept.empty() && kept.back().stored_name == m.stored_name) {
      problems.push_back(about(m.stored_name, " is named twice with different contents"));
      continue;
    }
    kept.push_back(std::move(m));
  }
  members = std::move(kept);
  // Windows keeps one entry per name regardless of case: of two such names one would
  // overwrite the other (or a file would stand where a folder is needed).
  std::map<std::u32string, size_t> seen;
  for (size_t i = 0; i < members.size(); i++) {
    std::string shown = shown_name(members[i].stored_name);
    auto [at, fresh] = seen.emplace(fold_case(shown), i);
    if (!fresh)
      problems.push_back(
          about(members[at->second].stored_name, " and '", shown)
              .append("' differ only in case; Windows would keep only one of them"));
  }
  return problems;
}

static void write_le(block_writer& w, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; i++) block_write_byte(w, uint8_t(value >> (8 * i)));
}

void write_member_header(block_writer& w, const std::vector<uint8_t>& previous_name,
                         const pack_member& m, int32_t size) {
  size_t common = 0;
  while (common < previous_name.size() && common < m.stored_name.size() && common < 257 &&
         previous_name[common] == m.stored_name[common])
    common++;
  size_t start = 0;
  // The marker and count take two bytes, so reuse pays from three shared bytes on.
  if (common >= 3) {
    block_write_byte(w, '*');
    block_write_byte(w, uint8_t(common - 2));
    start = common;
  }
  block_write(w, m.stored_name.data() + start, m.stored_name.size() - start);
  block_write_byte(w, 0);
  if (m.is_folder) return;
  write_le(w, m.creation_time, 8);
  write_le(w, m.last_access_time, 8);
  write_le(w, m.last_write_time, 8);
  write_le(w, uint32_t(size), 4);
}

// Reads a whole source file. Opening it without touching its access time keeps a second pack
// of the same tree identical to the first.
static std::string read_source(const std::string& path, std::vector<uint8_t>& data) {
  int fd = open(path.c_str(), O_RDONLY | O_NOATIME | O_CLOEXEC);
  if (fd < 0 && errno == EPERM) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "cannot read '" + path + "': " + strerror(errno);
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_size > 0 && st.st_size <= max_member_size)
    data.reserve(size_t(st.st_size));
  data.clear();
  uint8_t buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::string e = "cannot read '" + path + "': " + strerror(errno);
      close(fd);
      return e;
    }
    if (n == 0) break;
    data.insert(data.end(), buffer, buffer + n);
    if (int64_t(data.size()) >= max_member_size) {
      close(fd);
      return "'" + path + "' is 2 GiB or larger, which an archive cannot hold";
    }
  }
  close(fd);
  return "";
}

static bool write_all(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= size_t(n);
  }
  return true;
}

pack_outcome write_archive(const std::string& output_path, const uint8_t* stub_image,
                           const preamble_fields& preamble,
                           const std::vector<pack_member>& members, pack_progress progress) {
  pack_outcome result;
  if (members.empty()) {
    result.refused = true;
    result.error = "nothing to pack (an archive needs at least one member)";
    return result;
  }
  std::string pattern = output_path + ".tmp-XXXXXX";
  if (pattern.size() >= sizeof temporary_path) {
    result.error = "the output path is too long";
    return result;
  }
  memcpy(temporary_path, pattern.c_str(), pattern.size() + 1);
  int fd = mkstemp(temporary_path);
  if (fd < 0) {
    result.error = "cannot create '" + output_path + "': " + strerror(errno);
    temporary_path[0] = 0;
    return result;
  }
  auto fail = [&](const std::string& error, bool refused) {
    close(fd);
    unlink(temporary_path);
    temporary_path[0] = 0;
    result.ok = false;
    result.refused = refused;
    result.error = error;
    return result;
  };
  const std::string write_failed = "writing '" + output_path + "' failed";

  std::vector<uint8_t> head(stub_image, stub_image + stub_size);
  write_preamble(head, preamble);
  if (!write_all(fd, head.data(), head.size())) return fail(write_failed, false);
  int64_t written = int64_t(head.size());

  std::vector<uint8_t> blocks;
  block_writer w;
  std::vector<uint8_t> no_password;
  block_writer_start(w, &blocks, preamble.password_flag ? preamble.password : no_password);
  auto run = std::make_unique<encoder_run>();
  encoder_start_run(*run, stub_image);

  auto drain = [&]() {
    if (!write_all(fd, blocks.data(), blocks.size())) return false;
    written += int64_t(blocks.size());
    blocks.clear();
    return true;
  };
  const std::string too_large = "the archive would be larger than 2147483647 bytes, the most "
                                "its size field can express";

  std::vector<uint8_t> previous;
  std::vector<uint8_t> content;
  int32_t done = 0;
  for (const pack_member& m : members) {
    const std::vector<uint8_t>* bytes = &m.data;
    if (!m.is_folder && !m.source.empty()) {
      std::string error = read_source(m.source, content);
      if (!error.empty()) return fail(error, error.find("2 GiB") != std::string::npos);
      bytes = &content;
    }
    if (int64_t(bytes->size()) >= max_member_size)
      return fail(about(m.stored_name, " is 2 GiB or larger"), true);
    int32_t size = m.is_folder ? 0 : int32_t(bytes->size());
    write_member_header(w, previous, m, size);
    previous = m.stored_name;
    if (!m.is_folder) {
      encode_member(*run, bytes->data(), size, w);
      result.content_size += size;
    }
    if (!drain()) return fail(write_failed, false);
    if (written + w.pending_length + 2 > INT32_MAX) return fail(too_large, true);
    if (progress) progress(++done, result.content_size);
  }
  block_writer_finish(w);
  if (!drain()) return fail(write_failed, false);
  if (written > INT32_MAX) return fail(too_large, true);

  uint8_t size_bytes[4];
  for (int i = 0; i < 4; i++) size_bytes[i] = uint8_t(uint64_t(written) >> (8 * i));
  if (pwrite(fd, size_bytes, 4, stub_size) != 4) return fail(write_failed, false);
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  if (fsync(fd) != 0) return fail(write_failed, false);
  if (close(fd) != 0) {
    unlink(temporary_path);
    temporary_path[0] = 0;
    result.error = write_failed;
    return result;
  }
  if (rename(temporary_path, output_path.c_str()) != 0) {
    result.error = "cannot rename the finished archive to '" + output_path + "': " +
                   strerror(errno);
    unlink(temporary_path);
    temporary_path[0] = 0;
    return result;
  }
  temporary_path[0] = 0;
  result.ok = true;
  result.archive_size = written;
  return result;
}
