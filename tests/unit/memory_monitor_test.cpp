// Memory limits, throttle episodes, the A/V gate and the clock-change watch,
// driven by scripted clocks and heap figures.
#include <sys/resource.h>

#include "monitor_fixture.h"

using namespace std::chrono_literals;
using namespace rk::core;

namespace {

class MemoryMonitorTest : public MonitorFixture {
protected:
  void TickAfter(std::chrono::nanoseconds step) {
    env.Advance(step);
    core.memory.Tick();
  }
  // First tick, then the first memory check with `allocated` bytes in use.
  void StartWith(uint64_t allocated) {
    core.memory.Tick();
    env.SetAllocated(allocated);
    TickAfter(1250ms);
  }
  size_t CountLines(const std::vector<Posted>& posted, const std::string& text) {
    size_t n = 0;
    for (const auto& p : posted) n += p.type == RK_TYPE_LOG && p.text == text;
    return n;
  }

  static constexpr const char* kLow = "available system memory is low, throttling audio/video";
  static constexpr const char* kOk = "available system memory ok, not throttling audio/video";
  static constexpr uint64_t kFourGiBLimit = 80 * (4 * kGiB / 100);
};

TEST_F(MemoryMonitorTest, LimitFollowsMachineSize) {
  EXPECT_EQ(MemoryMonitor::MemoryLimitFor(3 * kGiB), 3 * kGiB);
  EXPECT_EQ(MemoryMonitor::MemoryLimitFor(2 * kGiB), 2 * kGiB);
  EXPECT_EQ(MemoryMonitor::MemoryLimitFor(4 * kGiB), 3435973760ULL);
  EXPECT_EQ(MemoryMonitor::MemoryLimitFor(3 * kGiB + 1), 80 * ((3 * kGiB + 1) / 100));
  EXPECT_EQ(MemoryMonitor::MemoryLimitFor(std::nullopt), 2 * kGiB);
}

TEST_F(MemoryMonitorTest, FirstTickLogsLimitsOnce) {
  core.memory.Tick();
  TickAfter(250ms);
  TickAfter(1s);
  const auto posted = Drain();
  const auto info = LogLines(posted, kLogInfo);
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0], "memory limits, throttling:12.8GiB stack:8MiB");
  EXPECT_EQ(core.memory.MemoryLimit(), 80 * (16 * kGiB / 100));
}

TEST_F(MemoryMonitorTest, UnlimitedStackAndUnknownMachine) {
  env.stackLimit = RLIM_INFINITY;
  env.totalRam = std::nullopt;
  core.memory.Tick();
  const auto info = LogLines(Drain(), kLogInfo);
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0], "memory limits, throttling:2GiB stack:-1");
}

TEST_F(MemoryMonitorTest, LimitsLineAgainAfterADayWithoutTicks) {
  core.memory.Tick();
  TickAfter(24h);
  EXPECT_EQ(LogLines(Drain(), kLogInfo).size(), 2u);
}

TEST_F(MemoryMonitorTest, ThreeGiBMachineLimitIsStrict) {
  env.totalRam = 3 * kGiB;
  StartWith(3 * kGiB); // equal to the limit: not low
  EXPECT_FALSE(core.memory.Throttled());
  EXPECT_EQ(core.memory.HeapInUse(), 3 * kGiB);
  env.SetAllocated(3 * kGiB + 1);
  TickAfter(1250ms);
  EXPECT_TRUE(core.memory.Throttled());
}

TEST_F(MemoryMonitorTest, FourGiBMachineLimitIsEightyPercent) {
  env.totalRam = 4 * kGiB;
  StartWith(kFourGiBLimit);
  EXPECT_FALSE(core.memory.Throttled());
  env.SetAllocated(kFourGiBLimit + 1);
  TickAfter(1250ms);
  EXPECT_TRUE(core.memory.Throttled());
}

TEST_F(MemoryMonitorTest, HeapIsSampledAboutOnceASecond) {
  core.memory.Tick();
  env.SetAllocated(100 * kMiB);
  TickAfter(250ms);
  TickAfter(250ms);
  TickAfter(250ms);
  TickAfter(249'999'999ns); // 999,999,999 ns since the first tick
  EXPECT_EQ(core.memory.HeapInUse(), 0u);
  TickAfter(1ns);
  EXPECT_EQ(core.memory.HeapInUse(), 100 * kMiB);
  env.SetAllocated(200 * kMiB);
  TickAfter(250ms); // the next check counts from this one
  EXPECT_EQ(core.memory.HeapInUse(), 100 * kMiB);
}

