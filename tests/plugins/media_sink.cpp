// The media sink: a test plug-in that takes live video, audio and alarms and
// writes one line per record to "<file name>.media":
//   Video camera=1 codec=1 key=1 len=4711 w=320 h=180 pts=... capture=... ms=... nals=7,8,5
//   Alarm source=0xc0000 text=<?xml ...>
// (`nals`: the H.264/H.265 NAL unit types of key frames, in order.)
// With "store 1" in "<file name>.cfg" it also keeps the last 30 s of video in
// memory and answers media searches from it, as a recorder would: frames from
// the key frame at or before `fromMicros` to `toMicros`, then the end record.
// With "ballast <MiB>" it allocates that much once 50 live video frames have
// arrived (writing "Ballast held"), and frees it when the core announces that
// it throttles (writing "Ballast released"): a plug-in that runs the core out
// of memory for a moment.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "rk/core/sdk.h"

using namespace rk::core;

namespace {

constexpr int64_t kKeptMicros = 30000000;

struct Frame {
  EventParms record;            // as received; `data` is not valid
  std::vector<uint8_t> payload; // a copy
};

PostEventFn g_post = nullptr;
uint64_t g_id = kIdNone;
bool g_store = false;
int g_fd = -1;              // the lines file; written under g_mutex
std::mutex g_mutex;         // guards g_fd writes and g_frames
std::deque<Frame> g_frames; // stored video, oldest first

// The dispatch thread's only (OnEvent).
constexpr uint64_t kBallastAfterFrames = 50;
size_t g_ballastBytes = 0;
uint64_t g_liveVideo = 0;
void* g_ballast = nullptr;
bool g_ballastDone = false;

std::string OwnName() {
  Dl_info info{};
  dladdr(reinterpret_cast<void*>(&OwnName), &info);
  std::string path = info.dli_fname ? info.dli_fname : "media_sink.so";
  return path.substr(path.find_last_of('/') + 1);
}

std::string NalTypes(const EventParms& e) {
  const auto* p = static_cast<const uint8_t*>(e.data);
  const bool hevc = MediaInfoOf(e).codec == RK_CODEC_H265;
  std::string out;
  for (uint32_t i = 0; i + 3 < e.length; ++i) {
    if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1) continue;
    const int type = hevc ? (p[i + 3] >> 1) & 0x3F : p[i + 3] & 0x1F;
    out += (out.empty() ? "" : ",") + std::to_string(type);
    i += 2;
  }
  return out.empty() ? "none" : out;
}

void Write(const std::string& line) {
  const std::string text = line + "\n";
  std::lock_guard lock(g_mutex);
  if (g_fd >= 0) (void)!::write(g_fd, text.data(), text.size());
}

void Describe(const EventParms& e, const char* kind) {
  const MediaInfo& m = MediaInfoOf(e);
  char head[320];
  std::snprintf(head, sizeof head,
                "%s camera=%u codec=%u key=%d len=%u w=%u h=%u pts=%lld capture=%lld ms=%llu "
                "flags=%u",
                kind, m.camera, m.codec, IsKeyFrame(e) ? 1 : 0, e.length, m.width, m.height,
                static_cast<long long>(m.pts), static_cast<long long>(m.captureMicros),
                static_cast<unsigned long long>(e.media.seconds * 1000 + e.media.milliseconds),
                m.mediaInfoFlags);
  std::string line = head;
  if (IsKeyFrame(e) && BaseType(e) == RK_TYPE_VIDEO && e.data != nullptr)
    line += " nals=" + NalTypes(e);
  Write(line);
}

void Store(const EventParms& e) {
  Frame frame{e, std::vector<uint8_t>(static_cast<const uint8_t*>(e.data),
                                      static_cast<const uint8_t*>(e.data) + e.length)};
  std::lock_guard lock(g_mutex);
  g_frames.push_back(std::move(frame));
  const int64_t newest = MediaInfoOf(e).captureMicros;
  while (!g_frames.empty() &&
         MediaInfoOf(g_frames.front().record).captureMicros < newest - kKeptMicros)
    g_frames.pop_front();
}

} // namespace

