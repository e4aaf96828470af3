// Coverage-guided fuzzing (libFuzzer, with AddressSanitizer and UndefinedBehaviorSanitizer) of
// everything an archive's bytes reach when it is listed or tested: the preamble, the block
// stream, the member records, the stored names and the decoder. Nothing is written: the
// member loop runs as `vantrel test` runs it.
//
// The first byte of an input chooses its form:
// - even: the rest is the content of the block stream (member records and coded data),
//   stored behind a plain preamble in sound blocks, so that mutations reach the records and
//   the decoder instead of failing a block's check;
// - odd: the rest is the payload as stored after the stub (total size, preamble, blocks),
//   with the total size set to the real one.
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
#include "app/stub_size.h"
#include "engine/edge.h"
#include "engine/member_loop.h"
#include "packer/archive_writer.h"
#include "packer/block_writer.h"
#include "platform/platform.h"

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

std::vector<uint8_t> stand_in_stub() {
  std::vector<uint8_t> stub(stub_size);
  for (size_t i = 0; i < stub.size(); i++) stub[i] = uint8_t("stand-in stub "[i % 14] ^ (i >> 8));
  return stub;
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
  if (size == 0 || size > (1u << 20)) return 0;
  static const std::vector<uint8_t> stub = stand_in_stub();
  std::vector<uint8_t> file = stub;
  if (data[0] & 1) {
    file.insert(file.end(), data + 1, data + size);
    if (file.size() < stub_size + 4) return 0;
  } else {
    preamble_fields fields;
    write_preamble(file, fields);
    block_writer w;
    block_writer_start(w, &file, {});
    for (size_t i = 1; i < size; i++) block_write_byte(w, data[i]);
    block_writer_finish(w);
  }
  patch_total_size(file);
  FILE* f = fopen(archive_path.c_str(), "wb");
  if (!f) return 0;
  fwrite(file.data(), 1, file.size(), f);
  fclose(f);

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
