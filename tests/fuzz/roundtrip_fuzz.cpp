// Coverage-guided fuzzing (libFuzzer, with AddressSanitizer and UndefinedBehaviorSanitizer) of
// a whole round trip: the input is decoded into a small tree of folders and files, which is
// written to a fresh folder, packed by the packer as `vantrel pack -C SRC .` packs it, and
// extracted by the engine into a fresh destination inside a folder of its own.
//
// The packer may refuse a tree (a name CP932 or Windows cannot hold, names that differ only in
// case); a tree it accepts must come back exactly: the same folders and files, the same
// contents, the same last-write and last-access times to the 100 ns the archive keeps (where
// the archive can keep them at all), the same preamble, and nothing besides the destination in
// the folder around it. Any difference, any failure of the engine (fail_run), a question about
// an existing file in the fresh destination, a crash or a sanitizer report is a finding.
//
// The input drives the tree through FuzzedDataProvider: names from a mix of ASCII and CP932
// characters with the edge cases that matter on Windows (trailing dots and spaces, device
// names, double-byte characters whose second byte is '\' or '|', letters of either case,
// lengths near the limits), contents up to 64 KiB of runs, repeats and pseudo-random bytes,
// times from before 1601 to far beyond what the archive's time fields hold, and optionally a
// password, a message and a program to run afterwards.
#include <dirent.h>
#include <errno.h>
// glibc's <fcntl.h> has a struct file_handle of its own (name_to_handle_at); keep it out of
// the way of the seam's type.
#define file_handle linux_file_handle
#include <fcntl.h>
#undef file_handle
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/archive.h"
#include "engine/edge.h"
#include "engine/member_loop.h"
#include "packer/archive_writer.h"
#include "packer/pack_names.h"
#include "packer/pack_tree.h"
#include "platform/platform.h"
#include "platform/platform_posix.h"
#include "tests/fuzz/fuzz_archive.h"

