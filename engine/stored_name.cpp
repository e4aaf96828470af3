// The check of a stored name before anything of its record is created. It walks the CP932
// bytes by character: a 0x5C or 0x7C byte that is the second byte of a double-byte character
// is part of that character, not a separator or a bar.
#include "engine/stored_name.h"

#include "engine/cp932.h"

static bool is_forbidden_single(uint8_t b) {
  if (b < 0x20 || b == 0x7F) return true;
  switch (b) {
    case ':': case '*': case '?': case '"': case '<': case '>': case '|': return true;
    default: return false;
  }
}

static bool is_separator_byte(uint8_t b) { return b == '\\' || b == '/'; }

static uint8_t upper(uint8_t b) { return (b >= 'a' && b <= 'z') ? uint8_t(b - 32) : b; }

static bool equals_upper(const uint8_t* s, int32_t length, const char* word) {
  int32_t i = 0;
  for (; word[i]; i++)
    if (i >= length || upper(s[i]) != uint8_t(word[i])) return false;
  return i == length;
}

// Windows opens a device for CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9 whatever
// extension follows, and ignores spaces before the extension.
static bool is_device_name(const uint8_t* component, int32_t length) {
  int32_t base = 0;
  while (base < length && component[base] != '.') base++;
  while (base > 0 && component[base - 1] == ' ') base--;
  if (equals_upper(component, base, "CON") || equals_upper(component, base, "PRN") ||
      equals_upper(component, base, "AUX") || equals_upper(component, base, "NUL"))
    return true;
  if (base == 4 && (equals_upper(component, 3, "COM") || equals_upper(component, 3, "LPT")) &&
      component[3] >= '1' && component[3] <= '9')
    return true;
  return false;
}

// A component between separators (or the ends of the name). Its bytes were already walked
// by character; only single-byte characters are tested here, at known character starts.
static bool component_is_safe(const uint8_t* component, int32_t length, uint8_t last_char_byte,
                              bool last_char_single) {
  // An empty component in the middle (a doubled separator) never comes from a sound writer,
  // and the folder walk would look up a prefix ending in a separator, which the Windows
  // look-up rejects; refused, so that the name means the same on every side.
  if (length == 0) return false;
  // Windows drops a final dot or space, so ".. " or "a." would not name what is stored;
  // this also refuses "." and "..".
  if (last_char_single && (last_char_byte == '.' || last_char_byte == ' ')) return false;
  return !is_device_name(component, length);
}

bool stored_name_is_safe(const uint8_t* name, int32_t length) {
  if (length < 0) return false;
  if (length == 0) return true;
  if (is_separator_byte(name[0])) return false;
  int32_t start = 0;          // first byte of the current component
  uint8_t last = 0;           // first byte of the component's last character
  bool last_single = false;
  int32_t i = 0;
  while (i < length) {
    uint8_t b = name[i];
    if (cp932_is_lead(b)) {
      if (i + 1 >= length || !cp932_is_trail(name[i + 1])) return false;
      last = b;
      last_single = false;
      i += 2;
      continue;
    }
    if (cp932_is_unassigned_single(b) || is_forbidden_single(b)) return false;
    if (is_separator_byte(b)) {
      if (!component_is_safe(name + start, i - start, last, last_single)) return false;
      start = i + 1;
      last = 0;
      last_single = false;
    } else {
      last = b;
      last_single = true;
    }
    i++;
  }
  // A name ending in a separator is a folder entry's name without its final "."; the empty
  // component after the separator is that entry's marker and stays allowed.
  if (start == length) return true;
  return component_is_safe(name + start, length - start, last, last_single);
}
