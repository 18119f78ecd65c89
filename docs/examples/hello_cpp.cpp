// A plug-in in C++: its worker thread posts an alarm every second until the
// core closes the plug-in, and it keeps the payload of the latest live alarm
// it received, handing the previous one back with a decref record.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "rk/core/sdk.h"

using namespace rk::core;
using namespace std::chrono_literals;

namespace {

constexpr uint64_t kId = RK_ID_WORD(0x72); // plug-in id 72
PostEventFn post = nullptr;                // set by Load, used from any thread

std::mutex mutex; // guards closed and latest; never held while posting
std::condition_variable changed;
bool closed = false;
const void* latest = nullptr; // the payload we keep a reference to

void Release(const void* payload) {
  EventParms e;
  InitEvent(e);
  e.type = RK_TYPE_DECREF;
  e.source = kId;
  e.data = payload; // exactly the pointer we were given
  post(&e);
}

void Log(int32_t level, const std::string& text) {
  LogEvt e;
  e.flags |= RK_FLAG_CONSOLE;
  e.source = kId;
  e.level = static_cast<uint32_t>(level);
  e.data = text.data();
  e.length = static_cast<uint32_t>(text.size());
  post(&e);
}

} // namespace

RK_PLUGIN_EXPORT int32_t Load(const LoadParams* params, PluginInfo* info) {
  post = params->postEvent;
  info->pluginId = kId;
  info->acceptAlarm = RK_ACCEPT_LIVE;
  info->workerFlag = 1; // IOCTL code 1 on a thread of its own
  return 0;
}

RK_PLUGIN_EXPORT int32_t Unload(const UnloadParams*, UnloadResult*) {
  return 0;
}

RK_PLUGIN_EXPORT int32_t Open(const OpenParams*, OpenResult*) {
  Log(25, "hello_cpp: open");
  return 0;
}

RK_PLUGIN_EXPORT int32_t Close(const CloseParams*, CloseResult*) {
  const void* kept = nullptr;
  {
    std::lock_guard lock(mutex);
    closed = true;
    kept = latest;
    latest = nullptr;
  }
  changed.notify_all(); // the worker call returns; the core waits for it
  if (kept != nullptr) Release(kept);
  Log(25, "hello_cpp: closed");
  return 0;
}

RK_PLUGIN_EXPORT int32_t IOCTL(const IoctlParams* params, IoctlResult*) {
  if (params->code != RK_IOCTL_WORKER) return 0;
  std::unique_lock lock(mutex);
  for (unsigned n = 1; !changed.wait_for(lock, 1s, [] { return closed; }); ++n) {
    lock.unlock();
    const std::string xml = "<Alarm Source=\"hello_cpp\" Count=\"" + std::to_string(n) + "\"/>";
    AlarmEvt e;
    e.source = kId;
    e.data = xml.data();
    e.length = static_cast<uint32_t>(xml.size());
    post(&e); // 0 accepted, 1 refused (the core is stopping)
    lock.lock();
  }
  return 0;
}

RK_PLUGIN_EXPORT uint8_t OnEvent(const EventParms* e, const EventParms*) {
  if (BaseType(*e) != RK_TYPE_ALARM || e->data == nullptr) return 0;
  const void* previous = nullptr;
  {
    std::lock_guard lock(mutex);
    if (closed) return 0;
    previous = latest;
    latest = e->data;
  }
  if (previous != nullptr) Release(previous);
  return 1; // keep: e->data stays valid until we post a decref for it
}
