#include "tests/cli/tool_runner.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

static std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

tool_run run_tool(const std::vector<std::string>& args, const std::string& stdin_text,
                  const std::string& cwd, const std::function<void(pid_t)>& while_running) {
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
    std::vector<char*> argv;
    std::string program = VANTREL_EXE;
    argv.push_back(program.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(126);
  }
  if (while_running) while_running(child);
  int status = 0;
  waitpid(child, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = slurp(out_path);
  r.err = slurp(err_path);
  return r;
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
