#pragma once
#include <chrono>
#include <cstdint>
#include <optional>

namespace corvane {

// What the monitor reads from the outside world: the two clocks, the
// allocator's heap figures and the machine's limits. The core uses System();
// the core's own tests substitute a scripted one so that periods, clock jumps
// and memory limits can be driven without waiting or filling the heap.
class MonitorEnvironment {
public:
  struct HeapFigures {
    uint64_t heapSize = 0;  // bytes the allocator holds from the system
    uint64_t allocated = 0; // bytes currently allocated by the program
  };

  virtual ~MonitorEnvironment() = default;

  virtual std::chrono::steady_clock::time_point SteadyNow() = 0;
  virtual std::chrono::system_clock::time_point SystemNow() = 0;
  virtual HeapFigures Heap() = 0;
  // Total RAM in bytes; empty when the system will not tell.
  virtual std::optional<uint64_t> TotalRam() = 0;
  // Soft stack limit in bytes, RLIM_INFINITY as the system reports it.
  virtual uint64_t StackLimit() = 0;

  // The real clocks, allocator, sysinfo and getrlimit.
  static MonitorEnvironment& System();
};

} // namespace corvane
