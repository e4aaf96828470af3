// Path operations over UTF-8 text with '\' as the separator. The walks step by bytes: a
// character (as next_char takes it) joins continuation bytes only, and 0x5C is none, so
// every 0x5C byte is a separator character of its own, in valid UTF-8 and in stray bytes
// alike, and a walk by bytes meets exactly the separators a walk by characters would.
#include "fs/paths.h"

#include <string.h>

#include "platform/platform.h"

static bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

const char* next_char(const char* p) {
  const uint8_t* s = reinterpret_cast<const uint8_t*>(p);
  if (*s == 0) return p;
  int32_t extra = 0;
  if (*s >= 0xF0 && *s <= 0xF7) extra = 3;
  else if (*s >= 0xE0) extra = (*s <= 0xEF) ? 2 : 0;
  else if (*s >= 0xC0) extra = 1;
  s++;
  // Only continuation bytes join a character, so neither the terminating zero nor a
  // separator can ever be swallowed by a damaged lead byte.
  while (extra > 0 && is_continuation(*s)) {
    s++;
    extra--;
  }
  return reinterpret_cast<const char*>(s);
}

// Copies length bytes of source into out (capacity max_path_bytes) and terminates it; a
// result that does not fit leaves out empty.
static int32_t put_result(char* out, const char* source, size_t length) {
  if (length + 1 > size_t(max_path_bytes)) {
    out[0] = 0;
    return -1;
  }
  memmove(out, source, length);
  out[length] = 0;
  return int32_t(length);
}

int32_t with_trailing_separator(const char* path, char* out) {
  if (path[0] == 0) path = ".";
  size_t length = strlen(path);
  // Without a separator at the end, the terminating zero is copied along and becomes one.
  int32_t n = put_result(out, path, length + (path[length - 1] != '\\'));
  if (n > 0) out[n - 1] = '\\';
  return n;
}

int32_t folder_part(const char* path, char* out) {
  size_t end = 0;  // just past the last separator met
  for (size_t i = 0; path[i]; i++)
    if (path[i] == '\\') end = i + 1;
  return put_result(out, path, end);
}

static bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

folder_state classify_folder(const char* destination) {
  size_t length = strlen(destination);
  if (length == 3 && destination[1] == ':' && is_ascii_letter(destination[0]))
    return folder_present;
  if (length == 0 || length > size_t(max_path_bytes)) return folder_missing;
  char name[max_path_bytes];
  memcpy(name, destination, length - 1);
  name[length - 1] = 0;
  switch (platform_look_up(name)) {
    case entry_none: return folder_missing;
    case entry_folder: return folder_present;
    default: return not_a_folder;
  }
}

// Copies the longest part of path that can be held (all of it, when it fits) into out,
// cut before a byte that starts a character, and terminates it; returns its length.
static size_t copy_what_fits(const char* path, char* out) {
  size_t kept = strlen(path);
  if (kept + 1 > size_t(max_path_bytes)) {
    kept = size_t(max_path_bytes) - 1;
    while (kept > 0 && is_continuation(uint8_t(path[kept]))) kept--;
  }
  memcpy(out, path, kept);
  out[kept] = 0;
  return kept;
}

// Each prefix is the path held in prefix, cut for the moment at one of its separators.
int32_t make_folder_chain(const char* path, const char* known, char* failed_prefix) {
  char prefix[max_path_bytes];
  size_t kept = copy_what_fits(path, prefix);
  // A separator within the part that path shares with known ends a folder that exists.
  size_t same = 0;
  while (prefix[same] && prefix[same] == known[same]) same++;
  // Upwards from the deepest prefix to the first folder that exists; nothing above it is
  // looked at, so a folder on the way that the user may not list does not matter.
  size_t start = same;
  for (size_t i = kept; i-- > same;) {
    if (prefix[i] != '\\') continue;
    // A leading separator and a drive root are never looked up or created.
    if (i == 0 || prefix[i - 1] == ':') break;
    prefix[i] = 0;
    entry_kind kind = platform_look_up(prefix);
    prefix[i] = '\\';
    if (kind == entry_other) return put_result(failed_prefix, prefix, i);
    if (kind == entry_folder) {
      start = i + 1;
      break;
    }
  }
  // Downwards from there each prefix is made; one the system refuses fails unless it is a
  // folder after all (a doubled separator, a folder made meanwhile).
  for (size_t i = start; i < kept; i++) {
    if (prefix[i] != '\\' || i == 0 || prefix[i - 1] == ':') continue;
    prefix[i] = 0;
    bool made = platform_create_folder(prefix) || platform_look_up(prefix) == entry_folder;
    prefix[i] = '\\';
    if (!made) return put_result(failed_prefix, prefix, i);
  }
  // A path too long to be held fails at the part that could be.
  return put_result(failed_prefix, prefix, path[kept] ? kept : 0);
}
