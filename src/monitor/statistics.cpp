#include "monitor/statistics.h"

#include <algorithm>
#include <fmt/format.h>
#include <iterator>

#include "events/reference_block.h"
#include "log/core_log.h"
#include "log/format_size.h"
#include "log/logger.h"
#include "monitor/memory_monitor.h"

namespace corvane {

namespace {

constexpr auto kReportPeriod = std::chrono::nanoseconds(59'999'999'999);
constexpr size_t kTopHolders = 5;

// The five largest holders of payload references, ties in index order.
void BuildTop(const PluginList& loaded, ReportState& state) {
  state.top.clear();
  state.ranking.clear();
  RefAccounting& refs = RefCounts();
  for (uint32_t index = 0; index < refs.held.size(); ++index) {
    const uint64_t count = refs.held[index].load(std::memory_order_relaxed);
    if (count == 0) continue;
    const auto smaller = std::find_if(state.ranking.begin(), state.ranking.end(),
                                      [&](const auto& entry) { return entry.second < count; });
    state.ranking.insert(smaller, {index, count});
    if (state.ranking.size() > kTopHolders) state.ranking.pop_back();
  }
  for (const auto& [index, count] : state.ranking) {
    fmt::format_to(std::back_inserter(state.top), LogLocale(), "{}{} {:L}",
                   state.top.empty() ? "" : ", ", SourceName(loaded, index), count);
  }
}

uint64_t TakeCounter(std::atomic<uint64_t>& counter) {
  // Read and zero in one step so that nothing counted meanwhile is lost.
  return counter.exchange(0, std::memory_order_relaxed);
}

} // namespace

void ReportStatistics(const StatisticsSources& sources, ReportState& state) {
  const auto now = sources.memory.Environment().SteadyNow();
  if (now - state.lastReport <= kReportPeriod) return;
  state.lastReport = now;

  CoreCounters& counters = sources.counters;
  const uint64_t throttledVideo = TakeCounter(counters.throttledVideo);
  const uint64_t throttledAudio = TakeCounter(counters.throttledAudio);
  const uint64_t ipcForwarded = TakeCounter(counters.ipcForwarded);
  const uint64_t ipcDelivered = TakeCounter(counters.ipcDelivered);
  const uint64_t ipcBytes = TakeCounter(counters.ipcDeliveredBytes);
  const uint64_t searchRequests = TakeCounter(counters.searchRequests);
  const uint64_t searchCancels = TakeCounter(counters.searchCancels);
  const uint64_t searchResults = TakeCounter(counters.searchResults);
  const uint64_t searchBytes = TakeCounter(counters.searchResultBytes);
  const uint32_t events = std::exchange(state.events, 0);
  const uint32_t idle = std::exchange(state.idle, 0);
  const uint64_t ltmUs = std::exchange(state.ltmUs, 0);
  const uint64_t inUse = sources.memory.HeapInUse();
  const uint64_t previousInUse = std::exchange(state.previousInUse, inUse);

  // The stored threshold, before the default applies: -1 reports too.
  if (sources.log.Stored(rk::core::kIdCore) > kLogInfo) return;

  BuildTop(sources.loaded, state);
  RefAccounting& refs = RefCounts();
  std::string memory = FormatSize(static_cast<int64_t>(inUse));
  if (inUse != previousInUse) {
    memory += inUse > previousInUse ? " +" : " ";
    memory += FormatSize(static_cast<int64_t>(inUse - previousInUse));
  }

  std::string& buffer = ThreadLogBuffer();
  buffer.clear();
  fmt::format_to(std::back_inserter(buffer), LogLocale(),
                 "InQ:{:L} events:{:L} idle:{}s throttled[v:{:L} a:{:L}]\n"
                 "ltm:{:L}us ipc[r:{:L} p:{:L} d:{}] srch[r:{:L} c:{:L} p:{:L} d:{}]\n"
                 "memory[inuse:{}] refblks:{:L}({}) top: {}",
                 state.inQueue, events, idle, throttledVideo, throttledAudio, ltmUs, ipcForwarded,
                 ipcDelivered, FormatSize(static_cast<int64_t>(ipcBytes)), searchRequests,
                 searchCancels, searchResults, FormatSize(static_cast<int64_t>(searchBytes)),
                 memory, refs.liveBlocks.load(std::memory_order_relaxed),
                 FormatSize(static_cast<int64_t>(refs.liveBytes.load(std::memory_order_relaxed))),
                 state.top);
  LogText(kLogInfo, buffer.data(), buffer.size());
}

} // namespace corvane
