#pragma once
// The road of a record once the event entry has accepted it: the payload's
// one shared copy (a reference block), the queue to the dispatch thread, and
// the references plug-ins give back. The entry decides what is queued; the
// dispatch loop (dispatch_loop.h) delivers it.
#include <cstdint>

#include "events/event_queue.h"
#include "rk/core/event_parms.h"

namespace corvane {

class EventBus {
public:
  // Told of every block whose last reference went, on the releasing thread
  // (the search pacing waits for exactly that). Set before threads start.
  using BlockFreedFn = void (*)(void* context, const void* block);
  void OnBlockFreed(BlockFreedFn hook, void* context) {
    blockFreed_ = hook;
    blockFreedContext_ = context;
  }

  // The payload's block, not yet referenced; null for a record without
  // payload or when the heap refuses (the record then goes without one).
  static void* CopyPayload(const rk::core::EventParms& record) {
    if (record.length == 0 || record.data == nullptr) return nullptr;
    return NewBlock(record);
  }
  // Frees a block that was never queued.
  static void Discard(void* block);
  // Queues `record` with `block` (from CopyPayload, or null) as its data;
  // the queue holds one reference until the dispatch loop has delivered it.
  // False once the queue is closed at stop (the block is then freed).
  bool Push(const rk::core::EventParms& record, void* block) {
    if (block == nullptr) return queue_.Push(record, nullptr);
    return PushWithBlock(record, block);
  }
  // Gives back one reference held by a source index (0: the queue).
  void Release(const void* payload, uint32_t index);

  EventQueue& Queue() { return queue_; }

private:
  static void* NewBlock(const rk::core::EventParms& record);
  bool PushWithBlock(const rk::core::EventParms& record, void* block);

  EventQueue queue_;
  BlockFreedFn blockFreed_ = nullptr;
  void* blockFreedContext_ = nullptr;
};

} // namespace corvane
