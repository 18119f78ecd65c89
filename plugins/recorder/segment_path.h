#pragma once
// Where a segment lives below the recording root:
//   <camera number>-<camera name>/<UTC start, YYYYMMDDTHHMMSSZ>.mp4
// Paths in the catalogue are relative to the root, so a root can be moved.
#include <cstdint>
#include <optional>
#include <string>

namespace recorder {

// The name a camera gets when no camera-state alarm named it: "camera<N>".
std::string DefaultCameraName(uint32_t camera);

// `name` reduced to letters, digits, '.', '_' and '-' (others become '_'),
// at most 64 bytes; the default name when nothing is left.
std::string SafeCameraName(uint32_t camera, const std::string& name);

// "<camera>-<safe name>/<start>.mp4"; `attempt` > 0 adds "-<attempt>" before
// ".mp4" for a second segment starting within the same second.
std::string SegmentRelativePath(uint32_t camera, const std::string& name, int64_t startMicros,
                                int attempt = 0);

struct SegmentPathParts {
  uint32_t camera = 0;
  std::string name;
  int64_t startMicros = 0; // whole seconds, as the file name has it
};

// Reads back what SegmentRelativePath wrote; nullopt for anything else.
std::optional<SegmentPathParts> ParseSegmentPath(const std::string& relative);

} // namespace recorder
