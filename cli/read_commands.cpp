// vantrel list, test and extract: one pass of the extractor's own member loop over the
// archive, writing nothing (list, test) or the chosen members (extract). This is the tool's
// edge (engine/edge.h): the engine's failures become lines on standard error and end the
// process with their exit code, and its question comes to the terminal.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/archive.h"
#include "cli/cli.h"
#include "engine/block_reader.h"
#include "engine/edge.h"
#include "engine/member_loop.h"
#include "platform/platform.h"
#include "platform/platform_posix.h"

namespace {

enum overwrite_policy { overwrite_ask, overwrite_always, overwrite_never };

struct listed_member {
  bool is_folder;
  int32_t size;
  uint64_t creation_time, last_access_time, last_write_time;
  std::string name;   // UTF-8, '/' separated; a folder ends in '/'
};

// The one pass of this process.
struct read_session {
  const read_arguments* args = nullptr;
  const char* command = "";
  int64_t stream_start = 0;
  int64_t file_size = 0;
  bool print_members = false;
  std::vector<listed_member> members;
  int32_t files = 0, folders = 0;
  int64_t total_size = 0;
  std::string current;       // the member being read, once known
  std::string last_done;     // the last member finished
  overwrite_policy overwrite = overwrite_never;
  int32_t written = 0, skipped_existing = 0;
  std::vector<std::string> wanted;   // extract NAMEs, engine form without a final '\'
  std::vector<bool> matched;
  std::string destination;   // extract: host form, as given
  bool password_checked = false;
};
read_session session;

// The signal that ended the pass (0: none); its exit code is 128 + its number.
volatile sig_atomic_t caught_signal;

std::string shown(std::string engine_name) {
  for (char& c : engine_name)
    if (c == '\\') c = '/';
  return engine_name;
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// What each failure means to readers of this tool's messages, and the exit code it ends with.
struct failure_report {
  const char* message;
  int code;
};
// By failure_kind.
const failure_report failure_reports[] = {
    {"reading the archive failed (it is cut short or unreadable)", exit_failed},
    {"writing an extracted file failed", exit_failed},
    {"the archive is damaged (a block failed its check, or a record is malformed)", exit_failed},
    {"cannot create the folder", exit_failed},
    {"the file is shorter than the length recorded in it: it was cut short", exit_failed},
    {"the file is longer than the length recorded in it: something was appended (it may be "
     "infected)", exit_failed},
};
static_assert(sizeof failure_reports / sizeof *failure_reports == failure_longer + 1);

// The first symbolic link on the way from the destination to `relative` ('/' separated), as
// a path to show; empty when there is none.
std::string first_link_below(const std::string& destination, const std::string& relative) {
  std::string path = destination;
  size_t at = 0;
  while (at < relative.size()) {
    size_t end = relative.find('/', at);
    if (end == std::string::npos) end = relative.size();
    if (end > at) {
      path.append("/").append(relative, at, end - at);
      struct stat st;
      if (lstat(path.c_str(), &st) != 0) break;
      if (S_ISLNK(st.st_mode)) return path;
    }
    at = end + 1;
  }
  return "";
}

int64_t archive_bytes_done() {
  // Each 4096 data bytes of the stream take a block of 4098 in the file.
  return session.stream_start + int64_t(reader.stream_position) * block_size / block_data_size;
}

void tool_pump() { progress_update(archive_bytes_done()); }

bool select_member(const member_info& m) {
  std::string name = m.name;
  if (!name.empty() && name.back() == '\\') name.pop_back();
  session.current = shown(m.name);
  if (session.wanted.empty()) return true;
  bool any = false;
  for (size_t i = 0; i < session.wanted.size(); i++) {
    const std::string& w = session.wanted[i];
    if (name == w || (starts_with(name, w) && name.size() > w.size() && name[w.size()] == '\\')) {
      session.matched[i] = true;
      any = true;
    }
  }
  return any;
}

void member_done(const member_info& m) {
  listed_member l;
  l.is_folder = m.is_folder;
  l.size = m.is_folder ? 0 : m.size;
  l.creation_time = m.creation_time;
  l.last_access_time = m.last_access_time;
  l.last_write_time = m.last_write_time;
  l.name = shown(m.name);
  if (m.is_folder) {
    session.folders++;
  } else {
    session.files++;
    session.total_size += m.size;
    if (m.written) session.written++;
  }
  session.current.clear();
  session.last_done = l.name.empty() ? "." : l.name;
  if (session.print_members) {
    progress_clear();
    char when[32] = "-";
    if (!m.is_folder && m.last_write_time >= 116444736000000000ull) {
      time_t t = time_t(m.last_write_time / 10000000ull - 11644473600ull);
      struct tm local;
      if (localtime_r(&t, &local)) strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    }
    if (m.is_folder)
      printf("%-6s %12s  %-19s  %s\n", "folder", "-", "-", l.name.empty() ? "." : l.name.c_str());
    else
      printf("%-6s %12d  %-19s  %s\n", "file", m.size, when, l.name.c_str());
  } else if (session.args->json) {
    session.members.push_back(l);
  }
  progress_update(archive_bytes_done());
}

// Every signal that would end the tool is a cancel: the member being written is discarded
// (an earlier file under its name stays), and the tool ends with 128 + the signal's number.
void on_signal(int number) {
  if (!caught_signal) caught_signal = number;
  cancel_requested = 1;
  platform_abandon_output();
}

const int cancelling_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

const char* signal_name(int number) {
  switch (number) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
    case SIGPIPE: return "SIGPIPE";
    default: return "a signal";
  }
}

// The length of the UTF-8 character that starts at s[i], or 0 where the bytes are none (a
// stray or cut sequence, an overlong form, a surrogate, past U+10FFFF).
size_t utf8_length(const std::string& s, size_t i) {
  unsigned char c = s[i];
  size_t n = c < 0x80                 ? 1
             : c >= 0xC2 && c <= 0xDF ? 2
             : c >= 0xE0 && c <= 0xEF ? 3
             : c >= 0xF0 && c <= 0xF4 ? 4
                                      : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; k++)
    if ((s[i + k] & 0xC0) != 0x80) return 0;
  unsigned char d = n > 1 ? s[i + 1] : 0;
  if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) ||
      (c == 0xF4 && d > 0x8F))
    return 0;
  return n;
}

