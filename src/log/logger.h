#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "log/log_level.h"
#include "rk/core/event_parms.h"

namespace rapidxml {
template <class Ch> class xml_document;
}

namespace corvane {

// Per-source thresholds, display names and the console. Shared by every
// thread that logs: thresholds are relaxed atomics (a reader sees the old or
// the new value); the name table and console writes are guarded by consoleLock_.
class Logger {
public:
  Logger();

  // Stored threshold (-1..100) of a source index; -1 is the default.
  int32_t Stored(uint32_t index) const {
    return levels_[index & 0xFF].load(std::memory_order_relaxed);
  }
  // Threshold in force: the stored one, Info when unset.
  int32_t Effective(uint32_t index) const {
    const int32_t v = Stored(index);
    return v < 0 ? kLogLevelDefault : v;
  }
  void SetStored(uint32_t index, int32_t level) {
    levels_[index & 0xFF].store(level, std::memory_order_relaxed);
  }

  void SetName(uint32_t index, std::string name);
  // The table's entry, or an empty string when the index has none.
  std::string NameOf(uint32_t index) const;

  void SetConsoleOff() { consoleOff_.store(1, std::memory_order_relaxed); }
  bool ConsoleOff() const { return consoleOff_.load(std::memory_order_relaxed) != 0; }

  // Log filter for a log record: true = pass on, false = drop. Prints the
  // console line (and the syslog copy) when the record asks for it.
  bool Filter(const rk::core::EventParms& record);

  // Console line (and syslog at Critical and above) for one record's text.
  void WriteConsoleLine(uint32_t index, int32_t level, const char* text, size_t length);

  // Applies "LogLevel" of every "Plugin" below "Varn/Modules/Module";
  // true when any stored threshold changed.
  bool ApplyLevelUpdate(const rapidxml::xml_document<char>& document);

private:
  std::array<std::atomic<int32_t>, 256> levels_;
  std::atomic<uint8_t> consoleOff_{0}; // written by the I/O thread, read by any
  mutable std::mutex consoleLock_;     // guards names_ and console writes
  std::unordered_map<uint32_t, std::string> names_;
};

} // namespace corvane
