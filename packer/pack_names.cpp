#include "packer/pack_names.h"

#include "app/archive.h"
#include "engine/cp932.h"
#include "engine/member_loop.h"
#include "engine/stored_name.h"
#include "platform/platform.h"

bool utf8_to_cp932(const std::string& utf8, std::vector<uint8_t>& out) {
  // A CP932 character never takes more bytes than its UTF-8 form.
  out.assign(utf8.size() + 1, 0);
  int32_t n = platform_utf8_to_cp932(utf8.data(), utf8.size(), out.data(), out.size());
  if (n < 0) {
    out.clear();
    return false;
  }
  out.resize(size_t(n));
  return true;
}

bool cp932_to_utf8(const std::vector<uint8_t>& cp932, std::string& out) {
  // Each CP932 byte becomes at most three UTF-8 bytes.
  out.assign(cp932.size() * 3 + 1, '\0');
  int32_t n = platform_cp932_to_utf8(cp932.data(), cp932.size(), out.data(), out.size());
  if (n < 0) {
    out.clear();
    return false;
  }
  out.resize(size_t(n));
  return true;
}

std::string stored_name_problem(const std::vector<uint8_t>& stored) {
  if (stored.empty()) return "the name is empty";
  if (stored.size() > size_t(max_stored_name))
    return "the name is longer than " + std::to_string(max_stored_name) + " bytes in CP932";
  for (uint8_t b : stored)
    if (b == 0) return "the name holds a zero byte";
  // The extractor checks a folder entry without its final ".", so "d\." is checked as "d\".
  size_t checked = stored.size();
  bool folder = stored.size() >= 2 && stored[stored.size() - 2] == '\\' && stored.back() == '.';
  if (folder) checked--;
  if (!stored_name_is_safe(stored.data(), int32_t(checked)))
    return "the extractor would refuse this name (it holds a character Windows forbids in "
           "names, such as : * ? \" < > |, a control character, a reserved device name such "
           "as CON or NUL, or a part ending in a dot or a space)";
  // A file whose name ends in "\." would be taken for a folder entry; a name that is only "."
  // is the destination itself.
  if (!folder && stored.size() >= 1 && stored.back() == '.')
    return "the name ends in a dot";
  return "";
}

static bool decode_utf8(const std::string& s, std::u32string& out) {
  out.clear();
  for (size_t i = 0; i < s.size();) {
    uint8_t b = uint8_t(s[i]);
    int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2
              : (b & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || i + size_t(extra) >= s.size()) return false;
    char32_t c = extra == 0 ? b : char32_t(b & (0x3F >> extra));
    for (int k = 1; k <= extra; k++) {
      uint8_t t = uint8_t(s[i + size_t(k)]);
      if ((t & 0xC0) != 0x80) return false;
      c = (c << 6) | (t & 0x3F);
    }
    out.push_back(c);
    i += size_t(extra) + 1;
  }
  return true;
}

static char32_t fold_char(char32_t c) {
  if (c >= U'a' && c <= U'z') return c - 0x20;
  if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;   // full-width Latin
  if (c >= 0x03B1 && c <= 0x03C9 && c != 0x03C2) return c - 0x20;   // Greek
  if (c >= 0x0430 && c <= 0x044F) return c - 0x20;   // Cyrillic
  if (c >= 0x0450 && c <= 0x045F) return c - 0x50;
  if (c >= 0x2170 && c <= 0x217F) return c - 0x10;   // small Roman numerals
  return c;
}

std::u32string fold_case(const std::string& utf8) {
  std::u32string s;
  if (!decode_utf8(utf8, s)) {
    // Not UTF-8: compare the bytes as they are (such a name is refused elsewhere anyway).
    s.assign(utf8.begin(), utf8.end());
  }
  for (char32_t& c : s) c = fold_char(c);
  return s;
}

// Components of a stored name, split at real separators (never at a 0x5C that is the second
// byte of a double-byte character); a folder entry's final "." is dropped.
static std::vector<std::vector<uint8_t>> components(const std::vector<uint8_t>& name) {
  std::vector<std::vector<uint8_t>> parts(1);
  for (size_t i = 0; i < name.size(); i++) {
    uint8_t c = name[i];
    if (c == '\\') {
      parts.emplace_back();
      continue;
    }
    parts.back().push_back(c);
    if (cp932_is_lead(c) && i + 1 < name.size())
      parts.back().push_back(name[++i]);
  }
  if (parts.size() > 1 && parts.back() == std::vector<uint8_t>{'.'}) parts.pop_back();
  return parts;
}

int compare_stored_names(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  std::vector<std::vector<uint8_t>> x = components(a), y = components(b);
  size_t n = x.size() < y.size() ? x.size() : y.size();
  for (size_t i = 0; i < n; i++)
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
  return a < b ? -1 : a > b ? 1 : 0;
}

std::string message_to_cp932(const std::string& utf8, std::vector<uint8_t>& out) {
  std::string crlf;
  for (size_t i = 0; i < utf8.size(); i++) {
    char c = utf8[i];
    if (c == '\0') return "the message holds a zero byte";
    if (c == '\r') {
      crlf += "\r\n";
      if (i + 1 < utf8.size() && utf8[i + 1] == '\n') i++;
    } else if (c == '\n') {
      crlf += "\r\n";
    } else {
      crlf += c;
    }
  }
  if (!utf8_to_cp932(crlf, out)) return "the message holds a character that CP932 cannot hold";
  if (out.size() > size_t(max_message_text))
    return "the message is longer than " + std::to_string(max_message_text) + " bytes in CP932";
  return "";
}
