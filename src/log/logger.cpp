#include "log/logger.h"

#include <chrono>
#include <ctime>
#include <fmt/chrono.h>
#include <fmt/format.h>
#include <syslog.h>
#include <unistd.h>

namespace corvane {

using namespace rk::core;

namespace {

const char* LevelColour(int32_t level) {
  static constexpr const char* kColours[] = {"\x1b[38;5;248m", "\x1b[32m", "\x1b[38;5;227m",
                                             "\x1b[38;5;196m", "\x1b[38;5;37m\x1b[38;5;1m"};
  int band = level / 25;
  if (band < 0) band = 0;
  if (band > 4) band = 4;
  return kColours[band];
}

} // namespace

Logger::Logger() {
  for (auto& level : levels_) level.store(kLogLevelUnset, std::memory_order_relaxed);
  names_.emplace(0, "core");
}

void Logger::SetName(uint32_t index, std::string name) {
  std::lock_guard lock(consoleLock_);
  names_[index] = std::move(name);
}

std::string Logger::NameOf(uint32_t index) const {
  std::lock_guard lock(consoleLock_);
  const auto it = names_.find(index);
  return it == names_.end() ? std::string() : it->second;
}

bool Logger::Filter(const EventParms& record) {
  if (!IsLive(record)) return true;
  if (record.length == 0) return false;
  const int32_t level =
      record.type == RK_TYPE_LOG ? static_cast<int32_t>(static_cast<uint32_t>(record.level)) : 0;
  const uint32_t index = SourceIndex(record.source);
  if (Effective(index) > level) return false;
  if (record.flags & RK_FLAG_CONSOLE) {
    WriteConsoleLine(index, level, static_cast<const char*>(record.data), record.length);
  }
  return true;
}

void Logger::WriteConsoleLine(uint32_t index, int32_t level, const char* text, size_t length) {
  while (length > 0 &&
         (text[length - 1] == '\0' || text[length - 1] == '\n' || text[length - 1] == '\r')) {
    --length;
  }
  if (length == 0) return;
  if (level >= kLogCritical) {
    syslog(LOG_CRIT, "%.*s", static_cast<int>(length), text);
    level = kLogCritical;
  }
  if (ConsoleOff()) return;

  const auto now = std::chrono::system_clock::now();
  const int64_t ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);

  std::lock_guard lock(consoleLock_);
  const auto it = names_.find(index);
  fmt::memory_buffer line; // 500 bytes inline; longer lines spill to the heap
  if (it != names_.end()) {
    fmt::format_to(std::back_inserter(line), "{}{:%T}.{:03}{} {}{} {}\n", LevelColour(level), local,
                   ms % 1000, "\x1b[36m", it->second, "\x1b[0m", std::string_view(text, length));
  } else {
    fmt::format_to(std::back_inserter(line), "{}{:%T}.{:03}{} PI{:02x}{} {}\n", LevelColour(level),
                   local, ms % 1000, "\x1b[36m", index, "\x1b[0m", std::string_view(text, length));
  }
  // A console that cannot take the line loses it; the poster never notices.
  const ssize_t written = ::write(STDOUT_FILENO, line.data(), line.size());
  (void)written;
}

} // namespace corvane