RK_PLUGIN_EXPORT int32_t Load(const LoadParams* params, PluginInfo* info) {
  const std::string name = OwnName();
  std::ifstream cfg(name + ".cfg");
  for (std::string key, value; cfg >> key >> value;) {
    if (key == "id") g_id = std::strtoull(value.c_str(), nullptr, 0);
    if (key == "store") g_store = value == "1";
    if (key == "ballast") g_ballastBytes = std::strtoull(value.c_str(), nullptr, 0) << 20;
  }
  g_fd = ::open((name + ".media").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  g_post = params->postEvent;
  info->pluginId = g_id;
  info->acceptVideo = RK_ACCEPT_LIVE | (g_store ? RK_ACCEPT_STORED : 0);
  info->acceptAudio = RK_ACCEPT_LIVE;
  info->acceptAlarm = RK_ACCEPT_LIVE;
  return 0;
}

RK_PLUGIN_EXPORT int32_t Unload(const UnloadParams*, UnloadResult*) {
  std::lock_guard lock(g_mutex);
  if (g_fd >= 0) ::close(g_fd);
  g_fd = -1;
  g_frames.clear();
  std::free(g_ballast);
  g_ballast = nullptr;
  return 0;
}

RK_PLUGIN_EXPORT int32_t Open(const OpenParams*, OpenResult*) {
  return 0;
}
RK_PLUGIN_EXPORT int32_t Close(const CloseParams*, CloseResult*) {
  return 0;
}

RK_PLUGIN_EXPORT uint8_t OnEvent(const EventParms* e, const EventParms*) {
  if (BaseType(*e) == RK_TYPE_ALARM) {
    char head[64];
    std::snprintf(head, sizeof head,
                  "Alarm source=0x%llx text=", static_cast<unsigned long long>(e->source));
    const std::string text(static_cast<const char*>(e->data), e->data ? e->length : 0);
    Write(head + text);
    if (g_ballast != nullptr && text.find("<Memory ") != std::string::npos &&
        text.find("Throttling=\"1\"") != std::string::npos) {
      std::free(g_ballast);
      g_ballast = nullptr;
      Write("Ballast released");
    }
  } else if (IsLive(*e) && (BaseType(*e) == RK_TYPE_VIDEO || BaseType(*e) == RK_TYPE_AUDIO)) {
    Describe(*e, BaseType(*e) == RK_TYPE_VIDEO ? "Video" : "Audio");
    if (BaseType(*e) == RK_TYPE_VIDEO && g_ballastBytes > 0 && !g_ballastDone &&
        ++g_liveVideo >= kBallastAfterFrames) {
      g_ballast = std::malloc(g_ballastBytes);
      g_ballastDone = true;
      Write(g_ballast != nullptr ? "Ballast held" : "Ballast failed");
    }
    if (g_store && BaseType(*e) == RK_TYPE_VIDEO && e->data != nullptr) Store(*e);
  }
  return 0;
}

RK_PLUGIN_EXPORT int32_t OnSearch(const EventParms* request, const EventParms*) {
  if (!g_store || !IsMediaSearch(request->data, request->length)) return 0;
  MediaSearch criteria;
  std::memcpy(&criteria, request->data, sizeof criteria);
  std::vector<Frame> found;
  {
    std::lock_guard lock(g_mutex);
    for (uint32_t camera = 1; camera <= 16; ++camera) {
      if (criteria.camera != 0 && criteria.camera != camera) continue;
      size_t start = g_frames.size();
      for (size_t i = 0; i < g_frames.size(); ++i) {
        const Frame& f = g_frames[i];
        const MediaInfo& m = MediaInfoOf(f.record);
        if (m.camera != camera || !IsKeyFrame(f.record)) continue;
        if (m.captureMicros > criteria.fromMicros && start != g_frames.size()) break;
        start = i;
      }
      for (size_t i = start; i < g_frames.size(); ++i) {
        const MediaInfo& m = MediaInfoOf(g_frames[i].record);
        if (m.camera == camera && m.captureMicros <= criteria.toMicros)
          found.push_back(g_frames[i]);
      }
    }
  }
  Write("Search from=" + std::to_string(criteria.fromMicros) +
        " frames=" + std::to_string(found.size()));
  for (Frame& f : found) {
    StoredVideoEvt r;
    std::memcpy(r.derived, f.record.derived, sizeof r.derived);
    r.source = g_id;
    r.request = request->request;
    r.data = f.payload.data();
    r.length = static_cast<uint32_t>(f.payload.size());
    if (g_post(&r) != RK_POST_OK) return 0; // cancelled
  }
  StoredVideoEvt end;
  end.source = g_id;
  end.request = request->request;
  MediaInfoOf(end).mediaInfoFlags = RK_MEDIA_INFO_END;
  g_post(&end);
  return 0;
}
