#include "utc_time.h"

#include <cstdio>
#include <ctime>

namespace recorder {

namespace {

std::tm Broken(int64_t micros) {
  time_t seconds =
      static_cast<time_t>(micros >= 0 ? micros / 1000000 : (micros - 999999) / 1000000);
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  return parts;
}

std::optional<int64_t> FromParts(int year, int month, int day, int hour, int minute, int second) {
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return std::nullopt;
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  return static_cast<int64_t>(::timegm(&parts)) * 1000000;
}

} // namespace

std::string CompactUtc(int64_t micros) {
  const std::tm t = Broken(micros);
  char text[96];
  std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02dZ", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

std::string IsoUtc(int64_t micros) {
  const std::tm t = Broken(micros);
  const int64_t within = ((micros % 1000000) + 1000000) % 1000000;
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                static_cast<int>(within / 1000));
  return text;
}

std::optional<int64_t> ParseCompactUtc(const std::string& text) {
  int y, mo, d, h, mi, s, used = 0;
  if (text.size() != 16 ||
      std::sscanf(text.c_str(), "%4d%2d%2dT%2d%2d%2dZ%n", &y, &mo, &d, &h, &mi, &s, &used) != 6 ||
      used != 16)
    return std::nullopt;
  return FromParts(y, mo, d, h, mi, s);
}

std::optional<int64_t> ParseIsoUtc(const std::string& text) {
  int y, mo, d, h, mi, s, used = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &used) != 6)
    return std::nullopt;
  int64_t fraction = 0;
  size_t at = static_cast<size_t>(used);
  if (at < text.size() && text[at] == '.') {
    int64_t scale = 100000;
    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
      fraction += (text[at] - '0') * scale;
      scale /= 10;
    }
  }
  if (at + 1 != text.size() || text[at] != 'Z') return std::nullopt;
  const auto whole = FromParts(y, mo, d, h, mi, s);
  if (!whole) return std::nullopt;
  return *whole + fraction;
}

} // namespace recorder
