// Plug-in "recorder" (id 02): records live H.264 / H.265 video, with its
// AAC or Opus audio, into fragmented MP4 segments with a SQLite catalogue,
// files every live alarm, and answers media searches from what it stored.
//
// The road of a frame:
//   1. OnEvent (dispatch thread) gets a live video (or audio) record. It answers "keep":
//      the core's copy of the payload stays alive for us, and the record's
//      few fields we need go onto the queue for the writer thread. When the
//      queue holds too many bytes (the disk is slower than the cameras) it
//      answers "don't keep", and that camera's frames up to its next key
//      frame are not recorded either: a frame whose reference is missing
//      would not decode (an audio frame stands alone: only it is dropped).
//      The core never waits for us.
//   2. The writer thread writes the frame into the camera's open segment
//      (SegmentRecorder), then hands the payload back with a decref record
//      (type 512) carrying the same pointer and our own id.
//   3. OnSearch (a search thread of the core, one per search) answers a media
//      search (rk/core/media.h) from the catalogue and the segment files; the
//      core paces our posts. Other search payloads are not ours: ignored.
//
// recorder.xml in the working directory configures it (RecorderConfig).
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

#include "media_search.h"
#include "recorder_config.h"
#include "rk/core/sdk.h"
#include "segment_recorder.h"

using namespace rk::core;
using namespace std::chrono_literals;

