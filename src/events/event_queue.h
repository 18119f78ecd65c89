#pragma once
#include <array>
#include <atomic>
#include <boost/circular_buffer.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "rk/core/event_parms.h"

namespace corvane {

// The unbounded FIFO of 224-byte record copies between every posting thread
// and the one dispatch thread. Posters append to records_ under mutex_; the
// consumer moves up to kBatch of the oldest records into batch_ under one lock
// and hands them out one by one without locking, so a busy queue costs it one
// lock per batch rather than one per record. batch_ always holds records
// older than any in records_, so order is kept. The ring only grows, so a
// steady stream of events allocates nothing.
class EventQueue {
public:
  static constexpr size_t kBatch = 64;

  EventQueue();

  void Push(const rk::core::EventParms& record);

  enum class Wait { kEvent, kIdle, kStop };
  // Consumer only (one thread at a time). Waits until a record is queued,
  // `stopping` is set or `timeout` passes. kEvent: `out` holds the oldest
  // record, `remaining` how many are still queued behind it. kIdle: the wait
  // ran out with the queue empty. kStop: empty and stopping.
  Wait Take(rk::core::EventParms& out, size_t& remaining, const std::atomic<uint8_t>& stopping,
            std::chrono::nanoseconds timeout);

  // Any thread: records waiting, as last counted under the lock.
  size_t Depth() const { return recordCount_.load(std::memory_order_relaxed); }
  // Wakes the dispatch loop without taking the lock.
  void Wake() { ready_.notify_one(); }
  // Held by the status writer while it stores the document file.
  std::mutex& Mutex() { return mutex_; }

private:
  std::mutex mutex_;
  std::condition_variable ready_;
  boost::circular_buffer<rk::core::EventParms> records_; // guarded by mutex_
  // records_.size(), written under mutex_, read by the consumer without it.
  std::atomic<size_t> recordCount_{0};
  // The consumer's: records moved out of records_ and not yet handed out.
  std::array<rk::core::EventParms, kBatch> batch_;
  size_t batchNext_ = 0;
  size_t batchEnd_ = 0;
};

} // namespace corvane
