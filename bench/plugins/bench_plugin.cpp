// Trivial plug-in for the benchmark: counts what it gets and keeps nothing
// unless told to. Built several times with a different id each
// (BENCH_PLUGIN_ID); BENCH_PROVIDER adds a search provider; BENCH_TINY is the
// bare plug-in of the start-up row, whose id comes from its file name.
#include <chrono>
#include <cstring>
#include <dlfcn.h>

#include "bench_plugin_state.h"
#include "rk/core/sdk.h"

#ifndef BENCH_TINY
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>
#endif

using namespace rk::core;

namespace {

PostEventFn g_post = nullptr; // set by Load, read afterwards

#ifdef BENCH_TINY

// "tiny_042.so" -> id 10 + 42, so a hundred copies get a hundred ids that
// avoid the core's special ids (6 and 8).
uint64_t IdFromFileName() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&IdFromFileName), &info) == 0 || info.dli_fname == nullptr)
    return kIdNone;
  const char* name = std::strrchr(info.dli_fname, '/');
  name = name != nullptr ? name + 1 : info.dli_fname;
  unsigned number = 0;
  for (const char* p = name; *p != '\0' && *p != '.'; ++p) {
    if (*p >= '0' && *p <= '9') number = number * 10 + static_cast<unsigned>(*p - '0');
  }
  return RK_ID_WORD(10 + number);
}

#else

constexpr uint64_t kId = RK_ID_WORD(BENCH_PLUGIN_ID);
BenchPluginState g_state;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Hands kept payloads back once they are due. g_keepMutex guards g_kept and
// g_keeperStop; the keeper thread starts on the first kept payload (dispatch
// thread) and is joined by Close (main thread).
std::mutex g_keepMutex;
std::condition_variable g_keepChanged;
std::deque<std::pair<const void*, std::chrono::steady_clock::time_point>> g_kept;
bool g_keeperStop = false;
std::thread g_keeper;

void ReleaseKept() {
  std::unique_lock lock(g_keepMutex);
  for (;;) {
    g_keepChanged.wait(lock, [] { return g_keeperStop || !g_kept.empty(); });
    if (g_kept.empty()) return;
    const auto [payload, due] = g_kept.front();
    if (!g_keeperStop && std::chrono::steady_clock::now() < due) {
      g_keepChanged.wait_until(lock, due);
      continue;
    }
    g_kept.pop_front();
    lock.unlock();
    EventParms decref;
    InitEvent(decref);
    decref.type = RK_TYPE_DECREF;
    decref.source = kId;
    decref.data = payload;
    g_post(&decref);
    lock.lock();
  }
}

bool Keep(const void* payload, uint32_t keepUs) {
  std::lock_guard lock(g_keepMutex);
  if (g_keeperStop) return false;
  if (!g_keeper.joinable()) g_keeper = std::thread(ReleaseKept);
  g_kept.emplace_back(payload,
                      std::chrono::steady_clock::now() + std::chrono::microseconds(keepUs));
  g_keepChanged.notify_one();
  return true;
}

#endif

} // namespace

RK_PLUGIN_EXPORT int32_t Load(const LoadParams* params, PluginInfo* info) {
  g_post = params->postEvent;
#ifdef BENCH_TINY
  info->pluginId = IdFromFileName();
#else
  // The library may survive an unload (its file stays mapped when the loader
  // cannot drop it): start every load from a clean state.
  g_state.events = 0;
  g_state.ipcPackets = 0;
  g_state.stamped = 0;
  g_state.results = 0;
  g_state.refused = 0;
  g_state.keepUs = 0;
  {
    std::lock_guard lock(g_keepMutex);
    g_keeperStop = false;
  }
  info->pluginId = kId;
  info->acceptVideo = RK_ACCEPT_LIVE;
  info->acceptAlarm = RK_ACCEPT_LIVE;
#endif
  return RK_LOAD_OK;
}

RK_PLUGIN_EXPORT int32_t Unload(const UnloadParams*, UnloadResult*) {
  return 0;
}
RK_PLUGIN_EXPORT int32_t Open(const OpenParams*, OpenResult*) {
  return 0;
}

RK_PLUGIN_EXPORT int32_t Close(const CloseParams*, CloseResult*) {
#ifndef BENCH_TINY
  {
    std::lock_guard lock(g_keepMutex);
    g_keeperStop = true;
    g_keepChanged.notify_one();
  }
  if (g_keeper.joinable()) g_keeper.join();
#endif
  return 0;
}

#ifdef BENCH_TINY

RK_PLUGIN_EXPORT uint8_t OnEvent(const EventParms*, const EventParms*) {
  return 0;
}

#else

RK_PLUGIN_EXPORT uint8_t OnEvent(const EventParms* record, const EventParms*) {
  g_state.events.fetch_add(1, std::memory_order_relaxed);
  uint64_t mark;
  std::memcpy(&mark, reinterpret_cast<const char*>(record) + kBenchMarkOffset, sizeof mark);
  if (mark == kBenchStampMark) {
    int64_t stamp;
    std::memcpy(&stamp, reinterpret_cast<const char*>(record) + kBenchStampOffset, sizeof stamp);
    g_state.lastLatencyNs.store(NowNs() - stamp, std::memory_order_relaxed);
    g_state.stamped.fetch_add(1, std::memory_order_release);
  }
  if (IsStored(*record)) {
    g_state.results.fetch_add(1, std::memory_order_release);
    const uint32_t keepUs = g_state.keepUs.load(std::memory_order_relaxed);
    if (keepUs != 0 && record->data != nullptr) return Keep(record->data, keepUs) ? 1 : 0;
  }
  return 0;
}

RK_PLUGIN_EXPORT int32_t OnIpcResult(const void*, uint32_t) {
  g_state.ipcPackets.fetch_add(1, std::memory_order_release);
  return 0;
}

#ifdef BENCH_PROVIDER
// Posts the configured number of 4 KB-ish stored results for the request,
// from this search thread, stopping at the first refusal.
RK_PLUGIN_EXPORT int32_t OnSearch(const EventParms* request, const EventParms*) {
  const uint32_t count = g_state.resultCount.load(std::memory_order_relaxed);
  std::vector<char> payload(g_state.resultBytes.load(std::memory_order_relaxed), 'r');
  for (uint32_t i = 0; i < count; ++i) {
    StoredAlarmEvt result;
    result.source = kId;
    result.request = request->request;
    result.data = payload.empty() ? nullptr : payload.data();
    result.length = static_cast<uint32_t>(payload.size());
    if (g_post(&result) != RK_POST_OK) {
      g_state.refused.fetch_add(1, std::memory_order_relaxed);
      break;
    }
  }
  return 0;
}
#endif

extern "C" __attribute__((visibility("default"))) BenchPluginState* BenchState() {
  return &g_state;
}

// The packet travels unchanged to the parent: a 16-byte header then filler.
extern "C" __attribute__((visibility("default"))) uint32_t BenchPostIpc(uint32_t count,
                                                                        uint32_t bytes) {
  std::vector<uint8_t> packet(bytes < 16 ? 16 : bytes, 0x5a);
  const uint32_t length = static_cast<uint32_t>(packet.size());
  std::memcpy(packet.data(), &length, sizeof length);
  uint32_t accepted = 0;
  for (uint32_t i = 0; i < count; ++i) {
    EventParms record;
    InitEvent(record);
    record.type = RK_TYPE_IPC;
    record.source = kId;
    record.data = packet.data();
    record.length = length;
    if (g_post(&record) == RK_POST_OK) ++accepted;
  }
  return accepted;
}

#endif
