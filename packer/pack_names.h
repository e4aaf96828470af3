// Names and texts on their way into an archive: UTF-8 from the file system and the command
// line, CP932 in the archive. Everything the extractor would refuse, or that Windows would
// read differently from how it is stored, is refused here, before any output exists.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

// UTF-8 text to CP932 bytes. False when a character has no CP932 form (or the text is not
// UTF-8).
bool utf8_to_cp932(const std::string& utf8, std::vector<uint8_t>& out);

// CP932 bytes to UTF-8 text. False when the bytes are not valid CP932.
bool cp932_to_utf8(const std::vector<uint8_t>& cp932, std::string& out);

// Checks one stored name (CP932, '\' separated; a folder entry ends in "\."). Returns an empty
// text when the name is fine, otherwise the reason in English.
std::string stored_name_problem(const std::vector<uint8_t>& stored);

// A UTF-8 name folded the way Windows compares names: ASCII, full-width Latin, Greek,
// Cyrillic and Roman-numeral letters of either case compare equal. Names that fold alike
// cannot live side by side in one Windows folder.
std::u32string fold_case(const std::string& utf8);

// Orders stored names component by component (bytes within a component), so that a folder
// entry "d\." comes right before everything below d. Negative, zero or positive.
int compare_stored_names(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

// The message shown by the stub: UTF-8 with any line ends, to CP932 with CRLF line ends (the
// stub's message view breaks lines only at CRLF). Returns an empty text or the reason.
std::string message_to_cp932(const std::string& utf8, std::vector<uint8_t>& out);
