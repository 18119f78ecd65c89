// Sample plug-in, role "recorder": takes live video, stores it on disk and
// provides it again as stored video to whoever searches for it.
//
// The road of a frame:
//   1. OnEvent (dispatch thread) gets a live video record. Instead of copying
//      the 40 KB frame it answers "keep": the core's copy of the payload stays
//      alive for us. The frame goes onto a short queue for the writer thread.
//      When the queue is full (the disk is slower than the camera) it answers
//      "don't keep" and that frame is not recorded: the core must never wait
//      for us.
//   2. The writer thread appends the frame to a bounded ring of files under
//      recordings/ in the working directory, then hands the payload back with
//      a decref record (type 512) carrying the same pointer and our own id.
//   3. OnSearch (a search thread of the core, one per search) reads the frames
//      of the requested time range back from the ring and posts each as a
//      stored video result addressed by the request word. The core paces us:
//      a post returns only when the previous result's payload was consumed.
//      A post answering 1 means the search was cancelled or the core stops.
//
// Search criteria: the request payload is text "from=<ms> to=<ms>" in
// milliseconds since the epoch (the viewer sample sends it).
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "frame_ring.h"
#include "rk/core/sdk.h"

using namespace rk::core;
using namespace std::chrono_literals;

namespace {

constexpr uint64_t kId = RK_ID_WORD(0x02); // plug-in id 02
constexpr size_t kMaxKept = 25;            // frames held at most, about one second
constexpr unsigned kSegments = 6;          // the ring: 6 files ...
constexpr uint64_t kSegmentMs = 5000;      // ... of 5 s each
constexpr size_t kMaxResults = 500;        // per search

PostEventFn g_post = nullptr; // set by Load, then only read

// A live frame we answered "keep" for; its payload belongs to the core until
// we post the decref.
struct KeptFrame {
  const void* data;
  uint32_t length;
  uint64_t timeMs;
  uint8_t frameType;
};

// Owned by the plug-in; g_mutex guards all of these and is never held while
// posting or touching the disk.
std::mutex g_mutex;
std::condition_variable g_changed;
std::deque<KeptFrame> g_queue;               // frames waiting for the writer
bool g_closing = false;                      // Close began: no new frames or searches
std::shared_ptr<recorder::FrameRing> g_ring; // null when not recording
unsigned g_searches = 0;                     // OnSearch calls in progress
uint64_t g_recorded = 0, g_skipped = 0;

std::thread g_writer; // touched only by Open and Close (main thread)

void Log(int32_t level, const std::string& text) {
  LogEvt e;
  e.flags |= RK_FLAG_CONSOLE;
  e.source = kId;
  e.level = static_cast<uint32_t>(level);
  e.data = text.data();
  e.length = static_cast<uint32_t>(text.size());
  g_post(&e);
}

// Hands one kept payload back to the core.
void Release(const void* payload) {
  EventParms e;
  InitEvent(e);
  e.type = RK_TYPE_DECREF;
  e.source = kId;
  e.data = payload; // exactly the pointer we were given
  g_post(&e);
}

void WriteFrames() {
  for (;;) {
    KeptFrame frame;
    std::shared_ptr<recorder::FrameRing> ring;
    {
      std::unique_lock lock(g_mutex);
      g_changed.wait(lock, [] { return !g_queue.empty() || g_closing; });
      if (g_queue.empty()) return; // closing and nothing left
      frame = g_queue.front();
      g_queue.pop_front();
      ring = g_ring;
    }
    const bool stored =
        ring != nullptr && ring->Append(frame.timeMs, frame.frameType, frame.data, frame.length);
    Release(frame.data);
    std::lock_guard lock(g_mutex);
    ++(stored ? g_recorded : g_skipped);
  }
}

// Reads "from=<ms> to=<ms>" out of the request payload.
bool ParseCriteria(const EventParms& request, uint64_t& fromMs, uint64_t& toMs) {
  if (request.data == nullptr || request.length == 0 || request.length > 256) return false;
  const std::string text(static_cast<const char*>(request.data), request.length);
  const auto from = text.find("from="), to = text.find("to=");
  if (from == std::string::npos || to == std::string::npos) return false;
  char* end = nullptr;
  fromMs = std::strtoull(text.c_str() + from + 5, &end, 10);
  if (end == text.c_str() + from + 5) return false;
  toMs = std::strtoull(text.c_str() + to + 3, &end, 10);
  return end != text.c_str() + to + 3 && fromMs <= toMs;
}

// Sends the stored frames of [fromMs, toMs]; returns how many went out.
size_t Provide(const recorder::FrameRing& ring, const EventParms& request, uint64_t fromMs,
               uint64_t toMs) {
  std::vector<unsigned char> bytes;
  size_t sent = 0;
  for (const auto& where : ring.Find(fromMs, toMs, kMaxResults)) {
    if (!ring.Read(where, bytes)) continue; // overwritten meanwhile
    StoredVideoEvt e;                       // type 1, flags 0x4000000 (stored)
    e.source = kId;
    e.request = request.request; // the search id: routes the result to the requester
    e.data = bytes.data();
    e.length = static_cast<uint32_t>(bytes.size());
    e.media.seconds = where.timeMs / 1000;
    e.media.milliseconds = static_cast<uint16_t>(where.timeMs % 1000);
    e.media.frameType = where.frameType;
    // Blocks until our previous result was consumed; 1 = cancelled or stopping.
    if (g_post(&e) != RK_POST_OK) break;
    ++sent;
  }
  return sent;
}

} // namespace

