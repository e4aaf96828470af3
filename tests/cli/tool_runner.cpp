#include "tests/cli/tool_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

static std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

static bool linux_tool_only = false;
static bool wine_program = false;  // run_wine_program: args[0] is the program Wine runs

std::string tool_program() {
  const char* other = linux_tool_only ? nullptr : getenv("VANTREL_TEST_TOOL");
  return other && *other ? other : VANTREL_EXE;
}

bool tool_is_windows_program() { return tool_program() != VANTREL_EXE; }

// In a child: runs the tool with args in place of this process; 126 when it cannot.
[[noreturn]] static void exec_tool(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  const char* wine = getenv("WINE");
  std::string program = wine_program ? (wine ? wine : "wine") : tool_program();
  argv.push_back(program.data());
  std::vector<std::string> copy = args;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(126);
}

tool_run run_linux_tool(const std::vector<std::string>& args) {
  linux_tool_only = true;
  tool_run r = run_tool(args);
  linux_tool_only = false;
  return r;
}

tool_run run_wine_program(const std::vector<std::string>& args) {
  wine_program = true;
  tool_run r = run_tool(args);
  wine_program = false;
  return r;
}

std::string windows_path(const std::string& path) {
  std::string p = "Z:" + path;
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

tool_run run_tool(const std::vector<std::string>& args, const std::string& stdin_text,
                  const std::string& cwd, const std::function<void(pid_t)>& while_running,
                  const std::function<bool()>& in_child) {
  scratch_folder io("io");
  std::string in_path = io / "in", out_path = io / "out", err_path = io / "err";
  put_text(in_path, stdin_text);
  tool_run r;
  pid_t child = fork();
  if (child == 0) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(125);
    if (!freopen(in_path.c_str(), "rb", stdin) || !freopen(out_path.c_str(), "wb", stdout) ||
        !freopen(err_path.c_str(), "wb", stderr))
      _exit(125);
    if (in_child && !in_child()) _exit(124);
    exec_tool(args);
  }
  if (while_running) while_running(child);
  int status = 0;
  waitpid(child, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = slurp(out_path);
  r.err = slurp(err_path);
  return r;
}

tool_run run_tool_in_terminal(const std::vector<std::string>& args, const std::string& typed,
                              const std::function<bool()>& in_child,
                              const std::function<void(pid_t, int)>& while_running) {
  tool_run r;
  int terminal = -1;
  winsize size = {};
  size.ws_row = 24;
  size.ws_col = 120;
  pid_t child = forkpty(&terminal, nullptr, nullptr, &size);
  if (child < 0) return r;
  if (child == 0) {
    if (in_child && !in_child()) _exit(124);
    exec_tool(args);
  }
  if (!typed.empty() && write(terminal, typed.data(), typed.size()) < 0) r.err = "typing failed";
  if (while_running) while_running(child, terminal);
  // Read until the child's side closes (EIO on Linux once the last holder is gone).
  char buffer[4096];
  for (;;) {
    ssize_t n = read(terminal, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    r.out.append(buffer, size_t(n));
  }
  close(terminal);
  int status = 0;
  waitpid(child, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

write_watch::write_watch(const std::string& folder, const std::string& name, bool by_prefix,
                         int nth)
    : name_(name), by_prefix_(by_prefix), nth_(nth) {
  fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd_ >= 0 && inotify_add_watch(fd_, folder.c_str(), IN_MODIFY) < 0) {
    close(fd_);
    fd_ = -1;
  }
}

write_watch::~write_watch() {
  if (fd_ >= 0) close(fd_);
}

write_watch::outcome write_watch::wait(pid_t writer, int deadline_seconds) {
  if (fd_ < 0) return cannot_watch;
  // The writer's end shows as a readable process descriptor (it is not reaped: the caller
  // still waits for it). Without pidfd_open (kernels before 5.3) only the deadline is left.
  int process_fd = -1;
#ifdef SYS_pidfd_open
  process_fd = int(syscall(SYS_pidfd_open, writer, 0));
#endif
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(deadline_seconds);
  outcome result = timed_out;
  alignas(inotify_event) char events[4096];
  for (;;) {
    ssize_t n = read(fd_, events, sizeof events);
    for (ssize_t at = 0; at < n;) {
      auto* e = reinterpret_cast<const inotify_event*>(events + at);
      if ((e->mask & IN_MODIFY) && e->len > 0) {
        std::string name = e->name;
        if (!by_prefix_ && name == name_) result = written;
        if (by_prefix_ && name.compare(0, name_.size(), name_) == 0) {
          if (std::find(seen_.begin(), seen_.end(), name) == seen_.end()) seen_.push_back(name);
          if (int(seen_.size()) >= nth_) result = written;
        }
      }
      at += ssize_t(sizeof(inotify_event) + e->len);
    }
    if (result == written) break;
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      result = cannot_watch;
      break;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fds[2] = {{fd_, POLLIN, 0}, {process_fd, POLLIN, 0}};
    int ready = poll(fds, process_fd >= 0 ? 2 : 1, int(left.count()));
    if (ready < 0 && errno != EINTR) {
      result = cannot_watch;
      break;
    }
    // Events first: a writer that wrote and then ended still counts as having written.
    if (ready > 0 && !(fds[0].revents & POLLIN) && process_fd >= 0 && fds[1].revents) {
      result = writer_ended;
      break;
    }
  }
  if (process_fd >= 0) close(process_fd);
  return result;
}

scratch_folder::scratch_folder(const char* tag) {
  std::string pattern = (fs::temp_directory_path() / ("vantrel_cli_" + std::string(tag) +
                                                      "_XXXXXX")).string();
  if (!mkdtemp(pattern.data())) abort();
  path = pattern;
}

scratch_folder::~scratch_folder() {
  std::error_code ec;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path, ec);
}

std::vector<std::string> names_starting(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    std::string name = e.path().filename().string();
    if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
  }
  return names;
}

void put_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void put_text(const std::string& path, const std::string& text) {
  put_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> get_file(const std::string& path) {
  std::string s = slurp(path);
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::map<std::string, std::vector<uint8_t>> tree_of(const std::string& root) {
  std::map<std::string, std::vector<uint8_t>> tree;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    std::string relative = fs::relative(e.path(), root).string();
    if (e.is_directory()) tree[relative + "/"] = {};
    else tree[relative] = get_file(e.path().string());
  }
  return tree;
}

int64_t last_write_filetime(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return (int64_t(st.st_mtim.tv_sec) + 11644473600LL) * 10000000 + st.st_mtim.tv_nsec / 100;
}

void set_times(const std::string& path, int64_t access_seconds, int64_t write_seconds) {
  timespec t[2] = {{time_t(access_seconds), 0}, {time_t(write_seconds), 0}};
  utimensat(AT_FDCWD, path.c_str(), t, 0);
}

std::string console_event::program() {
  const char* named = getenv("VANTREL_CONSOLE_EVENT_EXE");
  if (named && *named) return named;
  const char* tool = getenv("VANTREL_TOOL_EXE");
  std::string folder = tool && *tool ? fs::path(tool).parent_path().string() : ".";
  return folder + "/vantrel_console_event.exe";
}

console_event::console_event(int event, const std::string& marker) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return;
  std::string out_path = io_ / "out", err_path = io_ / "err";
  pid_t child = fork();
  if (child == 0) {
    // dup2 leaves the copy open across exec: the helper's standard input.
    if (dup2(ends[0], STDIN_FILENO) < 0 || !freopen(out_path.c_str(), "wb", stdout) ||
        !freopen(err_path.c_str(), "wb", stderr))
      _exit(125);
    const char* wine = getenv("WINE");
    std::vector<std::string> args = {wine ? wine : "wine", program(), std::to_string(event),
                                     "vantrel.exe", marker};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(126);
  }
  close(ends[0]);
  if (child < 0) {
    close(ends[1]);
    return;
  }
  child_ = child;
  asking_ = ends[1];
}

console_event::~console_event() { finish(); }

tool_run console_event::send() {
  if (asking_ < 0) {
    tool_run r;
    r.err = "the helper did not start";
    return r;
  }
  // A helper that has already ended (it could not start) must not end this process by SIGPIPE.
  struct sigaction ignore = {}, before = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &before);
  ssize_t n = write(asking_, "!", 1);
  int error = errno;
  sigaction(SIGPIPE, &before, nullptr);
  tool_run r = finish();
  if (n != 1) r.err += "(not asked: " + std::string(strerror(error)) + ")";
  return r;
}

tool_run console_event::finish() {
  tool_run r;
  if (asking_ >= 0) close(asking_);
  asking_ = -1;
  if (child_ > 0) {
    int status = 0;
    waitpid(child_, &status, 0);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  child_ = -1;
  r.out = slurp(io_ / "out");
  r.err = slurp(io_ / "err");
  return r;
}

run_with_event run_tool_sending(const std::vector<std::string>& args, write_watch& watch,
                                console_event& event) {
  run_with_event r;
  r.run = run_tool(args, "", "", [&](pid_t child) {
    r.seen = watch.wait(child, 60);
    if (r.seen == write_watch::written)
      r.sent = event.send();
    else
      kill(child, SIGKILL);
  });
  return r;
}
