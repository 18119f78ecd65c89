// Sample plug-in, role "viewer": a client that looks at recordings.
//
// Its plug-in id is 0 (id word 0x0, not 0x80000000 which means "no id"): only
// a sender with id 0 starts searches. Every few seconds its worker thread asks
// for the last seconds of stored video:
//   - the search request is an ordinary record posted with a nonzero search id
//     in `request` (bits 16-23 of it name the requester: 0, ourselves) and the
//     criteria in the payload ("from=<ms> to=<ms>", understood by the
//     recorder sample);
//   - every provider of stored video answers on a search thread of its own;
//     the core routes stored results only to the plug-in the search id names,
//     so they arrive here in OnEvent whatever our accept words say;
//   - the core sends no "search finished" record, so the viewer counts what
//     came back for a while and then reports it on the console.
// It keeps no payload (OnEvent always answers 0), so it releases nothing.
// Once, right after Open, it sends a small packet to the parent daemon.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "rk/core/sdk.h"

using namespace rk::core;
using namespace std::chrono_literals;

namespace {

constexpr uint64_t kId = RK_ID_WORD(0x00); // plug-in id 00: may start searches
constexpr auto kFirstSearch = 3s;          // let the recorder store something first
constexpr auto kSearchEvery = 5s;
constexpr auto kWindow = 3s;  // how far back each search looks
constexpr auto kCollect = 2s; // how long results are counted before the report
constexpr uint32_t kHelloKind = 100;

PostEventFn g_post = nullptr; // set by Load, then only read

// Guarded by g_mutex, which is never held while posting.
std::mutex g_mutex;
std::condition_variable g_changed;
bool g_open = false;
bool g_closed = false;

// What came back for the current search; written by the dispatch thread,
// read and reset by the worker.
std::atomic<uint32_t> g_searchId{0};
std::atomic<uint64_t> g_frames{0}, g_bytes{0}, g_keyFrames{0};
std::atomic<uint64_t> g_alarms{0}; // live alarms from plug-ins since the last report

void Log(int32_t level, const std::string& text) {
  LogEvt e;
  e.flags |= RK_FLAG_CONSOLE;
  e.source = kId;
  e.level = static_cast<uint32_t>(level);
  e.data = text.data();
  e.length = static_cast<uint32_t>(text.size());
  g_post(&e);
}

// Waits up to `span`; true when the plug-in was closed meanwhile.
bool ClosedWithin(std::chrono::steady_clock::duration span) {
  std::unique_lock lock(g_mutex);
  return g_changed.wait_for(lock, span, [] { return g_closed; });
}

// A packet for the parent is composed whole by the plug-in: a 16-byte header
// (length, address word, kind, fourth word) and a payload. The core relays the
// bytes unchanged.
void SayHelloToParent() {
  const std::string text = "hello from the viewer sample";
  const std::vector<uint8_t> packet =
      rk::core::MakeIpcPacket(kHelloKind, rk::core::IpcAddress(rk_core_SourceIndex(kId)), text);
  EventParms e;
  InitEvent(e);
  e.type = RK_TYPE_IPC;
  e.source = kId;
  e.data = packet.data();
  e.length = static_cast<uint32_t>(packet.size());
  if (g_post(&e) != RK_POST_OK) Log(50, "viewer: no parent daemon to say hello to");
}

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

// Posts a search for the last kWindow of stored video. 1 = the core stops.
uint32_t Search(uint32_t searchId) {
  const uint64_t to = NowMs();
  const uint64_t from = to - std::chrono::milliseconds(kWindow).count();
  const std::string criteria = "from=" + std::to_string(from) + " to=" + std::to_string(to);
  EventParms e;
  InitEvent(e);
  e.type = RK_TYPE_VIDEO;
  e.flags = RK_FLAG_STORED; // what we ask for; the core does not read it
  e.source = kId;
  e.request = searchId; // bits 16-23 are 0: results come to plug-in 00, us
  e.data = criteria.data();
  e.length = static_cast<uint32_t>(criteria.size());
  return g_post(&e);
}

void Report(uint32_t searchId) {
  const uint64_t frames = g_frames.load(), bytes = g_bytes.load(), keys = g_keyFrames.load();
  const uint64_t alarms = g_alarms.exchange(0);
  char line[200];
  std::snprintf(line, sizeof line,
                "viewer: search %04x (last %lld s): %llu stored frames came back (%.1f MiB, "
                "%llu key frames); %llu alarm(s) seen",
                searchId, static_cast<long long>(std::chrono::seconds(kWindow).count()),
                static_cast<unsigned long long>(frames), static_cast<double>(bytes) / 1048576.0,
                static_cast<unsigned long long>(keys), static_cast<unsigned long long>(alarms));
  Log(25, line);
}

void Watch() {
  {
    std::unique_lock lock(g_mutex);
    g_changed.wait(lock, [] { return g_open || g_closed; });
    if (g_closed) return;
  }
  SayHelloToParent();
  if (ClosedWithin(kFirstSearch)) return;
  for (uint32_t searchId = 1;; searchId = searchId % 0xFFFF + 1) { // ids 1..65535
    // Count only results of the search in progress; late ones of an older
    // search are ignored.
    g_searchId = 0;
    g_frames = 0;
    g_bytes = 0;
    g_keyFrames = 0;
    g_searchId = searchId;
    if (Search(searchId) != RK_POST_OK) break; // the core stops
    if (ClosedWithin(kCollect)) return;
    Report(searchId);
    if (ClosedWithin(kSearchEvery - kCollect)) return;
  }
  std::unique_lock lock(g_mutex);
  g_changed.wait(lock, [] { return g_closed; });
}

} // namespace

RK_PLUGIN_EXPORT int32_t Load(const LoadParams* params, PluginInfo* info) {
  g_post = params->postEvent;
  info->pluginId = kId;
  info->acceptAlarm = RK_ACCEPT_LIVE; // counted in the report
  info->workerFlag = 1;               // IOCTL code 1 runs Watch
  return 0;
}

RK_PLUGIN_EXPORT int32_t Unload(const UnloadParams*, UnloadResult*) {
  return 0;
}

RK_PLUGIN_EXPORT int32_t Open(const OpenParams*, OpenResult*) {
  {
    std::lock_guard lock(g_mutex);
    g_open = true;
  }
  g_changed.notify_all();
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

RK_PLUGIN_EXPORT uint8_t OnEvent(const EventParms* e, const EventParms*) {
  if (e == nullptr) return 0;
  if (IsStored(*e) && BaseType(*e) == RK_TYPE_VIDEO) {
    if (static_cast<uint32_t>(e->request) == g_searchId.load()) {
      g_frames.fetch_add(1);
      g_bytes.fetch_add(e->length);
      if ((e->media.frameType & 3) == 1) g_keyFrames.fetch_add(1);
    }
  } else if (BaseType(*e) == RK_TYPE_ALARM && e->source != kIdNone) {
    g_alarms.fetch_add(1); // the core's own alarm documents are not counted
  }
  return 0; // we never keep a payload, so we never post a decref
}

RK_PLUGIN_EXPORT int32_t IOCTL(const IoctlParams* params, IoctlResult*) {
  if (params != nullptr && params->code == RK_IOCTL_WORKER) Watch();
  return 0;
}