namespace {

std::string work_root;  // host path of this process's folder; one run's folders go inside

[[noreturn]] void finding(const std::string& what) {
  fprintf(stderr, "roundtrip: %s\n", what.c_str());
  fflush(stderr);
  abort();
}

// ---- The tree an input stands for ----------------------------------------------------------

struct planned_entry {
  int parent;  // index of a folder entry, or -1 for the top
  bool is_folder;
  std::vector<uint8_t> name;  // CP932 (or not, on purpose)
  std::vector<uint8_t> content;
  int64_t seconds[2];  // last access, last write
  uint32_t nanoseconds[2];
};

// Double-byte characters worth having: second byte '\' (0x5C) or '|' (0x7C), and letters
// whose case Windows folds (full-width, Greek, Cyrillic, Roman numerals), in both cases.
const uint8_t notable_pairs[][2] = {
    {0x83, 0x5C}, {0x95, 0x5C}, {0x94, 0x5C}, {0x8F, 0x5C}, {0x83, 0x7C}, {0x81, 0x40},
    {0x82, 0x60}, {0x82, 0x81}, {0x83, 0x9F}, {0x83, 0xBF}, {0x84, 0x40}, {0x84, 0x70},
    {0x87, 0x54}, {0xFA, 0x40}, {0xEE, 0xEF}, {0x88, 0x9F}, {0xEA, 0xA4}, {0xF0, 0x40},
};
const char* const device_stems[] = {"CON",  "nul",  "Aux",  "prn",
                                    "COM1", "lpt9", "COM0", "CONIN$"};

void put_character(FuzzedDataProvider& in, std::vector<uint8_t>& name) {
  switch (in.ConsumeIntegralInRange<int>(0, 9)) {
    case 0:
    case 1:
    case 2: {
      static const char plain[] = "abcxyzABCXYZ0189_-";
      name.push_back(uint8_t(plain[in.ConsumeIntegralInRange<size_t>(0, sizeof plain - 2)]));
      break;
    }
    case 3: {
      // What Windows allows beside letters, and what it forbids.
      static const char marks[] = " .,;=+!#$%&'()[]{}~^@`:*?\"<>|\x01\x1f\x7f";
      name.push_back(uint8_t(marks[in.ConsumeIntegralInRange<size_t>(0, sizeof marks - 2)]));
      break;
    }
    case 4:  // half-width katakana, or a single byte CP932 leaves unassigned
      name.push_back(in.ConsumeBool()
                         ? in.ConsumeIntegralInRange<uint8_t>(0xA1, 0xDF)
                         : uint8_t(0x80 + 0x20 * in.ConsumeIntegralInRange<int>(0, 3)));
      break;
    case 5:
    case 6: {
      const uint8_t* pair = notable_pairs[in.ConsumeIntegralInRange<
          size_t>(0, sizeof notable_pairs / sizeof *notable_pairs - 1)];
      name.insert(name.end(), pair, pair + 2);
      break;
    }
    case 7: {  // any lead byte, a trail byte that may or may not fit it
      uint8_t lead = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint8_t>(0x81, 0x9F)
                                      : in.ConsumeIntegralInRange<uint8_t>(0xE0, 0xFC);
      name.push_back(lead);
      name.push_back(in.ConsumeIntegralInRange<uint8_t>(0x3F, 0xFD));
      break;
    }
    case 8: {
      const char* stem = device_stems
          [in.ConsumeIntegralInRange<size_t>(0, sizeof device_stems / sizeof *device_stems - 1)];
      name.insert(name.end(), stem, stem + strlen(stem));
      break;
    }
    default: name.push_back(in.ConsumeIntegralInRange<uint8_t>(1, 0xFF)); break;
  }
}

// Double-byte capitals in CP932 and how far their small letters lie: full-width Latin, Greek,
// Cyrillic (whose small letters step over the trail byte 0x7F).
struct case_run {
  uint8_t lead, first, last;
  int distance;
};
const case_run case_runs[] = {{0x82, 0x60, 0x79, 0x21},
                              {0x83, 0x9F, 0xB6, 0x20},
                              {0x84, 0x40, 0x4E, 0x30},
                              {0x84, 0x4F, 0x60, 0x31}};

// Swaps the case of the first letter that has another case; false when there is none.
bool swap_case(std::vector<uint8_t>& name) {
  for (size_t i = 0; i < name.size(); i++) {
    uint8_t& c = name[i];
    if (((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) && i + 1 < name.size()) {
      uint8_t& t = name[++i];
      for (const case_run& r : case_runs) {
        if (c != r.lead) continue;
        if (t >= r.first && t <= r.last) {
          t = uint8_t(t + r.distance);
          return true;
        }
        if (t >= r.first + r.distance && t <= r.last + r.distance) {
          t = uint8_t(t - r.distance);
          return true;
        }
      }
      continue;
    }
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      c ^= 0x20;
      return true;
    }
  }
  return false;
}

std::vector<uint8_t> make_name(FuzzedDataProvider& in,
                               const std::vector<planned_entry>& earlier) {
  std::vector<uint8_t> name;
  int mode = in.ConsumeIntegralInRange<int>(0, 7);
  if (mode == 0 && !earlier.empty()) {
    // An earlier name in another case (beside it, these clash on Windows), or as it is.
    name = earlier[in.ConsumeIntegralInRange<size_t>(0, earlier.size() - 1)].name;
    swap_case(name);
  } else if (mode == 1) {
    // Near the limits: 255 bytes for a name on Linux (85 three-byte characters in UTF-8),
    // 1024 bytes for a stored name.
    static const size_t lengths[] = {84, 85, 86, 127, 128, 170, 254, 255, 256};
    size_t n =
        lengths[in.ConsumeIntegralInRange<size_t>(0, sizeof lengths / sizeof *lengths - 1)];
    std::vector<uint8_t> unit;
    put_character(in, unit);
    while (name.size() + unit.size() <= n) name.insert(name.end(), unit.begin(), unit.end());
    while (name.size() < n) name.push_back('a');
  } else {
    int count = in.ConsumeIntegralInRange<int>(1, 12);
    for (int i = 0; i < count; i++) put_character(in, name);
  }
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: name.push_back('.'); break;
    case 1: name.push_back(' '); break;
    case 2: name.insert(name.end(), {'.', 't', 'x', 't'}); break;
    default: break;
  }
  return name;
}

