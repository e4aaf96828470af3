// A small JSON reader for the reference manifests: enough of the grammar for what they hold
// (objects, arrays, strings with escapes, integers, true, false, null), standard library only
// so that the tests build for Windows as well.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

struct json_value {
  enum kind_t { null_kind, bool_kind, number_kind, string_kind, array_kind, object_kind };
  kind_t kind = null_kind;
  bool boolean = false;
  int64_t integer = 0;         // numbers without fraction or exponent; others are refused
  std::string text;            // UTF-8
  std::vector<json_value> items;
  std::vector<std::pair<std::string, json_value>> members;  // in file order

  bool is_null() const { return kind == null_kind; }
  // The member of that name; a null value when there is none.
  const json_value& operator[](const char* name) const;
  const json_value& at(size_t index) const { return items.at(index); }
  size_t size() const { return kind == array_kind ? items.size() : members.size(); }
};

// Parses text; on a syntax error returns false and says where in error.
bool json_parse(const std::string& text, json_value& out, std::string& error);
