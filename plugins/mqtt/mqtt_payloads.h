#pragma once
// The JSON documents the plug-in publishes, and the camera state it reads
// from camera alarms.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "mqtt/status_document.h"

namespace mqtt {

using Clock = std::chrono::system_clock;

// ISO 8601 UTC with milliseconds: 2026-12-08T10:00:00.123Z.
std::string IsoTime(Clock::time_point time);

// events/<kind>: {"time","source","sourceName","camera","payload"}; a payload
// that is not UTF-8 goes as "payloadBase64". `camera` 0 is written as null.
std::string EventJson(Clock::time_point time, uint32_t source, const std::string& sourceName,
                      uint32_t camera, const void* payload, size_t length);

// status: {"state":"online","version","started","plugins":[...]}.
std::string OnlineJson(const StatusDocument& status, Clock::time_point started);
// status as the last will and on an orderly stop.
std::string OfflineJson();

// A camera alarm: <Varn><Camera Number="1" Name="gate" State="online"/></Varn>.
struct CameraState {
  uint32_t number = 0;
  std::string name;
  bool online = false;
  std::string reason;
  bool operator==(const CameraState&) const = default;
};
std::optional<CameraState> ParseCameraState(const void* payload, size_t length);

// cameras/<Number>/state: {"state","name","since","reason"}.
std::string CameraStateJson(const CameraState& state, Clock::time_point since);

} // namespace mqtt
