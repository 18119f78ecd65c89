// Sample plug-in, role "camera": a simulated video source.
//
// On the worker thread the core gives it (worker flag + IOCTL code 1) it posts
// live video at 25 frames per second, synthetic frames of 40,000 bytes with a
// key frame every second, and an alarm record every 7 seconds. It accepts no
// events itself.
//
// Two post results matter to a live source:
//   5 (throttled): the core is short of memory and refused the frame. Frames
//     that follow a lost frame cannot be decoded, so the camera skips ahead to
//     the next key frame and tries again from there.
//   1 (refused): the core is stopping. Nothing more is accepted; the camera
//     stops posting and waits for Close.
//
// Threads: Load/Open/Close/Unload on the core's main thread, IOCTL 1 on the
// worker thread, which runs from before Open until Close.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "rk/core/sdk.h"

using namespace rk::core;
using namespace std::chrono_literals;

namespace {

constexpr uint64_t kId = RK_ID_WORD(0x03); // plug-in id 03
constexpr int kFramesPerSecond = 25;
constexpr auto kFramePeriod = std::chrono::microseconds(1000000 / kFramesPerSecond);
constexpr size_t kFrameBytes = 40000;
constexpr int kAlarmEveryFrames = 7 * kFramesPerSecond;

PostEventFn g_post = nullptr; // set by Load before any thread exists, then only read

// Owned by the plug-in; guarded by g_mutex, which is never held while posting.
std::mutex g_mutex;
std::condition_variable g_changed;
bool g_open = false;   // Open was called
bool g_closed = false; // Close was called: the worker returns

void Log(int32_t level, const std::string& text) {
  LogEvt e;
  e.flags |= RK_FLAG_CONSOLE; // the core prints it on its console too
  e.source = kId;
  e.level = static_cast<uint32_t>(level);
  e.data = text.data();
  e.length = static_cast<uint32_t>(text.size());
  g_post(&e);
}

// Fills `frame` with a recognisable pattern: a short text naming the frame,
// then bytes derived from the frame number.
void PaintFrame(std::vector<unsigned char>& frame, uint64_t number, bool key) {
  char head[64];
  const int n = std::snprintf(head, sizeof head, "%s frame %llu ", key ? "key" : "delta",
                              static_cast<unsigned long long>(number));
  for (size_t i = 0; i < frame.size(); ++i) {
    frame[i] = i < static_cast<size_t>(n) ? static_cast<unsigned char>(head[i])
                                          : static_cast<unsigned char>((number + i) & 0xFF);
  }
}

// Posts one live video frame stamped with the wall-clock time `now`.
uint32_t PostFrame(const std::vector<unsigned char>& frame, bool key,
                   std::chrono::system_clock::time_point now) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
  VideoEvt e; // type 1, flags 0x1000000 (live)
  e.source = kId;
  e.data = frame.data();
  e.length = static_cast<uint32_t>(frame.size());
  e.media.seconds = static_cast<uint64_t>(ms.count() / 1000);
  e.media.milliseconds = static_cast<uint16_t>(ms.count() % 1000);
  e.media.frameType = key ? 1 : 2; // low two bits == 1: key frame
  return g_post(&e);               // the core copies the frame before returning
}

uint32_t PostAlarm(uint64_t number, std::chrono::system_clock::time_point now) {
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  char xml[160];
  const int n = std::snprintf(xml, sizeof xml,
                              "<Alarm Source=\"camera\" Input=\"1\" State=\"on\" Number=\"%llu\" "
                              "Time=\"%lld\"/>",
                              static_cast<unsigned long long>(number), static_cast<long long>(t));
  AlarmEvt e; // type 4, flags 0x1000000 (live), XML payload
  e.source = kId;
  e.data = xml;
  e.length = static_cast<uint32_t>(n);
  return g_post(&e);
}

// The worker: waits for Open, then streams until Close (or until the core
// refuses everything because it stops).
void Stream() {
  {
    std::unique_lock lock(g_mutex);
    g_changed.wait(lock, [] { return g_open || g_closed; });
    if (g_closed) return;
  }
  std::vector<unsigned char> frame(kFrameBytes);
  bool skipToKey = false; // throttled: wait for the next key frame
  uint64_t skipped = 0, alarms = 0;
  auto due = std::chrono::steady_clock::now();
  for (uint64_t number = 0;; ++number) {
    const bool key = number % kFramesPerSecond == 0;
    const auto now = std::chrono::system_clock::now();
    uint32_t result = RK_POST_OK;
    if (skipToKey && !key) {
      ++skipped;
    } else {
      PaintFrame(frame, number, key);
      result = PostFrame(frame, key, now);
      if (result == RK_POST_THROTTLED) {
        if (!skipToKey) Log(50, "camera: throttled by the core, skipping to the next key frame");
        skipToKey = true;
        ++skipped;
      } else if (result == RK_POST_OK && skipToKey) {
        skipToKey = false;
        Log(25, "camera: streaming again after " + std::to_string(skipped) + " skipped frames");
        skipped = 0;
      }
    }
    if (result != RK_POST_REFUSED && number % kAlarmEveryFrames == kAlarmEveryFrames - 1)
      result = PostAlarm(++alarms, now);
    if (result == RK_POST_REFUSED) break; // the core stops: nothing is accepted any more

    // Keep the 25 Hz beat; after a long stall start afresh instead of bursting.
    due += kFramePeriod;
    if (std::chrono::steady_clock::now() - due > 1s) due = std::chrono::steady_clock::now();
    std::unique_lock lock(g_mutex);
    if (g_changed.wait_until(lock, due, [] { return g_closed; })) return;
  }
  std::unique_lock lock(g_mutex);
  g_changed.wait(lock, [] { return g_closed; });
}

} // namespace

RK_PLUGIN_EXPORT int32_t Load(const LoadParams* params, PluginInfo* info) {
  g_post = params->postEvent;
  info->pluginId = kId;
  info->workerFlag = 1; // IOCTL code 1 on a thread of its own
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
  char line[128];
  std::snprintf(line, sizeof line,
                "camera: streaming %d frames/s of %zu KB, a key frame every second and an "
                "alarm every %d s",
                kFramesPerSecond, kFrameBytes / 1000, kAlarmEveryFrames / kFramesPerSecond);
  Log(25, line);
  return 0;
}

RK_PLUGIN_EXPORT int32_t Close(const CloseParams*, CloseResult*) {
  {
    std::lock_guard lock(g_mutex);
    g_closed = true;
  }
  g_changed.notify_all(); // the worker returns; the core waits for it before Unload
  return 0;
}

RK_PLUGIN_EXPORT int32_t IOCTL(const IoctlParams* params, IoctlResult*) {
  if (params != nullptr && params->code == RK_IOCTL_WORKER) Stream();
  return 0;
}
