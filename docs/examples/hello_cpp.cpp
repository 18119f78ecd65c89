// A plug-in in C++ on the SDK's base class: its worker posts an alarm every
// second until the core closes the plug-in, and it keeps the payload of the
// latest live alarm it received; the handle posts the decref by itself.
#include <chrono>
#include <mutex>
#include <string>

#include "rk/core/plugin.hpp"

using namespace rk::core;

namespace {

class Hello : public Plugin {
public:
  Hello() : Plugin(0x72, "hello_cpp") { EchoLogToConsole(true); } // plug-in id 72

  int32_t OnLoad(PluginInfo& info) override {
    info.acceptAlarm = RK_ACCEPT_LIVE;
    info.workerFlag = 1; // Run on a thread of its own
    return 0;
  }

  void OnOpen() override { Log(kInfo, "open"); }

  // The worker: from Open until Close (or until the core refuses a post).
  void Run(const StopToken& stop) override {
    for (unsigned n = 1; !stop.WaitFor(std::chrono::seconds(1)); ++n) {
      const std::string xml = "<Alarm Source=\"hello_cpp\" Count=\"" + std::to_string(n) + "\"/>";
      PostAlarm(xml); // 1 = the core stops: the base sets `stop`
    }
  }

  // Dispatch thread: keep the newest alarm, drop (decref) the previous one.
  void OnEvent(const EventParms& e, Delivery& delivery) override {
    if (BaseType(e) != RK_TYPE_ALARM) return;
    Payload previous;
    std::lock_guard<std::mutex> lock(mutex_);
    if (Stop().StopRequested()) return;
    previous = std::exchange(latest_, delivery.Keep());
  } // `previous` posts its decref here

  void OnClose() override {
    std::lock_guard<std::mutex> lock(mutex_);
    latest_.Release();
    Log(kInfo, "closed");
  }

private:
  std::mutex mutex_; // guards latest_ (dispatch thread and main thread)
  Payload latest_;
};

} // namespace

RK_PLUGIN(Hello)
