#pragma once
// The core's own logging calls. A message is formatted only when its level
// passes the core's stored threshold (source index 0), into a per-thread
// buffer, and travels as a log record like any plug-in's.
#include <cstddef>
#include <cstdint>
#include <fmt/format.h>
#include <iterator>
#include <string>
#include <string_view>

#include "log/log_level.h"
#include "log/log_locale.h"
#include "rk/core/event_parms.h"

namespace corvane {

class Logger;

// Where the core's own lines go: the thresholds that decide, and the entry
// that takes the record (the core's event entry, which filters, prints and
// queues it like a plug-in's). Installed by the core before its threads
// start and removed after they end; without one the lines go nowhere.
class LogSink {
public:
  virtual ~LogSink() = default;
  virtual const Logger& Thresholds() const = 0;
  virtual uint32_t PostLog(rk::core::EventParms& record) = 0;
};
void InstallLogSink(LogSink* sink);

// Wraps formatted text into a live log record from the core and posts it.
// Length 0 posts nothing and returns 0.
uint32_t LogText(int32_t level, const char* text, size_t length);

// The core's stored threshold (index 0, before the default applies).
int32_t CoreLogThreshold();

// The calling thread's format buffer (2048 characters reserved).
std::string& ThreadLogBuffer();

template <typename... Args>
void LogAt(int32_t level, fmt::format_string<Args...> format, Args&&... args) {
  if (CoreLogThreshold() > level) return;
  std::string& buffer = ThreadLogBuffer();
  buffer.clear();
  // The grouping locale is built on first use, and most lines never need it:
  // only a field that ends in L ("{:L}") does.
  const fmt::string_view text = format;
  if (std::string_view(text.data(), text.size()).find("L}") != std::string_view::npos) {
    fmt::format_to(std::back_inserter(buffer), LogLocale(), format, std::forward<Args>(args)...);
  } else {
    fmt::format_to(std::back_inserter(buffer), format, std::forward<Args>(args)...);
  }
  LogText(level, buffer.data(), buffer.size());
}

template <typename... Args> void LogDebug(fmt::format_string<Args...> format, Args&&... args) {
  LogAt(kLogDebug, format, std::forward<Args>(args)...);
}
template <typename... Args> void LogInfo(fmt::format_string<Args...> format, Args&&... args) {
  LogAt(kLogInfo, format, std::forward<Args>(args)...);
}
template <typename... Args> void LogWarning(fmt::format_string<Args...> format, Args&&... args) {
  LogAt(kLogWarning, format, std::forward<Args>(args)...);
}
template <typename... Args> void LogError(fmt::format_string<Args...> format, Args&&... args) {
  LogAt(kLogError, format, std::forward<Args>(args)...);
}
template <typename... Args> void LogCritical(fmt::format_string<Args...> format, Args&&... args) {
  LogAt(kLogCritical, format, std::forward<Args>(args)...);
}

} // namespace corvane
