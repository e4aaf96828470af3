// vantrel list, test and extract: one pass of the extractor's own member loop over the
// archive, writing nothing (list, test) or the chosen members (extract). This is the tool's
// edge (engine/edge.h): the engine's failures become lines on standard error and end the
// process with their exit code, and its question comes to the terminal.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/archive.h"
#include "cli/cli.h"
#include "cli/system.h"
#include "cli/listing.h"
#include "engine/block_reader.h"
#include "engine/edge.h"
#include "engine/member_loop.h"
#include "platform/platform.h"
#include "packer/name_patterns.h"
#ifdef _WIN32
#include "platform/platform_win32_tool.h"
#else
#include "platform/platform_posix.h"
#endif

namespace {

enum overwrite_policy { overwrite_ask, overwrite_always, overwrite_never };

// The one pass of this process.
struct read_session {
  const read_arguments* args = nullptr;
  const char* command = "";
  std::string path;   // the archive to open: the file named, or standard input kept aside
  std::string label;  // the archive in messages
  int64_t stream_start = 0;
  int64_t file_size = 0;
  bool print_members = false;
  archive_listing listing;   // list --json: the members; every command: the counts
  std::string current;       // the member being read, once known
  std::string last_done;     // the last member finished
  overwrite_policy overwrite = overwrite_never;
  int32_t written = 0, skipped_existing = 0;
  std::vector<std::string> wanted;  // list and extract PATTERNs (normal_pattern)
  std::vector<bool> matched;
  std::vector<std::string> excluded;  // --exclude and --exclude-from
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
      if (is_link(path)) return path;
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

// Whether the member is one the command line chose: matched by a PATTERN (when any was given)
// and by no exclusion. Marks the patterns that matched.
bool chosen(const member_info& m) {
  std::string name = shown(m.name);
  if (!name.empty() && name.back() == '/') name.pop_back();
  for (const std::string& pattern : session.excluded)
    if (pattern_excludes(pattern, name)) return false;
  if (session.wanted.empty()) return true;
  bool any = false;
  for (size_t i = 0; i < session.wanted.size(); i++) {
    if (pattern_selects(session.wanted[i], name)) {
      session.matched[i] = true;
      any = true;
    }
  }
  return any;
}

bool select_member(const member_info& m) {
  session.current = shown(m.name);
  return chosen(m);
}

void member_done(const member_info& m) {
  // list and test see every member; list shows only those chosen.
  if (extract_mode.write_nothing && !chosen(m)) {
    session.current.clear();
    progress_update(archive_bytes_done());
    return;
  }
  listed_member l;
  l.is_folder = m.is_folder;
  l.size = m.is_folder ? 0 : m.size;
  l.creation_time = m.creation_time;
  l.last_access_time = m.last_access_time;
  l.last_write_time = m.last_write_time;
  l.name = shown(m.name);
  if (m.is_folder) {
    session.listing.folders++;
  } else {
    session.listing.files++;
    session.listing.total_size += m.size;
    if (m.written) session.written++;
  }
  session.current.clear();
  session.last_done = l.name.empty() ? "." : l.name;
  if (session.print_members) {
    progress_clear();
    char when[32] = "-";
    if (!m.is_folder && m.last_write_time >= 116444736000000000ull) {
      int64_t seconds = int64_t(m.last_write_time / 10000000ull - 11644473600ull);
      if (!local_time_text(seconds, when, sizeof when)) snprintf(when, sizeof when, "-");
    }
    if (m.is_folder)
      print_text(stdout, "%-6s %12s  %-19s  %s\n", "folder", "-", "-",
                 l.name.empty() ? "." : l.name.c_str());
    else
      print_text(stdout, "%-6s %12d  %-19s  %s\n", "file", m.size, when, l.name.c_str());
  } else if (session.args->json) {
    session.listing.members.push_back(l);
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

uint32_t little_endian(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; i--) v = v << 8 | p[i];
  return v;
}

enum probe_result { probe_unreadable, probe_other_file, probe_bare_stub, probe_archive_like };

// Whether the file is a stub followed by a payload, told apart from every other file before
// the engine's own checks (whose "longer" and "shorter" only make sense for an archive). The
// stub's image starts as a Windows program does ("MZ"), or is all zero bytes (the stand-in of a
// build without the Windows side); when it carries a PE header, the program's sections end
// within stub_size, as the stub's do, while any larger program continues past it. The length
// field after the stub records at least the stub, itself and the smallest preamble (two empty
// texts and the flag). A recorded length that does not match the file's is left to the
// engine: that is an archive cut short or with bytes appended.
probe_result probe_archive(const std::string& path) {
  FILE* f = open_file(path, "rb");
  if (!f) return probe_unreadable;
  std::vector<uint8_t> head(stub_size + 4);
  size_t got = fread(head.data(), 1, head.size(), f);
  bool failed = ferror(f) != 0;
  fclose(f);
  if (failed) return probe_unreadable;
  if (got < size_t(stub_size)) return probe_other_file;
  bool zero_image = true;
  for (int32_t i = 0; i < stub_size && zero_image; i++) zero_image = head[size_t(i)] == 0;
  if (!zero_image) {
    if (head[0] != 'M' || head[1] != 'Z') return probe_other_file;
    uint32_t pe = little_endian(&head[pe_header_offset], 4);
    if (pe <= uint32_t(stub_size) - 24 && little_endian(&head[pe], 4) == 0x4550) {
      uint32_t sections = little_endian(&head[pe + 6], 2);
      uint32_t table = pe + 24 + little_endian(&head[pe + 20], 2);
      for (uint32_t i = 0; i < sections; i++) {
        uint32_t at = table + 40 * i;
        if (at + 40 > uint32_t(stub_size)) return probe_other_file;
        uint64_t end = uint64_t(little_endian(&head[at + 20], 4)) +
                       little_endian(&head[at + 16], 4);
        if (end > uint64_t(stub_size)) return probe_other_file;
      }
    }
  }
  if (got == size_t(stub_size)) return probe_bare_stub;
  if (got < head.size()) return probe_other_file;
  int64_t recorded = int32_t(little_endian(&head[size_t(stub_size)], 4));
  return recorded < stub_size + 4 + 3 ? probe_other_file : probe_archive_like;
}

// An archive is read by position and its length compared with the file's, so one that comes
// through a pipe is first kept whole in a temporary file, which is gone however the run ends.
int take_standard_input() {
  session.label = "(standard input)";
  if (stdin_is_terminal()) {
    print_text(stderr,
               "vantrel %s: will not read an archive from a terminal; pipe one in or "
               "name the file\n",
               session.command);
    return exit_usage;
  }
  std::string error;
  if (!keep_standard_input(session.path, error)) {
    print_text(stderr, "vantrel %s: %s\n", session.command, error.c_str());
    return exit_failed;
  }
  return exit_ok;
}

// Checks that the file can be read and is an archive of this kind, before anything else is
// done (extract makes no folder for something else); exit_ok or the exit code to end with.
int check_archive_file(const read_arguments& a) {
  if (a.archive == "-") {
    if (int code = take_standard_input(); code != exit_ok) return code;
  } else {
    session.path = session.label = a.archive;
  }
  FILE* probe = open_file(session.path, "rb");
  if (!probe) {
    print_text(stderr, "vantrel %s: cannot open '%s': %s\n", session.command,
               session.label.c_str(), strerror(errno));
    return exit_failed;
  }
  fclose(probe);
  std::error_code ec;
  if (std::filesystem::is_directory(file_path(session.path), ec)) {
    print_text(stderr, "vantrel %s: '%s' is a folder\n", session.command, session.label.c_str());
    return exit_failed;
  }
  switch (probe_archive(session.path)) {
    case probe_unreadable:
      print_text(stderr, "vantrel %s: cannot read '%s': %s\n", session.command,
                 session.label.c_str(), strerror(errno));
      return exit_failed;
    case probe_bare_stub:
      print_text(stderr, "vantrel %s: '%s' is a bare stub without an archive\n", session.command,
                 session.label.c_str());
      return exit_not_archive;
    case probe_other_file:
      print_text(stderr,
                 "vantrel %s: '%s' is not a Vantrel archive (not an extracting program "
                 "followed by an archive)\n",
                 session.command, session.label.c_str());
      return exit_not_archive;
    case probe_archive_like: break;
  }
  return exit_ok;
}

// Opens the archive and accepts its password; returns an exit code other than exit_ok when
// the pass cannot start.
int open_for_reading(const read_arguments& a) {
  open_archive(session.path.c_str());
  session.stream_start = platform_file_position(reader.archive_file);
  session.file_size = platform_file_size(reader.archive_file);
  if (!archive.password_flag) return exit_ok;

  std::string password = a.password;
  if (!a.password_file.empty()) {
    std::ifstream f(file_path(a.password_file), std::ios::binary);
    if (!f) {
      print_text(stderr, "vantrel %s: cannot read the password file '%s'\n", session.command,
                 a.password_file.c_str());
      return exit_failed;
    }
    std::getline(f, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
  } else if (!a.has_password && !read_hidden_line("Password: ", password)) {
    print_text(stderr,
               "vantrel %s: '%s' is protected by a password; give it with --password-file "
               "or --password\n",
               session.command, session.label.c_str());
    return exit_usage;
  }
  std::vector<uint8_t> key(password.size() + 1);
  int32_t n = platform_utf8_to_cp932(password.data(), password.size(), key.data(), key.size());
  // An empty password would leave the data unscrambled; the check's CRC of no bytes is 0, so
  // it is refused here rather than trusted.
  if (n <= 0 || n > max_password || !password_matches(key.data(), n)) {
    print_text(stderr, "vantrel %s: wrong password for '%s'\n", session.command,
               session.label.c_str());
    return exit_usage;
  }
  set_archive_password(key.data(), n);
  session.password_checked = true;
  return exit_ok;
}

// The archive's own texts and its password flag, ahead of the members in list's text form.
void print_archive_texts() {
  std::string message = cp932_text(archive.message_text, archive.message_text_length);
  if (message.empty()) {
    print_text(stdout, "Message:   (none)\n");
  } else {
    print_text(stdout, "Message:\n");
    size_t at = 0;
    while (at <= message.size()) {
      size_t end = message.find('\n', at);
      if (end == std::string::npos) end = message.size();
      std::string line = message.substr(at, end - at);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      print_text(stdout, "  %s\n", line.c_str());
      at = end + 1;
    }
  }
  std::string run_after = cp932_text(archive.run_after, archive.run_after_length);
  print_text(stdout, "Run after: %s\n", run_after.empty() ? "(none)" : run_after.c_str());
  print_text(stdout, "Password:  %s\n\n",
             !archive.password_flag    ? "no"
             : archive.password_masked ? "yes"
                                       : "yes (shown as it is typed)");
}

void begin_session(const read_arguments& a, const char* command) {
  session = read_session{};
  session.args = &a;
  session.command = command;
}

// The PATTERNs and exclusions of the command line into the session; exit_ok or the code to
// end with.
int take_patterns(const read_arguments& a) {
  for (const std::string& given : a.names) {
    std::string pattern = normal_pattern(given);
    if (pattern.empty() || pattern == ".") {
      print_text(stderr, "vantrel %s: an empty member name was given\n", session.command);
      return exit_usage;
    }
    session.wanted.push_back(pattern);
  }
  session.matched.assign(session.wanted.size(), false);
  for (const std::string& pattern : a.excludes)
    session.excluded.push_back(normal_pattern(pattern));
  for (const std::string& file : a.exclude_files)
    if (!read_pattern_file(file, session.excluded)) {
      print_text(stderr, "vantrel %s: cannot read the pattern file '%s': %s\n", session.command,
                 file.c_str(), strerror(errno));
      return exit_failed;
    }
  return exit_ok;
}

// Names each PATTERN that matched no member, as tar does; true when there was one.
bool report_unmatched() {
  bool missing = false;
  for (size_t i = 0; i < session.wanted.size(); i++)
    if (!session.matched[i]) {
      print_text(stderr, "vantrel %s: '%s' matches nothing in the archive\n", session.command,
                 session.wanted[i].c_str());
      missing = true;
    }
  return missing;
}

// The whole pass over a session begun and set up by the caller; returns an exit code
// (failures end the process in fail_run).
int run_pass(const read_arguments& a, const char* command, bool write, const char* destination) {
  platform_set_pump_hook(tool_pump);
  int code = open_for_reading(a);
  if (code != exit_ok) return code;
  if (session.print_members) print_archive_texts();

  on_cancel(on_signal);

  extract_mode = extract_options{};
  extract_mode.write_nothing = !write;
  extract_mode.select = write ? select_member : nullptr;
  extract_mode.member_done = member_done;
  progress_start(session.file_size, a.quiet);
  extract_archive(destination);
  if (!caught_signal && !cancel_requested) progress_update(session.file_size, true);
  progress_clear();
  if (caught_signal) {
    print_text(stderr, "vantrel %s: cancelled by %s\n", command, cancel_name(caught_signal));
    return 128 + caught_signal;
  }
  if (cancel_requested) {
    print_text(stderr, "vantrel %s: cancelled\n", command);
    return exit_cancelled;
  }
  return exit_ok;
}

void print_summary() {
  int64_t payload = session.file_size - stub_size;
  const archive_listing& l = session.listing;
  // The payload against the content: what packing saved. A ratio of some members to the whole
  // archive would mean nothing, and where the archive's own records outweigh the content
  // (a few small files) there is no saving to show.
  char ratio[48] = ", ratio -";
  bool everything = session.wanted.empty() && session.excluded.empty();
  if (everything && l.total_size > 0 && payload <= l.total_size)
    snprintf(ratio, sizeof ratio, ", ratio %.1f%%",
             100.0 * double(payload) / double(l.total_size));
  else if (everything && l.total_size > 0)
    snprintf(ratio, sizeof ratio, ", no saving");
  print_text(stdout, "%s (%s, %s), %s, archive %s%s\n",
             counted(l.files + l.folders, "member").c_str(), counted(l.files, "file").c_str(),
             counted(l.folders, "folder").c_str(), counted(l.total_size, "byte").c_str(),
             counted(session.file_size, "byte").c_str(), ratio);
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
      why += " (" + write_error_text(platform_last_write_error()) + ")";
  }
  // A wrong password passes the 16-bit check about once in 65,536 tries, and then the data
  // descrambles to garbage that fails as damage would.
  if (kind == failure_damaged && session.password_checked)
    why += ", or the password is wrong (the archive's check lets about one wrong password in "
           "65,536 through)";
  print_text(stderr, "vantrel %s: %s: %s", session.command, session.label.c_str(), why.c_str());
  if (!session.current.empty())
    print_text(stderr, ", while reading '%s'", session.current.c_str());
  else if (!session.last_done.empty())
    print_text(stderr, ", after '%s'", session.last_done.c_str());
  write_text(stderr, "\n");
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
    print_text(stderr,
               "'%s' already exists. Overwrite? [y]es, [n]o, [a]ll, none ([s]kip all), "
               "[q]uit: ",
               path.c_str());
    fflush(stderr);
    char line[64];
    if (!fgets(line, sizeof line, stdin)) {
      write_text(stderr, "\n");
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
  if (int code = check_archive_file(a); code != exit_ok) return code;
  if (int code = take_patterns(a); code != exit_ok) return code;
  session.print_members = !a.json;
  int code = run_pass(a, "list", false, ".\\");
  if (code != exit_ok) return code;
  bool missing = report_unmatched();
  if (!a.json) {
    print_summary();
    return missing ? exit_usage : exit_ok;
  }
  archive_listing& l = session.listing;
  l.archive = a.archive;
  l.archive_size = session.file_size;
  l.message = cp932_text(archive.message_text, archive.message_text_length);
  l.run_after = cp932_text(archive.run_after, archive.run_after_length);
  l.password = archive.password_flag;
  l.password_shown = archive.password_flag && !archive.password_masked;
  write_text(stdout, listing_json(l));
  return missing ? exit_usage : exit_ok;
}

int run_test(const read_arguments& a) {
  begin_session(a, "test");
  if (int code = check_archive_file(a); code != exit_ok) return code;
  int code = run_pass(a, "test", false, ".\\");
  if (code != exit_ok) return code;
  if (!a.quiet) {
    print_text(stdout, "%s: OK, ", session.label.c_str());
    print_summary();
  }
  return exit_ok;
}

int run_extract(const read_arguments& a) {
  begin_session(a, "extract");
  if (int code = check_archive_file(a); code != exit_ok) return code;
  if (int code = take_patterns(a); code != exit_ok) return code;
  std::string destination = a.destination.empty() ? "." : a.destination;
#ifdef _WIN32
  for (char& c : destination)
    if (c == '\\') c = '/';
#endif
  if (destination.find('\\') != std::string::npos) {
    print_text(stderr, "vantrel extract: the folder name '%s' holds a backslash\n",
               destination.c_str());
    return exit_usage;
  }
  std::error_code ec;
  std::filesystem::create_directories(file_path(destination), ec);
  if (!std::filesystem::is_directory(file_path(destination), ec)) {
    print_text(stderr, "vantrel extract: cannot create the folder '%s'\n", destination.c_str());
    return exit_failed;
  }
  if (!platform_confine_below(destination.c_str())) {
    print_text(stderr, "vantrel extract: cannot open the folder '%s': %s\n", destination.c_str(),
               strerror(errno));
    return exit_failed;
  }
  // The engine's form: '\' separated, ending in '\'.
  std::string engine_destination = destination;
  for (char& c : engine_destination)
    if (c == '/') c = '\\';
  if (engine_destination.back() != '\\') engine_destination += '\\';

  overwrite_policy policy = stdin_is_terminal() ? overwrite_ask : overwrite_never;
  if (a.overwrite == "ask") policy = overwrite_ask;
  if (a.overwrite == "always") policy = overwrite_always;
  if (a.overwrite == "never") policy = overwrite_never;
  if (a.archive == "-" && policy == overwrite_ask) {
    print_text(stderr,
               "vantrel extract: --overwrite ask reads its answers from standard input, "
               "which brings the archive here\n");
    return exit_usage;
  }

  session.destination = destination;
  session.overwrite = policy;
  int code = run_pass(a, "extract", true, engine_destination.c_str());
  if (code != exit_ok) return code;
  bool missing = report_unmatched();
  if (!a.quiet) {
    print_text(stdout, "%s written to %s", counted(session.written, "file").c_str(),
               destination.c_str());
    if (session.skipped_existing)
      print_text(stdout, ", %s left as %s",
                 counted(session.skipped_existing, "existing file").c_str(),
                 session.skipped_existing == 1 ? "it was" : "they were");
    print_text(stdout, "\n");
  }
  return missing ? exit_usage : exit_ok;
}
