// Sample plug-in, role "viewer": a client that looks at recordings.
//
// Its plug-in id is 0 (id word 0x0, not 0x80000000 which means "no id"): only
// a sender with id 0 starts searches. Every 5 seconds its worker thread asks
// for the last seconds of stored video:
//   - the search request is an ordinary record posted with a nonzero search id
//     in `request` (bits 16-23 of it name the requester: 0, ourselves) and the
//     media search criteria (rk/core/media.h) in the payload;
//   - every provider of stored video answers on a search thread of its own;
//     the core routes stored results only to the plug-in the search id names,
//     so they arrive here in OnEvent whatever our accept words say; each
//     provider ends its answer with an end record;
//   - the viewer counts what came back for a while, reports it on the console
//     and turns the newest key frame of each camera into
//     snapshots/<camera>.jpg (snapshot_writer.h).
// It keeps no payload (OnEvent copies the key frames it wants and answers 0),
// so it releases nothing. Once, right after Open, it sends a small packet to
// the parent daemon.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "rk/core/sdk.h"
#include "snapshot_writer.h"

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
std::atomic<uint64_t> g_ends{0};   // end records of the current search
std::atomic<uint64_t> g_alarms{0}; // live alarms from plug-ins since the last report

// The newest key frame of each camera that came back; written by the dispatch
// thread, taken by the worker. Guarded by g_framesMutex.
struct KeyFrame {
  uint32_t codec = 0;
  int64_t captureMicros = 0;
  std::vector<uint8_t> bytes;
};
std::mutex g_framesMutex;
std::map<uint32_t, KeyFrame> g_newest;
std::map<uint32_t, bool> g_snapshotLogged; // worker only: the first snapshot is announced

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
  const int64_t to = static_cast<int64_t>(NowMs()) * 1000;
  const int64_t from = to - std::chrono::microseconds(kWindow).count();
  const MediaSearch criteria = MakeMediaSearch(0, RK_MEDIA_KIND_VIDEO, from, to);
  EventParms e;
  InitEvent(e);
  e.type = RK_TYPE_VIDEO;
  e.flags = RK_FLAG_STORED; // what we ask for; the core does not read it
  e.source = kId;
  e.request = searchId; // bits 16-23 are 0: results come to plug-in 00, us
  e.data = &criteria;
  e.length = sizeof criteria;
  return g_post(&e);
}

void Report(uint32_t searchId) {
  const uint64_t frames = g_frames.load(), bytes = g_bytes.load(), keys = g_keyFrames.load();
  const uint64_t alarms = g_alarms.exchange(0);
  char line[240];
  std::snprintf(line, sizeof line,
                "viewer: search %04x (last %lld s): %llu stored frames came back (%.1f MiB, "
                "%llu key frames); %llu alarm(s) seen; %llu provider(s) done",
                searchId, static_cast<long long>(std::chrono::seconds(kWindow).count()),
                static_cast<unsigned long long>(frames), static_cast<double>(bytes) / 1048576.0,
                static_cast<unsigned long long>(keys), static_cast<unsigned long long>(alarms),
                static_cast<unsigned long long>(g_ends.load()));
  Log(25, line);
}

// Turns the newest key frame of every camera into snapshots/<camera>.jpg.
void WriteSnapshots() {
  std::map<uint32_t, KeyFrame> newest;
  {
    std::lock_guard lock(g_framesMutex);
    newest.swap(g_newest);
  }
  if (newest.empty()) return;
  std::error_code error;
  std::filesystem::create_directories("snapshots", error);
  for (const auto& [camera, frame] : newest) {
    const std::string path = "snapshots/" + std::to_string(camera) + ".jpg";
    const viewer::Snapshot shot = viewer::WriteSnapshot(frame.codec, frame.bytes, path);
    if (!shot.error.empty()) {
      Log(50, "viewer: no snapshot of camera " + std::to_string(camera) + ": " + shot.error);
    } else if (!g_snapshotLogged[camera]) {
      g_snapshotLogged[camera] = true;
      Log(25, "viewer: camera " + std::to_string(camera) + " (" + std::to_string(shot.width) + "x" +
                  std::to_string(shot.height) + ") is pictured in " + path + ", renewed every " +
                  std::to_string(std::chrono::seconds(kSearchEvery).count()) + " s");
    }
  }
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
    g_ends = 0;
    {
      std::lock_guard lock(g_framesMutex);
      g_newest.clear();
    }
    g_searchId = searchId;
    if (Search(searchId) != RK_POST_OK) break; // the core stops
    if (ClosedWithin(kCollect)) return;
    Report(searchId);
    WriteSnapshots();
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
    if (static_cast<uint32_t>(e->request) != g_searchId.load()) return 0;
    const MediaInfo& info = MediaInfoOf(*e);
    if ((info.mediaInfoFlags & RK_MEDIA_INFO_END) != 0) {
      g_ends.fetch_add(1);
      return 0;
    }
    g_frames.fetch_add(1);
    g_bytes.fetch_add(e->length);
    if (IsKeyFrame(*e) && e->data != nullptr && info.camera != 0) {
      g_keyFrames.fetch_add(1);
      const auto* bytes = static_cast<const uint8_t*>(e->data);
      std::lock_guard lock(g_framesMutex);
      KeyFrame& newest = g_newest[info.camera];
      if (newest.bytes.empty() || info.captureMicros >= newest.captureMicros)
        newest = KeyFrame{info.codec, info.captureMicros,
                          std::vector<uint8_t>(bytes, bytes + e->length)};
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
