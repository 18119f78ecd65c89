// Rows 1 to 4: the event bus against a one-pop queue, a malloc-copy-free
// queue, a raw condition-variable hand-off and ZeroMQ.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>
#include <zmq.h>

#include "bench_posters.h"
#include "bench_rows.h"
#include "core_rig.h"
#include "queue_floor.h"

using namespace rk::core;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint64_t kPosterId = RK_ID_WORD(0x30); // no plug-in has this id
constexpr uint32_t kFrameBytes = 40000;
// Frames in flight at most, so that a stalled consumer cannot fill the heap.
constexpr uint64_t kFrameWindow = 1024;
constexpr int kLatencyWarm = 20;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

EventParms Prototype(const std::vector<uint8_t>& frame) {
  if (frame.empty()) {
    AlarmEvt small;
    small.source = kPosterId;
    return small;
  }
  VideoEvt video;
  video.source = kPosterId;
  video.data = frame.data();
  video.length = static_cast<uint32_t>(frame.size());
  return video;
}

void WaitFor(const std::atomic<uint64_t>& counter, uint64_t value) {
  while (counter.load(std::memory_order_acquire) < value) std::this_thread::yield();
}

// Waits while more than the window is in flight (payload runs only).
void Throttle(bool window, uint64_t posted, const std::atomic<uint64_t>& delivered, uint64_t base) {
  if (!window) return;
  while (posted - (delivered.load(std::memory_order_relaxed) - base) > kFrameWindow)
    std::this_thread::yield();
}

// Events per second through the real core: posters -> entry -> queue ->
// dispatch loop -> three plug-ins, until the loop has drained at the stop.
double CoreThroughput(const BenchInstall& install, unsigned posters, uint64_t total,
                      uint32_t payload, CoreRig::Options options = {}) {
  CoreRig rig(install, options);
  const std::vector<uint8_t> frame(payload, 0x42);
  const std::atomic<uint64_t>& delivered = rig.State(2).events;
  const uint64_t each = total / posters;
  auto flood = [&](uint64_t base) {
    return std::make_unique<PosterGroup>(posters, [&, base](unsigned) {
      EventParms record = Prototype(frame);
      for (uint64_t i = 0; i < each; ++i) {
        Throttle(payload != 0, i, delivered, base);
        PostEventCallback(&record);
      }
    });
  };
  // The first flood is not timed: it brings the core to its steady state
  // (queue grown to the backlog, allocator warm), as a running core is.
  flood(0)->Join();
  WaitFor(delivered, each * posters);
  const uint64_t base = delivered.load();
  auto group = flood(base);
  const auto t0 = Clock::now();
  group->Go();
  group->Join();
  rig.StopAndDrain();
  const auto t1 = Clock::now();
  if (delivered.load() - base != each * posters) throw std::runtime_error("core lost events");
  return static_cast<double>(each * posters) / Seconds(t1 - t0);
}

// Four posters on the two cores: events per second, and the slowest
// poster's share against the fastest's at the moment the first finished.
std::pair<double, double> CoreOversubscribed(const BenchInstall& install, uint64_t total) {
  constexpr unsigned kPosters = 4;
  CoreRig rig(install, {});
  const std::atomic<uint64_t>& delivered = rig.State(2).events;
  const uint64_t each = total / kPosters;
  std::array<std::atomic<uint64_t>, kPosters> posted{};
  std::array<uint64_t, kPosters> atFirst{};
  std::atomic<bool> first{false};
  auto flood = [&] {
    return std::make_unique<PosterGroup>(kPosters, [&](unsigned index) {
      EventParms record = Prototype({});
      for (uint64_t i = 0; i < each; ++i) {
        PostEventCallback(&record);
        posted[index].store(i + 1, std::memory_order_relaxed);
      }
      if (!first.exchange(true)) {
        for (unsigned p = 0; p < kPosters; ++p) atFirst[p] = posted[p].load();
      }
    });
  };
  flood()->Join(); // untimed
  WaitFor(delivered, each * kPosters);
  const uint64_t base = delivered.load();
  first = false;
  for (auto& count : posted) count = 0;
  auto group = flood();
  const auto t0 = Clock::now();
  group->Go();
  group->Join();
  rig.StopAndDrain();
  const auto t1 = Clock::now();
  if (delivered.load() - base != each * kPosters) throw std::runtime_error("core lost events");
  const auto [low, high] = std::minmax_element(atFirst.begin(), atFirst.end());
  return {static_cast<double>(each * kPosters) / Seconds(t1 - t0),
          static_cast<double>(*low) / static_cast<double>(std::max<uint64_t>(*high, 1))};
}