// Runs of one byte, repeats of what came before and pseudo-random stretches: what the
// encoder's matches, literals and block boundaries are made of.
std::vector<uint8_t> make_content(FuzzedDataProvider& in) {
  static const size_t edges[] = {0, 1, 2, 4095, 4096, 4097, 65535, 65536};
  size_t length;
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: length = edges[in.ConsumeIntegralInRange<size_t>(0, 7)]; break;
    case 1: length = in.ConsumeIntegralInRange<size_t>(0, 64); break;
    case 2: length = in.ConsumeIntegralInRange<size_t>(0, 4200); break;
    default: length = in.ConsumeIntegralInRange<size_t>(0, 65536); break;
  }
  std::vector<uint8_t> out;
  out.reserve(length);
  uint32_t state = in.ConsumeIntegral<uint32_t>() | 1;
  while (out.size() < length) {
    size_t left = length - out.size();
    size_t n = in.ConsumeIntegralInRange<size_t>(1, left < 3000 ? left : 3000);
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: out.insert(out.end(), n, in.ConsumeIntegral<uint8_t>()); break;
      case 1:
        if (!out.empty()) {
          size_t distance = in.ConsumeIntegralInRange<size_t>(1, out.size());
          for (size_t i = 0; i < n; i++) out.push_back(out[out.size() - distance]);
          break;
        }
        [[fallthrough]];
      case 2:
        for (size_t i = 0; i < n; i++) {
          state ^= state << 13;
          state ^= state >> 17;
          state ^= state << 5;
          out.push_back(uint8_t(state >> 24));
        }
        break;
      default: {
        std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(n);
        if (bytes.empty()) bytes.push_back(0);
        out.insert(out.end(), bytes.begin(), bytes.end());
        break;
      }
    }
  }
  out.resize(length);
  return out;
}

// Seconds since 1970: ordinary times, times around 1601 (where the archive's time fields start,
// 0 standing for "not set"), and times far beyond what they hold (year 60056).
void make_time(FuzzedDataProvider& in, int64_t& seconds, uint32_t& nanoseconds) {
  constexpr int64_t at_1601 = -11644473600LL;
  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: seconds = in.ConsumeIntegralInRange<int64_t>(0, 4102444800LL); break;
    case 1: seconds = at_1601 + in.ConsumeIntegralInRange<int64_t>(-2, 2); break;
    case 2: seconds = in.ConsumeIntegralInRange<int64_t>(at_1601, 0); break;
    case 3: seconds = in.ConsumeIntegralInRange<int64_t>(1LL << 32, 1LL << 41); break;
    default:
      seconds = in.ConsumeIntegral<int64_t>() >> in.ConsumeIntegralInRange<int>(0, 24);
      break;
  }
  nanoseconds = in.ConsumeIntegralInRange<uint32_t>(0, 999999999);
}

// ---- The file system side --------------------------------------------------------------------

struct found_entry {
  bool is_folder;
  std::vector<uint8_t> content;
  struct timespec access, write;
};

bool read_without_touching(const std::string& path, std::vector<uint8_t>& out) {
  int fd = open(path.c_str(), O_RDONLY | O_NOATIME | O_CLOEXEC);
  if (fd < 0) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.clear();
  uint8_t buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) out.insert(out.end(), buffer, buffer + n);
  close(fd);
  return n == 0;
}

