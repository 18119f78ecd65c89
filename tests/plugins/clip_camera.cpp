// The clip camera: a test plug-in (id 0) that plays a prepared H.264 clip
// (Annex B with an access unit delimiter before each frame and the parameter
// sets on every key frame) as live video of one or more cameras at a steady
// rate, then runs media searches and writes what came back.
//
// Configuration: "clipcam.cfg" in the working directory, "key value" lines:
//   clip <path>  cameras <n>  names <a,b,..>  fps <n>  seconds <s>
//   search<i> <camera> <kinds> <from offset ms> <to offset ms> [cancel after n results]
// (offsets from the first frame's capture time; searches run one after the
// other once the frames are posted). Output: "clipcam.out", one line each:
//   start micros=<t>         (the time the search offsets count from)
//   frame camera=<n> key=<0|1> micros=<t> len=<bytes>
//   result search=<i> type=<t> camera=<n> key=<0|1> micros=<t> len=<bytes> end=<0|1>
//          codec=<c> pts=<p>
// and the payloads of stored audio results, one after the other, in
// "clipcam-<i>.audio".
//   cancelled search=<i>
//   alarm <payload>          (live alarms of other plug-ins)
//   done
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "rk/core/sdk.h"

using namespace rk::core;
using namespace std::chrono_literals;

namespace {

PostEventFn g_post = nullptr;
std::map<std::string, std::string> g_config; // written by Open before the thread starts
std::thread g_player;

std::mutex g_mutex; // guards everything below and the output file
std::condition_variable g_changed;
FILE* g_out = nullptr;
bool g_closing = false;
uint32_t g_search = 0;  // the search running, 0 = none
uint32_t g_results = 0; // of the running search
uint32_t g_cancelAfter = 0;
bool g_searchOver = false; // end record seen or cancelled

int64_t NowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void Write(const std::string& line) {
  std::lock_guard lock(g_mutex);
  if (g_out == nullptr) return;
  std::fputs((line + "\n").c_str(), g_out);
  std::fflush(g_out);
}

// The clip's access units: each starts at an access unit delimiter.
std::vector<std::string> AccessUnits(const std::string& clip) {
  std::vector<std::string> units;
  const std::string delimiter("\0\0\0\1\x09", 5);
  size_t at = clip.find(delimiter);
  while (at != std::string::npos) {
    const size_t next = clip.find(delimiter, at + 5);
    units.push_back(clip.substr(at, next == std::string::npos ? std::string::npos : next - at));
    at = next;
  }
  return units;
}

bool IsKey(const std::string& unit) {
  // An IDR slice (type 5) anywhere in the unit.
  for (size_t i = 0; i + 3 < unit.size(); ++i)
    if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1 && (unit[i + 3] & 0x1F) == 5)
      return true;
  return false;
}

std::vector<std::string> Split(const std::string& text, char by) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, by);)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

bool Sleep(std::chrono::microseconds how) {
  std::unique_lock lock(g_mutex);
  return !g_changed.wait_for(lock, how, [] { return g_closing; });
}

void Play() {
  std::ifstream in(g_config["clip"], std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  const auto units = AccessUnits(bytes.str());
  const int cameras = std::stoi(g_config.count("cameras") ? g_config["cameras"] : "1");
  const auto names = Split(g_config["names"], ',');
  const int fps = std::stoi(g_config.count("fps") ? g_config["fps"] : "10");
  const double seconds = std::stod(g_config.count("seconds") ? g_config["seconds"] : "3");
  if (units.empty()) {
    Write("error no access units in " + g_config["clip"]);
    return;
  }
  for (int c = 1; c <= cameras; ++c) {
    const std::string xml =
        "<?xml version=\"1.0\"?><Varn><Camera Number=\"" + std::to_string(c) + "\" Name=\"" +
        (c <= static_cast<int>(names.size()) ? names[c - 1] : "") + "\" State=\"online\"/></Varn>";
    AlarmEvt e;
    e.source = 0;
    e.data = xml.data();
    e.length = static_cast<uint32_t>(xml.size());
    g_post(&e);
  }
  const int total = static_cast<int>(seconds * fps);
  const auto interval = std::chrono::microseconds(1000000 / fps);
  const int64_t first = NowMicros();
  Write("start micros=" + std::to_string(first));
  auto next = std::chrono::steady_clock::now();
  for (int i = 0; i < total; ++i) {
    const std::string& unit = units[static_cast<size_t>(i) % units.size()];
    const int64_t micros = first + i * interval.count();
    for (int c = 1; c <= cameras; ++c) {
      VideoEvt e;
      e.source = 0;
      e.data = unit.data();
      e.length = static_cast<uint32_t>(unit.size());
      e.media.seconds = static_cast<uint64_t>(micros / 1000000);
      e.media.milliseconds = static_cast<uint16_t>(micros / 1000 % 1000);
      e.media.frameType = IsKey(unit) ? RK_FRAME_KEY : 2;
      MediaInfo& info = MediaInfoOf(e);
      info.camera = static_cast<uint32_t>(c);
      info.codec = RK_CODEC_H264;
      info.width = 160;
      info.height = 120;
      info.pts = (micros - first) * 9 / 100;
      info.captureMicros = micros;
      const uint32_t posted = g_post(&e);
      Write("frame camera=" + std::to_string(c) + " key=" + std::to_string(IsKey(unit)) +
            " micros=" + std::to_string(micros) + " len=" + std::to_string(unit.size()) +
            " posted=" + std::to_string(posted));
    }
    next += interval;
    std::unique_lock lock(g_mutex);
    if (g_changed.wait_until(lock, next, [] { return g_closing; })) return;
  }
  // Let the writer close the last complete fragment.
  if (!Sleep(300ms)) return;
  for (uint32_t s = 1; g_config.count("search" + std::to_string(s)); ++s) {
    const auto f = Split(g_config["search" + std::to_string(s)], ' ');
    if (f.size() < 4) break;
    const MediaSearch criteria = MakeMediaSearch(
        static_cast<uint32_t>(std::stoul(f[0])), static_cast<uint32_t>(std::stoul(f[1])),
        first + std::stoll(f[2]) * 1000, first + std::stoll(f[3]) * 1000);
    {
      std::lock_guard lock(g_mutex);
      g_search = s;
      g_results = 0;
      g_cancelAfter = f.size() > 4 ? static_cast<uint32_t>(std::stoul(f[4])) : 0;
      g_searchOver = false;
    }
    EventParms e;
    InitEvent(e);
    e.type = RK_TYPE_VIDEO;
    e.flags = RK_FLAG_LIVE;
    e.source = 0;
    e.request = s; // the search id; bits 16-23 name us, id 0
    e.data = &criteria;
    e.length = sizeof criteria;
    g_post(&e);
    std::unique_lock lock(g_mutex);
    // A cancelled search sends nothing more: give stray results a moment.
    g_changed.wait_for(lock, 5s, [] { return g_searchOver || g_closing; });
    if (g_closing) return;
    lock.unlock();
    if (!Sleep(500ms)) return;
  }
  Write("done");
}

} // namespace

