// The once-a-minute statistics report: period, shape, "top" ranking, memory
// growth and the counter reset, on a scripted steady clock.
#include <array>

#include "events/reference_block.h"
#include "monitor/statistics.h"
#include "monitor_fixture.h"

using namespace corvane;

using namespace std::chrono_literals;
using namespace rk::core;

namespace {

class StatisticsTest : public MonitorFixture {
protected:
  StatisticsTest() {
    core.memory.Tick(); // limits; the heap is sampled by later ticks
    Drain();
    // Counted from zero here, whatever earlier tests in this process left.
    for (size_t i = 0; i < saved_.size(); ++i) saved_[i] = RefCounts().held[i].exchange(0);
    savedBlocks_ = RefCounts().liveBlocks.load();
    savedBytes_ = RefCounts().liveBytes.load();
    state.lastReport = env.SteadyNow() - 60s;
  }
  ~StatisticsTest() override {
    Drain();
    for (size_t i = 0; i < saved_.size(); ++i) RefCounts().held[i] = saved_[i];
    RefCounts().liveBlocks = savedBlocks_;
    RefCounts().liveBytes = savedBytes_;
  }

  void SampleHeap(uint64_t allocated) {
    env.SetAllocated(allocated);
    env.Advance(1250ms);
    core.memory.Tick();
    Drain();
  }
  // Reports now (60 s after the last report) and returns what was logged.
  std::vector<std::string> ReportNow() {
    state.lastReport = env.SteadyNow() - 60s;
    ReportStatistics(Sources(), state);
    return LogLines(Drain(), kLogInfo);
  }
  void ExpectIntervalCountersZero() {
    const CoreCounters& c = core.counters;
    for (const auto* counter : {&c.throttledVideo, &c.throttledAudio, &c.ipcForwarded,
                                &c.ipcDelivered, &c.ipcDeliveredBytes, &c.searchRequests,
                                &c.searchCancels, &c.searchResults, &c.searchResultBytes}) {
      EXPECT_EQ(counter->load(), 0u);
    }
    EXPECT_EQ(state.events, 0u);
    EXPECT_EQ(state.idle, 0u);
    EXPECT_EQ(state.ltmUs, 0u);
  }
  void FillCounters() {
    state.inQueue = 1234567;
    state.events = 12;
    state.idle = 3;
    state.ltmUs = 4500;
    core.counters.throttledVideo = 1000;
    core.counters.throttledAudio = 2;
    core.counters.ipcForwarded = 5;
    core.counters.ipcDelivered = 6;
    core.counters.ipcDeliveredBytes = 1536;
    core.counters.searchRequests = 7;
    core.counters.searchCancels = 8;
    core.counters.searchResults = 9;
    core.counters.searchResultBytes = 200 * kMiB;
  }
  void AddPlugin(const std::string& fileName, uint32_t id) {
    auto plugin = Plugin::Load("/nonexistent/plugins/" + fileName, &PostEventCallback, "");
    plugin->info.pluginId = RK_ID_WORD(id);
    core.plugins.loaded.push_back(plugin);
  }

  StatisticsSources Sources() {
    return {core.counters, core.memory, core.log, core.plugins.loaded};
  }

  ReportState state;

private:
  std::array<uint64_t, 256> saved_{};
  uint32_t savedBlocks_ = 0;
  uint64_t savedBytes_ = 0;
};

TEST_F(StatisticsTest, ReportShapeWithEveryCounterThenReset) {
  FillCounters();
  state.previousInUse = 100 * kMiB;
  SampleHeap(112 * kMiB);
  RefCounts().liveBlocks = 1234;
  RefCounts().liveBytes = 150000;

  auto lines = ReportNow();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "InQ:1,234,567 events:12 idle:3s throttled[v:1,000 a:2]\n"
                      "ltm:4,500us ipc[r:5 p:6 d:1,536] srch[r:7 c:8 p:9 d:200MiB]\n"
                      "memory[inuse:112MiB +12MiB] refblks:1,234(146.49KiB) top: ");
  ExpectIntervalCountersZero();
  EXPECT_EQ(state.previousInUse, 112 * kMiB);
  EXPECT_EQ(state.inQueue, 1234567u); // a current value, not an interval count

