// vantrel pack: the tree walk, the checks, and the archive writer behind the embedded stub.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <CLI/CLI.hpp>
#include <fstream>
#include <iterator>
#include <vector>

#include "app/archive.h"
#include "cli/cli.h"
#include "cli/system.h"
#include "packer/archive_writer.h"
#include "packer/embedded_stub.h"
#include "packer/host_files.h"
#include "packer/name_patterns.h"
#include "packer/pack_names.h"
#include "packer/pack_tree.h"

// With -o -, the archive is built in a private folder (its length goes into its head once it
// is complete) and then copied to standard output. Static, for the signal handler.
static char staging_folder[4096], staging_file[4096 + 16];

static void remove_staging() {
  if (staging_file[0]) remove_file(staging_file);
  if (staging_folder[0]) remove_folder(staging_folder);
}

static void remove_partial_output(int number) {
  // An interrupted pack leaves nothing behind: the output only ever appears by the final
  // rename, and the temporary file goes here.
  const char* temporary = pack_temporary_path();
  if (temporary[0]) remove_file(temporary);
  remove_staging();
  // Said as extract says it, built without the allocator or stdio: this may be a signal handler.
  static char text[96];
  const char* parts[] = {progress.drawn ? "\r\033[K" : "", "vantrel pack: cancelled by ",
                         cancel_name(number), "\n"};
  size_t n = 0;
  for (const char* part : parts)
    for (; *part && n + 1 < sizeof text; part++) text[n++] = *part;
  text[n] = 0;
  say_on_standard_error(text);
  quick_exit_now(128 + number);
}

// Copies the finished archive to standard output; an empty text or the reason it failed.
static std::string copy_to_standard_output(const char* path) {
  FILE* in = open_file(path, "rb");
  if (!in) return std::string("cannot read the finished archive: ") + strerror(errno);
  std::vector<char> buffer(1 << 16);
  std::string error;
  for (;;) {
    size_t n = fread(buffer.data(), 1, buffer.size(), in);
    if (n > 0 && fwrite(buffer.data(), 1, n, stdout) != n) {
      error = std::string("writing to standard output failed: ") + strerror(errno);
      break;
    }
    if (n < buffer.size()) {
      if (ferror(in))
        error = std::string("cannot read the finished archive: ") + strerror(errno);
      break;
    }
  }
  fclose(in);
  if (error.empty() && fflush(stdout) != 0)
    error = std::string("writing to standard output failed: ") + strerror(errno);
  return error;
}

static int refuse(const std::string& why) {
  progress_clear();
  print_text(stderr, "vantrel pack: %s\n", why.c_str());
  return exit_usage;
}

static bool read_text_file(const std::string& path, std::string& text) {
  std::ifstream f(file_path(path), std::ios::binary);
  if (!f) return false;
  text.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return !f.bad();
}

// The password from whichever source was named; false after a refusal already reported.
static bool obtain_password(const pack_arguments& a, std::string& password, int& code) {
  code = exit_usage;
  if (a.has_password) {
    password = a.password;
  } else if (!a.password_file.empty()) {
    std::string text;
    if (!read_text_file(a.password_file, text)) {
      print_text(stderr, "vantrel pack: cannot read the password file '%s'\n",
                 a.password_file.c_str());
      code = exit_failed;
      return false;
    }
    password = text.substr(0, text.find('\n'));
    if (!password.empty() && password.back() == '\r') password.pop_back();
  } else if (a.ask_password) {
    std::string again;
    if (!read_hidden_line("Password: ", password) ||
        !read_hidden_line("Password again: ", again)) {
      print_text(stderr, "vantrel pack: --ask-password needs a terminal\n");
      return false;
    }
    if (password != again) {
      print_text(stderr, "vantrel pack: the two passwords differ\n");
      return false;
    }
  } else {
    return true;
  }
  if (password.empty()) {
    print_text(stderr, "vantrel pack: the password is empty\n");
    return false;
  }
  return true;
}

