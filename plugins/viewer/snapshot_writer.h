#pragma once
// One key frame as a picture a person can open: decoded with libavcodec,
// converted to full-range YUV 4:2:0 with libswscale and encoded as JPEG.
#include <cstdint>
#include <string>
#include <vector>

namespace viewer {

struct Snapshot {
  int width = 0;
  int height = 0;
  std::string error; // empty when written
};

// Decodes `keyFrame` (an access unit of `codec`, RK_CODEC_*; H.264/H.265 with
// its parameter sets in-band) and writes `path` as a JPEG, replacing it whole.
Snapshot WriteSnapshot(uint32_t codec, const std::vector<uint8_t>& keyFrame,
                       const std::string& path);

} // namespace viewer
