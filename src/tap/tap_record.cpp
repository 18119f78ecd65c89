#include "tap/tap_record.h"

#include <charconv>
#include <ctime>
#include <fmt/format.h>

namespace corvane {

namespace {

struct NamedType {
  uint64_t code;
  const char* name;
};

constexpr NamedType kTypes[] = {
    {0, "unspecified"}, {1, "video"},     {2, "audio"},  {4, "alarm"},      {8, "ptz"},
    {16, "serial"},     {32, "watchdog"}, {64, "log"},   {256, "config"},   {512, "decref"},
    {1024, "pos"},      {4096, "cancel"}, {8192, "ipc"}, {32768, "crypto"}, {65536, "analytic"}};

constexpr uint64_t kModifier = 0x4000;

bool ParseNumber(std::string_view text, uint64_t& value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size();
}

} // namespace

std::string TapTypeName(uint64_t type) {
  const uint64_t base = type & ~kModifier;
  const char* suffix = (type & kModifier) != 0 ? "+mod" : "";
  for (const NamedType& t : kTypes) {
    if (t.code == base) return fmt::format("{}{}", t.name, suffix);
  }
  return fmt::format("{:#x}{}", base, suffix);
}

bool TapTypeCode(std::string_view name, uint64_t& code) {
  for (const NamedType& t : kTypes) {
    if (name == t.name) {
      code = t.code;
      return true;
    }
  }
  return ParseNumber(name, code);
}

std::string FormatTapLine(const TapRecord& record, const std::vector<TapReceiver>& receivers) {
  const std::time_t seconds = static_cast<std::time_t>(record.unixMicros / 1000000);
  std::tm local{};
  localtime_r(&seconds, &local);
  const bool live = (record.flags & 0x1000000) != 0, stored = (record.flags & 0x4000000) != 0;
  const uint32_t source = record.source == 0x80000000 ? 0 : (record.source >> 16) & 0xFF;

  fmt::memory_buffer line;
  auto out = std::back_inserter(line);
  fmt::format_to(out, "{:02}:{:02}:{:02}.{:03} {} {} {:02x}:{}", local.tm_hour, local.tm_min,
                 local.tm_sec, record.unixMicros / 1000 % 1000, TapTypeName(record.type),
                 live     ? "live"
                 : stored ? "stored"
                          : "control",
                 source,
                 !record.sourceName.empty() ? std::string_view(record.sourceName)
                 : source == 0              ? std::string_view("core")
                                            : std::string_view("?"));
  if (record.request != 0) fmt::format_to(out, " req={:#x}", record.request);
  fmt::format_to(out, " len={} ->", record.length);
  if (receivers.empty()) fmt::format_to(out, " (nobody)");
  for (const TapReceiver& r : receivers) fmt::format_to(out, " {:02x}:{}", r.index, r.name);
  return fmt::to_string(line);
}

} // namespace corvane
