// The tool's system services on Linux (cli/system.h), and the terminal's.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "cli/cli.h"
#include "cli/system.h"

// The fuzzing harness of the read path links these services and brings its own main.
#if !VANTREL_NO_MAIN
int main(int argc, char** argv) { return vantrel_main(argc, argv); }
#endif

void write_text(FILE* stream, const std::string& text) {
  fwrite(text.data(), 1, text.size(), stream);
}

bool stdin_is_terminal() { return isatty(0) == 1; }
bool stderr_is_terminal() { return isatty(2) == 1; }
bool stdout_is_terminal() { return isatty(1) == 1; }

bool read_hidden_line(const char* prompt, std::string& line) {
  if (!stdin_is_terminal()) return false;
  write_text(stderr, prompt);
  fflush(stderr);
  termios saved;
  bool restore = tcgetattr(0, &saved) == 0;
  if (restore) {
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(0, TCSANOW, &quiet);
  }
  line.clear();
  bool got = false;
  for (;;) {
    char c;
    ssize_t n = read(0, &c, 1);
    if (n <= 0) break;
    got = true;
    if (c == '\n') break;
    line += c;
  }
  if (restore) tcsetattr(0, TCSANOW, &saved);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return got;
}

double seconds_now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

std::filesystem::path file_path(const std::string& path) { return std::filesystem::path(path); }

FILE* open_file(const std::string& path, const char* mode) { return fopen(path.c_str(), mode); }

std::string temporary_folder() {
  const char* folder = getenv("TMPDIR");
  return folder && *folder ? folder : "/tmp";
}

bool make_private_folder(const std::string& prefix, std::string& made) {
  std::string pattern = prefix + "XXXXXX";
  if (!mkdtemp(pattern.data())) return false;
  made = pattern;
  return true;
}

void remove_file(const char* path) { unlink(path); }
void remove_folder(const char* path) { rmdir(path); }
void quick_exit_now(int code) { _exit(code); }
void say_on_standard_error(const char* text) {
  if (write(2, text, strlen(text)) < 0) return;  // nothing more to do about it in a handler
}

// The file is unlinked as soon as it exists and read back through its descriptor's name, so
// nothing is left behind however the run ends.
bool keep_standard_input(std::string& path, std::string& error) {
  std::string pattern = temporary_folder() + "/vantrel-input-XXXXXX";
  int fd = mkstemp(pattern.data());
  if (fd < 0) {
    error = "cannot keep standard input in '" + pattern + "': " + strerror(errno);
    return false;
  }
  unlink(pattern.c_str());
  std::vector<char> buffer(1 << 16);
  for (;;) {
    ssize_t n = read(0, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = std::string("reading standard input failed: ") + strerror(errno);
      return false;
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(fd, buffer.data() + done, size_t(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        error = std::string("cannot keep standard input in a temporary file: ") +
                strerror(errno);
        return false;
      }
      done += w;
    }
  }
  path = "/proc/self/fd/" + std::to_string(fd);
  return true;
}

bool local_time_text(int64_t seconds, char* text, size_t capacity) {
  time_t t = time_t(seconds);
  struct tm local;
  return localtime_r(&t, &local) && strftime(text, capacity, "%Y-%m-%d %H:%M:%S", &local) > 0;
}

namespace {
const int cancelling_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
}

void on_cancel(void (*handler)(int number)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  for (int number : cancelling_signals) sigaddset(&action.sa_mask, number);
  for (int number : cancelling_signals) sigaction(number, &action, nullptr);
  // A file past the size limit is a failed write (EFBIG), not the end of the process.
  signal(SIGXFSZ, SIG_IGN);
}

const char* cancel_name(int number) {
  switch (number) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
    case SIGPIPE: return "SIGPIPE";
    default: return "a signal";
  }
}

std::string write_error_text(int code) { return strerror(code); }

bool is_link(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}
