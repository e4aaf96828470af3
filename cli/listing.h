// What `vantrel list` shows of an archive, gathered during the pass, and its JSON form. The
// JSON is built here, apart from the pass, so that other code (a fuzzing harness) can produce
// it in the process.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

struct listed_member {
  bool is_folder = false;
  int32_t size = 0;
  uint64_t creation_time = 0, last_access_time = 0, last_write_time = 0;  // FILETIME
  std::string name;  // '/' separated; a folder ends in '/'
};

struct archive_listing {
  std::string archive;  // the path as given ("-": standard input)
  int64_t archive_size = 0;
  std::string message, run_after;  // UTF-8 (see cp932_text)
  bool password = false;
  bool password_shown = false;  // the extractor shows the typed password
  std::vector<listed_member> members;
  int32_t files = 0, folders = 0;
  int64_t total_size = 0;
};

// The listing as a JSON document, always valid: bytes that are not UTF-8 (a file name given
// on the command line, say) become U+FFFD. Times appear twice: the stored FILETIME (100 ns
// since 1601) and the same instant as ISO 8601 in UTC.
std::string listing_json(const archive_listing& listing);

// A FILETIME as ISO 8601 in UTC: "2020-09-13T12:26:40Z", with a fraction of the second
// ("...40.5Z", up to seven digits) when it has one.
std::string iso8601_utc(uint64_t filetime);

// CP932 text as UTF-8; a byte that is no CP932 character becomes U+FFFD rather than losing the
// whole text.
std::string cp932_text(const uint8_t* bytes, int32_t length);