// JSON text is UTF-8: a byte that is not (in an archive's path, which the file system gives as
// it stands) becomes U+FFFD.
std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size(); i++) {
    unsigned char c = s[i];
    if (c >= 0x80) {
      size_t n = utf8_length(s, i);
      if (n == 0) {
        out += "\xEF\xBF\xBD";
      } else {
        out.append(s, i, n);
        i += n - 1;
      }
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

std::string preamble_text(const uint8_t* bytes, int32_t length) {
  std::string out(size_t(length) * 3 + 1, '\0');
  int32_t n = platform_cp932_to_utf8(bytes, size_t(length), out.data(), out.size());
  if (n < 0) return "";
  out.resize(size_t(n));
  return out;
}

// Opens the archive and accepts its password; returns an exit code other than exit_ok when
// the pass cannot start.
int open_for_reading(const read_arguments& a) {
  FILE* probe = fopen(a.archive.c_str(), "rb");
  if (!probe) {
    fprintf(stderr, "vantrel %s: cannot open '%s': %s\n", session.command, a.archive.c_str(),
            strerror(errno));
    return exit_failed;
  }
  fclose(probe);
  if (std::filesystem::is_directory(a.archive)) {
    fprintf(stderr, "vantrel %s: '%s' is a folder\n", session.command, a.archive.c_str());
    return exit_failed;
  }
  if (open_archive(a.archive.c_str()) == no_payload) {
    fprintf(stderr, "vantrel %s: '%s' is a bare stub without an archive\n", session.command,
            a.archive.c_str());
    return exit_failed;
  }
  session.stream_start = platform_file_position(reader.archive_file);
  session.file_size = platform_file_size(reader.archive_file);
  if (!archive.password_flag) return exit_ok;

  std::string password = a.password;
  if (!a.has_password) {
    if (!read_hidden_line("Password: ", password)) {
      fprintf(stderr, "vantrel %s: '%s' is protected by a password; give it with --password\n",
              session.command, a.archive.c_str());
      return exit_usage;
    }
  }
  std::vector<uint8_t> key(password.size() + 1);
  int32_t n = platform_utf8_to_cp932(password.data(), password.size(), key.data(), key.size());
  // An empty password would leave the data unscrambled; the check's CRC of no bytes is 0, so
  // it is refused here rather than trusted.
  if (n <= 0 || n > max_password || !password_matches(key.data(), n)) {
    fprintf(stderr, "vantrel %s: wrong password for '%s'\n", session.command, a.archive.c_str());
    return exit_usage;
  }
  set_archive_password(key.data(), n);
  session.password_checked = true;
  return exit_ok;
}

void begin_session(const read_arguments& a, const char* command) {
  session = read_session{};
  session.args = &a;
  session.command = command;
}

// The whole pass over a session begun and set up by the caller; returns an exit code
// (failures end the process in fail_run).
int run_pass(const read_arguments& a, const char* command, bool write, const char* destination) {
  platform_set_pump_hook(tool_pump);
  int code = open_for_reading(a);
  if (code != exit_ok) return code;

  struct sigaction action = {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int number : cancelling_signals) sigaddset(&action.sa_mask, number);
  for (int number : cancelling_signals) sigaction(number, &action, nullptr);
  // A file past the size limit is a failed write (EFBIG), not the end of the process.
  signal(SIGXFSZ, SIG_IGN);

  extract_mode = extract_options{};
  extract_mode.write_nothing = !write;
  extract_mode.select = write ? select_member : nullptr;
  extract_mode.member_done = member_done;
  progress_start(session.file_size, a.quiet);
  extract_archive(destination);
  progress_update(session.file_size, true);
  progress_clear();
  if (caught_signal) {
    fprintf(stderr, "vantrel %s: cancelled by %s\n", command, signal_name(caught_signal));
    return 128 + caught_signal;
  }
  if (cancel_requested) {
    fprintf(stderr, "vantrel %s: cancelled\n", command);
    return exit_cancelled;
  }
  return exit_ok;
}

void print_summary() {
  int64_t payload = session.file_size - stub_size;
  char ratio[32] = "-";
  if (session.total_size > 0)
    snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * double(payload) / double(session.total_size));
  printf("%d members (%d files, %d folders), %lld bytes, archive %lld bytes, ratio %s\n",
         session.files + session.folders, session.files, session.folders,
         static_cast<long long>(session.total_size), static_cast<long long>(session.file_size),
         ratio);
}

}  // namespace

