#include "events/event_queue.h"

namespace {
constexpr size_t kInitialCapacity = 1024;
}

EventQueue::EventQueue() : records_(kInitialCapacity) {}

void EventQueue::Push(const rk::core::EventParms& record) {
  {
    std::lock_guard lock(mutex_);
    if (records_.full()) records_.set_capacity(records_.capacity() * 2);
    records_.push_back(record);
  }
  ready_.notify_one();
}

EventQueue::Wait EventQueue::Take(rk::core::EventParms& out, size_t& remaining,
                                  const std::atomic<uint8_t>& stopping,
                                  std::chrono::nanoseconds timeout) {
  std::unique_lock lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  ready_.wait_until(lock, deadline, [&] {
    return !records_.empty() || stopping.load(std::memory_order_acquire) != 0;
  });
  if (records_.empty()) {
    return stopping.load(std::memory_order_acquire) != 0 ? Wait::kStop : Wait::kIdle;
  }
  out = records_.front();
  records_.pop_front();
  remaining = records_.size();
  return Wait::kEvent;
}

size_t EventQueue::Size() {
  std::lock_guard lock(mutex_);
  return records_.size();
}
