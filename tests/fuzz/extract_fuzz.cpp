// Coverage-guided fuzzing (libFuzzer, with AddressSanitizer and UndefinedBehaviorSanitizer) of
// everything an archive's bytes reach when it is listed or tested: the preamble, the block
// stream, the member records, the stored names and the decoder. Nothing is written: the
// member loop runs as `vantrel test` runs it.
//
// The input is an archive in one of the two forms of fuzz_archive.h.
//
// The harness is its own edge (engine/edge.h): a damaged or refused archive ends in fail_run,
// which here cleans up and returns to the harness through longjmp. A crash, a sanitizer report
// or a hang is a finding, and so is a member whose path would leave the destination folder.
#include <setjmp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/archive.h"
#include "engine/edge.h"
#include "engine/member_loop.h"
#include "platform/platform.h"
#include "tests/fuzz/fuzz_archive.h"

namespace {

jmp_buf run_failed;
std::string archive_path;
const char destination[] = "fuzz\\";

// The path the loop would write a member to is the destination followed by the member's
// name, and the name cannot lead out of it: no root, no drive or stream, no "..".
void check_inside_destination(const member_info& member) {
  size_t d = strlen(destination);
  if (strncmp(member.full_path, destination, d) != 0 || strcmp(member.full_path + d, member.name) != 0)
    __builtin_trap();
  const char* name = member.name;
  if (name[0] == '\\' || name[0] == '/' || strchr(name, ':')) __builtin_trap();
  for (const char* c = name; *c;) {
    size_t n = strcspn(c, "\\/");
    if (n == 2 && c[0] == '.' && c[1] == '.') __builtin_trap();
    c += n;
    if (*c) c++;
  }
}

}  // namespace

void fail_run(failure_kind, const char*) {
  abandon_run();
  longjmp(run_failed, 1);
}

// Nothing is written, so nothing is asked or reported; should it be, the answer is the cautious
// one, silently: the harness runs many thousands of inputs.
void report_stage(member_stage, const char*) {}
overwrite_answer ask_overwrite(const char*) { return overwrite_no; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = getenv("TMPDIR");
  archive_path = std::string(tmp && *tmp ? tmp : "/tmp") + "/vantrel_fuzz_" + std::to_string(getpid()) + ".exe";
  atexit([] { unlink(archive_path.c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> file = archive_of_input(data, size);
  if (file.empty() || !write_whole_file(archive_path.c_str(), file)) return 0;

  reset_archive_state();
  extract_mode = {};
  extract_mode.write_nothing = true;
  extract_mode.member_done = check_inside_destination;
  if (setjmp(run_failed) == 0) {
    if (open_archive(archive_path.c_str()) == ready) extract_archive(destination);
  }
  // A failure closes the archive in abandon_run, a finished run in the loop; a bare stub
  // leaves it open.
  if (reader.archive_file != no_file) {
    platform_close(reader.archive_file);
    reader.archive_file = no_file;
  }
  return 0;
}
