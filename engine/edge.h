// The engine's seam with the program around it, its edge: the stub (app/stub_edge.cpp), the
// command-line tool (cli/read_commands.cpp), the fuzzing harness (tests/fuzz), a test. The
// engine and fs say what happens as values (a failure's kind, a member's stage, a question
// with its path); the edge chooses the words, the boxes and the exit codes. They hold no text
// of their own.
//
// fail_run, report_stage and ask_overwrite are defined once by each edge and chosen at link
// time, like the two sides of platform.h: the core library carries the stub's edge, which the
// stub and the tests use; a program that defines all three itself (the tool, the fuzzing
// harness) is linked with its own, and the library's object is then never pulled in (one that
// defines only some of them gets duplicate definitions at link time).
#pragma once
#include <stdint.h>

#include "platform/platform.h"

// ---- Failures ----------------------------------------------------------------------------
// Edges keep tables by kind: a new kind goes before failure_shorter, whose two come last.
enum failure_kind : uint8_t {
  failure_read,      // the archive cannot be opened, sized or read, or ends before its stream does
  failure_write,     // a member file cannot be created, written, dated or closed, or its path
                     // is longer than any system takes
  failure_damaged,   // a block fails its check, or a record or a coded body is malformed
  failure_folder,    // a folder cannot be made; the detail is the part of the path that failed
  failure_shorter,   // the file is shorter than the length recorded in it
  failure_longer,    // the file is longer than the length recorded in it (or that length is
                     // negative)
};

// The one way the engine (and the preamble reader, app/archive.cpp) fails: the edge reports the
// failure, calls abandon_run and ends the run without returning. The stub ends the process
// with exit code 1; on the host an edge may also leave through longjmp or an exception.
// detail: UTF-8, the path the failure concerns, or nullptr.
[[noreturn]] void fail_run(failure_kind kind, const char* detail = nullptr);

// Called by the edge's fail_run before it ends the run: closes the archive file (errors
// ignored), and closes the member file being written and deletes it when that close succeeds,
// so that a half-written member goes and a completed one stays (member_output,
// engine/member_loop.h). Safe when nothing is open.
void abandon_run();

// ---- The member loop's reports -------------------------------------------------------------
// A file member to be written is first being processed, then skipped or extracted; one that
// is not selected is processed and skipped. A run that writes nothing reports no stage.
enum member_stage : uint8_t { stage_processing, stage_skipping, stage_extracting };
// full_path: UTF-8, the destination followed by the member's name.
void report_stage(member_stage stage, const char* full_path);

// An entry exists at full_path (UTF-8) where a file member is to be written: replace it, leave
// it (the member is decoded and skipped), or cancel the run (cancel_requested is raised by the
// member loop). Any other value counts as no. The values are the seam's box answers, so an
// edge that asks with a box hands its answer on as it is.
enum overwrite_answer : int {
  overwrite_yes = id_yes, overwrite_no = id_no, overwrite_cancel = id_cancel,
};
overwrite_answer ask_overwrite(const char* full_path);

// Raised by the edge (a cancel button, a closed window, a signal) and by the member loop at a
// Cancel answer; the decoder stops at its next run of symbols, the member loop before the next
// member. Defined in engine/lz_decoder.cpp.
extern volatile uint8_t cancel_requested;
