#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class DvrCore;

// Dispatch-loop values and the reporter's own state; owned by the dispatch
// thread and passed to the reporter by reference.
struct ReportState {
  std::chrono::steady_clock::time_point lastReport;
  uint64_t inQueue = 0; // InQ
  uint32_t events = 0;
  uint32_t idle = 0;
  uint64_t ltmUs = 0;
  uint64_t previousInUse = 0;
  std::string top;
  std::vector<std::pair<uint32_t, uint64_t>> ranking;
};

// The once-a-minute statistics report; dispatch thread only.
void ReportStatistics(DvrCore& core, ReportState& state);
