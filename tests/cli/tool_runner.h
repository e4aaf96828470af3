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

// args: everything after the program name. stdin_text goes to standard input (never a
// terminal here). cwd: "" keeps the test's own folder.
// while_running, when given, is called with the child's process id right after it started.
tool_run run_tool(const std::vector<std::string>& args, const std::string& stdin_text = "",
                  const std::string& cwd = "",
                  const std::function<void(pid_t)>& while_running = nullptr);

// A fresh empty folder (host path, no trailing '/'), removed by the returned guard.
struct scratch_folder {
  std::string path;
  explicit scratch_folder(const char* tag);
  ~scratch_folder();
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

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
