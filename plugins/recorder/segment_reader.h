#pragma once
// Reads the video frames of an MP4 segment back, in Annex B with the
// parameter sets in-band on key frames, as they were recorded; or its audio
// frames, AAC with an ADTS header again, Opus as it came. Reads a segment
// still being written, or cut short by a crash, up to its last complete
// fragment. One reader reads one track: within a fragment the file holds the
// video first, then the audio, so a search or an export merges two readers
// by time.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVBSFContext;
struct AVPacket;

namespace recorder {

struct StoredFrame {
  std::vector<uint8_t> data; // one access unit: Annex B, or as a live audio record has it
  int64_t micros = 0;        // capture time, microseconds since the epoch
  bool key = false;          // every audio frame is one
  uint32_t codec = 0;        // RK_CODEC_*
  uint16_t width = 0, height = 0;
  bool audio = false;
  int sampleRate = 0; // audio
};

enum class Track { Video, Audio };

class SegmentReader {
public:
  // Opens `path`; frame times are `startMicros` plus the file's time stamps
  // (startMicros < 0: the start the file itself records, else 0). Null with
  // `error` set when it holds no readable video; for the audio track, null
  // with `error` empty when the file simply has none.
  static std::unique_ptr<SegmentReader> Open(const std::string& path, int64_t startMicros,
                                             std::string& error, Track track = Track::Video);
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
  bool audio_ = false;
  int sampleRate_ = 0;
  std::vector<uint8_t> audioConfig_; // AAC: the AudioSpecificConfig, for the ADTS headers
  int64_t startMicros_ = 0;
  bool ended_ = false;
};

} // namespace recorder
