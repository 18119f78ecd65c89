// mqtt.so: events to the outside world over MQTT, and commands back in.
//
// Reads mqtt.xml from the core's working directory at Load. Publishes, below
// <Prefix>/<Server>/: "status" (retained; the last will says offline),
// "cameras/<Number>/state" (retained) from camera alarms, and
// "events/<kind>" for live alarms, analytics, PTZ, serial and point-of-sale
// records. With AllowCommands="1" it takes "commands/alarm" and
// "commands/ptz/<Number>" and posts them into the core.
//
// Threads: Load/Open/Close/Unload on the core's main thread; OnEvent on the
// dispatch thread, which only turns records into messages and queues them;
// the link's network thread does all the talking to the broker, from Open
// until Close. `g_link` is set in Open and reset in Unload, both while no
// OnEvent can run; `g_names`, `g_cameras` and `g_started` belong to the
// dispatch thread (and to Load before it).
#include <memory>
#include <mosquitto.h>
#include <mutex>
#include <string>
#include <unistd.h>
#include <unordered_map>

#include "mqtt/mqtt_link.h"
#include "mqtt/mqtt_payloads.h"
#include "mqtt/mqtt_settings.h"
#include "mqtt/status_document.h"
#include "rk/core/sdk.h"

using namespace rk::core;

namespace {

constexpr uint64_t kId = RK_ID_WORD(0x4D); // plug-in id 4d
constexpr int32_t kInfo = 25, kError = 75;

PostEventFn g_post = nullptr;
std::optional<mqtt::MqttSettings> g_settings;
std::unique_ptr<mqtt::MqttLink> g_link;
mqtt::StatusDocument g_names;                              // who is who, from the status
std::unordered_map<uint32_t, mqtt::CameraState> g_cameras; // last state per camera
mqtt::Clock::time_point g_started;

void Log(int32_t level, const std::string& text) {
  LogEvt e;
  e.flags |= RK_FLAG_CONSOLE;
  e.source = kId;
  e.level = static_cast<uint32_t>(level);
  e.data = text.data();
  e.length = static_cast<uint32_t>(text.size());
  g_post(&e);
}

// The core's executable name, until the status document names it.
std::string CoreStem() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  const std::string file(path, static_cast<size_t>(n));
  return mqtt::FileStem(file.substr(file.find_last_of('/') + 1));
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

// A command from the broker, as a live record of this plug-in.
void PostCommand(const mqtt::Command& command) {
  EventParms e;
  InitEvent(e);
  e.type = command.type;
  e.flags = kLive;
  e.source = kId;
  e.data = command.payload.data();
  e.length = static_cast<uint32_t>(command.payload.size());
  MediaInfoOf(e).camera = command.camera;
  g_post(&e);
}

const char* KindOf(uint64_t type) {
  switch (type) {
  case RK_TYPE_ALARM:
    return "alarm";
  case RK_TYPE_ANALYTIC:
    return "analytic";
  case RK_TYPE_PTZ:
    return "ptz";
  case RK_TYPE_SERIAL:
    return "serial";
  case RK_TYPE_POS:
    return "pos";
  default:
    return nullptr;
  }
}

void OnStatus(const EventParms& e) {
  auto status = mqtt::ParseStatusDocument(
      std::string(static_cast<const char*>(e.data), e.data == nullptr ? 0 : e.length));
  if (!status) return;
  g_link->SetStatus(mqtt::OnlineJson(*status, g_started));
  g_names = std::move(*status);
}

std::string SourceName(uint64_t source) {
  // The core posts as "no id" or as id 0, which no plug-in may then have.
  const auto it = g_names.stems.find(SourceIndex(source));
  if (source == kIdNone || (source == 0 && it == g_names.stems.end())) return g_names.coreStem;
  return it == g_names.stems.end() ? std::string() : it->second;
}

void OnLiveEvent(const EventParms& e, const char* kind) {
  const auto now = mqtt::Clock::now();
  const std::string& root = g_link->settings().TopicRoot();
  uint32_t camera = MediaInfoOf(e).camera;
  if (BaseType(e) == RK_TYPE_ALARM) {
    if (auto state = mqtt::ParseCameraState(e.data, e.length)) {
      camera = state->number;
      auto& last = g_cameras[state->number];
      if (!(last == *state)) {
        last = *state;
        g_link->Publish(root + "/cameras/" + std::to_string(state->number) + "/state",
                        mqtt::CameraStateJson(*state, now), true, state->number);
      }
    }
  }
  g_link->Publish(
      root + "/events/" + kind,
      mqtt::EventJson(now, SourceIndex(e.source), SourceName(e.source), camera, e.data, e.length),
      false);
}

} // namespace

RK_PLUGIN_EXPORT int32_t Load(const LoadParams* params, PluginInfo* info) {
  try {
    g_post = params->postEvent;
    g_started = mqtt::Clock::now();
    // Never undone: the library's cleanup also unloads OpenSSL's configuration
    // modules, which the core itself still uses.
    mosquitto_lib_init();
    g_names.coreStem = CoreStem();
    info->pluginId = kId;
    info->acceptAlarm = RK_ACCEPT_LIVE;
    info->acceptAnalytic = RK_ACCEPT_LIVE;
    info->acceptPtz = RK_ACCEPT_LIVE;
    info->acceptSerial = RK_ACCEPT_LIVE;
    info->acceptPos = RK_ACCEPT_LIVE;
    mqtt::SettingsResult read = mqtt::ReadSettings("mqtt.xml", HostName());
    if (read.missing)
      Log(kInfo, "mqtt: no mqtt.xml in the working directory; staying idle");
    else if (!read.settings)
      Log(kError, "mqtt: mqtt.xml not used: " + read.error + "; staying idle");
    g_settings = std::move(read.settings);
    return 0;
  } catch (...) {
    return 1;
  }
}

RK_PLUGIN_EXPORT int32_t Unload(const UnloadParams*, UnloadResult*) {
  try {
    g_link.reset();
    g_settings.reset();
    g_names = {};
    g_cameras.clear();
  } catch (...) {
  }
  return 0;
}

RK_PLUGIN_EXPORT int32_t Open(const OpenParams*, OpenResult*) {
  try {
    if (!g_settings) return 0;
    g_link = std::make_unique<mqtt::MqttLink>(*g_settings, Log, PostCommand);
    g_link->Start();
    return 0;
  } catch (...) {
    g_link.reset();
    return 1;
  }
}

RK_PLUGIN_EXPORT int32_t Close(const CloseParams*, CloseResult*) {
  try {
    if (g_link) g_link->Stop();
  } catch (...) {
  }
  return 0;
}

RK_PLUGIN_EXPORT uint8_t OnEvent(const EventParms* e, const EventParms*) {
  try {
    if (!g_link || e == nullptr) return 0;
    if (e->type == RK_TYPE_CONFIG) {
      if (e->source == kIdNone && (e->flags & RK_FLAG_XML) != 0) OnStatus(*e);
      return 0;
    }
    if (!IsLive(*e)) return 0;
    if (const char* kind = KindOf(BaseType(*e))) OnLiveEvent(*e, kind);
  } catch (...) {
  }
  return 0;
}
