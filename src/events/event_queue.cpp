#include "events/event_queue.h"

#include <algorithm>

namespace corvane {

namespace {
constexpr size_t kInitialCapacity = 1024;
}

EventQueue::EventQueue() : records_(kInitialCapacity) {}

void EventQueue::Push(const rk::core::EventParms& record) {
  {
    std::lock_guard lock(mutex_);
    if (records_.full()) records_.set_capacity(records_.capacity() * 2);
    records_.push_back(record);
    recordCount_.store(records_.size(), std::memory_order_relaxed);
  }
  ready_.notify_one();
}

EventQueue::Wait EventQueue::Take(rk::core::EventParms& out, size_t& remaining,
                                  const std::atomic<uint8_t>& stopping,
                                  std::chrono::nanoseconds timeout) {
  if (batchNext_ == batchEnd_) {
    std::unique_lock lock(mutex_);
    if (records_.empty()) {
      const auto deadline = std::chrono::steady_clock::now() + timeout;
      ready_.wait_until(lock, deadline, [&] {
        return !records_.empty() || stopping.load(std::memory_order_acquire) != 0;
      });
      if (records_.empty()) {
        return stopping.load(std::memory_order_acquire) != 0 ? Wait::kStop : Wait::kIdle;
      }
    }
    const size_t count = std::min(records_.size(), kBatch);
    std::copy_n(records_.begin(), count, batch_.begin());
    records_.erase_begin(count);
    recordCount_.store(records_.size(), std::memory_order_relaxed);
    batchNext_ = 0;
    batchEnd_ = count;
  }
  out = batch_[batchNext_++];
  // Left behind this one: the rest of the batch and everything in the ring.
  remaining = (batchEnd_ - batchNext_) + recordCount_.load(std::memory_order_relaxed);
  return Wait::kEvent;
}

} // namespace corvane
