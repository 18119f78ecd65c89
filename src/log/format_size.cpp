#include "log/format_size.h"

#include <cmath>
#include <fmt/format.h>

#include "log/log_locale.h"

namespace corvane {

std::string FormatSize(int64_t bytes) {
  // Magnitude as unsigned so INT64_MIN does not overflow.
  const uint64_t magnitude = bytes < 0 ? 0 - static_cast<uint64_t>(bytes) : bytes;
  if (magnitude <= 102399) return fmt::format(LogLocale(), "{:L}", bytes);
  double d = static_cast<double>(magnitude);
  int unit = 0;
  while (d >= 1024.0) {
    d *= 0.0009765625;
    ++unit;
  }
  d = std::ceil(d * 100) / 100;
  static constexpr char kUnits[] = "_KMGTPE";
  return fmt::format("{}{}{}iB", bytes < 0 ? "-" : "", d, kUnits[unit]);
}

} // namespace corvane
