// Bench plug-in for the MQTT rows: on its worker thread it waits for a job
// file "post.job" in the working directory ("<count> <interval us>"), takes it
// away and posts that many live alarms "seq=<n> t=<steady ns>", paced by the
// interval (0: as fast as it can), then waits for the next job until Close.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "rk/core/sdk.h"

using namespace rk::core;
using Steady = std::chrono::steady_clock;

namespace {

constexpr uint64_t kId = RK_ID_WORD(0x24);

PostEventFn g_post = nullptr;
std::mutex g_mutex; // guards g_closed
std::condition_variable g_changed;
bool g_closed = false;

bool TakeJob(unsigned long& count, unsigned long& intervalUs) {
  FILE* f = std::fopen("post.job", "r");
  if (f == nullptr) return false;
  const bool ok = std::fscanf(f, "%lu %lu", &count, &intervalUs) == 2;
  std::fclose(f);
  std::remove("post.job");
  return ok;
}

void Run(unsigned long count, unsigned long intervalUs) {
  const auto start = Steady::now();
  char text[64];
  for (unsigned long i = 0; i < count; ++i) {
    if (intervalUs != 0)
      std::this_thread::sleep_until(start + std::chrono::microseconds(i * intervalUs));
    const long long ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch())
            .count();
    const int n = std::snprintf(text, sizeof text, "seq=%06lu t=%lld", i, ns);
    AlarmEvt e;
    e.source = kId;
    e.data = text;
    e.length = static_cast<uint32_t>(n);
    if (g_post(&e) == RK_POST_REFUSED) return;
  }
}

} // namespace

RK_PLUGIN_EXPORT int32_t Load(const LoadParams* params, PluginInfo* info) {
  g_post = params->postEvent;
  info->pluginId = kId;
  info->workerFlag = 1;
  return 0;
}

RK_PLUGIN_EXPORT int32_t Unload(const UnloadParams*, UnloadResult*) {
  return 0;
}

RK_PLUGIN_EXPORT int32_t Open(const OpenParams*, OpenResult*) {
  return 0;
}

RK_PLUGIN_EXPORT int32_t Close(const CloseParams*, CloseResult*) {
  {
    std::lock_guard lock(g_mutex);
    g_closed = true;
  }
  g_changed.notify_all();
  return 0;
}

RK_PLUGIN_EXPORT int32_t IOCTL(const IoctlParams* params, IoctlResult*) {
  if (params == nullptr || params->code != RK_IOCTL_WORKER) return 0;
  std::unique_lock lock(g_mutex);
  while (!g_changed.wait_for(lock, std::chrono::milliseconds(1), [] { return g_closed; })) {
    unsigned long count = 0, intervalUs = 0;
    lock.unlock();
    if (TakeJob(count, intervalUs)) Run(count, intervalUs);
    lock.lock();
  }
  return 0;
}
