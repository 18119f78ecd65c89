#include "events/dispatch_loop.h"

#include <chrono>

#include "events/accept_filter.h"
#include "events/dispatch_timing.h"
#include "events/event_bus.h"
#include "events/reference_block.h"
#include "log/core_log.h"
#include "metrics/core_metrics.h"
#include "tap/tap_server.h"

namespace corvane {

using namespace rk::core;

namespace {

constexpr std::chrono::seconds kIdleWait{1};

void ReportSlowDelivery(const PluginList& loaded, const Plugin& plugin, const EventParms& record,
                        int64_t elapsedNs) {
  if (CoreLogThreshold() != 0) return;
  std::string& buffer = ThreadLogBuffer();
  buffer.clear();
  fmt::format_to(std::back_inserter(buffer), LogLocale(),
                 "{} took {}ms for {} event from {} [{:L}]", plugin.DisplayStem(),
                 elapsedNs / 1'000'000, DispatchCategory(record.type),
                 SourceName(loaded, SourceIndex(record.source)), record.length);
  LogText(kLogDebug, buffer.data(), buffer.size());
}

// What the tap shows of a record, without its payload.
TapRecord Summary(const PluginList& loaded, const EventParms& record) {
  TapRecord summary;
  summary.unixMicros = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  summary.type = record.type;
  summary.flags = record.flags;
  summary.source = record.source;
  summary.request = record.request;
  summary.length = record.length;
  if (record.source == kIdNone) return summary; // the core's own
  for (const auto& plugin : loaded) {
    if (plugin->IdWord() != kIdNone && plugin->Id() == SourceIndex(record.source)) {
      summary.sourceName = plugin->DisplayStem();
      break;
    }
  }
  return summary;
}

} // namespace

void RunDispatchLoop(EventBus& bus, const PluginList& loaded, DispatchObserver& observer,
                     DispatchStats& stats, const std::atomic<uint8_t>& stopping,
                     TotalCounters& totals, TapServer* tap) {
  EventQueue& queue = bus.Queue();
  // The core's threshold changes only on this thread, in BeforeDelivery, so
  // it is read again only after that.
  int32_t coreThreshold = CoreLogThreshold();
  for (;;) {
    const EventParms* queued = nullptr;
    const auto outcome = queue.Peek(queued, stopping, kIdleWait);
    if (outcome == EventQueue::Wait::kStop) break;
    if (outcome == EventQueue::Wait::kIdle) {
      ++stats.idle;
      stats.inQueue = 0;
      observer.AfterTake(stats);
      continue;
    }
    // Delivered from its slot: the slot stays the queue's until Pop().
    const EventParms& record = *queued;
    ++stats.events;
    // This thread alone writes it.
    auto& queuedOfType = totals.queuedByType[TotalCounters::TypeSlot(BaseType(record))];
    queuedOfType.store(queuedOfType.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    // A flood looks at the clock for the report once in a while; a trickle
    // (the queue empty behind this record) at every record.
    if ((stats.events & 63) == 0 || stats.events == 1 || !queue.NextWritten()) {
      stats.inQueue = queue.Behind();
      observer.AfterTake(stats);
    }
    if (BaseType(record) == RK_TYPE_CONFIG) {
      observer.BeforeDelivery(record);
      coreThreshold = CoreLogThreshold();
    }

    // Nobody tapping costs this one relaxed load.
    const bool tapping = tap != nullptr && tap->Active();
    std::vector<TapReceiver> receivers;

    const void* payload = record.data;
    const bool isLog = record.type == RK_TYPE_LOG;
    const bool liveLog = isLog && IsLive(record);
    // A delivery's time shows only in ltm (live log records) and in the
    // slow-delivery line, which needs the core's threshold at exactly 0.
    // Otherwise the two clock reads would be the costliest part of a
    // delivery, for nothing.
    const bool timedAlways = liveLog || (!isLog && coreThreshold == 0);
    for (const auto& plugin : loaded) {
      if (!Accepts(plugin->info, record)) continue;
      // The status endpoint's histogram times one delivery in a few.
      plugin->deliveries.store(plugin->deliveries.load(std::memory_order_relaxed) + 1,
                               std::memory_order_relaxed);
      OnEventSampler* sampler = plugin->onEventSampler;
      const bool sampled = sampler != nullptr && sampler->Due();
      const bool timed = sampled || timedAlways;
      const auto t0 =
          timed ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
      const uint32_t index = plugin->Id();
      if (tapping) receivers.push_back({index, std::string(plugin->DisplayStem())});
      if (payload != nullptr) AddRef(payload, index);
      if (!plugin->DeliverEvent(record) && payload != nullptr) bus.Release(payload, index);
      if (!timed) continue;
      const int64_t elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::steady_clock::now() - t0)
                                  .count();
      if (sampled) sampler->Observe(std::chrono::nanoseconds(elapsed));
      if (!isLog) {
        if (elapsed > kSlowDeliveryNs) ReportSlowDelivery(loaded, *plugin, record, elapsed);
      } else {
        stats.ltmUs += static_cast<uint64_t>(elapsed) / 1000;
      }
    }
    if (tapping) tap->Publish(Summary(loaded, record), std::move(receivers));
    queue.Pop();
    if (payload != nullptr) bus.Release(payload, kIdCore);
  }
}

} // namespace corvane
