#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "events/dispatch_loop.h"
#include "pluginhost/plugin_registry.h"
#include "util/core_counters.h"

namespace corvane {

class Logger;
class MemoryMonitor;

// What the report reads, all owned elsewhere.
struct StatisticsSources {
  CoreCounters& counters;
  const MemoryMonitor& memory;
  const Logger& log;
  const PluginList& loaded; // the dispatch thread's own view
};

// The dispatch loop's figures plus the reporter's own state; owned by the
// dispatch thread.
struct ReportState : DispatchStats {
  std::chrono::steady_clock::time_point lastReport;
  uint64_t previousInUse = 0;
  std::string top;
  std::vector<std::pair<uint32_t, uint64_t>> ranking;
};

// The once-a-minute statistics report; dispatch thread only.
void ReportStatistics(const StatisticsSources& sources, ReportState& state);

} // namespace corvane
