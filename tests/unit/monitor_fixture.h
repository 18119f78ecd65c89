#pragma once
// An in-process core whose monitor reads scripted clocks, heap figures and
// machine limits. Everything the core logs or publishes lands in its event
// queue (no dispatch loop runs), where Drain() picks it up.
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "core/dvr_core.h"
#include "monitor/monitor_environment.h"

using namespace corvane;

inline constexpr uint64_t kMiB = 1024ULL * 1024;
inline constexpr uint64_t kGiB = 1024 * kMiB;

class ScriptedEnvironment final : public MonitorEnvironment {
public:
  int64_t steadyNs = 5'000'000'000'000; // well clear of the clock's epoch
  int64_t systemNs = 1'700'000'000'000'000'000;
  HeapFigures heap{8 * kGiB, 1 * kGiB};
  std::optional<uint64_t> totalRam = 16 * kGiB;
  uint64_t stackLimit = 8 * kMiB;

  // Both clocks move together, as they do when nobody sets the time.
  void Advance(std::chrono::nanoseconds step) {
    steadyNs += step.count();
    systemNs += step.count();
  }
  void SetAllocated(uint64_t bytes) {
    heap.allocated = bytes;
    heap.heapSize = bytes + 64 * kMiB;
  }

  std::chrono::steady_clock::time_point SteadyNow() override {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(steadyNs));
  }
  std::chrono::system_clock::time_point SystemNow() override {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::nanoseconds(systemNs)));
  }
  HeapFigures Heap() override { return heap; }
  std::optional<uint64_t> TotalRam() override { return totalRam; }
  uint64_t StackLimit() override { return stackLimit; }
};

// One record the core queued: a log line or a memory event.
struct Posted {
  uint64_t type = 0;
  uint64_t flags = 0;
  uint64_t source = 0;
  int32_t level = 0;
  uint32_t length = 0;
  std::string text;
};

class MonitorFixture : public ::testing::Test {
protected:
  MonitorFixture() : core("/nonexistent/bin/corvane-core") {
    core.log.SetConsoleOff();
    core.memory.UseEnvironment(env);
  }
  ~MonitorFixture() override { Drain(); }

  // Everything queued so far, oldest first; the queue's references go back.
  std::vector<Posted> Drain() {
    std::vector<Posted> out;
    std::atomic<uint8_t> stopping{0};
    rk::core::EventParms record;
    size_t remaining = 0;
    while (core.bus.Queue().Take(record, remaining, stopping, std::chrono::nanoseconds(0)) ==
           EventQueue::Wait::kEvent) {
      Posted posted;
      posted.type = record.type;
      posted.flags = record.flags;
      posted.source = record.source;
      posted.level = static_cast<int32_t>(static_cast<uint32_t>(record.level));
      posted.length = record.length;
      if (record.data != nullptr)
        posted.text.assign(static_cast<const char*>(record.data), record.length);
      out.push_back(std::move(posted));
      core.bus.Release(record.data, 0);
    }
    return out;
  }

  static std::vector<std::string> LogLines(const std::vector<Posted>& posted, int32_t level) {
    std::vector<std::string> lines;
    for (const auto& p : posted) {
      if (p.type == RK_TYPE_LOG && p.level == level) lines.push_back(p.text);
    }
    return lines;
  }
  static std::vector<std::string> MemoryEvents(const std::vector<Posted>& posted) {
    std::vector<std::string> events;
    for (const auto& p : posted) {
      if (p.type == RK_TYPE_ALARM && p.source == rk::core::kIdNone) events.push_back(p.text);
    }
    return events;
  }

  ScriptedEnvironment env; // outlives core, which points at it
  DvrCore core;
};