void add_pack_speed_options(CLI::App* pack, pack_arguments& a) {
  // -1 ... -9 as with gzip: each sets the level, the last one given counts.
  for (int level = min_level; level <= max_level; level++) {
    std::string name = "-" + std::to_string(level);
    pack->add_flag_callback(name, [&a, level] { a.level = level; })->group("");
  }
  std::string level_help = "How hard to pack: ";
  level_help.append(std::to_string(min_level))
      .append(" packs fastest, ")
      .append(std::to_string(max_level))
      .append(" makes the smallest archive; -1 ... -9 say the same. Default ")
      .append(std::to_string(default_level))
      .append(", which on C headers packs faster than tar with gzip -9 and smaller");
  pack->add_option("--level", a.level, level_help)->check(CLI::Range(min_level, max_level));
  pack->add_option("-T,--threads", a.threads,
                   "Pack on N threads (default: one per core); the archive is the same for "
                   "every N")
      ->check(CLI::Range(1, 256));
}

static void show_pack_progress(int32_t, int64_t content_done) { progress_update(content_done); }

static bool names_file(const std::vector<pack_member>& members,
                       const std::vector<uint8_t>& run_after) {
  std::string wanted;
  if (!cp932_to_utf8(run_after, wanted)) return false;
  for (char& c : wanted)
    if (c == '/') c = '\\';
  std::u32string folded = fold_case(wanted);
  for (const pack_member& m : members) {
    if (m.is_folder) continue;
    std::string name;
    if (cp932_to_utf8(m.stored_name, name) && fold_case(name) == folded) return true;
  }
  return false;
}

// Seconds since 1970 of a UTC calendar date (proleptic Gregorian).
static int64_t days_from_civil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  int64_t year_of_era = year - era * 400;
  int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