// Everything below folder, by path relative to it. Times are taken before the contents are read.
void walk(const std::string& folder, const std::string& relative,
          std::map<std::string, found_entry>& out) {
  DIR* d = opendir(folder.c_str());
  if (!d) finding("cannot read the folder " + folder);
  std::vector<std::string> names;
  while (dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  for (const std::string& name : names) {
    std::string path = folder + "/" + name,
                rel = relative.empty() ? name : relative + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) finding("cannot look at " + path);
    found_entry entry;
    entry.is_folder = S_ISDIR(st.st_mode);
    entry.access = st.st_atim;
    entry.write = st.st_mtim;
    if (!entry.is_folder && !S_ISREG(st.st_mode))
      finding(path + " is neither a file nor a folder");
    if (!entry.is_folder && !read_without_touching(path, entry.content))
      finding("cannot read " + path);
    out[rel] = entry;
    if (entry.is_folder) walk(path, rel, out);
  }
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
        names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

// The time an extracted file must have for a source time: FILETIME keeps 100 ns from 1601 on,
// and its 0 means "not set" (the extracted file keeps the time it was made with).
bool expected_time(const struct timespec& source, struct timespec& expected) {
  if (filetime_of(source.tv_sec, uint32_t(source.tv_nsec)) == 0) return false;
  expected.tv_sec = source.tv_sec;
  expected.tv_nsec = source.tv_nsec / 100 * 100;
  return true;
}

void compare_time(const std::string& path, const char* which, const struct timespec& source,
                  const struct timespec& extracted) {
  struct timespec expected;
  if (!expected_time(source, expected)) return;
  if (expected.tv_sec != extracted.tv_sec || expected.tv_nsec != extracted.tv_nsec) {
    char text[160];
    snprintf(text, sizeof text, ": %s time %lld.%09ld, extracted %lld.%09ld", which,
             static_cast<long long>(source.tv_sec), source.tv_nsec,
             static_cast<long long>(extracted.tv_sec), extracted.tv_nsec);
    finding(path + text);
  }
}

void compare_trees(const std::map<std::string, found_entry>& source,
                   const std::map<std::string, found_entry>& extracted) {
  for (const auto& [path, entry] : source) {
    auto at = extracted.find(path);
    if (at == extracted.end()) finding("'" + path + "' was packed but not extracted");
    if (at->second.is_folder != entry.is_folder)
      finding("'" + path + "' came back as a " + (entry.is_folder ? "file" : "folder"));
    if (entry.is_folder) continue;
    if (at->second.content != entry.content)
      finding("'" + path + "': " + std::to_string(entry.content.size()) + " bytes packed, " +
              std::to_string(at->second.content.size()) + " extracted, contents differ");
    compare_time(path, "last-write", entry.write, at->second.write);
    compare_time(path, "last-access", entry.access, at->second.access);
  }
  for (const auto& [path, entry] : extracted)
    if (!source.count(path)) finding("'" + path + "' was extracted but never packed");
}

// ---- One round trip -------------------------------------------------------------------------

void run_member_done(const member_info& m) {
  if (!m.is_folder && !m.written) finding(std::string("'") + m.name + "' was not written");
}

// Texts go in as `vantrel pack` takes them: CP932 characters to UTF-8 and back, line ends made
// CRLF for the message.
bool make_text(FuzzedDataProvider& in, size_t longest, std::vector<uint8_t>& cp932) {
  std::vector<uint8_t> raw;
  size_t count = in.ConsumeIntegralInRange<size_t>(1, 40);
  for (size_t i = 0; i < count; i++) {
    if (in.ConsumeIntegralInRange<int>(0, 5) == 0)
      raw.push_back(in.ConsumeBool() ? '\n' : '\r');
    else
      put_character(in, raw);
  }
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
    // Near the longest text the preamble keeps.
    size_t target = longest - 2 + in.ConsumeIntegralInRange<size_t>(0, 4);
    std::vector<uint8_t> unit = raw;
    while (raw.size() + unit.size() <= target) raw.insert(raw.end(), unit.begin(), unit.end());
  }
  std::string utf8;
  return cp932_to_utf8(raw, utf8) && message_to_cp932(utf8, cp932).empty() &&
         cp932.size() <= longest;
}

