#include "core/event_entry.h"

#include "events/event_bus.h"
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
    if (Stopping()) {
      // Nothing is queued any more: the logging plug-in gets live records
      // now; stored ones were never filtered and are refused.
      if (m_.plugins.logging && IsLive(record)) m_.plugins.logging->DeliverEventGuarded(record);
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
  if (Stopping()) return RK_POST_REFUSED;
  if (m_.search.StartSearch(record)) return RK_POST_OK;
  if ((record.flags & kLive) && (record.type == RK_TYPE_VIDEO || record.type == RK_TYPE_AUDIO) &&
      m_.memory.Throttled()) {
    CoreCounters::Add(record.type == RK_TYPE_VIDEO ? m_.counters.throttledVideo
                                                   : m_.counters.throttledAudio);
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
    return RK_POST_REFUSED;
  }
  return m_.bus.Push(record, block) ? RK_POST_OK : RK_POST_REFUSED;
}

} // namespace corvane
