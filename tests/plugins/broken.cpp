// Deliberately broken plug-ins for corvane-plugin-check, one fault per build:
// BROKEN_CRASH_IN_OPEN, BROKEN_HANG_IN_LOAD, BROKEN_STUCK_WORKER (a worker
// call that ignores Close), BROKEN_SLOW_WORKER (a worker call that returns
// 7 s after Close).
#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <unistd.h>

#include "rk/core/sdk.h"

using namespace rk::core;

namespace {
std::atomic<bool> closed{false};
}

RK_PLUGIN_EXPORT int32_t Load(const LoadParams*, PluginInfo* info) {
#ifdef BROKEN_HANG_IN_LOAD
  for (;;) ::pause();
#endif
  info->pluginId = RK_ID_WORD(0x42);
  info->acceptAlarm = RK_ACCEPT_LIVE;
#if defined(BROKEN_STUCK_WORKER) || defined(BROKEN_SLOW_WORKER)
  info->workerFlag = 1;
#endif
  return 0;
}

RK_PLUGIN_EXPORT int32_t Unload(const UnloadParams*, UnloadResult*) {
  return 0;
}

RK_PLUGIN_EXPORT int32_t Open(const OpenParams*, OpenResult*) {
#ifdef BROKEN_CRASH_IN_OPEN
  std::raise(SIGSEGV);
#endif
  return 0;
}

RK_PLUGIN_EXPORT int32_t Close(const CloseParams*, CloseResult*) {
  closed = true;
  return 0;
}

RK_PLUGIN_EXPORT uint8_t OnEvent(const EventParms*, const EventParms*) {
  return 0;
}

RK_PLUGIN_EXPORT int32_t IOCTL(const IoctlParams* params, IoctlResult*) {
#ifdef BROKEN_STUCK_WORKER
  if (params->code == RK_IOCTL_WORKER) {
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
#elif defined(BROKEN_SLOW_WORKER)
  if (params->code == RK_IOCTL_WORKER) {
    while (!closed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::seconds(7));
  }
#else
  (void)params;
#endif
  return 0;
}
