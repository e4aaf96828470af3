// The folder walk, and with COUNTED_MEMBER_LOOP the member loop, compiled once more inside
// the namespace COUNTED_NAMESPACE against a seam whose look-ups are written down. Everything
// else is the real seam. A path in `unlistable` is a folder whose look-up finds nothing, as
// Wine's does for Z:\dev and as Windows' does for a folder the user may not list. The copy of
// the member loop has records of its own (extract_mode, member_output and its inner state);
// the block reader, the decoder and the edge it calls are the real ones.
#pragma once

#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "engine/block_reader.h"
#include "engine/edge.h"
#include "engine/lz_decoder.h"
#include "engine/member_loop.h"
#include "engine/stored_name.h"
#include "fs/paths.h"
#include "platform/platform.h"

namespace COUNTED_NAMESPACE {

std::vector<std::string> looked_up;
std::set<std::string> unlistable;

entry_kind counted_look_up(const char* path) {
  looked_up.push_back(path);
  return unlistable.count(path) ? entry_none : ::platform_look_up(path);
}

// The prefixes of path without their separators, as the walk would look them up:
// "\a\b\" gives "\a" and "\a\b".
std::set<std::string> folders_down_to(const std::string& path) {
  std::set<std::string> all;
  for (size_t i = 1; i < path.size(); i++)
    if (path[i] == '\\') all.insert(path.substr(0, i));
  return all;
}

#define platform_look_up counted_look_up
#include "fs/paths.cpp"
#ifdef COUNTED_MEMBER_LOOP
#include "engine/member_loop.cpp"
#endif
#undef platform_look_up

}  // namespace COUNTED_NAMESPACE
