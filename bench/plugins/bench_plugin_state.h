#pragma once
// What a bench plug-in shares with the benchmark that drives it. The plug-in
// exports BenchState(); the benchmark reaches the copy the core loaded
// through dlopen(RTLD_NOLOAD) on the same file.
#include <atomic>
#include <cstddef>
#include <cstdint>

// Owned by the plug-in library (one per load). Counters are written by
// whichever core thread calls the plug-in and read by the benchmark; the
// settings are written by the benchmark before it posts.
struct BenchPluginState {
  std::atomic<uint64_t> events{0};     // OnEvent calls
  std::atomic<uint64_t> ipcPackets{0}; // OnIpcResult calls
  // Post-to-OnEvent latency of the last record that carried a stamp.
  std::atomic<int64_t> lastLatencyNs{0};
  std::atomic<uint64_t> stamped{0};
  // Requester side of a search: stored records seen, and how long to keep
  // each payload before posting its decref (0: release at once).
  std::atomic<uint64_t> results{0};
  std::atomic<uint32_t> keepUs{0};
  // Provider side: results OnSearch posts, their payload size, and how many
  // the core refused.
  std::atomic<uint32_t> resultCount{0};
  std::atomic<uint32_t> resultBytes{0};
  std::atomic<uint64_t> refused{0};
};

// A poster writes its steady-clock time (ns) at this offset of the record;
// records without the marker below are not timed.
inline constexpr size_t kBenchStampOffset = 72;
inline constexpr size_t kBenchMarkOffset = 64;
inline constexpr uint64_t kBenchStampMark = 0x5354414d50ull; // "STAMP"

extern "C" {
typedef BenchPluginState* (*BenchStateFn)();
// Posts `count` ipc records of `bytes` bytes (a packet header addressed to the
// parent plus filler) from the calling thread; returns how many were accepted.
typedef uint32_t (*BenchPostIpcFn)(uint32_t count, uint32_t bytes);
}
