#include "events/event_queue.h"

#include <algorithm>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace corvane {

namespace {

// Checks of the next slot before the consumer sleeps: a busy poster writes
// its next record well within this, and a futex round trip costs far more.
constexpr int kSpins = 16;

// A poster looks at the backlog once in this many tickets, and pauses when
// more than kBackOffBacklog records wait.
constexpr uint64_t kBackOffEvery = 256;
constexpr uint64_t kBackOffBacklog = 65536;
constexpr std::chrono::microseconds kBackOffPause{50};

void Pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

timespec AbsoluteTime(std::chrono::steady_clock::time_point deadline) {
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
  return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

} // namespace

EventQueue::EventQueue() = default;

EventQueue::~EventQueue() = default;

bool EventQueue::Push(const rk::core::EventParms& record) {
  return Push(record, record.data);
}

bool EventQueue::Push(const rk::core::EventParms& record, const void* data) {
  uint64_t ticket = tail_.fetch_add(1, std::memory_order_seq_cst);
  if ((ticket & kClosedBit) != 0) return false;
  bool wake = true; // a held post cannot tell what the consumer did meanwhile
  if ((ticket & kHeldBit) != 0) {
    ticket &= kTicketMask;
    WaitWhileHeld(ticket);
  } else {
    // Looked at after taking the ticket (both sequentially consistent): a
    // consumer that goes to sleep after this sees the ticket and waits for
    // the record instead, so the slot itself needs no fence.
    wake = sleeping_.load(std::memory_order_seq_cst) != 0;
  }
  Slot& slot = SegmentFor(ticket / kSegment)->slots[ticket % kSegment];
  slot.record = record;
  slot.record.data = data;
  slot.stamp.store(ticket + 1, std::memory_order_release);
  if (wake) WakeConsumer();
  if (ticket % kBackOffEvery == 0) BackOffIfFarAhead(ticket);
  return true;
}

void EventQueue::BackOffIfFarAhead(uint64_t ticket) {
  // Posters far ahead of the consumer pause a moment: with more posting
  // threads than processors the consumer, and the posters that were not
  // running, get the processor without waiting for a whole time slice. The
  // pause is bounded, so a post never waits on a slow delivery.
  // The consumer may have taken this very record already.
  const uint64_t taken = taken_.load(std::memory_order_relaxed);
  if (ticket <= taken || ticket - taken <= kBackOffBacklog) return;
  pauses_.fetch_add(1, std::memory_order_relaxed);
  std::this_thread::sleep_for(kBackOffPause);
}

EventQueue::Segment* EventQueue::SegmentFor(uint64_t number) {
  const std::atomic_ref<Segment*> entry = Entry(number);
  for (;;) {
    Segment* segment = entry.load(std::memory_order_acquire);
    if (segment == nullptr) {
      Segment* fresh = TakeFree(number);
      if (entry.compare_exchange_strong(segment, fresh, std::memory_order_acq_rel)) return fresh;
      GiveBack(fresh);
      continue;
    }
    // A pointer read here may be a segment the consumer has just recycled:
    // it is ours only if it carries our number while still installed.
    if (segment->number.load(std::memory_order_acquire) == number &&
        entry.load(std::memory_order_acquire) == segment)
      return segment;
    // A segment a whole directory older is still queued here.
    std::this_thread::yield();
  }
}

EventQueue::Segment* EventQueue::TakeFree(uint64_t number) {
  Segment* segment = nullptr;
  {
    std::lock_guard lock(poolMutex_);
    if (pool_.empty()) {
      // Grown by half at a time, so that a backlog somewhat deeper than the
      // last allocates nothing (a steady flood's backlog varies from run to
      // run); records are left unwritten (the stamps start at zero).
      const size_t more = std::max<size_t>(1, segments_.size() / 2);
      for (size_t i = 0; i < more; ++i) {
        segments_.push_back(std::make_unique_for_overwrite<Segment>());
        for (Slot& slot : segments_.back()->slots) std::construct_at(&slot.stamp, 0);
        pool_.push_back(segments_.back().get());
      }
    }
    segment = pool_.back();
    pool_.pop_back();
  }
  segment->number.store(number, std::memory_order_release);
  return segment;
}

void EventQueue::GiveBack(Segment* segment) {
  std::lock_guard lock(poolMutex_);
  pool_.push_back(segment);
}

EventQueue::Segment* EventQueue::Lookup(uint64_t ticket) const {
  const uint64_t number = ticket / kSegment;
  Segment* segment = Entry(number).load(std::memory_order_acquire);
  if (segment == nullptr || segment->number.load(std::memory_order_acquire) != number)
    return nullptr;
  return segment;
}

bool EventQueue::Written(uint64_t ticket) const {
  const Segment* segment = Lookup(ticket);
  return segment != nullptr &&
         segment->slots[ticket % kSegment].stamp.load(std::memory_order_acquire) == ticket + 1;
}

size_t EventQueue::Depth() const {
  const uint64_t accepted = tail_.load(std::memory_order_relaxed) & kTicketMask;
  const uint64_t taken = taken_.load(std::memory_order_relaxed);
  return accepted > taken ? static_cast<size_t>(accepted - taken) : 0;
}

size_t EventQueue::Behind() const {
  return static_cast<size_t>((tail_.load(std::memory_order_acquire) & kTicketMask) - head_ - 1);
}

EventQueue::Wait EventQueue::PeekWaiting(const rk::core::EventParms*& out,
                                         const std::atomic<uint8_t>& stopping,
                                         std::chrono::nanoseconds timeout) {
  std::chrono::steady_clock::time_point deadline{};
  bool timed = false;
  for (;;) {
    if (current_ == nullptr) current_ = Lookup(head_);
    if (current_ != nullptr) {
      const Slot& slot = current_->slots[headIndex_];
      if (slot.stamp.load(std::memory_order_acquire) == head_ + 1) {
        out = &slot.record;
        return Wait::kEvent;
      }
    }
    // A ticket taken but not yet written is waited for, even at stop.
    const uint64_t tail = tail_.load(std::memory_order_seq_cst);
    if ((tail & kClosedBit) != 0) return Wait::kStop;
    const bool empty = (tail & kTicketMask) == head_;
    if (empty && stopping.load(std::memory_order_acquire) != 0) {
      // Closed only while still empty: a post that took a ticket first is
      // delivered, one that comes after is refused.
      uint64_t expected = head_;
      if (tail_.compare_exchange_strong(expected, head_ | kClosedBit, std::memory_order_seq_cst))
        return Wait::kStop;
      continue;
    }
    if (!timed) {
      deadline = timeout >= std::chrono::hours(24)
                     ? std::chrono::steady_clock::now() + std::chrono::hours(24)
                     : std::chrono::steady_clock::now() + timeout;
      timed = true;
    } else if (empty && std::chrono::steady_clock::now() >= deadline) {
      return Wait::kIdle;
    }
    if (empty && timeout.count() <= 0) return Wait::kIdle;
    Sleep(deadline);
  }
}

void EventQueue::Recycle() {
  // Every slot of the segment is read: no poster still writes to it.
  const uint64_t number = head_ / kSegment - 1;
  Entry(number).store(nullptr, std::memory_order_release);
  GiveBack(current_);
  current_ = nullptr;
  headIndex_ = 0;
}

EventQueue::Wait EventQueue::Take(rk::core::EventParms& out, size_t& remaining,
                                  const std::atomic<uint8_t>& stopping,
                                  std::chrono::nanoseconds timeout) {
  const rk::core::EventParms* record = nullptr;
  const Wait outcome = Peek(record, stopping, timeout);
  if (outcome != Wait::kEvent) return outcome;
  out = *record;
  remaining = Behind();
  Pop();
  return outcome;
}

void EventQueue::Sleep(std::chrono::steady_clock::time_point deadline) {
  for (int i = 0; i < kSpins; ++i) {
    if (Written(head_)) return;
    Pause();
  }
  sleeping_.store(1, std::memory_order_seq_cst);
  // Looked at again after saying so: a poster that took its ticket before
  // this store may not have seen it, and one that is still writing its
  // record is waited for without sleeping.
  const uint64_t tail = tail_.load(std::memory_order_seq_cst);
  if ((tail & kTicketMask) != head_ || kicked_.exchange(0, std::memory_order_seq_cst) != 0) {
    sleeping_.store(0, std::memory_order_relaxed);
    if ((tail & kTicketMask) != head_ && !Written(head_)) std::this_thread::yield();
    return;
  }
  const timespec until = AbsoluteTime(deadline);
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&sleeping_), FUTEX_WAIT_BITSET_PRIVATE, 1, &until,
          nullptr, FUTEX_BITSET_MATCH_ANY);
  sleeping_.store(0, std::memory_order_relaxed);
}

