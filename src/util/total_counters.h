#pragma once
#include <array>
#include <atomic>
#include <cstdint>

namespace corvane {

// Totals since start for the status endpoint's metrics: unlike the
// statistics report's interval counters they are never reset. Incremented
// with relaxed atomics by whichever thread counts, read by the I/O thread.
struct TotalCounters {
  // Event types by the position of their bit (video 0, audio 1, alarm 2 ...);
  // the last slot takes records of no single known type.
  static constexpr size_t kTypeSlots = 18;
  // Log levels by band: debug, info, warning, error, critical.
  static constexpr size_t kLevelBands = 5;

  // Written by the dispatch loop alone, as it takes each record.
  std::array<std::atomic<uint64_t>, kTypeSlots> queuedByType{};
  std::atomic<uint64_t> refusedStopping{0};
  std::atomic<uint64_t> refusedThrottled{0};
  std::atomic<uint64_t> searchResultsRefused{0};
  std::atomic<uint64_t> ipcReceived{0}; // packets from the parent
  std::atomic<uint64_t> ipcSent{0};     // packets written to the parent
  std::atomic<uint64_t> ipcDropped{0};  // lost either way
  std::atomic<uint64_t> searchesStarted{0};
  std::atomic<uint64_t> searchesCancelled{0};
  std::atomic<uint64_t> searchesPaced{0}; // results that waited for the previous one
  std::array<std::atomic<uint64_t>, kLevelBands> logLines{};

  static void Add(std::atomic<uint64_t>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
  }
  static uint64_t Get(const std::atomic<uint64_t>& counter) {
    return counter.load(std::memory_order_relaxed);
  }
  // The slot of a record type (without modifier bits).
  static size_t TypeSlot(uint32_t type) {
    if (type == 0 || (type & (type - 1)) != 0) return kTypeSlots - 1;
    const auto bit = static_cast<size_t>(__builtin_ctz(type));
    return bit < kTypeSlots - 1 ? bit : kTypeSlots - 1;
  }
  // The band of a log level: below Info debug, then every 25 up to critical.
  static size_t LevelBand(int32_t level) {
    if (level < 25) return 0;
    return level >= 100 ? 4 : static_cast<size_t>(level / 25);
  }
};

} // namespace corvane
