// The walk over the paths named on the command line: each becomes members with stored names
// relative to the base folder, a folder with everything below it, with the times the file
// system keeps.
#pragma once
#include <string>
#include <vector>
#include "packer/archive_writer.h"

// The walk goes on past every problem, so that all of them are reported at once.
struct walk_outcome {
  bool ok = true;
  bool refused = false;   // the input cannot be packed (exit code 2), not an I/O failure
  std::string error;      // the first problem
  std::vector<std::string> refusals;    // entries that cannot be packed as they are
  std::vector<std::string> unreadable;  // entries that cannot be read (skipped ones too)
};

struct walk_options {
  std::vector<std::string> excludes;  // pattern_excludes (packer/name_patterns.h)
  // Files and folders that cannot be read are left out and listed in `unreadable`, and the
  // walk does not fail for them.
  bool skip_unreadable = false;
};

// base_folder: host path ("" is the current folder). Each path is relative to it; "." stands
// for its contents. An absolute path, or one with a ".." part, is refused. Symbolic links are
// followed; one that leads back into a folder being walked is refused. Each file is opened
// once, to see that it can be read. Entries whose path ('/' separated) an exclusion matches
// are left out, a folder with everything below it. Appends to members.
walk_outcome collect_members(const std::string& base_folder,
                             const std::vector<std::string>& paths,
                             std::vector<pack_member>& members,
                             const walk_options& options = {});

// FILETIME (100 ns since 1601-01-01 UTC) of a POSIX time; 0 ("not set") for a time before 1601
// or past the last FILETIME Windows takes (0x7FFFFFFFFFFFFFFF, in the year 30828).
uint64_t filetime_of(int64_t seconds, uint32_t nanoseconds);
