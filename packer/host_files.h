// What the packer asks of the system it runs on: the entries of the tree it packs and the
// archive file it writes. host_files_posix.cpp serves the Linux tool, host_files_win32.cpp
// vantrel.exe. Paths are UTF-8; '/' separates folders on both sides (Windows takes it too).
// Texts returned are the system's reason for a failure, empty when there was none.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

struct host_entry {
  bool is_folder = false;
  bool is_regular = false;
  int64_t size = 0;
  // FILETIME (100 ns since 1601-01-01 UTC); creation_time only where has_creation_time.
  uint64_t creation_time = 0, last_access_time = 0, last_write_time = 0;
  bool has_creation_time = false;
  // The same pair is the same file or folder (device and inode, volume and file index).
  uint64_t volume = 0, index = 0;
};

// What stands at path, links followed.
std::string host_look_at(const std::string& path, host_entry& entry);
// The names in a folder, without "." and "..", in no particular order.
std::string host_list_folder(const std::string& path, std::vector<std::string>& names);
// Opens the file for reading and closes it again, leaving its access time alone.
std::string host_check_readable(const std::string& path);
// Reads a whole file, leaving its access time alone; stops with too_large once it holds
// `limit` bytes.
std::string host_read_file(const std::string& path, std::vector<uint8_t>& data, int64_t limit,
                           bool& too_large);

// The processors this process may run on; 0 when the system does not say.
int host_processor_count();

// The archive being written: a new temporary file beside its final name, renamed over it once
// complete.
struct host_output {
  intptr_t handle = -1;
};
// Creates the temporary file; its name (UTF-8, zero-terminated) goes into temporary_path,
// where a handler for an interruption can find it.
std::string host_output_create(const std::string& output_path, char* temporary_path,
                               size_t capacity, host_output& out);
bool host_output_write(host_output& out, const uint8_t* data, size_t length);
bool host_output_write_at(host_output& out, int64_t offset, const uint8_t* data, size_t length);
// Gives the file the permissions a new file gets, writes it to the disk and closes it.
bool host_output_finish(host_output& out);
// Closes (when still open) and removes the temporary file.
void host_output_discard(host_output& out, const char* temporary_path);
// Puts the finished file in place over whatever stood under output_path.
std::string host_rename_over(const char* temporary_path, const std::string& output_path);
