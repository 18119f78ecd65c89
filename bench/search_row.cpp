// Row 5: a stored-data search, one provider posting 4 KB results to one
// requester, with the core pacing the provider to one payload in flight.
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "bench_rows.h"
#include "core_rig.h"

using namespace rk::core;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kResultBytes = 4096;
constexpr uint32_t kRequesterId = 0x21; // bench_a; bench_c provides
constexpr auto kLimit = std::chrono::seconds(30);

// Results per second arriving at the requester; NaN when they stop coming.
double SearchRate(const BenchInstall& install, uint32_t results, uint32_t keepUs) {
  CoreRig rig(install, {});
  BenchPluginState& requester = rig.State(0);
  BenchPluginState& provider = rig.State(2);
  provider.resultCount = results;
  provider.resultBytes = kResultBytes;
  requester.keepUs = keepUs;

  static const char kCriteria[] = "bench: everything";
  StoredAlarmEvt request;
  request.source = 0; // a request carries plug-in id 0
  request.request = (uint64_t{kRequesterId} << 16) | 1;
  request.data = kCriteria;
  request.length = sizeof kCriteria;
  const auto t0 = Clock::now();
  if (PostEventCallback(&request) != RK_POST_OK) return NAN;
  while (requester.results.load(std::memory_order_acquire) < results) {
    if (Clock::now() - t0 > kLimit || provider.refused.load() != 0) return NAN;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  const auto t1 = Clock::now();
  return results / std::chrono::duration<double>(t1 - t0).count();
}

} // namespace

std::vector<BenchRow> SearchRows(const BenchInstall& install, const BenchConfig& config) {
  const auto fast = static_cast<uint32_t>(std::max(1000.0, 20'000 * config.scale));
  const auto paced = static_cast<uint32_t>(std::max(50.0, 300 * config.scale));
  std::vector<double> released, kept;
  const int rounds = std::min(config.rounds, 3);
  for (int round = 0; round < rounds; ++round) {
    released.push_back(SearchRate(install, fast, 0));
    kept.push_back(SearchRate(install, paced, 1000));
  }
  BenchRow now;
  now.id = "5a";
  now.what = "search: 4 KB results, released at once (results/s)";
  now.core = Rate(Median(released));
  now.floor = "-";
  now.summary = "5a " + Rate(Median(released));
  // Kept 1 ms each, the provider may post the next payload only after the
  // last was handed back: at most 1000 results/s.
  BenchRow paced1ms;
  paced1ms.id = "5b";
  paced1ms.what = "search: results kept 1 ms each (results/s, pacing)";
  paced1ms.core = Rate(Median(kept));
  paced1ms.floor = "bound 1000 /s";
  paced1ms.ratio = Median(kept) / 1000.0; // of the bound: near 1 and never above
  paced1ms.summary = "5b " + Rate(Median(kept));
  if (std::isnan(Median(released))) now.core = "n/a (search not working)";
  return {now, paced1ms};
}