void round_trip(FuzzedDataProvider& in, const std::string& base) {
  // The preamble.
  preamble_fields preamble;
  uint8_t choices = in.ConsumeIntegral<uint8_t>();
  if ((choices & 1) && !make_text(in, max_message_text, preamble.message_text)) return;
  if (choices & 2) {
    std::vector<uint8_t> raw;
    int count = in.ConsumeIntegralInRange<int>(1, 16);
    for (int i = 0; i < count; i++) put_character(in, raw);
    std::string utf8;
    if (!cp932_to_utf8(raw, utf8) || !utf8_to_cp932(utf8, preamble.run_after)) return;
  }
  if (choices & 4) {
    std::vector<uint8_t> raw;
    size_t count = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(1, 8) : max_password;
    while (raw.size() < count) put_character(in, raw);
    if (raw.size() > size_t(max_password)) raw.resize(max_password);
    std::string utf8;
    if (!cp932_to_utf8(raw, utf8) || !utf8_to_cp932(utf8, preamble.password)) return;
    preamble.password_flag = (choices & 8) ? 2 : 1;
  }
  bool confined = !(choices & 16);

  // The tree, written into SRC. An entry the file system will not take is left out, with
  // everything planned below it.
  std::string source = base + "/src";
  if (mkdir(source.c_str(), 0777) != 0) finding("cannot make " + source);
  std::vector<planned_entry> plan;
  std::vector<std::string> host_paths;  // "" for an entry left out
  int count = in.ConsumeIntegralInRange<int>(1, 14);
  for (int i = 0; i < count && in.remaining_bytes() > 0; i++) {
    planned_entry e;
    e.parent = plan.empty() ? -1 : in.ConsumeIntegralInRange<int>(-1, int(plan.size()) - 1);
    if (e.parent >= 0 && !plan[size_t(e.parent)].is_folder) e.parent = -1;
    e.is_folder = in.ConsumeIntegralInRange<int>(0, 2) == 0;
    e.name = make_name(in, plan);
    if (!e.is_folder) {
      e.content = make_content(in);
      for (int t = 0; t < 2; t++) make_time(in, e.seconds[t], e.nanoseconds[t]);
    }
    // On Linux a name is bytes: the UTF-8 form where the name is CP932, the bytes themselves
    // where it is not (the packer must refuse those).
    std::string host_name;
    if (!cp932_to_utf8(e.name, host_name)) host_name.assign(e.name.begin(), e.name.end());
    std::string parent = e.parent < 0 ? source : host_paths[size_t(e.parent)];
    std::string path;
    if (!parent.empty() && host_name.find('/') == std::string::npos && host_name != "." &&
        host_name != ".." && host_name.find('\0') == std::string::npos) {
      path = parent + "/" + host_name;
      bool made;
      if (e.is_folder) {
        made = mkdir(path.c_str(), 0777) == 0;
      } else {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        made = fd >= 0 &&
               write(fd, e.content.data(), e.content.size()) == ssize_t(e.content.size());
        if (fd >= 0) {
          struct timespec times[2] = {{e.seconds[0], long(e.nanoseconds[0])},
                                      {e.seconds[1], long(e.nanoseconds[1])}};
          futimens(fd, times);  // a time the file system cannot hold is left as it is
          close(fd);
        }
        if (fd >= 0 && !made) finding("cannot write " + path);
      }
      if (!made) path.clear();
    }
    plan.push_back(e);
    host_paths.push_back(path);
  }
  std::map<std::string, found_entry> packed;
  walk(source, "", packed);
  if (packed.empty()) return;

  // Packed as `vantrel pack -o ARCHIVE -C SRC .` packs it.
  std::vector<pack_member> members;
  walk_outcome walked = collect_members(source, {"."}, members);
  if (!walked.ok && walked.refused) return;
  if (!walked.ok) finding("the walk failed: " + walked.error);
  if (!order_and_check_members(members).empty()) return;
  std::string archive_path = base + "/archive.exe";
  pack_outcome packed_archive = write_archive(archive_path, stand_in_stub().data(), preamble,
                                              members);
  if (!packed_archive.ok) finding("the packer failed: " + packed_archive.error);

  // Extracted as `vantrel extract ARCHIVE -o SANDBOX/out` extracts it (confined below the
  // destination), or as the stub does (paths as they stand).
  reset_archive_state();
  if (open_archive(archive_path.c_str()) != ready) finding("the archive reads as a bare stub");
  if (std::vector<uint8_t>(archive.message_text,
                           archive.message_text + archive.message_text_length) !=
          preamble.message_text ||
      std::vector<uint8_t>(archive.run_after, archive.run_after + archive.run_after_length) !=
          preamble.run_after ||
      archive.password_flag != (preamble.password_flag != 0) ||
      archive.password_masked != (preamble.password_flag == 1))
    finding("the preamble read back differs from the one packed");
  if (archive.password_flag) {
    if (!password_matches(preamble.password.data(), int32_t(preamble.password.size())))
      finding("the password does not match its own check value");
    set_archive_password(preamble.password.data(), int32_t(preamble.password.size()));
  }
  std::string sandbox = base + "/sandbox", destination = sandbox + "/out";
  if (mkdir(sandbox.c_str(), 0777) != 0 || mkdir(destination.c_str(), 0777) != 0)
    finding("cannot make " + destination);
  if (confined && !platform_confine_below(destination.c_str()))
    finding("cannot confine to " + destination);
  std::string engine_destination = destination + "/";
  for (char& c : engine_destination)
    if (c == '/') c = '\\';
  extract_mode = {};
  extract_mode.member_done = run_member_done;
  extract_archive(engine_destination.c_str());
  if (reader.archive_file != no_file) finding("the archive was left open");

  std::vector<std::string> beside = names_in(sandbox);
  if (beside.size() != 1 || beside[0] != "out")
    finding("the extraction made something beside its destination");
  std::vector<std::string> around = names_in(base);
  if (around.size() != 3) finding("the round trip made something beside its folders");
  std::map<std::string, found_entry> extracted;
  walk(destination, "", extracted);
  compare_trees(packed, extracted);
}

}  // namespace

