#include "cli/listing.h"

#include <stdio.h>

#include <nlohmann/json.hpp>

#include "engine/cp932.h"
#include "platform/platform.h"

std::string iso8601_utc(uint64_t filetime) {
  uint64_t seconds = filetime / 10000000u;
  uint32_t fraction = uint32_t(filetime % 10000000u);
  // Days since 1601-01-01 to a civil date (the proleptic Gregorian calendar), counted from
  // 0000-03-01 so that the leap day ends each 400-year cycle.
  int64_t days = int64_t(seconds / 86400) + 584694;  // 1601-01-01 is day 584694 from 0000-03-01
  uint32_t in_day = uint32_t(seconds % 86400);
  int64_t era = days / 146097;
  int64_t day_of_era = days - era * 146097;
  int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  int64_t shifted_month = (5 * day_of_year + 2) / 153;
  int64_t day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  int64_t month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  char text[48];
  int n = snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02u:%02u:%02u",
                   static_cast<long long>(year), static_cast<long long>(month),
                   static_cast<long long>(day), in_day / 3600, in_day / 60 % 60, in_day % 60);
  std::string out(text, size_t(n));
  if (fraction) {
    snprintf(text, sizeof text, ".%07u", fraction);
    std::string digits = text;
    while (digits.back() == '0') digits.pop_back();
    out += digits;
  }
  return out + "Z";
}

std::string cp932_text(const uint8_t* bytes, int32_t length) {
  std::string out;
  char utf8[8];
  for (int32_t i = 0; i < length;) {
    int32_t width = cp932_is_lead(bytes[i]) && i + 1 < length ? 2 : 1;
    int32_t n = platform_cp932_to_utf8(bytes + i, size_t(width), utf8, sizeof utf8);
    if (n < 0 && width == 2) {
      width = 1;
      n = platform_cp932_to_utf8(bytes + i, 1, utf8, sizeof utf8);
    }
    if (n < 0)
      out += "\xEF\xBF\xBD";
    else
      out.append(utf8, size_t(n));
    i += width;
  }
  return out;
}

std::string listing_json(const archive_listing& listing) {
  using nlohmann::ordered_json;
  ordered_json doc;
  doc["archive"] = listing.archive;
  doc["archive_size"] = listing.archive_size;
  doc["message"] = listing.message;
  doc["run_after"] = listing.run_after;
  doc["password"] = listing.password;
  doc["password_shown"] = listing.password_shown;
  ordered_json members = ordered_json::array();
  for (const listed_member& m : listing.members) {
    ordered_json j;
    j["kind"] = m.is_folder ? "folder" : "file";
    j["name"] = m.name;
    if (!m.is_folder) {
      j["size"] = m.size;
      j["creation_time"] = m.creation_time;
      j["creation_time_utc"] = iso8601_utc(m.creation_time);
      j["last_access_time"] = m.last_access_time;
      j["last_access_time_utc"] = iso8601_utc(m.last_access_time);
      j["last_write_time"] = m.last_write_time;
      j["last_write_time_utc"] = iso8601_utc(m.last_write_time);
    }
    members.push_back(std::move(j));
  }
  doc["members"] = std::move(members);
  doc["files"] = listing.files;
  doc["folders"] = listing.folders;
  doc["total_size"] = listing.total_size;
  return doc.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
}
