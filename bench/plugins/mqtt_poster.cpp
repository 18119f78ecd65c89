// Bench plug-in for the MQTT rows: on its worker thread it waits for a job
// file "post.job" in the working directory ("<count> <interval us>"), takes it
// away and posts that many live alarms "seq=<n> t=<steady ns>", paced by the
// interval (0: as fast as it can), then waits for the next job until Close.
#include <chrono>
#include <cstdio>
#include <thread>

#include "rk/core/plugin.hpp"

using namespace rk::core;
using Steady = std::chrono::steady_clock;

namespace {

bool TakeJob(unsigned long& count, unsigned long& intervalUs) {
  FILE* f = std::fopen("post.job", "r");
  if (f == nullptr) return false;
  const bool ok = std::fscanf(f, "%lu %lu", &count, &intervalUs) == 2;
  std::fclose(f);
  std::remove("post.job");
  return ok;
}

class MqttPoster : public Plugin {
public:
  MqttPoster() : Plugin(0x24, "bench_mqtt_poster") {}

  int32_t OnLoad(PluginInfo& info) override {
    info.workerFlag = 1;
    return 0;
  }

  void Run(const StopToken& stop) override {
    while (!stop.WaitFor(std::chrono::milliseconds(1))) {
      unsigned long count = 0, intervalUs = 0;
      if (TakeJob(count, intervalUs)) PostJob(count, intervalUs, stop);
    }
  }

private:
  void PostJob(unsigned long count, unsigned long intervalUs, const StopToken& stop) {
    const auto start = Steady::now();
    char text[64];
    for (unsigned long i = 0; i < count && !stop.StopRequested(); ++i) {
      if (intervalUs != 0)
        std::this_thread::sleep_until(start + std::chrono::microseconds(i * intervalUs));
      const long long ns =
          std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch())
              .count();
      const int n = std::snprintf(text, sizeof text, "seq=%06lu t=%lld", i, ns);
      PostAlarm(std::string_view(text, static_cast<size_t>(n)));
    }
  }
};

} // namespace

RK_PLUGIN(MqttPoster)
