// Shell-style patterns over member paths as the tool shows them (UTF-8, '/' separated, no
// final '/'), used by pack, list and extract alike:
//   *      any run of characters, '/' included (so "*.h" is every header at any depth)
//   ?      one character
//   [...]  one character of a set: "[abc]", ranges "[a-z]", negated with '!' or '^' first
//   \x     the character x itself
#pragma once
#include <string>
#include <vector>

// Whether the pattern matches the whole of path.
bool pattern_matches(const std::string& pattern, const std::string& path);

// Whether a member named by a pattern on the command line is chosen: the pattern matches its
// path or one of the folders it lies in, so naming a folder takes everything below it.
bool pattern_selects(const std::string& pattern, const std::string& path);

// Whether --exclude PATTERN leaves the member out: as pattern_selects, and also where the
// pattern matches a trailing part of the path that starts after a '/' (as tar's exclusions do:
// "*.o", ".git" or "cache/tmp" exclude at any depth).
bool pattern_excludes(const std::string& pattern, const std::string& path);

// A pattern as given, in the form above: a leading "./" and a final '/' dropped.
std::string normal_pattern(std::string pattern);

// Patterns read from a file, one a line (--exclude-from): a final CR is dropped, and empty
// lines are skipped. False when the file cannot be read.
bool read_pattern_file(const std::string& path, std::vector<std::string>& patterns);