// The harness's edge (engine/edge.h): an archive the packer just wrote must extract, into a
// fresh folder, without a failure or a question.
void fail_run(failure_kind kind, const char* detail) {
  static const char* const kinds[] = {"read", "write", "damaged", "folder", "shorter", "longer"};
  finding(std::string("the engine failed (") + kinds[kind] + ")" +
          (detail ? std::string(" at '") + detail + "'" : std::string()));
}
void report_stage(member_stage, const char*) {}
overwrite_answer ask_overwrite(const char* full_path) {
  finding(std::string("asked to overwrite '") + full_path + "' in a fresh destination");
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = getenv("TMPDIR");
  work_root = std::string(tmp && *tmp ? tmp : "/tmp") + "/vantrel_roundtrip_" +
              std::to_string(getpid());
  std::error_code ec;
  std::filesystem::remove_all(work_root, ec);
  if (mkdir(work_root.c_str(), 0777) != 0) finding("cannot make " + work_root);
  atexit([] {
    std::error_code e;
    std::filesystem::remove_all(work_root, e);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint64_t runs;
  std::string base = work_root + "/" + std::to_string(runs++);
  if (mkdir(base.c_str(), 0777) != 0) finding("cannot make " + base);
  FuzzedDataProvider in(data, size);
  round_trip(in, base);
  std::error_code ec;
  std::filesystem::remove_all(base, ec);
  if (ec) finding("cannot remove " + base + ": " + ec.message());
  return 0;
}
