#pragma once
// Reads the video frames of an MP4 segment back, in Annex B with the
// parameter sets in-band on key frames, as they were recorded. Reads a
// segment still being written, or cut short by a crash, up to its last
// complete fragment.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVBSFContext;
struct AVPacket;

namespace recorder {

struct StoredFrame {
  std::vector<uint8_t> data; // one access unit, Annex B
  int64_t micros = 0;        // capture time, microseconds since the epoch
  bool key = false;
  uint32_t codec = 0; // RK_CODEC_*
  uint16_t width = 0, height = 0;
};

class SegmentReader {
public:
  // Opens `path`; frame times are `startMicros` plus the file's time stamps
  // (startMicros < 0: the start the file itself records, else 0). Null with
  // `error` set when it holds no readable video.
  static std::unique_ptr<SegmentReader> Open(const std::string& path, int64_t startMicros,
                                             std::string& error);
  ~SegmentReader();
  SegmentReader(const SegmentReader&) = delete;
  SegmentReader& operator=(const SegmentReader&) = delete;

  // The next frame; false at the end or where the file is damaged.
  bool Next(StoredFrame& frame);

  uint32_t codec() const { return codec_; } // RK_CODEC_*
  uint16_t width() const { return width_; }
  uint16_t height() const { return height_; }
  int64_t startMicros() const { return startMicros_; }

private:
  SegmentReader() = default;

  AVFormatContext* format_ = nullptr;
  AVBSFContext* filter_ = nullptr;
  AVPacket* packet_ = nullptr;
  int stream_ = -1;
  uint32_t codec_ = 0;
  uint16_t width_ = 0, height_ = 0;
  int64_t startMicros_ = 0;
  bool ended_ = false;
};

} // namespace recorder
