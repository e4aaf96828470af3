// Coverage-guided fuzzing (libFuzzer, with AddressSanitizer and UndefinedBehaviorSanitizer) of
// the tool's read path as `vantrel list --json --password k ARCHIVE` runs it: the tool's own
// run_list (cli/read_commands.cpp) with its edge, in this process. Its output is read back
// with a real JSON parser (nlohmann-json, strict about UTF-8 as any reader of the output is).
//
// The input is an archive in one of the two forms of fuzz_archive.h; in the content form the
// second bit of the first byte scrambles the blocks with the password "k" (which also opens
// the reference archive password_1byte_masked).
//
// A finding is a crash, a sanitizer report, a hang, and any of:
// - a finished listing whose standard output does not parse as JSON, or whose members, counts
//   and sizes disagree with each other or with the archive, or that says anything on standard
//   error;
// - a refused archive that prints anything on standard output, or anything else on standard
//   error than one line "vantrel list: ...".
//
// The tool ends a failed run through platform_exit; this program is linked with
// --wrap for it (CMakeLists.txt), so that the end of the process becomes an exception that
// returns here, unwinding the tool's frames as they would never be on a real exit.
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "tests/fuzz/fuzz_archive.h"

namespace {

std::string archive_path;
const char password[] = "k";

struct tool_exited {
  int code;
};

[[noreturn]] void finding(const std::string& what, const std::string& output) {
  fprintf(stderr, "list: %s\n--- output ---\n%s\n--- end ---\n", what.c_str(), output.c_str());
  fflush(stderr);
  abort();
}

// Standard output and standard error of one call of run_list, kept in memory.
struct captured_call {
  int code = 0;
  std::string out, err;
};

std::string take(FILE* f, char*& buffer, size_t& length) {
  fclose(f);
  std::string text(buffer, length);
  free(buffer);
  return text;
}

captured_call call_list(const read_arguments& a) {
  static const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ};
  struct sigaction saved[sizeof signals / sizeof *signals];
  for (size_t i = 0; i < sizeof signals / sizeof *signals; i++)
    sigaction(signals[i], nullptr, &saved[i]);
  char *out_buffer = nullptr, *err_buffer = nullptr;
  size_t out_length = 0, err_length = 0;
  FILE* out = open_memstream(&out_buffer, &out_length);
  FILE* err = open_memstream(&err_buffer, &err_length);
  FILE *real_out = stdout, *real_err = stderr;
  stdout = out;
  stderr = err;
  captured_call call;
  try {
    call.code = run_list(a);
  } catch (const tool_exited& e) {
    call.code = e.code;
  }
  stdout = real_out;
  stderr = real_err;
  call.out = take(out, out_buffer, out_length);
  call.err = take(err, err_buffer, err_length);
  for (size_t i = 0; i < sizeof signals / sizeof *signals; i++)
    sigaction(signals[i], &saved[i], nullptr);
  return call;
}

void check_listing(const captured_call& call, int64_t archive_size) {
  nlohmann::json j;
  try {
    j = nlohmann::json::parse(call.out);
  } catch (const nlohmann::json::exception& e) {
    finding(std::string("the listing is no JSON: ") + e.what(), call.out);
  }
  try {
    if (j.at("archive").get<std::string>() != archive_path ||
        j.at("archive_size").get<int64_t>() != archive_size)
      finding("the listing names another archive or size", call.out);
    j.at("message").get<std::string>();
    j.at("run_after").get<std::string>();
    j.at("password").get<bool>();
    const nlohmann::json& members = j.at("members");
    int64_t files = 0, folders = 0, total = 0;
    for (const nlohmann::json& m : members) {
      std::string kind = m.at("kind").get<std::string>(), name = m.at("name").get<std::string>();
      if (kind == "folder") {
        folders++;
        if (m.contains("size")) finding("a folder with a size", call.out);
      } else if (kind == "file") {
        files++;
        int64_t size = m.at("size").get<int64_t>();
        if (size < 0) finding("a file of negative size", call.out);
        total += size;
        m.at("creation_time").get<uint64_t>();
        m.at("last_access_time").get<uint64_t>();
        m.at("last_write_time").get<uint64_t>();
      } else {
        finding("a member of kind '" + kind + "'", call.out);
      }
    }
    if (j.at("files").get<int64_t>() != files || j.at("folders").get<int64_t>() != folders ||
        j.at("total_size").get<int64_t>() != total)
      finding("the counts disagree with the members listed", call.out);
  } catch (const nlohmann::json::exception& e) {
    finding(std::string("the listing lacks a field or has one of another type: ") + e.what(),
            call.out);
  }
}

}  // namespace

// What the tool ends its process with, here an exception back to call_list.
extern "C" [[noreturn]] void __wrap__Z13platform_exiti(int code) { throw tool_exited{code}; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = getenv("TMPDIR");
  archive_path = std::string(tmp && *tmp ? tmp : "/tmp") + "/vantrel_fuzz_list_" +
                 std::to_string(getpid()) + ".exe";
  atexit([] { unlink(archive_path.c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> key;
  if (size > 0 && (data[0] & 3) == 2) key.assign(password, password + 1);
  std::vector<uint8_t> file = archive_of_input(data, size, key);
  if (file.empty() || !write_whole_file(archive_path.c_str(), file)) return 0;

  read_arguments a;
  a.archive = archive_path;
  a.password = password;
  a.has_password = true;
  a.quiet = true;
  a.json = true;
  captured_call call = call_list(a);
  if (call.code == exit_ok) {
    if (!call.err.empty())
      finding("a finished listing says something on standard error", call.err);
    check_listing(call, int64_t(file.size()));
  } else {
    if (!call.out.empty()) finding("a refused archive printed a listing", call.out);
    if (call.err.compare(0, 14, "vantrel list: ") != 0 || call.err.back() != '\n' ||
        call.err.find('\n') != call.err.size() - 1)
      finding("a refused archive is not reported in one line", call.err);
  }
  return 0;
}
