// Writes a combined file: the stub, total_size, the preamble and the block stream of member
// records. The output is built in a temporary file beside it and renamed into place at the
// end, so an interrupted or refused pack never leaves a truncated archive behind.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>
#include "packer/block_writer.h"
#include "packer/member_encoder.h"

struct pack_member {
  std::vector<uint8_t> stored_name;   // CP932, '\' separated; a folder entry ends in "\."
  bool is_folder = false;
  std::string display_name;           // UTF-8, for messages
  // The content: read from `source` (a host path) while the archive is written, or taken
  // from `data` when source is empty.
  std::string source;
  std::vector<uint8_t> data;
  int64_t source_size = 0;            // the size the walk saw (for progress)
  uint64_t creation_time = 0, last_access_time = 0, last_write_time = 0;
};

// Files of this size or more cannot be stored (the size field is signed 32-bit).
constexpr int64_t max_member_size = 0x7FFFFFFF;

// Sorts the members (a folder entry before everything below it, names component by
// component in byte order), drops exact duplicates and refuses what cannot be stored: a name
// the extractor would refuse, two names that differ only in case, nothing at all. Returns an
// empty text or the reason.
std::string order_and_check_members(std::vector<pack_member>& members);
// The same, going on past the first problem: every reason, in member order (empty: fine).
std::vector<std::string> order_and_check_all_members(std::vector<pack_member>& members);

// The record of one member up to its size field: the name (with the "*" and count of name
// reuse when that saves bytes), and for a file its three times and size.
void write_member_header(block_writer& w, const std::vector<uint8_t>& previous_name,
                         const pack_member& m, int32_t size);

struct pack_outcome {
  bool ok = false;
  bool refused = false;      // a refusal of the input (exit code 2) rather than an I/O failure
  std::string error;
  int64_t archive_size = 0;
  int64_t content_size = 0;  // total bytes of the files packed
};

// How hard and on how many threads the members are encoded. The archive is the same for
// every thread count.
struct pack_settings {
  int level = default_level;  // min_level (fastest) to max_level (smallest)
  int threads = 0;            // 0: one per core this process may run on
};

// The thread count `threads` stands for (0: the cores this process may run on).
int pack_thread_count(int threads);

// Observes the progress of a pack: members done, bytes of content done.
typedef void (*pack_progress)(int32_t members_done, int64_t content_done);

// Writes the archive at output_path (a host path). stub_image holds stub_size bytes. The
// members must have been through order_and_check_members. The preamble's texts are CP932.
pack_outcome write_archive(const std::string& output_path, const uint8_t* stub_image,
                           const preamble_fields& preamble,
                           const std::vector<pack_member>& members,
                           pack_progress progress = nullptr,
                           const pack_settings& settings = pack_settings());

// The temporary file being written, or "" (so that a signal handler can remove it).
const char* pack_temporary_path();
