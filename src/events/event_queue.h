#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "rk/core/event_parms.h"
#include "util/zeroed_array.h"

namespace corvane {

// The unbounded FIFO of 224-byte record copies between every posting thread
// and the one dispatch thread, without a lock per record.
//
// A post takes a ticket (one fetch_add on tail_); the ticket is its place in
// the delivery order, so records leave in the order their posts were
// accepted. Tickets map to slots of fixed-size segments found through a
// directory indexed by segment number; the poster copies its record into the
// slot and then stamps the slot with its ticket. The consumer reads slots in
// ticket order, in place, and never writes to them; a drained segment goes
// back to a pool that only grows, so a steady stream of events allocates
// nothing (one pool lock per segment, not per record).
//
// The consumer sleeps on a futex word only when no ticket is outstanding; a
// poster makes the wake call only when that word said it sleeps as the
// poster took its ticket.
//
// HoldPosters() stops the queue accepting records: posts that come while it
// is held wait until it is released (the status document is written so).
class EventQueue {
public:
  // Records per segment: as many as fit, with their stamps, in 64 KiB.
  static constexpr size_t kSegment = 282;

  EventQueue();
  ~EventQueue();
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  // Any thread. False once the queue is closed: the consumer found it empty
  // with `stopping` set, so nothing accepted can be left behind.
  bool Push(const rk::core::EventParms& record);
  // The same with `data` in place of the record's own (copied once).
  bool Push(const rk::core::EventParms& record, const void* data);

  enum class Wait { kEvent, kIdle, kStop };
  // Consumer only (one thread at a time). Waits until a record is queued,
  // `stopping` is set or `timeout` passes. kEvent: `out` points at the oldest
  // record, in the queue, until Pop(). kIdle: the wait ran out with the
  // queue empty. kStop: empty and stopping.
  Wait Peek(const rk::core::EventParms*& out, const std::atomic<uint8_t>& stopping,
            std::chrono::nanoseconds timeout) {
    if (current_ != nullptr) {
      const Slot& slot = current_->slots[headIndex_];
      if (slot.stamp.load(std::memory_order_acquire) == head_ + 1) {
        out = &slot.record;
        return Wait::kEvent;
      }
    }
    return PeekWaiting(out, stopping, timeout);
  }
  // Consumer: done with the record Peek() gave.
  void Pop() {
    ++head_;
    if (++headIndex_ == kSegment) Recycle();
    taken_.store(head_, std::memory_order_relaxed);
  }
  // Consumer, between Peek() and Pop(): records accepted behind this one.
  size_t Behind() const;
  // Consumer, between Peek() and Pop(): whether the record behind this one
  // is written already.
  bool NextWritten() const {
    if (headIndex_ + 1 == kSegment) return Written(head_ + 1);
    return current_->slots[headIndex_ + 1].stamp.load(std::memory_order_acquire) == head_ + 2;
  }
  // Peek(), a copy and Pop() in one; `remaining` as Behind() gives it.
  Wait Take(rk::core::EventParms& out, size_t& remaining, const std::atomic<uint8_t>& stopping,
            std::chrono::nanoseconds timeout);

  // Any thread: records accepted and not yet taken (a statistic).
  size_t Depth() const;
  // Any thread: ends a consumer's wait (it then looks at `stopping`).
  void Wake();
  // Any thread: how often a poster paused because it was far ahead.
  uint64_t Pauses() const { return pauses_.load(std::memory_order_relaxed); }

  // While one lives, no post is accepted: posts wait in Push, and every post
  // accepted before it was taken has finished writing its record. Taken on the
  // consumer's thread, or before the consumer runs; one at a time.
  class PostersHeld {
  public:
    explicit PostersHeld(EventQueue& queue);
    ~PostersHeld();
    PostersHeld(const PostersHeld&) = delete;
    PostersHeld& operator=(const PostersHeld&) = delete;

  private:
    EventQueue& queue_;
  };

private:
  struct Slot {
    rk::core::EventParms record;
    // Its ticket + 1 once the record is written: a slot reused from an older
    // segment carries a smaller one, so nobody clears it.
    std::atomic<uint64_t> stamp;
  };
  struct Segment {
    std::atomic<uint64_t> number{0}; // ticket / kSegment of the slots it holds now
    Slot slots[kSegment];
  };
  static_assert(sizeof(Segment) <= 65536, "a segment fills one 64 KiB block");

  // The top bit of tail_ marks the posters held, the next the queue closed;
  // the rest counts tickets.
  static constexpr uint64_t kHeldBit = uint64_t{1} << 63;
  static constexpr uint64_t kClosedBit = uint64_t{1} << 62;
  static constexpr uint64_t kTicketMask = kClosedBit - 1;

  Segment* SegmentFor(uint64_t number);   // poster: finds or installs it
  Segment* TakeFree(uint64_t number);     // from the pool, or a new one
  void GiveBack(Segment* segment);        // to the pool
  Segment* Lookup(uint64_t ticket) const; // installed segment of a ticket, or null
  bool Written(uint64_t ticket) const;    // its record is in its slot
  void WaitWhileHeld(uint64_t ticket);
  void BackOffIfFarAhead(uint64_t ticket);
  // Consumer: Peek() once head_'s record is not at hand.
  Wait PeekWaiting(const rk::core::EventParms*& out, const std::atomic<uint8_t>& stopping,
                   std::chrono::nanoseconds timeout);
  // Consumer: hands the drained segment back.
  void Recycle();
  void WakeConsumer();
  // Consumer: waits a while for head_'s record, then sleeps until woken or
  // `deadline` unless a ticket is outstanding by then.
  void Sleep(std::chrono::steady_clock::time_point deadline);

  alignas(64) std::atomic<uint64_t> tail_{0};     // tickets handed out (and the two bits)
  alignas(64) uint64_t head_ = 0;                 // the consumer's: next ticket to take
  size_t headIndex_ = 0;                          // the consumer's: head_ % kSegment
  Segment* current_ = nullptr;                    // the consumer's: head_'s segment, once found
  std::atomic<uint64_t> taken_{0};                // head_ as last published, for Depth
  alignas(64) std::atomic<uint32_t> sleeping_{0}; // futex word: 1 while the consumer sleeps
  std::atomic<uint32_t> kicked_{0};               // Wake() came: the consumer looks again
  std::atomic<uint64_t> pauses_{0};               // posters' back-off pauses so far
  // Segment number % kDirectory -> its segment while installed. Posters wait
  // when a whole directory of segments (18 M records) is still queued.
  // Its pages are touched only as segments reach them, which keeps 512 KiB
  // of clearing out of start-up.
  static constexpr size_t kDirectory = 65536;
  ZeroedArray<Segment*> directory_{kDirectory};
  std::atomic_ref<Segment*> Entry(uint64_t number) const {
    return std::atomic_ref<Segment*>(directory_[number % kDirectory]);
  }

  std::mutex poolMutex_;
  std::vector<Segment*> pool_;                     // guarded by poolMutex_: free segments
  std::vector<std::unique_ptr<Segment>> segments_; // guarded by poolMutex_: every segment

  std::mutex heldMutex_; // with released_: where held posters wait
  std::condition_variable released_;
  uint64_t releasedBelow_ = 0; // guarded by heldMutex_: tickets below it may be written
};

} // namespace corvane
