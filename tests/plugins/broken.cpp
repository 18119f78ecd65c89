// Deliberately broken plug-ins for corvane-plugin-check, one fault per build:
// BROKEN_CRASH_IN_OPEN, BROKEN_HANG_IN_LOAD, BROKEN_STUCK_WORKER (a worker
// call that ignores Close), BROKEN_SLOW_WORKER (a worker call that returns
// 7 s after Close), BROKEN_SIZE_WORD (posts a record with size word 200),
// BROKEN_FOREIGN_SOURCE (posts as another plug-in), BROKEN_DOUBLE_RELEASE,
// BROKEN_NEVER_RELEASE (payloads kept from OnEvent), BROKEN_BLOCKING_POST (a
// stored result with payload from OnEvent), BROKEN_SLOW_EVENT (OnEvent sleeps),
// BROKEN_STOPS_ON_REFUSED (a worker that ignores Close but stops when a post
// is refused, as the core refuses them once it stops: not a fault).
#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <unistd.h>

#include "rk/core/sdk.h"

using namespace rk::core;

namespace {
std::atomic<bool> closed{false};
PostEventFn post = nullptr;

[[maybe_unused]] uint32_t PostAlarm(uint64_t source, uint32_t size) {
  AlarmEvt e;
  e.size = size;
  e.source = source;
  e.data = "on";
  e.length = 2;
  return post(&e);
}

[[maybe_unused]] void Decref(const void* data) {
  EventParms e;
  InitEvent(e);
  e.type = RK_TYPE_DECREF;
  e.source = RK_ID_WORD(0x42);
  e.data = data;
  post(&e);
}
} // namespace

RK_PLUGIN_EXPORT int32_t Load(const LoadParams* params, PluginInfo* info) {
  post = params->postEvent;
#ifdef BROKEN_HANG_IN_LOAD
  for (;;) ::pause();
#endif
  info->pluginId = RK_ID_WORD(0x42);
  info->acceptAlarm = RK_ACCEPT_LIVE;
#if defined(BROKEN_STUCK_WORKER) || defined(BROKEN_SLOW_WORKER) || defined(BROKEN_STOPS_ON_REFUSED)
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
#ifdef BROKEN_SIZE_WORD
  PostAlarm(RK_ID_WORD(0x42), 200);
#endif
#ifdef BROKEN_FOREIGN_SOURCE
  PostAlarm(RK_ID_WORD(0x43), RK_EVENT_SIZE);
#endif
  return 0;
}

RK_PLUGIN_EXPORT int32_t Close(const CloseParams*, CloseResult*) {
  closed = true;
  return 0;
}

RK_PLUGIN_EXPORT uint8_t OnEvent(const EventParms* e, const EventParms*) {
#if defined(BROKEN_DOUBLE_RELEASE)
  Decref(e->data);
  Decref(e->data);
  return 1;
#elif defined(BROKEN_NEVER_RELEASE)
  (void)e;
  return 1;
#elif defined(BROKEN_BLOCKING_POST)
  StoredAlarmEvt r;
  r.source = RK_ID_WORD(0x42);
  r.request = 1;
  r.data = e->data;
  r.length = e->length;
  post(&r);
  return 0;
#elif defined(BROKEN_SLOW_EVENT)
  (void)e;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return 0;
#else
  (void)e;
  return 0;
#endif
}

RK_PLUGIN_EXPORT int32_t IOCTL(const IoctlParams* params, IoctlResult*) {
#ifdef BROKEN_STUCK_WORKER
  if (params->code == RK_IOCTL_WORKER) {
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
#elif defined(BROKEN_STOPS_ON_REFUSED)
  if (params->code == RK_IOCTL_WORKER) {
    while (PostAlarm(RK_ID_WORD(0x42), RK_EVENT_SIZE) != RK_POST_REFUSED)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
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