namespace {

constexpr uint64_t kId = RK_ID_WORD(0x02);    // plug-in id 02
constexpr size_t kMaxQueuedBytes = 64u << 20; // about 2 s of 16 cameras at 16 Mbit/s

PostEventFn g_post = nullptr; // set by Load, then only read

int64_t NowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void Log(int32_t level, const std::string& text) {
  LogEvt e;
  e.flags |= RK_FLAG_CONSOLE;
  e.source = kId;
  e.level = static_cast<uint32_t>(level);
  e.data = text.data();
  e.length = static_cast<uint32_t>(text.size());
  g_post(&e);
}

void PostAlarm(const std::string& xml) {
  AlarmEvt e;
  e.source = kId;
  e.data = xml.data();
  e.length = static_cast<uint32_t>(xml.size());
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

// A payload we answered "keep" for, with what the writer needs of its record.
struct Kept {
  bool alarm = false;
  recorder::LiveFrame frame; // frame.data is the kept payload (alarms too)
  int64_t receivedMicros = 0;
};

// Per camera, as OnEvent sees it.
struct Feed {
  bool known = false;  // a frame of this camera was seen
  uint64_t source = 0; // the plug-in whose camera this number is
  bool gap = false;    // a frame was not kept: skip to the next key frame
  bool warned = false; // another plug-in's frames with this number were logged
};

// Owned by the plug-in; g_mutex guards everything below up to g_writer and is
// never held while posting or touching the disk.
std::mutex g_mutex;
std::condition_variable g_changed;
std::deque<Kept> g_queue;         // payloads waiting for the writer
size_t g_queuedBytes = 0;         // their payload bytes
bool g_recording = false;         // Open set the writer up; OnEvent keeps frames
bool g_closing = false;           // Close began: nothing new is kept
std::map<uint32_t, Feed> g_feeds; // by camera number
uint64_t g_recorded = 0, g_recordedAudio = 0, g_skipped = 0;
unsigned g_searches = 0;             // OnSearch calls in progress
std::string g_root;                  // absolute recording root, set by Open; empty before
std::atomic<bool> g_stopping{false}; // searches end at their next result

std::thread g_writer; // touched only by Open and Close (main thread)

void WriteLoop(std::unique_ptr<recorder::SegmentRecorder> segments) {
  auto tick = std::chrono::steady_clock::now() + 1s;
  for (;;) {
    // About once a second, busy or not: retention by age, the disk-full retry.
    if (std::chrono::steady_clock::now() >= tick) {
      tick = std::chrono::steady_clock::now() + 1s;
      segments->Tick(NowMicros());
    }
    Kept item;
    {
      std::unique_lock lock(g_mutex);
      g_changed.wait_until(lock, tick, [] { return !g_queue.empty() || g_closing; });
      if (g_queue.empty()) {
        if (g_closing) break;
        continue;
      }
      item = g_queue.front();
      g_queue.pop_front();
      g_queuedBytes -= item.frame.length;
    }
    bool stored = true;
    if (item.alarm) {
      segments->Alarm(
          item.frame.source, item.receivedMicros,
          std::string(reinterpret_cast<const char*>(item.frame.data), item.frame.length));
    } else {
      stored = segments->Write(item.frame);
    }
    Release(item.frame.data);
    std::lock_guard lock(g_mutex);
    if (!item.alarm) ++(!stored ? g_skipped : item.frame.audio ? g_recordedAudio : g_recorded);
  }
  segments->Stop();
}

} // namespace

RK_PLUGIN_EXPORT int32_t Load(const LoadParams* params, PluginInfo* info) {
  g_post = params->postEvent;
  info->pluginId = kId;
  info->acceptVideo = RK_ACCEPT_LIVE | RK_ACCEPT_STORED; // records live, provides stored
  info->acceptAudio = RK_ACCEPT_LIVE | RK_ACCEPT_STORED;
  info->acceptAlarm = RK_ACCEPT_LIVE | RK_ACCEPT_STORED;
  return 0;
}

RK_PLUGIN_EXPORT int32_t Unload(const UnloadParams*, UnloadResult*) {
  return 0;
}

RK_PLUGIN_EXPORT int32_t Open(const OpenParams*, OpenResult*) {
  try {
    std::string warning;
    recorder::RecorderConfig config = recorder::ReadRecorderConfig("recorder.xml", warning);
    if (!warning.empty()) Log(recorder::kWarning, "recorder: " + warning);
    if (config.root.front() != '/') {
      char cwd[PATH_MAX];
      config.root =
          std::string(::getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".") + "/" + config.root;
    }
    {
      // Searches are answered (at least with their end record) whatever happens below.
      std::lock_guard lock(g_mutex);
      g_root = config.root;
    }
    auto segments = std::make_unique<recorder::SegmentRecorder>(config, Log, PostAlarm);
    std::string error;
    if (!segments->Start(error)) {
      Log(recorder::kError, "recorder: cannot record: " + error);
      return 0;
    }
    g_writer = std::thread(WriteLoop, std::move(segments));
    {
      std::lock_guard lock(g_mutex);
      g_recording = true;
    }
    Log(recorder::kInfo,
        "recorder: recording to " + config.root + " in segments of " +
            std::to_string(config.segmentSeconds) + " s" +
            (config.maxBytes ? ", at most " + std::to_string(config.maxBytes) + " bytes" : "") +
            (config.maxDays ? ", at most " + std::to_string(config.maxDays) + " days" : ""));
  } catch (...) {
    // No memory or no thread: nothing is recorded, the core runs on.
  }
  return 0;
}

RK_PLUGIN_EXPORT int32_t Close(const CloseParams*, CloseResult*) {
  g_stopping = true;
  {
    std::lock_guard lock(g_mutex);
    g_closing = true;
  }
  g_changed.notify_all();
  // The writer stores and releases what is still queued, finishes its
  // segments, then returns.
  if (g_writer.joinable()) g_writer.join();
  uint64_t recorded, recordedAudio, skipped;
  {
    // Searches end at their next post; wait for them so that nothing runs in
    // this library after Unload.
    std::unique_lock lock(g_mutex);
    g_changed.wait_for(lock, 5s, [] { return g_searches == 0; });
    recorded = g_recorded;
    recordedAudio = g_recordedAudio;
    skipped = g_skipped;
  }
  Log(recorder::kInfo, "recorder: " + std::to_string(recorded) + " video and " +
                           std::to_string(recordedAudio) + " audio frames recorded, " +
                           std::to_string(skipped) + " not recorded");
  return 0;
}

RK_PLUGIN_EXPORT uint8_t OnEvent(const EventParms* e, const EventParms*) {
  if (e == nullptr || IsStored(*e) || e->data == nullptr || e->length == 0) return 0;
  Kept item;
  item.frame.source = e->source;
  item.frame.data = static_cast<const uint8_t*>(e->data);
  item.frame.length = e->length;
  if (e->type == RK_TYPE_ALARM) {
    item.alarm = true;
    item.receivedMicros = NowMicros();
  } else if ((e->type == RK_TYPE_VIDEO || e->type == RK_TYPE_AUDIO) && !IsOutput(*e)) {
    const MediaInfo& info = MediaInfoOf(*e);
    item.frame.audio = e->type == RK_TYPE_AUDIO;
    // Audio of any codec is kept: the writer says once per camera what it cannot record.
    if (!item.frame.audio && info.codec != RK_CODEC_H264 && info.codec != RK_CODEC_H265) return 0;
    if (info.camera == 0 || info.camera > 65535) return 0;
    item.frame.camera = info.camera;
    item.frame.codec = info.codec;
    item.frame.width = info.width;
    item.frame.height = info.height;
    item.frame.pts = info.pts;
    item.frame.key = IsKeyFrame(*e);
    item.frame.micros = info.captureMicros != 0 ? info.captureMicros
                                                : static_cast<int64_t>(e->media.seconds) * 1000000 +
                                                      e->media.milliseconds * 1000;
  } else {
    return 0;
  }
  bool otherSender = false; // log it, once per camera
  try {
    std::lock_guard lock(g_mutex);
    if (!g_recording || g_closing) return 0;
    if (!item.alarm) {
      Feed& feed = g_feeds[item.frame.camera];
      if (!feed.known) {
        feed.known = true;
        feed.source = e->source;
      }
      if (feed.source != e->source) {
        // Two senders with one camera number would share one file: the first keeps it.
        ++g_skipped;
        if (feed.warned) return 0;
        feed.warned = otherSender = true;
      } else if (item.frame.audio) {
        if (g_queuedBytes + e->length > kMaxQueuedBytes) {
          ++g_skipped;
          return 0;
        }
      } else {
        if (feed.gap && item.frame.key) feed.gap = false;
        if (!feed.gap && g_queuedBytes + e->length > kMaxQueuedBytes) feed.gap = true;
        if (feed.gap) {
          ++g_skipped;
          return 0;
        }
      }
    }
    if (!otherSender) {
      g_queue.push_back(item);
      g_queuedBytes += e->length;
    }
  } catch (...) {
    return 0;
  }
  if (otherSender) {
    Log(recorder::kWarning, "recorder: camera " + std::to_string(item.frame.camera) +
                                " also comes from another plug-in: only the first is recorded");
    return 0;
  }
  g_changed.notify_all();
  return 1; // keep: the writer posts the decref
}

RK_PLUGIN_EXPORT int32_t OnSearch(const EventParms* request, const EventParms*) {
  if (request == nullptr || !IsMediaSearch(request->data, request->length)) return 0;
  MediaSearch criteria;
  std::memcpy(&criteria, request->data, sizeof criteria);
  std::string root;
  {
    std::lock_guard lock(g_mutex);
    if (g_closing || g_root.empty()) return 0;
    root = g_root;
    ++g_searches;
  }
  recorder::SearchOutcome outcome;
  try {
    outcome = recorder::AnswerMediaSearch(root, criteria, *request, kId, g_post, g_stopping, Log);
  } catch (...) {
    // Out of memory: the search ends early.
  }
  char line[160];
  std::snprintf(
      line, sizeof line, "recorder: search %04x: sent %llu frames (%llu audio) and %llu alarms%s",
      static_cast<unsigned>(request->request & 0xFFFFFFFF),
      static_cast<unsigned long long>(outcome.frames + outcome.audioFrames),
      static_cast<unsigned long long>(outcome.audioFrames),
      static_cast<unsigned long long>(outcome.alarms), outcome.cancelled ? ", cancelled" : "");
  Log(recorder::kInfo, line);
  std::lock_guard lock(g_mutex);
  --g_searches;
  g_changed.notify_all(); // Close may be waiting for us
  return 0;
}
