// Path operations of the extractor. Paths are UTF-8 with '\' as the separator; no byte
// inside a multi-byte character is ever taken for a separator (none is 0x5C).
#pragma once
#include <stdint.h>

constexpr int32_t max_path_bytes = 4096;

enum folder_state : uint8_t { folder_present = 0, folder_missing = 1, not_a_folder = 2 };

// Each writes a zero-terminated result into out (capacity max_path_bytes) and returns its
// length; a result that would not fit is cut to empty and -1 is returned.
int32_t with_trailing_separator(const char* path, char* out);
int32_t folder_part(const char* path, char* out);
folder_state classify_folder(const char* destination);
// Creates the missing folders of path (empty, or ending in '\'; a part after the last
// separator is left alone). A leading separator and a drive root (a separator after ':') are
// never looked up or made; prefixes are taken as they stand. known is a path whose folders
// all exist (the chain made last, or empty): a prefix that ends at a separator path shares
// with it is not looked at. Of the others, the walk looks up from the deepest prefix upwards
// to the first folder that exists, never above it, and makes the missing ones below it.
// Returns the failed prefix's length with the prefix in failed_prefix (capacity
// max_path_bytes), or 0 (empty text) on success. The failed prefix is one that is an entry
// other than a folder or that cannot be created; one too long to be held fails, reported cut
// at a character boundary. Folders made before a failure stay. What a failure means is the
// caller's to decide (the member loop: failure_folder, engine/edge.h).
int32_t make_folder_chain(const char* path, const char* known, char* failed_prefix);

// The next character of UTF-8 text (one to four bytes; at the end it stays at the end).
const char* next_char(const char* p);
