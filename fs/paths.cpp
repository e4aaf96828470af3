// Path operations over UTF-8 text with '\' as the separator. Every walk steps by whole
// characters: in UTF-8 no byte of a multi-byte character is 0x5C, so a byte walk would give
// the same separators, but the by-character walk keeps the outcome independent of that fact
// and of stray bytes in text that is not valid UTF-8.
#include "fs/paths.h"

#include <string.h>

#include "app/archive.h"
#include "app/texts.h"
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

static bool is_separator(const char* c) { return c[0] == '\\'; }

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
  if (path[0] == 0) return put_result(out, ".\\", 2);
  const char* last = path;
  for (const char* c = path; *c; c = next_char(c)) last = c;
  size_t length = strlen(path);
  if (is_separator(last)) return put_result(out, path, length);
  if (length + 2 > size_t(max_path_bytes)) {
    out[0] = 0;
    return -1;
  }
  memmove(out, path, length);
  out[length] = '\\';
  out[length + 1] = 0;
  return int32_t(length + 1);
}

int32_t folder_part(const char* path, char* out) {
  const char* end = nullptr;  // just past the last separator met
  for (const char* c = path; *c; c = next_char(c))
    if (is_separator(c)) end = c + 1;
  if (!end) return put_result(out, "", 0);
  return put_result(out, path, size_t(end - path));
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

// A prefix too long to be held cannot be made by any system this runs on: it is reported
// as the failed one, cut at the last character boundary that fits.
static int32_t fail_too_long(const char* path, char* failed_prefix) {
  size_t kept = 0;
  for (const char* c = path; *c; c = next_char(c)) {
    size_t end = size_t(next_char(c) - path);
    if (end + 1 > size_t(max_path_bytes)) break;
    kept = end;
  }
  memcpy(failed_prefix, path, kept);
  failed_prefix[kept] = 0;
  return int32_t(kept);
}

int32_t make_folder_chain(const char* path, char* failed_prefix) {
  failed_prefix[0] = 0;
  char prefix[max_path_bytes];
  const char* before = nullptr;  // the character before the current one
  for (const char* c = path; *c; before = c, c = next_char(c)) {
    if (!is_separator(c)) continue;
    // A leading separator and a drive root are never looked up or created.
    if (!before || before[0] == ':') continue;
    size_t length = size_t(c - path);
    if (length + 1 > size_t(max_path_bytes)) return fail_too_long(path, failed_prefix);
    memcpy(prefix, path, length);
    prefix[length] = 0;
    entry_kind kind = platform_look_up(prefix);
    if (kind == entry_folder) continue;
    if (kind == entry_other || !platform_create_folder(prefix))
      return put_result(failed_prefix, prefix, length);
  }
  return 0;
}

void folder_creation_failed(const char* failed_prefix) {
  show_message_with(main_window, TEXT_FOLDER_FAILED, failed_prefix, false,
                    mb_ok | mb_iconerror);
  platform_close(archive.archive_file);
  archive.archive_file = no_file;
  platform_exit(1);
}
