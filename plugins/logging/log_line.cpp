#include "log_line.h"

#include <cstdio>
#include <ctime>

namespace ruzuz {

namespace {

const char* LevelName(int32_t level) {
  static constexpr const char* kNames[] = {"Debug", "Info", "Warning", "Error", "Critical"};
  int32_t band = level / 25;
  if (band < 0) band = 0;
  if (band > 4) band = 4;
  return kNames[band];
}

bool IsNamedLevel(int32_t level) {
  return level >= 0 && level <= 100 && level % 25 == 0;
}

} // namespace

std::string FormatLogLine(int64_t unixMs, int32_t level, uint32_t sourceIndex,
                          std::string_view text) {
  while (!text.empty() && (text.back() == '\0' || text.back() == '\n' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  if (text.empty()) return {};
  size_t cut = 0;
  if (text.size() > kMaxRecordText) {
    cut = text.size() - kMaxRecordText;
    text = text.substr(0, kMaxRecordText);
  }

  int64_t seconds = unixMs / 1000;
  int64_t millis = unixMs % 1000;
  if (millis < 0) {
    millis += 1000;
    seconds -= 1;
  }
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&t, &local);

  char head[96];
  int n;
  if (IsNamedLevel(level)) {
    n = std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03d %-8s %02x ",
                      local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                      local.tm_min, local.tm_sec, static_cast<int>(millis), LevelName(level),
                      sourceIndex & 0xFFu);
  } else {
    char name[32];
    std::snprintf(name, sizeof name, "%s/%d", LevelName(level), level);
    n = std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03d %-8s %02x ",
                      local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                      local.tm_min, local.tm_sec, static_cast<int>(millis), name,
                      sourceIndex & 0xFFu);
  }
  if (n < 0) return {};
  const size_t headLength =
      static_cast<size_t>(n) < sizeof head ? static_cast<size_t>(n) : sizeof head - 1;

  std::string line(head, headLength);
  line.reserve(headLength + text.size() + 32);
  const std::string indent(headLength, ' ');
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (c == '\n') {
      line += '\n';
      line += indent;
    } else if (c < 0x20 && c != '\t') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      line += escaped;
    } else if (c == 0x7F) {
      line += "\\x7f";
    } else {
      line += static_cast<char>(c);
    }
  }
  if (cut > 0) line += " [" + std::to_string(cut) + " more bytes]";
  line += '\n';
  return line;
}

} // namespace ruzuz