// The same through a plain queue, one pop per lock; payloads are copied into
// a malloc'd block and freed after the three calls.
double FloorThroughput(const BenchInstall& install, unsigned posters, uint64_t total,
                       uint32_t payload) {
  FloorPlugins plugins(install);
  FloorQueue queue;
  std::thread consumer([&] {
    EventParms record;
    while (queue.Pop(record)) {
      plugins.Deliver(record);
      std::free(const_cast<void*>(record.data));
    }
  });
  const std::vector<uint8_t> frame(payload, 0x42);
  const std::atomic<uint64_t>& delivered = plugins.State(2).events;
  auto post = [&](EventParms& record) {
    if (payload != 0) {
      void* copy = std::malloc(payload);
      if (copy == nullptr) throw std::bad_alloc();
      std::memcpy(copy, frame.data(), payload);
      record.data = copy;
    }
    queue.Push(record);
  };
  const uint64_t each = total / posters;
  auto flood = [&](uint64_t base) {
    return std::make_unique<PosterGroup>(posters, [&, base](unsigned) {
      EventParms record = Prototype(frame);
      for (uint64_t i = 0; i < each; ++i) {
        Throttle(payload != 0, i, delivered, base);
        post(record);
      }
    });
  };
  flood(0)->Join(); // untimed, as for the core
  WaitFor(delivered, each * posters);
  const uint64_t base = delivered.load();
  auto group = flood(base);
  const auto t0 = Clock::now();
  group->Go();
  group->Join();
  queue.Stop();
  consumer.join();
  const auto t1 = Clock::now();
  if (delivered.load() - base != each * posters) throw std::runtime_error("floor lost events");
  return static_cast<double>(each * posters) / Seconds(t1 - t0);
}

// ZeroMQ inproc PUSH/PULL, one sender and one receiver, 224-byte messages.
double ZmqThroughput(uint64_t total) {
  void* context = zmq_ctx_new();
  void* pull = zmq_socket(context, ZMQ_PULL);
  void* push = zmq_socket(context, ZMQ_PUSH);
  if (zmq_bind(pull, "inproc://corvane-bench") != 0 ||
      zmq_connect(push, "inproc://corvane-bench") != 0)
    throw std::runtime_error("zmq setup failed");
  // One untimed flood first, as for the core.
  std::atomic<bool> warm{false};
  uint64_t received = 0;
  std::thread consumer([&] {
    EventParms record;
    for (uint64_t i = 0; i < total + total; ++i) {
      if (zmq_recv(pull, &record, sizeof record, 0) == static_cast<int>(sizeof record)) ++received;
      if (i + 1 == total) warm.store(true, std::memory_order_release);
    }
  });
  EventParms record = Prototype({});
  for (uint64_t i = 0; i < total; ++i) zmq_send(push, &record, sizeof record, 0);
  while (!warm.load(std::memory_order_acquire)) std::this_thread::yield();
  const auto t0 = Clock::now();
  for (uint64_t i = 0; i < total; ++i) zmq_send(push, &record, sizeof record, 0);
  consumer.join();
  const auto t1 = Clock::now();
  zmq_close(push);
  zmq_close(pull);
  zmq_ctx_term(context);
  if (received != total + total) throw std::runtime_error("zmq lost messages");
  return static_cast<double>(total) / Seconds(t1 - t0);
}

// Post -> first OnEvent latencies (ns), one stamped record every millisecond.
template <typename PostFn>
std::vector<int64_t> Latencies(int samples, const BenchPluginState& first, PostFn post) {
  std::vector<int64_t> latencies;
  auto next = Clock::now();
  for (int i = 0; i < kLatencyWarm + samples; ++i) {
    AlarmEvt record;
    record.source = kPosterId;
    std::memcpy(reinterpret_cast<char*>(&record) + kBenchMarkOffset, &kBenchStampMark,
                sizeof kBenchStampMark);
    const int64_t stamp =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count();
    std::memcpy(reinterpret_cast<char*>(&record) + kBenchStampOffset, &stamp, sizeof stamp);
    post(record);
    next += std::chrono::milliseconds(1);
    std::this_thread::sleep_until(next);
    while (first.stamped.load(std::memory_order_acquire) < static_cast<uint64_t>(i + 1))
      std::this_thread::yield();
    if (i >= kLatencyWarm) latencies.push_back(first.lastLatencyNs.load(std::memory_order_relaxed));
  }
  return latencies;
}

std::vector<int64_t> CoreLatencies(const BenchInstall& install, int samples) {
  CoreRig rig(install, {});
  return Latencies(samples, rig.State(0), [](EventParms& record) { PostEventCallback(&record); });
}

std::vector<int64_t> FloorLatencies(const BenchInstall& install, int samples) {
  FloorPlugins plugins(install);
  FloorQueue queue;
  std::thread consumer([&] {
    EventParms record;
    while (queue.Pop(record)) plugins.Deliver(record);
  });
  auto latencies =
      Latencies(samples, plugins.State(0), [&](EventParms& record) { queue.Push(record); });
  queue.Stop();
  consumer.join();
  return latencies;
}