// TIME of --mtime: "@SECONDS", or a UTC date "YYYY-MM-DD" with an optional time "HH:MM[:SS]"
// after 'T' or a space, and an optional final 'Z'. False when it is none of these.
static bool parse_time(const std::string& text, int64_t& seconds) {
  const char* s = text.c_str();
  char* end = nullptr;
  if (s[0] == '@') {
    errno = 0;
    long long n = strtoll(s + 1, &end, 10);
    if (errno || end == s + 1 || *end) return false;
    seconds = n;
    return true;
  }
  int year, month, day, hour = 0, minute = 0, second = 0, used = 0;
  if (sscanf(s, "%4d-%2d-%2d%n", &year, &month, &day, &used) != 3 || used != 10) return false;
  s += used;
  if (*s == 'T' || *s == ' ') {
    int more = 0;
    if (sscanf(s + 1, "%2d:%2d%n", &hour, &minute, &more) != 2 || more != 5) return false;
    s += 1 + more;
    if (*s == ':') {
      if (sscanf(s + 1, "%2d%n", &second, &more) != 1 || more != 2) return false;
      s += 3;
    }
  }
  if (*s == 'Z') s++;
  if (*s || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 60)
    return false;
  seconds = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

// The latest time to store, from --mtime or else SOURCE_DATE_EPOCH, as a FILETIME (clamp false
// when neither is given). False after a refusal already reported.
static bool time_limit(const pack_arguments& a, bool& clamp, uint64_t& limit) {
  const char* epoch = getenv("SOURCE_DATE_EPOCH");
  clamp = false;
  int64_t latest = 0;
  if (!a.mtime.empty()) {
    if (!parse_time(a.mtime, latest)) {
      print_text(stderr,
                 "vantrel pack: --mtime '%s' is not @SECONDS nor YYYY-MM-DD[ HH:MM[:SS]]\n",
                 a.mtime.c_str());
      return false;
    }
    clamp = true;
  } else if (epoch && *epoch) {
    if (!parse_time(std::string("@") + epoch, latest) || latest < 0) {
      print_text(stderr, "vantrel pack: SOURCE_DATE_EPOCH '%s' is not a number of seconds\n",
                 epoch);
      return false;
    }
    clamp = true;
  }
  limit = filetime_of(latest, 0);
  return true;
}

// The stored times as asked: the last write time in all three (--times write-only), and none
// later than the limit.
static void settle_times(const pack_arguments& a, bool clamp, uint64_t limit,
                         std::vector<pack_member>& members) {
  for (pack_member& m : members) {
    if (a.write_time_only) m.creation_time = m.last_access_time = m.last_write_time;
    if (!clamp) continue;
    for (uint64_t* t : {&m.creation_time, &m.last_access_time, &m.last_write_time})
      if (*t > limit) *t = limit;
  }
}

int run_pack(const pack_arguments& a) {
  preamble_fields preamble;
  bool to_standard_output = a.output == "-";
  if (to_standard_output && stdout_is_terminal()) {
    print_text(stderr,
               "vantrel pack: will not write an archive to a terminal; redirect standard "
               "output or name a file with -o\n");
    return exit_usage;
  }

  bool clamp;
  uint64_t time_limit_filetime;
  if (!time_limit(a, clamp, time_limit_filetime)) return exit_usage;

  std::string message = a.message;
  if (!a.message_file.empty() && !read_text_file(a.message_file, message)) {
    print_text(stderr, "vantrel pack: cannot read the message file '%s'\n",
               a.message_file.c_str());
    return exit_failed;
  }
  // A UTF-8 byte order mark at the start of a message file is no part of the message.
  if (message.compare(0, 3, "\xEF\xBB\xBF") == 0) message.erase(0, 3);
  std::string problem = message_to_cp932(message, preamble.message_text);
  if (!problem.empty()) return refuse(problem);

  if (!utf8_to_cp932(a.run_after, preamble.run_after))
    return refuse("--run-after: the name holds a character that CP932 cannot hold");
  if (preamble.run_after.size() > size_t(max_run_after))
    return refuse("--run-after is longer than " + std::to_string(max_run_after) + " bytes");

  std::string password;
  int code;
  if (!obtain_password(a, password, code)) return code;
  if (a.show_password && password.empty())
    return refuse("--show-password needs a password (--password, --password-file or "
                  "--ask-password)");
  if (!password.empty()) {
    if (!utf8_to_cp932(password, preamble.password))
      return refuse("the password holds a character that CP932 cannot hold");
    if (preamble.password.size() > size_t(max_password))
      return refuse("the password is longer than " + std::to_string(max_password) + " bytes");
    preamble.password_flag = a.show_password ? 2 : 1;
  }

  walk_options options;
  options.skip_unreadable = a.skip_unreadable;
  std::vector<std::string>& excludes = options.excludes;
  for (const std::string& pattern : a.excludes) excludes.push_back(normal_pattern(pattern));
  for (const std::string& file : a.exclude_files)
    if (!read_pattern_file(file, excludes)) {
      print_text(stderr, "vantrel pack: cannot read the pattern file '%s': %s\n", file.c_str(),
                 strerror(errno));
      return exit_failed;
    }
  std::vector<pack_member> members;
  walk_outcome walked = collect_members(a.base_folder, a.paths, members, options);
  // An earlier archive of the same name inside the packed tree is not packed into its
  // successor.
  host_entry output_entry;
  if (!to_standard_output && host_look_at(a.output, output_entry).empty()) {
    std::vector<pack_member> kept;
    for (pack_member& m : members) {
      host_entry e;
      if (!m.source.empty() && host_look_at(m.source, e).empty() &&
          e.volume == output_entry.volume && e.index == output_entry.index) {
        print_text(stderr, "vantrel pack: '%s' is the output itself; not packed\n",
                   m.source.c_str());
        continue;
      }
      kept.push_back(std::move(m));
    }
    members = std::move(kept);
  }
  // Every problem of the selection at once, then the refusal: names that cannot be stored,
  // case clashes, unreadable files (unless they are to be skipped).
  std::vector<std::string> problems = walked.refusals;
  if (!members.empty() || walked.ok) {
    std::vector<std::string> more = order_and_check_all_members(members);
    problems.insert(problems.end(), more.begin(), more.end());
  }
  bool refused = !problems.empty();
  if (a.skip_unreadable)
    for (const std::string& p : walked.unreadable)
      print_text(stderr, "vantrel pack: warning: %s; left out\n", p.c_str());
  else
    problems.insert(problems.end(), walked.unreadable.begin(), walked.unreadable.end());
  if (!problems.empty()) {
    for (const std::string& p : problems) print_text(stderr, "vantrel pack: %s\n", p.c_str());
    if (problems.size() > 1)
      print_text(stderr, "vantrel pack: %zu problems; nothing was packed\n", problems.size());
    if (!refused)
      print_text(stderr,
                 "vantrel pack: --skip-unreadable packs the rest and leaves these out\n");
    return refused ? exit_usage : exit_failed;
  }
  settle_times(a, clamp, time_limit_filetime, members);

  if (!preamble.run_after.empty() && !names_file(members, preamble.run_after))
    print_text(stderr, "vantrel pack: warning: --run-after '%s' names no packed file\n",
               a.run_after.c_str());
  if (!password.empty())
    print_text(stderr,
               "vantrel pack: note: the password only scrambles the archive, it does not "
               "encrypt it; a short one is recovered in seconds\n");
  if (embedded_stub_is_stand_in)
    print_text(stderr,
               "vantrel pack: warning: this vantrel was built without the Windows stub; "
               "the archive will not run on Windows\n");

  int64_t total = 0;
  for (const pack_member& m : members) total += m.source.empty() ? int64_t(m.data.size())
                                                                 : m.source_size;
  progress_start(total, a.quiet);
  std::string output = a.output;
  if (to_standard_output) {
    std::string folder = temporary_folder(), made;
    if (!make_private_folder(folder + "/vantrel-pack-", made) ||
        made.size() + 16 >= sizeof staging_folder) {
      print_text(stderr, "vantrel pack: cannot make a temporary folder in '%s': %s\n",
                 folder.c_str(), strerror(errno));
      return exit_failed;
    }
    output = made + "/archive.exe";
    // Set before any interruption is handled, so the handler sees them whole.
    memcpy(staging_folder, made.c_str(), made.size() + 1);
    memcpy(staging_file, output.c_str(), output.size() + 1);
  }
  on_cancel(remove_partial_output);
  pack_settings settings;
  if (a.level) settings.level = a.level;
  settings.threads = a.threads;
  pack_outcome out =
      write_archive(output, embedded_stub, preamble, members, show_pack_progress, settings);
  progress_clear();
  if (!out.ok) {
    remove_staging();
    print_text(stderr, "vantrel pack: %s\n", out.error.c_str());
    return out.refused ? exit_usage : exit_failed;
  }
  if (to_standard_output) {
    std::string error = copy_to_standard_output(staging_file);
    remove_staging();
    if (!error.empty()) {
      print_text(stderr, "vantrel pack: %s\n", error.c_str());
      return exit_failed;
    }
  }
  if (!walked.unreadable.empty()) {
    size_t n = walked.unreadable.size();
    print_text(stderr, "vantrel pack: warning: %zu %s could not be read and %s left out\n", n,
               n == 1 ? "entry" : "entries", n == 1 ? "was" : "were");
    code = exit_skipped;
  } else {
    code = exit_ok;
  }
  if (!a.quiet) {
    int32_t files = 0, folders = 0;
    for (const pack_member& m : members) (m.is_folder ? folders : files)++;
    // With -o -, standard output carries the archive; the summary goes beside the progress.
    print_text(to_standard_output ? stderr : stdout, "%s: %s, %s, %s packed into %s\n",
               to_standard_output ? "(standard output)" : a.output.c_str(),
               counted(files, "file").c_str(), counted(folders, "folder").c_str(),
               counted(out.content_size, "byte").c_str(),
               counted(out.archive_size, "byte").c_str());
  }
  return code;
}
