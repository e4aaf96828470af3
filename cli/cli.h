// The `vantrel` tool: one function per command, and the terminal services they share.
#pragma once
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

constexpr const char* vantrel_version = "1.67";

// Exit codes of every command. A pass ended by SIGINT, SIGTERM, SIGHUP, SIGQUIT or SIGPIPE
// returns 128 + the signal's number (130, 143, 129, 131, 141); exit_cancelled is also the
// answer "quit" at the overwrite question. exit_not_archive: the file read is not a stub
// followed by a payload.
enum : int {
  exit_ok = 0,
  exit_failed = 1,
  exit_usage = 2,
  exit_not_archive = 3,
  exit_skipped = 4,  // pack --skip-unreadable left out entries it could not read
  exit_cancelled = 130
};

struct pack_arguments {
  std::string output;
  std::string message, message_file;
  bool has_message = false;
  std::string run_after;
  std::string password, password_file;
  bool has_password = false, ask_password = false, show_password = false;
  std::string base_folder;
  std::vector<std::string> paths;
  std::vector<std::string> excludes, exclude_files;
  std::string mtime;  // --mtime: the latest time stored ("" : SOURCE_DATE_EPOCH, if set)
  bool skip_unreadable = false;
  bool write_time_only = false;  // --times write-only
  bool quiet = false;
  int level = 0;    // 0: the packer's default
  int threads = 0;  // 0: every core
};

struct read_arguments {
  std::string archive;
  std::string password, password_file;
  bool has_password = false;
  bool quiet = false;
  bool json = false;                 // list
  std::vector<std::string> names;    // list, extract: PATTERNs
  std::vector<std::string> excludes, exclude_files;  // list, extract
  std::string destination;           // extract; "" is the current folder
  std::string overwrite;             // extract: "", "ask", "always", "never"
};

int run_pack(const pack_arguments& a);
// Adds pack's -1 ... -9, --level and --threads to its command (cli/pack_command.cpp).
namespace CLI {
class App;
}
void add_pack_speed_options(CLI::App* pack, pack_arguments& a);
int run_list(const read_arguments& a);
int run_test(const read_arguments& a);
int run_extract(const read_arguments& a);

// "1 file", "2 files": a count with its noun in the right number (nouns that take an "s").
std::string counted(int64_t n, const char* noun);

// ---- Terminal (cli/terminal.cpp) ----------------------------------------------------------
// Text for the user (UTF-8) on standard output or error. On a Windows console it is shown as
// Unicode characters whatever the console's code page; anywhere else the bytes go unchanged.
#ifdef __MINGW32__
#define VANTREL_PRINTF __MINGW_PRINTF_FORMAT  // mingw's own printf, which knows %zu
#else
#define VANTREL_PRINTF printf
#endif
void print_text(FILE* stream, const char* format, ...)
    __attribute__((format(VANTREL_PRINTF, 2, 3)));
void write_text(FILE* stream, const std::string& text);  // cli/system_*.cpp
bool stdin_is_terminal();
bool stderr_is_terminal();
// Reads one line from the terminal without echoing it. False when there is no terminal or
// the input ended.
bool read_hidden_line(const char* prompt, std::string& line);

// Progress on standard error: shown only when it is a terminal and not silenced. update()
// redraws at most a few times a second; clear() removes the line before other output.
struct progress_meter {
  bool enabled = false;
  int64_t total = 0;
  double started = 0;
  double last_draw = 0;
  bool drawn = false;
};
extern progress_meter progress;
void progress_start(int64_t total, bool quiet);
void progress_update(int64_t done, bool force = false);
void progress_clear();
double seconds_now();
