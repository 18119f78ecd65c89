#pragma once
// The event entry: every record a plug-in posts, and the core's own, comes
// in here. It is the one place that knows every module: it answers control
// records at once (decref, cancel, ipc, crypto), filters log records,
// starts searches, refuses live audio and video while throttled, and queues
// everything else with its payload copied once.
//
// Threads: any thread, any number at once. It holds no state of its own
// beyond references; each module it calls guards its own.
#include <atomic>
#include <cstdint>
#include <string>

#include "log/core_log.h"
#include "rk/core/event_parms.h"

namespace corvane {

class EventBus;
class IpcChannel;
class Logger;
class MemoryMonitor;
class PluginRegistry;
class RecentLines;
class SearchHandler;
struct CoreCounters;

class EventEntry final : public LogSink {
public:
  struct Modules {
    Logger& log;
    PluginRegistry& plugins;
    EventBus& bus;
    SearchHandler& search;
    IpcChannel& ipc;
    MemoryMonitor& memory;
    CoreCounters& counters;
    const std::string& hostId;
    const std::atomic<uint8_t>& stopping;
    RecentLines* warnings; // lines at Warning and above go here; may be null
  };
  explicit EventEntry(const Modules& modules) : m_(modules) {}

  // The post result: 0 accepted, 1 refused, 5 throttled, or a query's answer.
  uint32_t Post(rk::core::EventParms& record);
  // Queues a record as it is (no filter, no throttle): the core's own
  // documents and a search provider's results (which may wait for pacing).
  uint32_t QueueEvent(const rk::core::EventParms& record);

  const Logger& Thresholds() const override { return m_.log; }
  uint32_t PostLog(rk::core::EventParms& record) override { return Post(record); }

  // Where the post event callback sends records; null while no core runs.
  static void Install(EventEntry* entry);

private:
  // Counts a log record that passed the filter, and keeps its line when grave.
  void NoteLogLine(const rk::core::EventParms& record);
  bool Stopping() const { return m_.stopping.load(std::memory_order_acquire) != 0; }
  const Modules m_;
};

// The callback handed to every plug-in at Load.
uint32_t PostEventCallback(rk::core::EventParms* record);

} // namespace corvane
