// The member loop: reads each member record through the block reader, recreates folders and
// files under the destination, asks before replacing an existing entry, and hands every file's
// coded body to the decoder. Names are decided on the CP932 bytes as stored (reuse, the
// folder-entry rule, the safety check) and converted to UTF-8 only then.
#include "engine/member_loop.h"

#include <string.h>

#include "engine/block_reader.h"
#include "engine/edge.h"
#include "engine/lz_decoder.h"
#include "engine/stored_name.h"
#include "fs/paths.h"
#include "platform/platform.h"

extract_options extract_mode;
member_file member_output;

// Per-run strings, kept out of the stack frame; plain data, zero at start.
struct member_loop_state {
  uint8_t previous_name[max_stored_name + 1];
  int32_t previous_length;
  uint8_t stored_name[max_stored_name + 1];
  int32_t stored_length;
  char name[max_path_bytes];
  char full_path[max_path_bytes];
  char folder[max_path_bytes];
  // The folders of the chain made or found last: a member's folders come together, so most
  // members need no look-up for theirs.
  char known[max_path_bytes];
  char failed_prefix[max_path_bytes];
};
static member_loop_state loop;

static void read_stored_name() {
  int32_t length = 0;
  uint8_t b = read_stream_byte();
  if (b == 0x2A) {
    int32_t reused = int32_t(read_stream_byte()) + 2;
    if (reused > loop.previous_length) reused = loop.previous_length;
    memcpy(loop.stored_name, loop.previous_name, size_t(reused));
    length = reused;
    b = read_stream_byte();
  }
  while (b != 0) {
    if (length == max_stored_name) fail_run(failure_damaged);
    loop.stored_name[length++] = b;
    b = read_stream_byte();
  }
  loop.stored_name[length] = 0;
  loop.stored_length = length;
  memcpy(loop.previous_name, loop.stored_name, size_t(length) + 1);
  loop.previous_length = length;
}

// The record is a folder entry when destination + name would end in "\" and ".": the name
// is exactly "." or ends in the bytes 0x5C 0x2E (a byte rule, as the format has it).
static bool is_folder_entry() {
  const uint8_t* s = loop.stored_name;
  int32_t n = loop.stored_length;
  if (n == 1) return s[0] == '.';
  return n >= 2 && s[n - 2] == 0x5C && s[n - 1] == '.';
}

// Checks the name (without a folder entry's final "."), converts it and builds full_path.
static void prepare_paths(const char* destination, int32_t name_length) {
  if (!stored_name_is_safe(loop.stored_name, name_length)) fail_run(failure_damaged);
  loop.name[0] = 0;
  if (name_length > 0 && platform_cp932_to_utf8(loop.stored_name, size_t(name_length), loop.name,
                                                sizeof loop.name) < 0)
    fail_run(failure_damaged);
  size_t d = strlen(destination), n = strlen(loop.name);
  // No system this runs on takes a path this long; the file could not be written.
  if (d + n + 1 > sizeof loop.full_path) fail_run(failure_write);
  memcpy(loop.full_path, destination, d);
  memcpy(loop.full_path + d, loop.name, n + 1);
}

static uint64_t read_u64() {
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) v |= uint64_t(read_stream_byte()) << (8 * i);
  return v;
}

static int32_t read_i32() {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v |= uint32_t(read_stream_byte()) << (8 * i);
  return int32_t(v);
}

static void make_folders(const char* path) {
  if (make_folder_chain(path, loop.known, loop.failed_prefix) != 0)
    fail_run(failure_folder, loop.failed_prefix);
  memcpy(loop.known, path, strlen(path) + 1);
}

static void fill_info(member_info& info, bool is_folder) {
  info.stored_name = loop.stored_name;
  info.stored_name_length = loop.stored_length;
  info.name = loop.name;
  info.full_path = loop.full_path;
  info.is_folder = is_folder;
}

static void folder_entry(const char* destination) {
  prepare_paths(destination, loop.stored_length - 1);
  member_info info = {};
  fill_info(info, true);
  bool selected = !extract_mode.select || extract_mode.select(info);
  // full_path ends in "\" (or is the destination itself), so the whole chain is made; for a
  // name such as the bytes 0x83 0x5C 0x2E the last character is no separator and the walk
  // leaves it alone, as the byte rule of the format implies.
  if (!extract_mode.write_nothing && selected) make_folders(loop.full_path);
  if (extract_mode.member_done) extract_mode.member_done(info);
}

// Returns false when the user cancelled at the overwrite question.
static bool file_entry(const char* destination) {
  prepare_paths(destination, loop.stored_length);
  member_info info = {};
  fill_info(info, false);
  info.creation_time = read_u64();
  info.last_access_time = read_u64();
  info.last_write_time = read_u64();
  info.size = read_i32();
  begin_member(info.size);

  bool write = !extract_mode.write_nothing && (!extract_mode.select || extract_mode.select(info));
  bool skip_output = !write;
  file_handle out = no_file;
  if (write) {
    report_stage(stage_processing, loop.full_path);
    // An existing file lies in existing folders, so making them first changes nothing that
    // the question is about; and where nothing stands under the name yet, as for most members
    // of most runs, creating the file anew is the look-up too.
    folder_part(loop.full_path, loop.folder);
    make_folders(loop.folder);
    memcpy(member_output.path, loop.full_path, strlen(loop.full_path) + 1);
    out = platform_create_new_file(loop.full_path);
    if (out == no_file && platform_look_up(loop.full_path) != entry_none) {
      overwrite_answer answer = ask_overwrite(loop.full_path);
      if (answer == overwrite_cancel) {
        cancel_requested = 1;
        return false;
      }
      skip_output = answer != overwrite_yes;
    }
    if (!skip_output && out == no_file) {
      out = platform_create_file(loop.full_path);
      if (out == no_file) fail_run(failure_write);
    }
    member_output.file = out;
    report_stage(skip_output ? stage_skipping : stage_extracting, loop.full_path);
  } else if (!extract_mode.write_nothing) {
    report_stage(stage_processing, loop.full_path);
    report_stage(stage_skipping, loop.full_path);
  }

  decode_member(out, skip_output);
  if (!skip_output) {
    if (!platform_set_file_times(out, info.creation_time, info.last_access_time,
                                 info.last_write_time))
      fail_run(failure_write);
    bool closed = platform_close(out);
    member_output.file = no_file;
    // A file whose close failed may lack data that was still in flight; it goes the way of
    // a half-written one.
    if (!closed) {
      platform_delete_file(loop.full_path);
      fail_run(failure_write);
    }
    if (cancel_requested) platform_delete_file(loop.full_path);
    else info.written = true;
  }
  end_member();
  if (extract_mode.member_done) extract_mode.member_done(info);
  return true;
}

void extract_archive(const char* destination) {
  cancel_requested = 0;
  reader.end_of_stream = false;
  loop.previous_length = 0;
  loop.previous_name[0] = 0;
  loop.known[0] = 0;
  start_run();
  while (!reader.end_of_stream && !cancel_requested) {
    read_stored_name();
    if (is_folder_entry()) folder_entry(destination);
    else if (!file_entry(destination)) break;
  }
  bool closed = platform_close(reader.archive_file);
  reader.archive_file = no_file;
  if (!closed) fail_run(failure_read);
}

void abandon_run() {
  platform_close(reader.archive_file);
  reader.archive_file = no_file;
  if (platform_close(member_output.file)) platform_delete_file(member_output.path);
  member_output.file = no_file;
}
