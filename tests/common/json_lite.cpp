#include "tests/common/json_lite.h"

const json_value& json_value::operator[](const char* name) const {
  static const json_value none;
  for (const auto& m : members)
    if (m.first == name) return m.second;
  return none;
}

namespace {

struct parser {
  const std::string& s;
  size_t i = 0;
  std::string error;

  bool fail(const char* what) {
    if (error.empty()) error = std::string(what) + " at offset " + std::to_string(i);
    return false;
  }
  void skip_space() {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) i++;
  }
  bool literal(const char* word) {
    size_t n = std::char_traits<char>::length(word);
    if (s.compare(i, n, word) != 0) return fail("unknown literal");
    i += n;
    return true;
  }
  static void put_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  bool hex4(uint32_t& v) {
    if (i + 4 > s.size()) return fail("short \\u escape");
    v = 0;
    for (int k = 0; k < 4; k++) {
      char c = s[i++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= uint32_t(c - '0');
      else if (c >= 'a' && c <= 'f') v |= uint32_t(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= uint32_t(c - 'A' + 10);
      else return fail("bad \\u escape");
    }
    return true;
  }
  bool string(std::string& out) {
    if (s[i] != '"') return fail("string expected");
    i++;
    while (i < s.size() && s[i] != '"') {
      char c = s[i++];
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i >= s.size()) return fail("cut escape");
      char e = s[i++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          uint32_t c1 = 0;
          if (!hex4(c1)) return false;
          if (c1 >= 0xD800 && c1 < 0xDC00 && s.compare(i, 2, "\\u") == 0) {
            i += 2;
            uint32_t c2 = 0;
            if (!hex4(c2)) return false;
            c1 = 0x10000 + ((c1 - 0xD800) << 10) + (c2 - 0xDC00);
          }
          put_utf8(out, c1);
          break;
        }
        default: return fail("bad escape");
      }
    }
    if (i >= s.size()) return fail("unterminated string");
    i++;
    return true;
  }
  bool number(json_value& v) {
    size_t start = i;
    bool negative = s[i] == '-';
    if (negative) i++;
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return fail("digit expected");
    uint64_t n = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') n = n * 10 + uint64_t(s[i++] - '0');
    if (i < s.size() && (s[i] == '.' || s[i] == 'e' || s[i] == 'E')) {
      i = start;
      return fail("only integers are read");
    }
    v.kind = json_value::number_kind;
    v.integer = negative ? -int64_t(n) : int64_t(n);
    return true;
  }
  bool value(json_value& v, int depth) {
    if (depth > 64) return fail("nesting too deep");
    skip_space();
    if (i >= s.size()) return fail("value expected");
    char c = s[i];
    if (c == '{') {
      v.kind = json_value::object_kind;
      i++;
      skip_space();
      if (i < s.size() && s[i] == '}') return i++, true;
      for (;;) {
        skip_space();
        std::string name;
        if (i >= s.size() || !string(name)) return fail("member name expected");
        skip_space();
        if (i >= s.size() || s[i] != ':') return fail("':' expected");
        i++;
        v.members.emplace_back(std::move(name), json_value());
        if (!value(v.members.back().second, depth + 1)) return false;
        skip_space();
        if (i < s.size() && s[i] == ',') { i++; continue; }
        if (i < s.size() && s[i] == '}') return i++, true;
        return fail("',' or '}' expected");
      }
    }
    if (c == '[') {
      v.kind = json_value::array_kind;
      i++;
      skip_space();
      if (i < s.size() && s[i] == ']') return i++, true;
      for (;;) {
        v.items.emplace_back();
        if (!value(v.items.back(), depth + 1)) return false;
        skip_space();
        if (i < s.size() && s[i] == ',') { i++; continue; }
        if (i < s.size() && s[i] == ']') return i++, true;
        return fail("',' or ']' expected");
      }
    }
    if (c == '"') {
      v.kind = json_value::string_kind;
      return string(v.text);
    }
    if (c == 't') { v.kind = json_value::bool_kind; v.boolean = true; return literal("true"); }
    if (c == 'f') { v.kind = json_value::bool_kind; return literal("false"); }
    if (c == 'n') { v.kind = json_value::null_kind; return literal("null"); }
    return number(v);
  }
};

}  // namespace

bool json_parse(const std::string& text, json_value& out, std::string& error) {
  parser p{text, 0, {}};
  out = json_value();
  bool ok = p.value(out, 0);
  if (ok) {
    p.skip_space();
    if (p.i != text.size()) ok = p.fail("text after the value");
  }
  error = p.error;
  return ok;
}
