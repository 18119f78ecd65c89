#pragma once
#include <atomic>
#include <boost/circular_buffer.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "rk/core/event_parms.h"

// The unbounded FIFO of 224-byte record copies between every posting thread
// and the one dispatch thread. mutex_ guards records_; the ring only grows, so
// a steady stream of events allocates nothing.
class EventQueue {
public:
  EventQueue();

  void Push(const rk::core::EventParms& record);

  enum class Wait { kEvent, kIdle, kStop };
  // Waits until a record is queued, `stopping` is set or `timeout` passes.
  // kEvent: `out` holds the head record, `remaining` what is still queued.
  // kIdle: the wait ran out with the queue empty. kStop: empty and stopping.
  Wait Take(rk::core::EventParms& out, size_t& remaining, const std::atomic<uint8_t>& stopping,
            std::chrono::nanoseconds timeout);

  // Wakes the dispatch loop without taking the lock.
  void Wake() { ready_.notify_one(); }
  // Held by the status writer while it stores the document file.
  std::mutex& Mutex() { return mutex_; }
  size_t Size();

private:
  std::mutex mutex_;
  std::condition_variable ready_;
  boost::circular_buffer<rk::core::EventParms> records_; // guarded by mutex_
};
