#pragma once
#include <atomic>
#include <cstdint>

class DvrCore;

// Heap sampling and the live audio/video throttle. The tick runs on the I/O
// thread only, so limits, samples and the episode state need no lock; the
// throttle flag is a relaxed byte read by every posting thread.
class MemoryMonitor {
public:
  explicit MemoryMonitor(DvrCore& core);

  bool Throttled() const { return throttle_.load(std::memory_order_relaxed) != 0; }
  bool ThrottlingEnabled() const { return enabled_.load(std::memory_order_relaxed) != 0; }
  void SetThrottlingEnabled(bool on) { enabled_.store(on ? 1 : 0, std::memory_order_relaxed); }
  // Last heap sample (0 before the first).
  uint64_t HeapInUse() const { return heapInUse_.load(std::memory_order_relaxed); }

  // Posts the memory event carrying the current throttle flag.
  void SendMemoryEvent();
  // Monitor tick body, on the I/O thread.
  void Tick();

private:
  DvrCore& core_;
  std::atomic<uint8_t> enabled_{1};
  std::atomic<uint8_t> throttle_{0};
  std::atomic<uint64_t> heapInUse_{0};
};