TEST_F(MemoryMonitorTest, OneLowSampleIsOneEpisode) {
  env.totalRam = 4 * kGiB;
  StartWith(kFourGiBLimit + 1);
  EXPECT_TRUE(core.memory.Throttled());
  auto posted = Drain();
  EXPECT_EQ(CountLines(posted, kLow), 1u);
  ASSERT_EQ(MemoryEvents(posted).size(), 1u);
  EXPECT_NE(MemoryEvents(posted)[0].find(" Throttling=\"1\" "), std::string::npos);

  // Normal again: the flag drops at once, the announcement waits.
  env.SetAllocated(kFourGiBLimit);
  TickAfter(1250ms);
  EXPECT_FALSE(core.memory.Throttled());
  // Low again 2.5 s after the first low sample: same episode, silent.
  env.SetAllocated(kFourGiBLimit + 1);
  TickAfter(1250ms);
  EXPECT_TRUE(core.memory.Throttled());
  env.SetAllocated(kFourGiBLimit);
  TickAfter(30s);
  TickAfter(28750ms); // 58.75 s after the last low sample
  EXPECT_FALSE(core.memory.Throttled());
  posted = Drain();
  EXPECT_EQ(CountLines(posted, kLow), 0u);
  EXPECT_EQ(CountLines(posted, kOk), 0u);
  EXPECT_TRUE(MemoryEvents(posted).empty());

  TickAfter(1250ms); // exactly 60 s after the last low sample
  posted = Drain();
  EXPECT_EQ(CountLines(posted, kOk), 1u);
  ASSERT_EQ(MemoryEvents(posted).size(), 1u);
  EXPECT_NE(MemoryEvents(posted)[0].find(" Throttling=\"0\" "), std::string::npos);

  // Episode over: more normal samples say nothing, a new low announces again.
  TickAfter(120s);
  EXPECT_TRUE(Drain().empty());
  env.SetAllocated(kFourGiBLimit + 1);
  TickAfter(1250ms);
  EXPECT_EQ(CountLines(Drain(), kLow), 1u);
}

TEST_F(MemoryMonitorTest, OkComesExactlySixtySecondsAfterTheLastLowSample) {
  core.memory.SetThrottle(true);
  EXPECT_TRUE(core.memory.Throttled());
  env.Advance(60s - 1ns);
  core.memory.SetThrottle(false);
  EXPECT_FALSE(core.memory.Throttled());
  EXPECT_EQ(CountLines(Drain(), kOk), 0u);
  env.Advance(1ns);
  core.memory.SetThrottle(false);
  const auto posted = Drain();
  EXPECT_EQ(CountLines(posted, kOk), 1u);
  EXPECT_EQ(LogLines(posted, kLogWarning).size(), 1u); // at Warning
  core.memory.SetThrottle(false);                      // never low since: nothing
  EXPECT_TRUE(Drain().empty());
}

TEST_F(MemoryMonitorTest, ThrottlingOffSamplesButNeverFlags) {
  core.memory.SetThrottlingEnabled(false);
  env.totalRam = 4 * kGiB;
  StartWith(10 * kGiB);
  EXPECT_EQ(core.memory.HeapInUse(), 10 * kGiB);
  EXPECT_FALSE(core.memory.Throttled());
  TickAfter(90s);
  const auto posted = Drain();
  EXPECT_TRUE(MemoryEvents(posted).empty());
  EXPECT_TRUE(LogLines(posted, kLogWarning).empty());
}

TEST_F(MemoryMonitorTest, RejectedSampleIsSkippedAndTheTickGoesOn) {
  env.totalRam = 4 * kGiB;
  StartWith(kFourGiBLimit + 1);
  ASSERT_TRUE(core.memory.Throttled());
  Drain();

  env.heap = {1000, 5 * kGiB}; // allocated beyond the heap: nonsense
  TickAfter(1250ms);
  auto posted = Drain();
  const auto errors = LogLines(posted, kLogError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "reported heap allocation out of range: 5368709120");
  EXPECT_TRUE(core.memory.Throttled()); // that tick changed nothing
  EXPECT_EQ(core.memory.HeapInUse(), kFourGiBLimit + 1);

  env.SetAllocated(1 * kGiB);
  TickAfter(1250ms);
  EXPECT_FALSE(core.memory.Throttled());
  EXPECT_EQ(core.memory.HeapInUse(), 1 * kGiB);
}

