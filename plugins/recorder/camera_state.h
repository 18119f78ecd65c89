#pragma once
// Camera-state alarms: <?xml version="1.0"?><Varn><Camera Number="1"
// Name="gate" State="online"/></Varn>. The recorder names directories after
// them and files every alarm under the camera it names.
#include <cstdint>
#include <optional>
#include <string>

namespace recorder {

struct CameraState {
  uint32_t camera = 0; // 0: the alarm names no camera
  std::string name;    // empty when not given
  std::string state;   // "online", "offline", or empty
};

// What the alarm text says about a camera; camera 0 when it is not XML or
// names no camera.
CameraState ReadCameraState(const std::string& xml);

} // namespace recorder
