// A plug-in on the SDK's C++ base class, for the scenario that runs it in the
// real core: its worker posts a camera state alarm and video frames, it keeps
// every alarm that comes back and releases them at Close, and its IPC handler
// throws (the base must catch it).
#include <stdexcept>
#include <vector>

#include "rk/core/plugin.hpp"

using namespace rk::core;

namespace {

class CppBase : public Plugin {
public:
  CppBase() : Plugin(0x74, "cpp_base") { EchoLogToConsole(true); }

  int32_t OnLoad(PluginInfo& info) override {
    info.acceptAlarm = RK_ACCEPT_LIVE;
    info.workerFlag = 1;
    return 0;
  }

  void Run(const StopToken& stop) override {
    PostCameraState(2, "yard & gate", false, "connection \"refused\"");
    const unsigned char frame[4] = {0, 0, 0, 1};
    MediaFrame f;
    f.data = frame;
    f.length = sizeof frame;
    f.camera = 2;
    f.width = 640;
    f.height = 480;
    for (int64_t n = 0; !stop.WaitFor(std::chrono::milliseconds(20)); ++n) {
      f.key = n % 10 == 0;
      f.pts = n * 3600;
      PostVideo(f);
    }
  }

  void OnEvent(const EventParms& e, Delivery& delivery) override {
    if (BaseType(e) != RK_TYPE_ALARM) return;
    std::lock_guard<std::mutex> lock(mutex_);
    kept_.push_back(delivery.Keep());
  }

  void OnIpc(const void*, uint32_t length) override {
    throw std::runtime_error("packet of " + std::to_string(length) + " bytes refused");
  }

  void OnClose() override {
    std::vector<Payload> kept;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      kept.swap(kept_);
    }
    for (const Payload& alarm : kept)
      Log(kInfo, "kept %.*s", static_cast<int>(alarm.size()), alarm.view().data());
  } // the handles post their decrefs here

private:
  std::mutex mutex_; // guards kept_
  std::vector<Payload> kept_;
};

} // namespace

RK_PLUGIN(CppBase)
