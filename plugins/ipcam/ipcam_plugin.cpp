// ipcam: network cameras (and files standing in for them) as live video and
// audio. Reads ipcam.xml from the core's working directory at Open, runs one
// thread per camera (camera_stream.h) and stops them all at Close.
//
// Threads: Load/Open/Close/Unload on the core's main thread; the camera
// threads post from Open until Close. `g_cameras` is touched by the main
// thread only.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "ipcam/camera_list.h"
#include "ipcam/camera_stream.h"
#include "rk/core/sdk.h"

extern "C" {
#include <libavformat/avformat.h>
}

using namespace rk::core;

namespace {

constexpr uint64_t kId = RK_ID_WORD(0x0C); // plug-in id 0c
constexpr const char* kConfigFile = "ipcam.xml";

PostEventFn g_post = nullptr; // set by Load before any thread exists, then only read
std::vector<std::unique_ptr<ipcam::CameraStream>> g_cameras;

void Log(int32_t level, const std::string& text) {
  LogEvt e;
  e.flags |= RK_FLAG_CONSOLE;
  e.source = kId;
  e.level = static_cast<uint32_t>(level);
  const std::string line = "ipcam: " + text;
  e.data = line.data();
  e.length = static_cast<uint32_t>(line.size());
  g_post(&e);
}

void StopAll() {
  for (auto& camera : g_cameras) camera->RequestStop(); // all at once: one wait for all
  for (auto& camera : g_cameras) camera->Join();
}

} // namespace

RK_PLUGIN_EXPORT int32_t Load(const LoadParams* params, PluginInfo* info) {
  g_post = params->postEvent;
  info->pluginId = kId;
  avformat_network_init();
  return 0;
}

RK_PLUGIN_EXPORT int32_t Unload(const UnloadParams*, UnloadResult*) {
  try {
    StopAll();
    g_cameras.clear();
  } catch (...) {
  }
  avformat_network_deinit();
  return 0;
}

RK_PLUGIN_EXPORT int32_t Open(const OpenParams*, OpenResult*) {
  try {
    const ipcam::CameraList list = ipcam::ReadCameraList(kConfigFile);
    if (!list.error.empty()) {
      Log(ipcam::kError, list.error + "; running with no camera");
      return 0;
    }
    for (const auto& warning : list.warnings) Log(ipcam::kWarning, kConfigFile + (": " + warning));
    for (const auto& config : list.cameras)
      g_cameras.push_back(std::make_unique<ipcam::CameraStream>(config, g_post, kId, Log));
    for (auto& camera : g_cameras) {
      Log(ipcam::kInfo,
          camera->Label() + (camera->config().loop ? " (looping)" : "") + ": connecting");
      camera->Start();
    }
    if (g_cameras.empty()) Log(ipcam::kWarning, std::string(kConfigFile) + " lists no camera");
  } catch (const std::exception& e) {
    Log(ipcam::kError, std::string("cannot start the cameras: ") + e.what());
  }
  return 0;
}

RK_PLUGIN_EXPORT int32_t Close(const CloseParams*, CloseResult*) {
  try {
    const auto start = std::chrono::steady_clock::now();
    StopAll();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    for (const auto& camera : g_cameras) {
      const auto& c = camera->counts();
      Log(ipcam::kInfo, camera->Label() + ": " + std::to_string(c.videoPosted) + " video and " +
                            std::to_string(c.audioPosted) + " audio frames posted, " +
                            std::to_string(c.droppedThrottled) + " dropped while throttled, " +
                            std::to_string(c.connections) + " connection(s)");
    }
    Log(ipcam::kInfo,
        std::to_string(g_cameras.size()) + " camera(s) stopped in " + std::to_string(ms) + " ms");
  } catch (...) {
  }
  return 0;
}
