// The walk over the paths named on the command line: each becomes members with stored names
// relative to the base folder, a folder with everything below it, with the times the file
// system keeps.
#pragma once
#include <string>
#include <vector>
#include "packer/archive_writer.h"

struct walk_outcome {
  bool ok = true;
  bool refused = false;   // the input cannot be packed (exit code 2), not an I/O failure
  std::string error;
};

// base_folder: host path ("" is the current folder). Each path is relative to it; "." stands
// for its contents. An absolute path, or one with a ".." part, is refused. Symbolic links are
// followed; one that leads back into a folder being walked is refused. Appends to members.
walk_outcome collect_members(const std::string& base_folder, const std::vector<std::string>& paths,
                             std::vector<pack_member>& members);

// FILETIME (100 ns since 1601-01-01 UTC) of a POSIX time; 0 ("not set") for a time before 1601
// or past the last FILETIME Windows takes (0x7FFFFFFFFFFFFFFF, in the year 30828).
uint64_t filetime_of(int64_t seconds, uint32_t nanoseconds);