  lines = ReportNow();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "InQ:1,234,567 events:0 idle:0s throttled[v:0 a:0]\n"
                      "ltm:0us ipc[r:0 p:0 d:0] srch[r:0 c:0 p:0 d:0]\n"
                      "memory[inuse:112MiB] refblks:1,234(146.49KiB) top: ");
}

TEST_F(StatisticsTest, ShrinkingHeapShowsNegativeDifference) {
  state.previousInUse = 112 * kMiB + 512 * 1024;
  SampleHeap(100 * kMiB);
  const auto lines = ReportNow();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("memory[inuse:100MiB -12.5MiB] refblks:"), std::string::npos) << lines[0];
}

TEST_F(StatisticsTest, ReportsAtMostOnceEverySixtySeconds) {
  const auto last = env.SteadyNow();
  state.lastReport = last;
  state.events = 4;
  env.Advance(59'900ms);
  ReportStatistics(Sources(), state);
  EXPECT_TRUE(LogLines(Drain(), kLogInfo).empty());
  EXPECT_EQ(state.events, 4u); // nothing reset without a report
  EXPECT_EQ(state.lastReport, last);

  env.Advance(100ms); // exactly 60.0 s after the last report
  ReportStatistics(Sources(), state);
  auto lines = LogLines(Drain(), kLogInfo);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("InQ:0 events:4 idle:0s", 0), 0u);
  EXPECT_EQ(state.lastReport, env.SteadyNow());

  env.Advance(59'999'999'999ns);
  ReportStatistics(Sources(), state);
  EXPECT_TRUE(LogLines(Drain(), kLogInfo).empty());
  env.Advance(1ns);
  ReportStatistics(Sources(), state);
  EXPECT_EQ(LogLines(Drain(), kLogInfo).size(), 1u);
}

TEST_F(StatisticsTest, TopListsFiveLargestHoldersTiesInIndexOrder) {
  AddPlugin("b.so", 3);
  AddPlugin("cam.v2.so", 6);
  AddPlugin("dup.so", 6); // a later plug-in with the same id does not name it
  AddPlugin("rec.so", 2);
  AddPlugin("a.so", 1);
  RefAccounting& refs = RefCounts();
  refs.held[0] = 25;
  refs.held[1] = 10; // the sixth: left out
  refs.held[2] = 30;
  refs.held[3] = 20;
  refs.held[4] = 30; // no plug-in has id 4
  refs.held[6] = 1234567;

  const auto lines = ReportNow();
  ASSERT_EQ(lines.size(), 1u);
  const std::string tail = "top: cam 1,234,567, rec 30, unknown 30, Core 25, b 20";
  ASSERT_GE(lines[0].size(), tail.size());
  EXPECT_EQ(lines[0].substr(lines[0].size() - tail.size()), tail) << lines[0];
}

TEST_F(StatisticsTest, SuppressedReportStillResetsCounters) {
  core.log.SetStored(0, 50);
  FillCounters();
  SampleHeap(64 * kMiB);
  EXPECT_TRUE(ReportNow().empty());
  ExpectIntervalCountersZero();
  EXPECT_EQ(state.previousInUse, 64 * kMiB);

  core.log.SetStored(0, 25);
  state.events = 1;
  const auto lines = ReportNow();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("InQ:1,234,567 events:1 idle:0s throttled[v:0 a:0]\n"
                           "ltm:0us ipc[r:0 p:0 d:0] srch[r:0 c:0 p:0 d:0]\n"
                           "memory[inuse:64MiB] ",
                           0),
            0u)
      << lines[0];
}

} // namespace
