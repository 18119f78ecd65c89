#pragma once
// The cameras of ipcam.xml:
//   <Cameras><Camera Number="1" Name="gate" Url="rtsp://host:554/path"
//                    Transport="tcp" Audio="1" Loop="0"/>...</Cameras>
// Reading is pure: problems come back as text for the caller to log.
#include <cstdint>
#include <string>
#include <vector>

namespace ipcam {

struct CameraConfig {
  uint32_t number = 0; // 1-65535, unique within the file
  std::string name;    // for alarms and logs; may be empty
  std::string url;     // anything libavformat opens; may hold credentials
  bool tcp = true;     // RTSP interleaved over the control connection, else RTP over UDP
  bool audio = false;  // also carry the first audio stream
  bool loop = false;   // a file source starts again at its end
};

struct CameraList {
  std::vector<CameraConfig> cameras;
  std::string error;                 // the whole file is unusable: why
  std::vector<std::string> warnings; // one per skipped Camera element
};

// Parses the text of ipcam.xml.
CameraList ParseCameraList(std::string text);

// Reads and parses `path`; a missing or unreadable file is an error.
CameraList ReadCameraList(const std::string& path);

} // namespace ipcam
