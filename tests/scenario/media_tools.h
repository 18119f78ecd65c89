#pragma once
// Media for the camera scenarios: a test clip made with the ffmpeg command,
// a real RTSP server (GStreamer's, tests/tools/rtsp_server.py) on 127.0.0.1,
// and a server that accepts connections and never answers.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

#include "core_harness.h"

// An H.264 clip of `seconds` s, 320x180, 25 fps, one key frame a second, in
// MP4; made once per process (a test pattern, no audio).
fs::path TestClip(int seconds);
// TestClip(2) cut 0.4 s in, without re-encoding: 40 frames, of which the first
// 15 refer to frames that are gone, then a key frame and 24 more.
fs::path MidGopClip();
// The same picture with a 440 Hz tone: AAC-LC, 48 kHz, mono (1024 samples a
// frame, 46.875 frames a second).
fs::path TestClipWithAudio(int seconds);

class RtspServer {
public:
  // Mount name -> file, e.g. {"cam1", TestClip(60)}; `audioMounts` serve
  // their file's AAC audio too.
  explicit RtspServer(std::vector<std::pair<std::string, fs::path>> mounts,
                      std::vector<std::pair<std::string, fs::path>> audioMounts = {});
  ~RtspServer();
  RtspServer(const RtspServer&) = delete;
  RtspServer& operator=(const RtspServer&) = delete;

  void Start(); // the first time on a free port, afterwards on the same one
  void Stop();  // the server process ends; its connections drop
  // The server process stops (SIGSTOP) and goes on: connections stay open
  // while nothing is sent.
  void Freeze();
  void Thaw();
  uint16_t port() const { return port_; }
  std::string Url(const std::string& mount) const;
  // Access units handed to the payloader for `mount` since the last Start;
  // "<mount>/audio": its audio frames.
  long Sent(const std::string& mount) const;

private:
  std::vector<std::pair<std::string, fs::path>> mounts_, audioMounts_;
  fs::path stats_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

// Accepts TCP connections on 127.0.0.1 and never sends a byte.
class SilentServer {
public:
  SilentServer();
  ~SilentServer();
  uint16_t port() const { return port_; }
  size_t accepted() const { return accepted_.load(); }

private:
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<size_t> accepted_{0};
  std::vector<int> connections_; // the accepting thread's only
  std::thread thread_;
};

// A port on 127.0.0.1 nobody listens on (bound once, then released).
uint16_t UnusedPort();

// Lines of the media sink's "<file>.media" starting with `kind` ("Video", "Alarm", ...),
// optionally only those containing `text`.
std::vector<std::string> MediaLines(const CoreLayout& layout, const std::string& file,
                                    const std::string& kind, const std::string& text = "");