RK_PLUGIN_EXPORT int32_t Load(const LoadParams* params, PluginInfo* info) {
  g_post = params->postEvent;
  info->pluginId = 0; // id 0: the one sender whose records start searches
  info->acceptAlarm = RK_ACCEPT_LIVE;
  return 0;
}

RK_PLUGIN_EXPORT int32_t Unload(const UnloadParams*, UnloadResult*) {
  return 0;
}

RK_PLUGIN_EXPORT int32_t Open(const OpenParams*, OpenResult*) {
  std::ifstream in("clipcam.cfg");
  for (std::string line; std::getline(in, line);) {
    const size_t space = line.find(' ');
    if (space != std::string::npos) g_config[line.substr(0, space)] = line.substr(space + 1);
  }
  {
    std::lock_guard lock(g_mutex);
    g_out = std::fopen("clipcam.out", "w");
  }
  g_player = std::thread(Play);
  return 0;
}

RK_PLUGIN_EXPORT int32_t Close(const CloseParams*, CloseResult*) {
  {
    std::lock_guard lock(g_mutex);
    g_closing = true;
  }
  g_changed.notify_all();
  if (g_player.joinable()) g_player.join();
  std::lock_guard lock(g_mutex);
  if (g_out != nullptr) std::fclose(g_out);
  g_out = nullptr;
  return 0;
}

RK_PLUGIN_EXPORT uint8_t OnEvent(const EventParms* e, const EventParms*) {
  if (!IsStored(*e)) {
    if (e->type == RK_TYPE_ALARM && e->source != 0 && e->data != nullptr)
      Write("alarm " + std::string(static_cast<const char*>(e->data), e->length));
    return 0;
  }
  const MediaInfo& info = MediaInfoOf(*e);
  const bool end = (info.mediaInfoFlags & RK_MEDIA_INFO_END) != 0;
  bool cancel = false;
  uint32_t search;
  {
    std::lock_guard lock(g_mutex);
    search = static_cast<uint32_t>(e->request & 0xFFFF);
    if (g_out != nullptr)
      std::fprintf(g_out,
                   "result search=%u type=%llu camera=%u key=%d micros=%lld len=%u end=%d "
                   "codec=%u pts=%lld\n",
                   search, static_cast<unsigned long long>(e->type), info.camera,
                   IsKeyFrame(*e) ? 1 : 0, static_cast<long long>(info.captureMicros), e->length,
                   end ? 1 : 0, info.codec, static_cast<long long>(info.pts));
    if (e->type == RK_TYPE_AUDIO && e->length > 0) {
      std::ofstream audio("clipcam-" + std::to_string(search) + ".audio",
                          std::ios::binary | std::ios::app);
      audio.write(static_cast<const char*>(e->data), e->length);
    }
    if (search == g_search) {
      ++g_results;
      if (end) g_searchOver = true;
      cancel = g_cancelAfter != 0 && g_results == g_cancelAfter;
    }
  }
  if (cancel) {
    EventParms c;
    InitEvent(c);
    c.type = RK_TYPE_CANCEL;
    c.source = 0;
    c.request = search;
    g_post(&c);
    {
      std::lock_guard lock(g_mutex);
      if (g_out != nullptr) std::fprintf(g_out, "cancelled search=%u\n", search);
      g_searchOver = true;
    }
  }
  if (end || cancel) g_changed.notify_all();
  return 0;
}
