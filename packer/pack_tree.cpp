#include "packer/pack_tree.h"

#include <string.h>
#include <utility>

#include "packer/host_files.h"
#include "packer/name_patterns.h"
#include "packer/pack_names.h"

uint64_t filetime_of(int64_t seconds, uint32_t nanoseconds) {
  // Windows takes a FILETIME as a signed count: the last one it holds is in the year 30828.
  // Past that the product would also wrap around, into a time long before.
  constexpr int64_t at_1601 = -11644473600LL;
  if (seconds < at_1601 || seconds > INT64_MAX / 10000000 + at_1601) return 0;
  uint64_t filetime = uint64_t(seconds - at_1601) * 10000000u + nanoseconds / 100u;
  return filetime > uint64_t(INT64_MAX) ? 0 : filetime;
}

namespace {

struct walker {
  std::vector<pack_member>* members;
  // Folders on the way down, by device and inode: meeting one again is a link loop.
  std::vector<std::pair<uint64_t, uint64_t>> open_folders;
  const walk_options* options;
  walk_outcome outcome;
};

// Records a problem; the walk goes on with the next entry (false: this one is not packed).
bool refuse(walker& w, const std::string& error) {
  if (w.outcome.ok) w.outcome.error = error;
  w.outcome.ok = false;
  w.outcome.refused = true;
  w.outcome.refusals.push_back(error);
  return false;
}

bool unreadable(walker& w, const std::string& error) {
  w.outcome.unreadable.push_back(error);
  if (w.options->skip_unreadable) return false;
  if (w.outcome.ok) {
    w.outcome.error = error;
    w.outcome.refused = false;
  }
  w.outcome.ok = false;
  return false;
}

// relative: UTF-8, '\\' separated, "" for the base folder itself.
bool stored_form(walker& w, const std::string& relative, bool folder,
                 std::vector<uint8_t>& stored) {
  std::string name = folder ? relative + "\\." : relative;
  if (!utf8_to_cp932(name, stored)) {
    std::string shown = relative;
    for (char& c : shown)
      if (c == '\\') c = '/';
    return refuse(w, "'" + shown +
                         "': the name holds a character that CP932 cannot hold "
                         "(or is not UTF-8)");
  }
  return true;
}

bool walk_children(walker& w, const std::string& host_path, const std::string& relative);

void add_entry(walker& w, const std::string& host_path, const std::string& relative) {
  std::string shown = relative;
  for (char& c : shown)
    if (c == '\\') c = '/';
  for (const std::string& pattern : w.options->excludes)
    if (pattern_excludes(pattern, shown)) return;
  host_entry e;
  std::string why = host_look_at(host_path, e);
  if (!why.empty()) {
    unreadable(w, "cannot read '" + host_path + "': " + why);
    return;
  }
  if (e.is_folder) {
    pack_member m;
    m.is_folder = true;
    m.display_name = shown;
    // A folder whose name cannot be stored is reported once, not again for each name below.
    if (!stored_form(w, relative, true, m.stored_name)) return;
    std::pair<uint64_t, uint64_t> id{e.volume, e.index};
    for (const auto& open : w.open_folders)
      if (open == id) {
        refuse(w, "'" + host_path +
                      "' leads back into a folder that contains it "
                      "(a symbolic link loop)");
        return;
      }
    size_t at = w.members->size();
    w.members->push_back(std::move(m));
    w.open_folders.push_back(id);
    // An unreadable folder that is skipped goes with its entry.
    if (!walk_children(w, host_path, relative) && w.options->skip_unreadable)
      w.members->erase(w.members->begin() + ptrdiff_t(at));
    w.open_folders.pop_back();
    return;
  }
  if (!e.is_regular) {
    refuse(w, "'" + host_path + "' is neither a regular file nor a folder");
    return;
  }
  if (e.size >= max_member_size) {
    refuse(w, "'" + host_path + "' is 2 GiB or larger, which an archive cannot hold");
    return;
  }
  pack_member m;
  m.display_name = shown;
  m.source = host_path;
  m.source_size = e.size;
  if (!stored_form(w, relative, false, m.stored_name)) return;
  why = host_check_readable(host_path);
  if (!why.empty()) {
    unreadable(w, "cannot read '" + host_path + "': " + why);
    return;
  }
  m.last_write_time = e.last_write_time;
  m.last_access_time = e.last_access_time;
  m.creation_time = e.has_creation_time ? e.creation_time : e.last_write_time;
  w.members->push_back(std::move(m));
}

// False when the folder itself cannot be read.
bool walk_children(walker& w, const std::string& host_path, const std::string& relative) {
  std::vector<std::string> names;
  std::string why = host_list_folder(host_path, names);
  if (!why.empty()) return unreadable(w, "cannot read the folder '" + host_path + "': " + why);
  for (const std::string& name : names) {
    // Windows reads '\\' as a separator; such a name would land somewhere else.
    if (name.find('\\') != std::string::npos) {
      refuse(w, "'" + host_path + "/" + name + "': the name holds a backslash");
      continue;
    }
    std::string child_host = host_path == "/" ? "/" + name : host_path + "/" + name;
    std::string child_relative = relative.empty() ? name : relative + "\\" + name;
    add_entry(w, child_host, child_relative);
  }
  return true;
}

}  // namespace

walk_outcome collect_members(const std::string& base_folder,
                             const std::vector<std::string>& paths,
                             std::vector<pack_member>& members, const walk_options& options) {
  walker w;
  w.members = &members;
  w.options = &options;
  std::string base = base_folder.empty() ? "." : base_folder;
  for (const std::string& given : paths) {
    std::string path = given;
#ifdef _WIN32
    // On Windows '\' separates folders on the command line too, and a drive letter or a
    // share makes a path absolute.
    for (char& c : path)
      if (c == '\\') c = '/';
    bool drive = path.size() >= 2 && path[1] == ':';
#else
    bool drive = false;
#endif
    if (path.empty()) {
      refuse(w, "an empty path was given");
      continue;
    }
    if (path[0] == '/' || drive) {
      refuse(w, "'" + given +
                    "' is an absolute path; name it relative to a folder given "
                    "with -C");
      continue;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    bool bad = false;
    while (start <= path.size()) {
      size_t end = path.find('/', start);
      if (end == std::string::npos) end = path.size();
      std::string part = path.substr(start, end - start);
      if (part == "..") {
        refuse(w, "'" + path + "' goes up with \"..\"; name it from a folder given with -C");
        bad = true;
        break;
      }
      if (part.find('\\') != std::string::npos) {
        refuse(w, "'" + path + "': the name holds a backslash");
        bad = true;
        break;
      }
      if (!part.empty() && part != ".") parts.push_back(part);
      start = end + 1;
    }
    if (bad) continue;
    std::string host = base, relative;
    for (const std::string& part : parts) {
      host += "/" + part;
      relative += (relative.empty() ? "" : "\\") + part;
    }
    if (parts.empty()) {
      // "." stands for the contents of the base folder, not for a folder entry of its own.
      host_entry e;
      std::string why = host_look_at(base, e);
      if (!why.empty()) {
        unreadable(w, "cannot read the folder '" + base + "': " + why);
        continue;
      }
      w.open_folders.push_back({e.volume, e.index});
      walk_children(w, base, "");
      w.open_folders.clear();
    } else {
      add_entry(w, host, relative);
    }
  }
  return w.outcome;
}
