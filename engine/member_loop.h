// The member loop: walks the member records of the block stream and recreates the folders and
// files under a destination folder.
#pragma once
#include <stdint.h>

#include "fs/paths.h"
#include "platform/platform.h"

// The longest stored name kept (bytes as stored); a longer one is damage.
constexpr int32_t max_stored_name = 1024;

// The member file being written. The member loop (or a test that plays its part) keeps it in
// step with the file:
//  - path (UTF-8, zero-terminated) is filled in before platform_create_file;
//  - file is the handle from platform_create_file, stored at once;
//  - right after closing the member normally, file := no_file (path may keep its text; it is
//    used only while file is open).
// abandon_run (engine/edge.h) closes file and deletes path only when that close succeeds, so
// a half-written member goes and a completed one stays. A stale handle left behind after a
// normal close could name some other file by then: always reset it.
struct member_file {
  file_handle file;
  char path[max_path_bytes];
};
extern member_file member_output;

struct member_info {
  const uint8_t* stored_name;    // CP932 bytes as stored (after reuse), zero-terminated
  int32_t stored_name_length;
  const char* name;              // UTF-8, '\' separated, without a folder entry's final "."
  const char* full_path;         // UTF-8: destination followed by name
  bool is_folder;
  uint64_t creation_time, last_access_time, last_write_time;
  int32_t size;
  bool written;                  // a file entry that was written (not skipped, not cancelled)
};

// How a run treats the file system. The stub uses the defaults; the command-line tool lists
// and tests with write_nothing, and picks members with select.
struct extract_options {
  // Creates no folder and no file, asks nothing; every member is decoded in full.
  bool write_nothing;
  // nullptr: every member. Otherwise a file entry for which it returns false is decoded and
  // skipped without a question, and a folder entry for which it returns false is not made.
  bool (*select)(const member_info& member);
  // Called after every member (folder or file) is done.
  void (*member_done)(const member_info& member);
};
extern extract_options extract_mode;

// destination: UTF-8, ending in '\'. Clears cancel_requested and end_of_stream, starts the
// decoder's run, and reads records until the stream ends or a cancel; then closes
// reader.archive_file (a failure: failure_read). Each stored name is checked
// (stored_name_is_safe) and converted from CP932 before anything of its record is made; a
// refused, over-long or unconvertible name is damage (failure_damaged). A full path past
// max_path_bytes cannot be written (failure_write), nor can a member file that cannot be
// created, dated or closed; a folder that cannot be made is failure_folder with the part of
// the path that failed. Failures go to fail_run, a file member's stages to report_stage and
// the question about an existing entry to ask_overwrite (engine/edge.h). The strings a
// member_info points to are valid only during the callback.
void extract_archive(const char* destination);