// ---- The tool's edge (engine/edge.h) -------------------------------------------------------

// The tool's status is its progress meter (tool_pump); the stages add nothing to it.
void report_stage(member_stage, const char*) {}

void fail_run(failure_kind kind, const char* detail) {
  progress_clear();
  const failure_report& report = failure_reports[kind];
  std::string why = report.message;
  if (detail) why.append(" '").append(shown(detail)).append("'");
  if ((kind == failure_write || kind == failure_folder) && !session.destination.empty()) {
    std::string link = first_link_below(session.destination, session.current);
    if (!link.empty())
      why = std::string("'").append(link).append(
          "' is a symbolic link; nothing is extracted through a link below the destination");
    else if (kind == failure_write && platform_last_write_error() != 0)
      why += std::string(" (") + strerror(platform_last_write_error()) + ")";
  }
  // A wrong password passes the 16-bit check about once in 65,536 tries, and then the data
  // descrambles to garbage that fails as damage would.
  if (kind == failure_damaged && session.password_checked)
    why += ", or the password is wrong (the archive's check lets about one wrong password in "
           "65,536 through)";
  fprintf(stderr, "vantrel %s: %s: %s", session.command, session.args->archive.c_str(),
          why.c_str());
  if (!session.current.empty())
    fprintf(stderr, ", while reading '%s'", session.current.c_str());
  else if (!session.last_done.empty())
    fprintf(stderr, ", after '%s'", session.last_done.c_str());
  fputc('\n', stderr);
  abandon_run();
  platform_exit(report.code);
}

overwrite_answer ask_overwrite(const char* full_path) {
  std::string path = shown(full_path);
  if (session.overwrite == overwrite_always) return overwrite_yes;
  if (session.overwrite == overwrite_never) {
    session.skipped_existing++;
    return overwrite_no;
  }
  for (;;) {
    fprintf(stderr, "'%s' already exists. Overwrite? [y]es, [n]o, [a]ll, none ([s]kip all), "
                    "[q]uit: ", path.c_str());
    fflush(stderr);
    char line[64];
    if (!fgets(line, sizeof line, stdin)) {
      fputc('\n', stderr);
      return overwrite_cancel;
    }
    std::string a(line);
    while (!a.empty() && (a.back() == '\n' || a.back() == '\r' || a.back() == ' ')) a.pop_back();
    if (a == "y" || a == "yes") return overwrite_yes;
    if (a == "n" || a == "no") {
      session.skipped_existing++;
      return overwrite_no;
    }
    if (a == "a" || a == "all") {
      session.overwrite = overwrite_always;
      return overwrite_yes;
    }
    if (a == "s" || a == "none") {
      session.overwrite = overwrite_never;
      session.skipped_existing++;
      return overwrite_no;
    }
    if (a == "q" || a == "quit") return overwrite_cancel;
  }
}