BenchRow RatioRow(std::string id, std::string what, double core, double floor, double target,
                  bool atLeast, std::string (*format)(double)) {
  BenchRow row;
  row.id = std::move(id);
  row.what = std::move(what);
  row.core = format(core);
  row.floor = format(floor);
  row.ratio = core / floor;
  const bool tenths = std::abs(target * 10 - std::round(target * 10)) < 1e-9;
  row.target = (atLeast ? ">= " : "<= ") + Fixed(target, tenths ? 1 : 2);
  row.met = atLeast ? *row.ratio >= target : *row.ratio <= target;
  row.summary = row.id + " " + Fixed(*row.ratio, 2) + "x";
  return row;
}

} // namespace

std::vector<BenchRow> EventRows(const BenchInstall& install, const BenchConfig& config) {
  const auto small = static_cast<uint64_t>(1'000'000 * config.scale);
  const auto frames = static_cast<uint64_t>(100'000 * config.scale);
  const int samples = std::max(100, static_cast<int>(1000 * config.scale));

  std::vector<double> core1, floor1, core2, floor2, zmq, coreFrames, floorFrames;
  std::vector<double> core4, floor4, share4;
  std::vector<double> coreP50, coreP99, floorP50, floorP99, endpointOn, endpointOff;
  for (int round = 0; round < config.rounds; ++round) {
    core1.push_back(CoreThroughput(install, 1, small, 0));
    endpointOn.push_back(CoreThroughput(install, 1, small, 0, {true, true, true}));
    endpointOff.push_back(CoreThroughput(install, 1, small, 0, {true, true, false}));
    floor1.push_back(FloorThroughput(install, 1, small, 0));
    zmq.push_back(ZmqThroughput(small));
    core2.push_back(CoreThroughput(install, 2, small, 0));
    floor2.push_back(FloorThroughput(install, 2, small, 0));
    const auto [rate4, share] = CoreOversubscribed(install, small);
    core4.push_back(rate4);
    share4.push_back(share);
    floor4.push_back(FloorThroughput(install, 4, small, 0));
    coreFrames.push_back(CoreThroughput(install, 1, frames, kFrameBytes));
    floorFrames.push_back(FloorThroughput(install, 1, frames, kFrameBytes));
  }
  // About a second per run; a p99 needs every round it can get here.
  for (int round = 0; round < config.rounds; ++round) {
    const auto core = CoreLatencies(install, samples);
    const auto floor = FloorLatencies(install, samples);
    coreP50.push_back(Percentile(core, 50) / 1e3);
    coreP99.push_back(Percentile(core, 99) / 1e3);
    floorP50.push_back(Percentile(floor, 50) / 1e3);
    floorP99.push_back(Percentile(floor, 99) / 1e3);
  }

  std::vector<BenchRow> rows;
  rows.push_back(RatioRow("1a", "small records, 1 poster -> 3 plug-ins (events/s)", Median(core1),
                          Median(floor1), 1.5, true, Rate));
  rows.push_back(RatioRow("1b", "small records, 2 posters -> 3 plug-ins (events/s)", Median(core2),
                          Median(floor2), 1.5, true, Rate));
  BenchRow over = RatioRow("1c", "small records, 4 posters on 2 cores, vs 1-pop floor (events/s)",
                           Median(core4), Median(floor4), 1.2, true, Rate);
  // The slowest poster's share of the fastest's must be at least a half too.
  const double share = Median(share4);
  over.target = ">= 1.2, share >= 0.5";
  over.met = *over.met && share >= 0.5;
  over.core += " (share " + Fixed(share, 2) + ")";
  over.summary += " share " + Fixed(share, 2);
  rows.push_back(over);
  rows.push_back(RatioRow("1d", "small records, 1 poster, endpoint on vs off (events/s)",
                          Median(endpointOn), Median(endpointOff), 0.97, true, Rate));
  rows.push_back(RatioRow("2", "40,000-byte payloads, 1 poster (frames/s)", Median(coreFrames),
                          Median(floorFrames), 1.0, true, Rate));
  BenchRow latency = RatioRow("3", "idle latency post -> OnEvent, p50 / p99 (us)", Median(coreP99),
                              Median(floorP99), 1.0, false, Rate);
  latency.core = Fixed(Median(coreP50), 1) + " / " + Fixed(Median(coreP99), 1);
  latency.floor = Fixed(Median(floorP50), 1) + " / " + Fixed(Median(floorP99), 1);
  latency.summary = "3 p99 " + Fixed(*latency.ratio, 2) + "x";
  rows.push_back(latency);
  BenchRow versus = RatioRow("4", "core (1a) vs ZeroMQ inproc PUSH/PULL, 224 B (msgs/s)",
                             Median(core1), Median(zmq), 1.5, true, Rate);
  rows.push_back(versus);
  return rows;
}