TEST_F(MemoryMonitorTest, MemoryEventPayloadAndRecord) {
  env.steadyNs = 12'345'678'901'234;
  core.memory.SendMemoryEvent();
  const auto posted = Drain();
  ASSERT_EQ(posted.size(), 1u);
  const std::string expected = "<?xml?><Varn><Memory ID=\"-2147483648\" Throttling=\"0\" "
                               "Time=\"12345\" mseTime=\"12345678\"/></Varn>";
  EXPECT_EQ(posted[0].text, expected);
  EXPECT_EQ(posted[0].length, expected.size()); // no terminating NUL
  EXPECT_EQ(posted[0].type, static_cast<uint64_t>(RK_TYPE_ALARM));
  EXPECT_EQ(posted[0].flags, 0x1000010u);
  EXPECT_EQ(posted[0].source, 0x80000000u);
}

TEST_F(MemoryMonitorTest, GateRefusesLiveMediaWhileThrottled) {
  std::vector<uint8_t> frame(100, 7);
  auto post = [&](EventParms record) {
    record.data = frame.data();
    record.length = static_cast<uint32_t>(frame.size());
    record.source = RK_ID_WORD(3);
    return core.entry.Post(record);
  };
  core.counters.throttledVideo = 0;
  core.counters.throttledAudio = 0;

  EXPECT_EQ(post(VideoEvt()), RK_POST_OK);
  env.totalRam = 4 * kGiB;
  StartWith(kFourGiBLimit + 1);
  ASSERT_TRUE(core.memory.Throttled());
  Drain();

  EXPECT_EQ(post(VideoEvt()), RK_POST_THROTTLED);
  EXPECT_EQ(post(VideoEvt()), RK_POST_THROTTLED);
  EXPECT_EQ(post(AudioEvt()), RK_POST_THROTTLED);
  VideoEvt modified;
  modified.type |= kModifier;
  EXPECT_EQ(post(modified), RK_POST_OK);
  EXPECT_EQ(post(StoredVideoEvt()), RK_POST_OK);
  EXPECT_EQ(post(StoredAudioEvt()), RK_POST_OK);
  EXPECT_EQ(post(AlarmEvt()), RK_POST_OK);
  EXPECT_EQ(core.counters.throttledVideo.load(), 2u);
  EXPECT_EQ(core.counters.throttledAudio.load(), 1u);
  EXPECT_EQ(Drain().size(), 4u);

  env.SetAllocated(kFourGiBLimit);
  TickAfter(1250ms);
  EXPECT_EQ(post(AudioEvt()), RK_POST_OK);
}

TEST_F(MemoryMonitorTest, ClockJumpForwardIsReportedOnce) {
  core.memory.Tick();
  env.steadyNs += 1'000'000'000;
  env.systemNs += 3'601'000'000'000;
  core.memory.Tick();
  TickAfter(1250ms);
  TickAfter(1250ms);
  const auto warnings = LogLines(Drain(), kLogWarning);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0], "system time changed by 3601.00seconds");
}

TEST_F(MemoryMonitorTest, SmallStepsAndStallsAreNoJump) {
  core.memory.Tick();
  // Back 2.5 s over one second: -1500 ms against 1000 ms of steady time.
  env.steadyNs += 1'000'000'000;
  env.systemNs += 1'000'000'000 - 2'500'000'000;
  core.memory.Tick();
  // The I/O thread stalled for ten seconds: both clocks moved alike.
  TickAfter(10s);
  EXPECT_TRUE(LogLines(Drain(), kLogWarning).empty());

  // Back 3 s over one second: -2000 ms is beyond the 999 ms slack.
  env.steadyNs += 1'000'000'000;
  env.systemNs += 1'000'000'000 - 3'000'000'000;
  core.memory.Tick();
  const auto warnings = LogLines(Drain(), kLogWarning);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0], "system time changed by -2.00seconds");
}

TEST_F(MemoryMonitorTest, ClocksAreComparedOnlyWithTheMemoryCheck) {
  core.memory.Tick();
  env.steadyNs += 250'000'000;
  env.systemNs += 3'600'000'000'000; // seen on the next check, over its whole interval
  core.memory.Tick();
  EXPECT_TRUE(LogLines(Drain(), kLogWarning).empty());
  TickAfter(1s);
  const auto warnings = LogLines(Drain(), kLogWarning);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0], "system time changed by 3601.00seconds");
}

} // namespace
