#pragma once
// One camera: a thread that connects with libavformat, demultiplexes (no
// decoding) and posts every access unit as a live video or audio record with
// the media description, and reports the camera's state as alarms.
//
// Threads: the camera thread runs Run() from Start() until it returns; the
// plug-in's entry points (the core's main thread) call Start, RequestStop and
// Join. `stop_` is the only state both touch: an atomic, with `mutex_`/`wake_`
// so that waits (back-off, pacing) end at once. libavformat's interrupt
// callback runs on the camera thread and reads `stop_` and `deadline_`, so a
// connection that hangs ends within its polling interval (100 ms) of a stop.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipcam/camera_list.h"
#include "rk/core/sdk.h"

namespace ipcam {

// Plug-in log levels.
enum LogLevel : int32_t { kDebug = 0, kInfo = 25, kWarning = 50, kError = 75 };
using LogFn = std::function<void(int32_t level, const std::string& text)>;

// Timing of reconnection; fixed for cameras, shorter only in unit checks.
struct Timing {
  std::chrono::milliseconds stall{5000};      // no packet (or no answer) for this long: offline
  std::chrono::milliseconds firstRetry{1000}; // back-off after the first failure, doubling
  std::chrono::milliseconds longestRetry{30000};
};

// Counts kept by the camera thread, read after Join.
struct CameraCounts {
  uint64_t videoPosted = 0;
  uint64_t audioPosted = 0;
  uint64_t droppedThrottled = 0; // refused (5) frames and those skipped up to the next key frame
  uint64_t connections = 0;      // sessions that delivered frames
};

class CameraStream {
public:
  CameraStream(CameraConfig config, rk_core_PostEventFn post, uint64_t id, LogFn log,
               Timing timing = {});
  ~CameraStream(); // stops and joins
  CameraStream(const CameraStream&) = delete;
  CameraStream& operator=(const CameraStream&) = delete;

  void Start();
  void RequestStop(); // returns at once; the thread ends within the polling interval
  void Join();

  const CameraConfig& config() const { return config_; }
  const CameraCounts& counts() const { return counts_; } // after Join
  // The camera as logs may show it: number, name and the URL without credentials.
  std::string Label() const;

private:
  enum class Outcome {
    kFailed,   // connection lost or refused: reconnect after the back-off
    kFinished, // a file without Loop played to its end
    kStopped,  // Close, or the core refuses posts
  };
  struct Session;

  void Run();
  Outcome Stream(std::string& reason, bool& delivered);
  bool WaitFor(std::chrono::steady_clock::duration span); // false: stop requested
  bool WaitUntil(std::chrono::steady_clock::time_point when);
  static int Interrupt(void* self);
  bool Stalled() const { return std::chrono::steady_clock::now() > deadline_; }
  uint32_t PostState(bool online, const std::string& reason);
  uint32_t PostMedia(bool video, const std::vector<uint8_t>& unit, bool key, uint32_t codec,
                     int width, int height, int64_t pts, int64_t captureMicros);

  const CameraConfig config_;
  const rk_core_PostEventFn post_;
  const uint64_t id_;
  const LogFn log_;
  const Timing timing_;
  const std::chrono::steady_clock::time_point born_ = std::chrono::steady_clock::now();

  std::atomic<bool> stop_{false}; // set by RequestStop (main thread), read everywhere
  std::mutex mutex_;              // pairs with wake_ for interruptible waits
  std::condition_variable wake_;
  std::thread thread_;

  // Camera thread only.
  std::chrono::steady_clock::time_point deadline_; // the interrupt callback's stall limit
  enum class State { kUnknown, kOnline, kOffline } state_ = State::kUnknown;
  CameraCounts counts_;
};

} // namespace ipcam
