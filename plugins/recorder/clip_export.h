#pragma once
// Cuts one camera's recordings over a time range into one MP4 file (moov at
// the front), from the key frame at or before `fromMicros`, without
// re-encoding, with the camera's audio from that key frame on when the range
// has any. The file appears only when complete (written as "<output>.part",
// then renamed).
#include <cstdint>
#include <string>

namespace recorder {

struct ExportResult {
  enum Status { kWritten, kNothingRecorded, kFailed } status = kFailed;
  uint64_t frames = 0; // video
  uint64_t audioFrames = 0;
  uint64_t bytes = 0; // of the clip
  int64_t firstMicros = 0, lastMicros = 0;
  std::string message; // why it failed; notes (a stream change that ended the clip)
};

ExportResult ExportClip(const std::string& root, uint32_t camera, int64_t fromMicros,
                        int64_t toMicros, const std::string& output);

} // namespace recorder
