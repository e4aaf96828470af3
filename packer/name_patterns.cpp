#include "packer/name_patterns.h"

#include <fstream>

namespace {

// Code points of a UTF-8 text; a byte that starts no valid character stands for itself
// (as U+DC00 + the byte), so any path can be matched.
std::u32string code_points(const std::string& s) {
  std::u32string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    int extra = b < 0x80             ? 0
                : (b & 0xE0) == 0xC0 ? 1
                : (b & 0xF0) == 0xE0 ? 2
                : (b & 0xF8) == 0xF0 ? 3
                                     : -1;
    char32_t c = extra <= 0 ? b : char32_t(b & (0x3F >> extra));
    bool valid = extra >= 0 && i + size_t(extra) < s.size();
    for (int k = 1; valid && k <= extra; k++) {
      unsigned char t = static_cast<unsigned char>(s[i + size_t(k)]);
      valid = (t & 0xC0) == 0x80;
      c = (c << 6) | (t & 0x3F);
    }
    if (!valid) {
      out.push_back(0xDC00 + b);
      i++;
      continue;
    }
    out.push_back(c);
    i += size_t(extra) + 1;
  }
  return out;
}

// Matches the set that starts at p[at] ('[' already passed) against c. Sets `end` to just
// after the closing ']'; false in `closed` when there is none (then '[' is an ordinary
// character).
bool set_matches(const std::u32string& p, size_t at, char32_t c, size_t& end, bool& closed) {
  bool negated = at < p.size() && (p[at] == '!' || p[at] == '^');
  if (negated) at++;
  bool found = false;
  bool first = true;
  while (at < p.size() && (first || p[at] != ']')) {
    first = false;
    char32_t low = p[at];
    if (low == '\\' && at + 1 < p.size()) low = p[++at];
    at++;
    char32_t high = low;
    if (at + 1 < p.size() && p[at] == '-' && p[at + 1] != ']') {
      high = p[at + 1];
      if (high == '\\' && at + 2 < p.size()) high = p[++at + 1];
      at += 2;
    }
    if (low <= c && c <= high) found = true;
  }
  closed = at < p.size();
  end = at + 1;
  return found != negated;
}

bool matches(const std::u32string& p, const std::u32string& s) {
  size_t pi = 0, si = 0;
  // Where to resume after the last '*': the pattern just past it, and the next text position
  // it may take up to.
  size_t star_p = std::u32string::npos, star_s = 0;
  while (si < s.size()) {
    if (pi < p.size()) {
      char32_t c = p[pi];
      if (c == '*') {
        star_p = ++pi;
        star_s = si;
        continue;
      }
      if (c == '?') {
        pi++;
        si++;
        continue;
      }
      if (c == '[') {
        size_t end;
        bool closed;
        bool hit = set_matches(p, pi + 1, s[si], end, closed);
        if (closed) {
          if (hit) {
            pi = end;
            si++;
            continue;
          }
        } else if (s[si] == '[') {
          pi++;
          si++;
          continue;
        }
      } else {
        if (c == '\\' && pi + 1 < p.size()) c = p[pi + 1];
        if (c == s[si]) {
          pi += p[pi] == '\\' && pi + 1 < p.size() ? 2 : 1;
          si++;
          continue;
        }
      }
    }
    if (star_p == std::u32string::npos) return false;
    pi = star_p;
    si = ++star_s;
  }
  while (pi < p.size() && p[pi] == '*') pi++;
  return pi == p.size();
}

}  // namespace

bool pattern_matches(const std::string& pattern, const std::string& path) {
  return matches(code_points(pattern), code_points(path));
}

bool pattern_selects(const std::string& pattern, const std::string& path) {
  std::u32string p = code_points(pattern), s = code_points(path);
  for (size_t end = 0; end <= s.size(); end++)
    if ((end == s.size() || s[end] == '/') && matches(p, s.substr(0, end))) return true;
  return false;
}

bool pattern_excludes(const std::string& pattern, const std::string& path) {
  std::u32string p = code_points(pattern), s = code_points(path);
  for (size_t start = 0; start < s.size(); start++) {
    if (start > 0 && s[start - 1] != '/') continue;
    for (size_t end = start + 1; end <= s.size(); end++)
      if ((end == s.size() || s[end] == '/') && matches(p, s.substr(start, end - start)))
        return true;
  }
  return false;
}

std::string normal_pattern(std::string pattern) {
  while (pattern.compare(0, 2, "./") == 0) pattern.erase(0, 2);
  while (pattern.size() > 1 && pattern.back() == '/') pattern.pop_back();
  return pattern;
}

bool read_pattern_file(const std::string& path, std::vector<std::string>& patterns) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::string line;
  while (std::getline(f, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) patterns.push_back(normal_pattern(line));
  }
  return !f.bad();
}