int run_list(const read_arguments& a) {
  begin_session(a, "list");
  session.print_members = !a.json;
  int code = run_pass(a, "list", false, ".\\");
  if (code != exit_ok) return code;
  if (!a.json) {
    print_summary();
    return exit_ok;
  }
  printf("{\n  \"archive\": %s,\n  \"archive_size\": %lld,\n", json_string(a.archive).c_str(),
         static_cast<long long>(session.file_size));
  printf("  \"message\": %s,\n",
         json_string(preamble_text(archive.message_text, archive.message_text_length)).c_str());
  printf("  \"run_after\": %s,\n",
         json_string(preamble_text(archive.run_after, archive.run_after_length)).c_str());
  printf("  \"password\": %s,\n  \"members\": [", archive.password_flag ? "true" : "false");
  for (size_t i = 0; i < session.members.size(); i++) {
    const listed_member& m = session.members[i];
    printf("%s\n    {\"kind\": \"%s\", \"name\": %s", i ? "," : "",
           m.is_folder ? "folder" : "file", json_string(m.name).c_str());
    if (!m.is_folder)
      printf(", \"size\": %d, \"creation_time\": %llu, \"last_access_time\": %llu, "
             "\"last_write_time\": %llu",
             m.size, static_cast<unsigned long long>(m.creation_time),
             static_cast<unsigned long long>(m.last_access_time),
             static_cast<unsigned long long>(m.last_write_time));
    printf("}");
  }
  printf("\n  ],\n  \"files\": %d,\n  \"folders\": %d,\n  \"total_size\": %lld\n}\n",
         session.files, session.folders, static_cast<long long>(session.total_size));
  return exit_ok;
}

int run_test(const read_arguments& a) {
  begin_session(a, "test");
  int code = run_pass(a, "test", false, ".\\");
  if (code != exit_ok) return code;
  if (!a.quiet) {
    printf("%s: OK, ", a.archive.c_str());
    print_summary();
  }
  return exit_ok;
}

int run_extract(const read_arguments& a) {
  std::string destination = a.destination.empty() ? "." : a.destination;
  if (destination.find('\\') != std::string::npos) {
    fprintf(stderr, "vantrel extract: the folder name '%s' holds a backslash\n",
            destination.c_str());
    return exit_usage;
  }
  std::error_code ec;
  std::filesystem::create_directories(destination, ec);
  if (!std::filesystem::is_directory(destination, ec)) {
    fprintf(stderr, "vantrel extract: cannot create the folder '%s'\n", destination.c_str());
    return exit_failed;
  }
  if (!platform_confine_below(destination.c_str())) {
    fprintf(stderr, "vantrel extract: cannot open the folder '%s': %s\n", destination.c_str(),
            strerror(errno));
    return exit_failed;
  }
  // The engine's form: '\' separated, ending in '\'.
  std::string engine_destination = destination;
  for (char& c : engine_destination)
    if (c == '/') c = '\\';
  if (engine_destination.back() != '\\') engine_destination += '\\';

  std::vector<std::string> wanted;
  for (std::string name : a.names) {
    for (char& c : name)
      if (c == '/') c = '\\';
    while (!name.empty() && name.back() == '\\') name.pop_back();
    while (name.compare(0, 2, ".\\") == 0) name.erase(0, 2);
    if (name.empty() || name == ".") {
      fprintf(stderr, "vantrel extract: an empty member name was given\n");
      return exit_usage;
    }
    wanted.push_back(name);
  }
  overwrite_policy policy = stdin_is_terminal() ? overwrite_ask : overwrite_never;
  if (a.overwrite == "ask") policy = overwrite_ask;
  if (a.overwrite == "always") policy = overwrite_always;
  if (a.overwrite == "never") policy = overwrite_never;

  begin_session(a, "extract");
  session.destination = destination;
  session.overwrite = policy;
  session.wanted = wanted;
  session.matched.assign(wanted.size(), false);
  int code = run_pass(a, "extract", true, engine_destination.c_str());
  if (code != exit_ok) return code;
  bool missing = false;
  for (size_t i = 0; i < session.wanted.size(); i++)
    if (!session.matched[i]) {
      fprintf(stderr, "vantrel extract: '%s' is not in the archive\n",
              shown(session.wanted[i]).c_str());
      missing = true;
    }
  if (!a.quiet) {
    printf("%d files written to %s", session.written, destination.c_str());
    if (session.skipped_existing)
      printf(", %d existing files left as they were", session.skipped_existing);
    printf("\n");
  }
  return missing ? exit_usage : exit_ok;
}
