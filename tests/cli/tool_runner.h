// Runs the built `vantrel` as a separate process, as a user or a script would, and gives back
// its exit code and what it wrote. Plus the few file-tree helpers the tool's tests share.
#pragma once
#include <stdint.h>
#include <functional>
#include <map>
#include <sys/types.h>
#include <string>
#include <vector>

struct tool_run {
  int code = -1;      // exit code; 128 + n after signal n
  std::string out, err;
};

// The program run: the build's `vantrel`, or the one VANTREL_TEST_TOOL names in the
// environment (tests/cli/vantrel_wine.sh: vantrel.exe under wine64, as the same suite).
std::string tool_program();
// True when the tool run is vantrel.exe; cases about what only Linux has (signals, symbolic
// links, permissions, typing at a prompt) skip then, saying so.
bool tool_is_windows_program();

// args: everything after the program name. stdin_text goes to standard input (never a
// terminal here). cwd: "" keeps the test's own folder.
// while_running, when given, is called with the child's process id right after it started.
// in_child, when given, runs in the child just before the tool starts (limits, privileges); it
// returns false when it could not do its part, and the run ends with code 124.
tool_run run_tool(const std::vector<std::string>& args, const std::string& stdin_text = "",
                  const std::string& cwd = "",
                  const std::function<void(pid_t)>& while_running = nullptr,
                  const std::function<bool()>& in_child = nullptr);

// run_tool with the build's Linux `vantrel`, whatever VANTREL_TEST_TOOL says.
tool_run run_linux_tool(const std::vector<std::string>& args);

// Runs one of Wine's own programs (args[0]: attrib, ...) with the Wine that runs vantrel.exe
// (the WINE of scripts/wine-env.sh); only when tool_is_windows_program().
tool_run run_wine_program(const std::vector<std::string>& args);
// A host path as a Windows program names it: the Unix root is drive Z:.
std::string windows_path(const std::string& path);

// The same on a terminal: standard input, output and error are one pseudo-terminal, whose
// output (both streams, with the terminal's "\r\n" line ends) comes back in `out`; `typed`
// is written to it as keyboard input. in_child may point a stream elsewhere (a file).
// while_running, when given, is called with the child's process id and the terminal (the
// side the keyboard writes to) right after it started.
tool_run run_tool_in_terminal(
    const std::vector<std::string>& args, const std::string& typed = "",
    const std::function<bool()>& in_child = nullptr,
    const std::function<void(pid_t, int terminal)>& while_running = nullptr);

// Watches one folder for the first write to the file `name` in it, through inotify. Made
// before the writing process starts, so that no write can slip in ahead of the watch. With
// by_prefix, `name` is the start of a name, and the watch waits for a write to the nth file
// so named (temporary files differ by their random end: the nth member written).
class write_watch {
 public:
  write_watch(const std::string& folder, const std::string& name, bool by_prefix = false,
              int nth = 1);
  ~write_watch();
  write_watch(const write_watch&) = delete;
  write_watch& operator=(const write_watch&) = delete;

  enum outcome { written, writer_ended, timed_out, cannot_watch };
  // Blocks until the file has been written to, or `writer` has ended without writing it, or
  // `deadline_seconds` have passed (a hang, never the expected way out).
  outcome wait(pid_t writer, int deadline_seconds);

 private:
  std::string name_;
  bool by_prefix_ = false;
  int nth_ = 1;
  std::vector<std::string> seen_;
  int fd_ = -1;
};

// A fresh empty folder (host path, no trailing '/'), removed by the returned guard.
struct scratch_folder {
  std::string path;
  explicit scratch_folder(const char* tag);
  ~scratch_folder();
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// Names of the entries directly in folder that start with prefix.
std::vector<std::string> names_starting(const std::string& folder, const std::string& prefix);

void put_file(const std::string& path, const std::vector<uint8_t>& bytes);
void put_text(const std::string& path, const std::string& text);
std::vector<uint8_t> get_file(const std::string& path);

// Everything below root: relative path ('/' separated; folders end in '/') to its content
// (empty for folders).
std::map<std::string, std::vector<uint8_t>> tree_of(const std::string& root);
// Last write time as a FILETIME (100 ns since 1601), -1 when it cannot be read.
int64_t last_write_filetime(const std::string& path);
// Sets the last access and last write times (seconds since 1970, whole seconds).
void set_times(const std::string& path, int64_t access_seconds, int64_t write_seconds);

// A console control event for vantrel.exe under Wine, which delivers only Ctrl-C by itself:
// vantrel_console_event.exe (tests/cli/windows/console_event.cpp, built beside vantrel.exe, or
// the one VANTREL_CONSOLE_EVENT_EXE names), started at once and waiting, so that send() reaches
// the tool within milliseconds. The tool is the one vantrel.exe whose command line contains
// marker (a test's own scratch path). Only when tool_is_windows_program().
class console_event {
 public:
  enum { ctrl_break = 1 };
  console_event(int event, const std::string& marker);
  ~console_event();  // ends a helper that was never asked
  console_event(const console_event&) = delete;
  console_event& operator=(const console_event&) = delete;

  // The helper's path.
  static std::string program();
  // Delivers the event; the helper's exit code (0 delivered) and what it said.
  tool_run send();

 private:
  tool_run finish();
  scratch_folder io_{"event"};
  pid_t child_ = -1;
  int asking_ = -1;  // the helper's standard input
};

// Runs the tool and, once `watch` sees it write, sends it `event`: what the watch saw (a run
// it did not see writing is killed instead) and what sending gave, beside the run.
struct run_with_event {
  tool_run run, sent;
  write_watch::outcome seen = write_watch::cannot_watch;
};
run_with_event run_tool_sending(const std::vector<std::string>& args, write_watch& watch,
                                console_event& event);
