#pragma once
#include <atomic>
#include <cstdint>

#include "util/total_counters.h"

namespace corvane {

// Interval counters of the statistics report. Incremented lock-free with
// relaxed atomics from whichever thread counts; read and zeroed by the
// dispatch thread once a minute. Values are statistics, not exact.
struct CoreCounters {
  std::atomic<uint64_t> throttledVideo{0};
  std::atomic<uint64_t> throttledAudio{0};
  std::atomic<uint64_t> ipcForwarded{0}; // plug-in packets to the parent
  std::atomic<uint64_t> ipcDelivered{0}; // parent packets to a plug-in
  std::atomic<uint64_t> ipcDeliveredBytes{0};
  std::atomic<uint64_t> searchRequests{0};
  std::atomic<uint64_t> searchCancels{0};
  std::atomic<uint64_t> searchResults{0}; // results admitted
  std::atomic<uint64_t> searchResultBytes{0};
  // Never reset: the status endpoint's totals.
  TotalCounters totals;

  static void Add(std::atomic<uint64_t>& counter, uint64_t n = 1) {
    counter.fetch_add(n, std::memory_order_relaxed);
  }
};

} // namespace corvane