void EventQueue::WakeConsumer() {
  if (sleeping_.exchange(0, std::memory_order_seq_cst) != 0)
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&sleeping_), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

void EventQueue::Wake() {
  // A consumer about to sleep sees the kick; one asleep is woken.
  kicked_.store(1, std::memory_order_seq_cst);
  WakeConsumer();
}

void EventQueue::WaitWhileHeld(uint64_t ticket) {
  std::unique_lock lock(heldMutex_);
  released_.wait(lock, [&] { return releasedBelow_ > ticket; });
}

EventQueue::PostersHeld::PostersHeld(EventQueue& queue) : queue_(queue) {
  const uint64_t accepted =
      queue_.tail_.fetch_or(kHeldBit, std::memory_order_seq_cst) & kTicketMask;
  // Posts accepted before the hold finish writing first.
  for (uint64_t ticket = queue_.head_; ticket < accepted; ++ticket) {
    while (!queue_.Written(ticket)) std::this_thread::yield();
  }
}

EventQueue::PostersHeld::~PostersHeld() {
  const uint64_t accepted =
      queue_.tail_.fetch_and(~kHeldBit, std::memory_order_seq_cst) & kTicketMask;
  {
    std::lock_guard lock(queue_.heldMutex_);
    queue_.releasedBelow_ = accepted;
  }
  queue_.released_.notify_all();
}

} // namespace corvane
