// The dispatch loop: the one consumer of the event queue, on the main thread.
#include <chrono>

#include "core/dvr_core.h"
#include "events/accept_filter.h"
#include "events/dispatch_timing.h"
#include "events/reference_block.h"
#include "log/core_log.h"
#include "monitor/statistics.h"

using namespace rk::core;

namespace {

constexpr std::chrono::seconds kIdleWait{1};

// "Core" for the core and plug-in id 0, else the first loaded plug-in with
// that id, else "unknown".
std::string_view SenderName(const PluginList& loaded, uint64_t source) {
  if (source == kIdNone || SourceIndex(source) == 0) return "Core";
  for (const auto& plugin : loaded) {
    if (plugin->IdWord() != kIdNone && plugin->Id() == SourceIndex(source))
      return plugin->DisplayStem();
  }
  return "unknown";
}

void ReportSlowDelivery(const PluginList& loaded, const Plugin& plugin, const EventParms& record,
                        int64_t elapsedNs) {
  if (CoreLogThreshold() != 0) return;
  std::string& buffer = ThreadLogBuffer();
  buffer.clear();
  fmt::format_to(std::back_inserter(buffer), LogLocale(),
                 "{} took {}ms for {} event from {} [{:L}]", plugin.DisplayStem(),
                 elapsedNs / 1'000'000, DispatchCategory(record.type),
                 SenderName(loaded, record.source), record.length);
  LogText(kLogDebug, buffer.data(), buffer.size());
}

} // namespace

void DvrCore::DispatchLoop() {
  ReportState report;
  report.lastReport = std::chrono::steady_clock::now() - std::chrono::seconds(60);
  EventParms record;
  for (;;) {
    size_t remaining = 0;
    const auto outcome = queue.Take(record, remaining, stopping_, kIdleWait);
    if (outcome == EventQueue::Wait::kStop) break;
    if (outcome == EventQueue::Wait::kIdle) {
      ++report.idle;
      report.inQueue = 0;
      ReportStatistics(*this, report);
      continue;
    }
    report.inQueue = remaining;
    ++report.events;
    ReportStatistics(*this, report);
    OnConfigDelta(record);

    const void* payload = record.data;
    const bool isLog = record.type == RK_TYPE_LOG;
    const bool liveLog = isLog && IsLive(record);
    for (const auto& plugin : plugins.loaded) {
      if (!Accepts(plugin->info, record)) continue;
      // A delivery's time shows only in ltm (live log records) and in the
      // slow-delivery line, which needs the core's threshold at exactly 0;
      // that threshold changes only on this thread. Otherwise the two clock
      // reads would be the costliest part of a delivery, for nothing.
      const bool timed = liveLog || (!isLog && CoreLogThreshold() == 0);
      const auto t0 =
          timed ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
      const uint32_t index = plugin->Id();
      if (payload != nullptr) AddRef(payload, index);
      if (!plugin->DeliverEvent(record)) Release(payload, index);
      if (!timed) continue;
      const int64_t elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::steady_clock::now() - t0)
                                  .count();
      if (!isLog) {
        if (elapsed > kSlowDeliveryNs) ReportSlowDelivery(plugins.loaded, *plugin, record, elapsed);
      } else {
        report.ltmUs += static_cast<uint64_t>(elapsed) / 1000;
      }
    }
    Release(payload, 0);
  }
}
