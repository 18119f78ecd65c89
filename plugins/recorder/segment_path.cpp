#include "segment_path.h"

#include <charconv>

#include "utc_time.h"

namespace recorder {

std::string DefaultCameraName(uint32_t camera) {
  return "camera" + std::to_string(camera);
}

std::string SafeCameraName(uint32_t camera, const std::string& name) {
  std::string safe;
  for (char c : name) {
    if (safe.size() == 64) break;
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
    safe += plain ? c : '_';
  }
  // "." and ".." would name directories that are not ours.
  if (safe.find_first_not_of('.') == std::string::npos) return DefaultCameraName(camera);
  return safe;
}

std::string SegmentRelativePath(uint32_t camera, const std::string& name, int64_t startMicros,
                                int attempt) {
  return std::to_string(camera) + "-" + SafeCameraName(camera, name) + "/" +
         CompactUtc(startMicros) + (attempt > 0 ? "-" + std::to_string(attempt) : "") + ".mp4";
}

std::optional<SegmentPathParts> ParseSegmentPath(const std::string& relative) {
  const size_t slash = relative.find('/');
  if (slash == std::string::npos || relative.find('/', slash + 1) != std::string::npos)
    return std::nullopt;
  const std::string directory = relative.substr(0, slash);
  const std::string file = relative.substr(slash + 1);
  const size_t dash = directory.find('-');
  if (dash == std::string::npos || dash == 0 || dash + 1 == directory.size()) return std::nullopt;
  SegmentPathParts parts;
  const auto [at, error] = std::from_chars(directory.data(), directory.data() + dash, parts.camera);
  if (error != std::errc() || at != directory.data() + dash || parts.camera == 0)
    return std::nullopt;
  parts.name = directory.substr(dash + 1);
  if (file.size() < 20 || file.compare(file.size() - 4, 4, ".mp4") != 0) return std::nullopt;
  const auto start = ParseCompactUtc(file.substr(0, 16));
  if (!start) return std::nullopt;
  parts.startMicros = *start;
  return parts;
}

} // namespace recorder
