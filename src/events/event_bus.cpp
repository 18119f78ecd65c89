#include "events/event_bus.h"

#include "events/reference_block.h"
#include "rk/core/core_ids.h"

namespace corvane {

using namespace rk::core;

void* EventBus::NewBlock(const EventParms& record) {
  return NewRefBlock(record.data, record.length);
}

void EventBus::Discard(void* block) {
  DiscardRefBlock(block);
}

bool EventBus::PushWithBlock(const EventParms& record, void* block) {
  AddRef(block, kIdCore);
  if (queue_.Push(record, block)) return true;
  Release(block, kIdCore);
  return false;
}

void EventBus::Release(const void* payload, uint32_t index) {
  if (payload == nullptr) return;
  if (DropRef(payload, index) && blockFreed_ != nullptr) blockFreed_(blockFreedContext_, payload);
}

} // namespace corvane
