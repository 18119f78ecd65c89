#include "core/event_entry.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <fmt/chrono.h>
#include <fmt/format.h>

#include "events/event_bus.h"
#include "http/recent_lines.h"
#include "ipc/ipc_channel.h"
#include "log/logger.h"
#include "monitor/memory_monitor.h"
#include "pluginhost/plugin_registry.h"
#include "search/search_handler.h"
#include "util/core_counters.h"
#include "util/data_protection.h"

namespace corvane {

using namespace rk::core;

namespace {
// The post event callback has no context argument: this is its one
// process-wide target. Written by the core while no plug-in runs.
std::atomic<EventEntry*> g_entry{nullptr};
} // namespace

void EventEntry::Install(EventEntry* entry) {
  g_entry.store(entry, std::memory_order_release);
}

uint32_t PostEventCallback(EventParms* record) {
  if (record->data == nullptr) record->length = 0;
  EventEntry* entry = g_entry.load(std::memory_order_acquire);
  if (entry == nullptr) return RK_POST_REFUSED;
  return entry->Post(*record);
}

uint32_t EventEntry::Post(EventParms& record) {
  switch (BaseType(record)) {
  case RK_TYPE_LOG:
    if (record.flags & RK_FLAG_QUERY)
      return static_cast<uint32_t>(m_.log.Effective(SourceIndex(record.source)));
    if (!m_.log.Filter(record)) return Stopping() ? RK_POST_REFUSED : RK_POST_OK;
    NoteLogLine(record);
    if (Stopping()) {
      // Nothing is queued any more: the logging plug-in gets live records
      // now; stored ones were never filtered and are refused.
      if (m_.plugins.logging && IsLive(record)) m_.plugins.logging->DeliverEventGuarded(record);
      TotalCounters::Add(m_.counters.totals.refusedStopping);
      return RK_POST_REFUSED;
    }
    break;
  case RK_TYPE_DECREF:
    m_.bus.Release(record.data, SourceIndex(record.source));
    return RK_POST_OK;
  case RK_TYPE_CANCEL:
    return m_.search.Cancel(record);
  case RK_TYPE_IPC:
    return m_.ipc.Forward(record.data, record.data ? record.length : 0);
  case RK_TYPE_CRYPTO:
    return CryptoRequest(record, m_.hostId);
  default:
    break;
  }
  if (Stopping()) {
    TotalCounters::Add(m_.counters.totals.refusedStopping);
    return RK_POST_REFUSED;
  }
  if (m_.search.StartSearch(record)) return RK_POST_OK;
  if ((record.flags & kLive) && (record.type == RK_TYPE_VIDEO || record.type == RK_TYPE_AUDIO) &&
      m_.memory.Throttled()) {
    CoreCounters::Add(record.type == RK_TYPE_VIDEO ? m_.counters.throttledVideo
                                                   : m_.counters.throttledAudio);
    TotalCounters::Add(m_.counters.totals.refusedThrottled);
    return RK_POST_THROTTLED;
  }
  return QueueEvent(record);
}

uint32_t EventEntry::QueueEvent(const EventParms& record) {
  void* block = EventBus::CopyPayload(record);
  const uint32_t requestId = static_cast<uint32_t>(record.request);
  const bool isResult =
      (record.source == kIdNone || SourceIndex(record.source) != kIdCore) && requestId != 0;
  if (isResult && !m_.search.AdmitResult(record, block)) {
    EventBus::Discard(block);
    TotalCounters::Add(m_.counters.totals.searchResultsRefused);
    return RK_POST_REFUSED;
  }
  // Counted by type as the dispatch loop takes it.
  return m_.bus.Push(record, block) ? RK_POST_OK : RK_POST_REFUSED;
}

void EventEntry::NoteLogLine(const EventParms& record) {
  const auto level = static_cast<int32_t>(static_cast<uint32_t>(record.level));
  TotalCounters::Add(m_.counters.totals.logLines[TotalCounters::LevelBand(level)]);
  if (m_.warnings == nullptr || level < RK_LOG_WARNING) return;
  // As the console shows it: time, source, text.
  const auto now = std::chrono::system_clock::now();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  const uint32_t index = SourceIndex(record.source);
  std::string name = m_.log.NameOf(index);
  if (name.empty()) name = fmt::format("PI{:02x}", index);
  std::string_view text;
  if (record.data != nullptr)
    text = std::string_view(static_cast<const char*>(record.data),
                            ::strnlen(static_cast<const char*>(record.data), record.length));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  m_.warnings->Add(fmt::format("{:%T}.{:03} {} {}", local, ms.count(), name, text));
}

} // namespace corvane
