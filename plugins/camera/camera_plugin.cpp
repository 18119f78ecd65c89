// Sample plug-in, role "camera": a simulated video source, built on the C++
// base (rk/core/plugin.hpp).
//
// On its worker thread it posts live video at 25 frames per second, synthetic
// frames of 40,000 bytes with a key frame every second, and an alarm record
// every 7 seconds. It accepts no events itself.
//
// Two post results matter to a live source:
//   5 (throttled): the core is short of memory and refused the frame. Frames
//     that follow a lost frame cannot be decoded, so the camera skips ahead to
//     the next key frame and tries again from there.
//   1 (refused): the core is stopping; the base sets the stop token.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include "rk/core/plugin.hpp"

using namespace rk::core;
using namespace std::chrono_literals;

namespace {

constexpr int kFramesPerSecond = 25;
constexpr auto kFramePeriod = std::chrono::microseconds(1000000 / kFramesPerSecond);
constexpr size_t kFrameBytes = 40000;
constexpr int kAlarmEveryFrames = 7 * kFramesPerSecond;

// A recognisable pattern: a short text naming the frame, then bytes derived
// from the frame number.
void PaintFrame(std::vector<unsigned char>& frame, uint64_t number, bool key) {
  char head[64];
  const int n = std::snprintf(head, sizeof head, "%s frame %llu ", key ? "key" : "delta",
                              static_cast<unsigned long long>(number));
  for (size_t i = 0; i < frame.size(); ++i) {
    frame[i] = i < static_cast<size_t>(n) ? static_cast<unsigned char>(head[i])
                                          : static_cast<unsigned char>((number + i) & 0xFF);
  }
}

class Camera : public Plugin {
public:
  Camera() : Plugin(0x03, "camera") { EchoLogToConsole(true); }

  int32_t OnLoad(PluginInfo& info) override {
    info.workerFlag = 1;
    return 0;
  }

  void OnOpen() override {
    Log(kInfo, "streaming %d frames/s of %zu KB, a key frame every second and an alarm every %d s",
        kFramesPerSecond, kFrameBytes / 1000, kAlarmEveryFrames / kFramesPerSecond);
  }

  void Run(const StopToken& stop) override {
    std::vector<unsigned char> frame(kFrameBytes);
    bool skipToKey = false; // throttled: wait for the next key frame
    uint64_t skipped = 0, alarms = 0;
    auto due = std::chrono::steady_clock::now();
    for (uint64_t number = 0; !stop.StopRequested(); ++number) {
      const bool key = number % kFramesPerSecond == 0;
      if (skipToKey && !key) {
        ++skipped;
      } else {
        PaintFrame(frame, number, key);
        MediaFrame f;
        f.data = frame.data();
        f.length = static_cast<uint32_t>(frame.size());
        f.codec = RK_CODEC_NONE; // synthetic bytes, no real codec
        f.key = key;
        f.pts = static_cast<int64_t>(number) * 90000 / kFramesPerSecond;
        const uint32_t result = PostVideo(f); // the core copies the frame before returning
        if (result == RK_POST_THROTTLED) {
          if (!skipToKey) Log(kWarning, "throttled by the core, skipping to the next key frame");
          skipToKey = true;
          ++skipped;
        } else if (result == RK_POST_OK && skipToKey) {
          skipToKey = false;
          Log(kInfo, "streaming again after %llu skipped frames",
              static_cast<unsigned long long>(skipped));
          skipped = 0;
        }
      }
      if (number % kAlarmEveryFrames == kAlarmEveryFrames - 1) PostAlarmNumber(++alarms);

      // Keep the 25 Hz beat; after a long stall start afresh instead of bursting.
      due += kFramePeriod;
      if (std::chrono::steady_clock::now() - due > 1s) due = std::chrono::steady_clock::now();
      stop.WaitUntil(due);
    }
  }

private:
  void PostAlarmNumber(uint64_t number) {
    char xml[160];
    const int n = std::snprintf(xml, sizeof xml,
                                "<Alarm Source=\"camera\" Input=\"1\" State=\"on\" Number=\"%llu\" "
                                "Time=\"%lld\"/>",
                                static_cast<unsigned long long>(number),
                                static_cast<long long>(std::time(nullptr)));
    PostAlarm({xml, static_cast<size_t>(n)});
  }
};

} // namespace

RK_PLUGIN(Camera)
