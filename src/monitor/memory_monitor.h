#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>

#include "monitor/monitor_environment.h"
#include "rk/core/event_parms.h"

namespace corvane {

// Heap sampling, the live audio/video throttle and the clock-change watch.
//
// Threads: Tick and SetThrottle run on the I/O thread only, so the limits, the
// clock state and the episode state (the plain members below) need no lock.
// The throttle flag is a relaxed byte read by every posting thread; the heap
// sample is read by the dispatch thread's report; the enabled switch is
// written by the configuration reader before the I/O thread starts.
// SendMemoryEvent runs on the main thread once at start, then on the I/O thread.
class MemoryMonitor {
public:
  // The memory event goes to `queue`: straight into the event queue, as the
  // core's own record (it is never throttled or filtered).
  using QueueFn = std::function<uint32_t(const rk::core::EventParms&)>;
  explicit MemoryMonitor(QueueFn queue);

  bool Throttled() const { return throttle_.load(std::memory_order_relaxed) != 0; }
  bool ThrottlingEnabled() const { return enabled_.load(std::memory_order_relaxed) != 0; }
  void SetThrottlingEnabled(bool on) { enabled_.store(on ? 1 : 0, std::memory_order_relaxed); }
  // Last accepted heap sample (0 before the first).
  uint64_t HeapInUse() const { return heapInUse_.load(std::memory_order_relaxed); }
  // Computed by the first tick; I/O thread.
  uint64_t MemoryLimit() const { return memoryLimit_; }
  uint64_t StackLimit() const { return stackLimit_; }

  // Posts the memory event carrying the current throttle flag.
  void SendMemoryEvent();
  // The flag follows `low` at once; the messages and events mark whole
  // episodes (one "low" when it starts, one "ok" 60 s after the last low).
  void SetThrottle(bool low);
  // Monitor tick body, on the I/O thread, every 250 ms.
  void Tick();

  // Limit for a machine with `totalRam` bytes (empty: unknown).
  static uint64_t MemoryLimitFor(std::optional<uint64_t> totalRam);
  // The memory event's payload for a flag and a steady-clock reading.
  static std::string MemoryEventText(bool throttled, std::chrono::steady_clock::time_point now);

  MonitorEnvironment& Environment() const { return *environment_; }
  // For the core's own tests only, before the core's threads start.
  void UseEnvironment(MonitorEnvironment& environment) { environment_ = &environment; }

private:
  // The allocated bytes, or empty when the allocator's figures do not add up.
  std::optional<uint64_t> SampleHeap();
  void CheckMemory();

  static constexpr int64_t kNoEpisode = std::numeric_limits<int64_t>::max();

  const QueueFn queue_;
  MonitorEnvironment* environment_;
  std::atomic<uint8_t> enabled_{1};
  std::atomic<uint8_t> throttle_{0};
  std::atomic<uint64_t> heapInUse_{0};

  // I/O thread only.
  bool started_ = false;
  uint64_t memoryLimit_ = 0;
  uint64_t stackLimit_ = 0;
  int64_t lastCheckNs_ = 0;  // steady clock
  int64_t lastSystemNs_ = 0; // system clock
  int64_t lowSinceNs_ = kNoEpisode;
};

} // namespace corvane
