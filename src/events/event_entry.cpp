// The event entry: every record from a plug-in or from the core itself.
#include "core/dvr_core.h"
#include "events/reference_block.h"
#include "util/data_protection.h"

using namespace rk::core;

uint32_t DvrCore::EventEntry(EventParms& record) {
  const uint64_t base = BaseType(record);
  switch (base) {
  case RK_TYPE_LOG:
    if (record.flags & RK_FLAG_QUERY)
      return static_cast<uint32_t>(log.Effective(SourceIndex(record.source)));
    if (!log.Filter(record)) return Stopping() ? RK_POST_REFUSED : RK_POST_OK;
    if (Stopping()) {
      // Nothing is queued any more: the logging plug-in gets live records
      // now; stored ones were never filtered and are refused.
      if (plugins.logging && IsLive(record)) plugins.logging->DeliverEventGuarded(record);
      return RK_POST_REFUSED;
    }
    break;
  case RK_TYPE_DECREF:
    Release(record.data, SourceIndex(record.source));
    return RK_POST_OK;
  case RK_TYPE_CANCEL:
    return search.Cancel(record);
  case RK_TYPE_IPC:
    return ipc.Forward(record.data, record.data ? record.length : 0);
  case RK_TYPE_CRYPTO:
    return CryptoRequest(record, hostId);
  default:
    break;
  }
  if (Stopping()) return RK_POST_REFUSED;
  if (search.searchRequest(record)) return RK_POST_OK;
  if ((record.flags & kLive) && (record.type == RK_TYPE_VIDEO || record.type == RK_TYPE_AUDIO) &&
      memory.Throttled()) {
    CoreCounters::Add(record.type == RK_TYPE_VIDEO ? counters.throttledVideo
                                                   : counters.throttledAudio);
    return RK_POST_THROTTLED;
  }
  return queueEvent(record);
}

uint32_t DvrCore::queueEvent(const EventParms& record) {
  void* block = nullptr;
  if (record.length != 0 && record.data != nullptr) {
    block = NewRefBlock(record.data, record.length);
  }
  const uint32_t requestId = static_cast<uint32_t>(record.request);
  const bool isResult =
      (record.source == kIdNone || SourceIndex(record.source) != 0) && requestId != 0;
  if (isResult && !search.AdmitResult(record, block)) {
    DiscardRefBlock(block);
    return RK_POST_REFUSED;
  }
  EventParms copy = record;
  copy.data = block;
  if (block != nullptr) AddRef(block, 0);
  queue.Push(copy);
  return RK_POST_OK;
}

void DvrCore::Release(const void* payload, uint32_t index) {
  if (payload == nullptr) return;
  if (DropRef(payload, index)) search.BlockFreed(payload);
}