RK_PLUGIN_EXPORT int32_t Load(const LoadParams* params, PluginInfo* info) {
  g_post = params->postEvent;
  info->pluginId = kId;
  info->acceptVideo = RK_ACCEPT_LIVE | RK_ACCEPT_STORED; // takes live, provides stored
  return 0;
}

RK_PLUGIN_EXPORT int32_t Unload(const UnloadParams*, UnloadResult*) {
  return 0;
}

RK_PLUGIN_EXPORT int32_t Open(const OpenParams*, OpenResult*) {
  try {
    char cwd[PATH_MAX];
    const std::string directory =
        std::string(::getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".") + "/recordings";
    auto ring = std::make_shared<recorder::FrameRing>(directory, kSegments, kSegmentMs);
    std::string error;
    if (!ring->Open(error)) {
      Log(75, "recorder: cannot record: " + error);
      return 0;
    }
    g_writer = std::thread(WriteFrames);
    {
      // From now on OnEvent keeps frames for the writer.
      std::lock_guard lock(g_mutex);
      g_ring = ring;
    }
    Log(25, "recorder: recording live video to " + directory + " (a ring of " +
                std::to_string(kSegments) + " files of " + std::to_string(kSegmentMs / 1000) +
                " s)");
  } catch (...) {
    // No memory or no thread: without a ring OnEvent keeps nothing.
  }
  return 0;
}

RK_PLUGIN_EXPORT int32_t Close(const CloseParams*, CloseResult*) {
  {
    std::lock_guard lock(g_mutex);
    g_closing = true;
  }
  g_changed.notify_all();
  // The writer stores and releases what is still queued, then returns.
  if (g_writer.joinable()) g_writer.join();
  uint64_t recorded, skipped;
  {
    // Searches end at their next post (the core refuses them while it stops);
    // wait for them so that nothing runs in this library after Unload.
    std::unique_lock lock(g_mutex);
    g_changed.wait_for(lock, 5s, [] { return g_searches == 0; });
    g_ring.reset();
    recorded = g_recorded;
    skipped = g_skipped;
  }
  Log(25, "recorder: " + std::to_string(recorded) + " frames recorded, " + std::to_string(skipped) +
              " not recorded");
  return 0;
}

RK_PLUGIN_EXPORT uint8_t OnEvent(const EventParms* e, const EventParms*) {
  // Only live video from cameras; output-direction video is for players.
  if (e == nullptr || e->type != RK_TYPE_VIDEO || IsStored(*e) || IsOutput(*e)) return 0;
  if (e->data == nullptr || e->length == 0) return 0;
  const uint64_t timeMs = e->media.seconds * 1000 + e->media.milliseconds;
  try {
    std::lock_guard lock(g_mutex);
    if (g_closing || g_ring == nullptr || g_queue.size() >= kMaxKept) {
      ++g_skipped; // not kept: the core releases our share at once
      return 0;
    }
    g_queue.push_back({e->data, e->length, timeMs, e->media.frameType});
  } catch (...) {
    return 0;
  }
  g_changed.notify_all();
  return 1; // keep: the writer posts the decref
}

RK_PLUGIN_EXPORT int32_t OnSearch(const EventParms* request, const EventParms*) {
  if (request == nullptr || BaseType(*request) != RK_TYPE_VIDEO) return 0;
  uint64_t fromMs = 0, toMs = 0;
  if (!ParseCriteria(*request, fromMs, toMs)) return 0;
  std::shared_ptr<recorder::FrameRing> ring;
  {
    std::lock_guard lock(g_mutex);
    if (g_closing || g_ring == nullptr) return 0;
    ring = g_ring;
    ++g_searches;
  }
  size_t sent = 0;
  try {
    sent = Provide(*ring, *request, fromMs, toMs);
  } catch (...) {
    // Out of memory: the search ends early.
  }
  char line[96];
  std::snprintf(line, sizeof line, "recorder: search %04x: sent %zu stored frames",
                static_cast<unsigned>(request->request & 0xFFFFFFFF), sent);
  Log(25, line);
  std::lock_guard lock(g_mutex);
  --g_searches;
  g_changed.notify_all(); // Close may be waiting for us
  return 0;
}
