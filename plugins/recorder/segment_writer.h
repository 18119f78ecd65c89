#pragma once
// Writes H.264 / H.265 access units (Annex B), and optionally a second track
// of AAC or Opus audio, into an MP4 file through libavformat, without
// re-encoding.
//
// Fragmented layout (the recorder's segments): an empty moov up front, then
// one moof+mdat fragment per key frame, each handed to the kernel as soon as
// the next key frame closes it; a process killed mid-segment leaves a file
// that plays up to its last complete fragment. Whole layout (exports): one
// moov, moved to the front when the file is finished.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio_format.h"

struct AVFormatContext;

namespace recorder {

struct StreamParams {
  uint32_t codec = 0; // RK_CODEC_H264 or RK_CODEC_H265
  uint16_t width = 0;
  uint16_t height = 0;
  std::vector<uint8_t> parameterSets; // Annex B, from the first key frame
};

class SegmentWriter {
public:
  enum class Layout { Fragmented, Whole };

  // Creates `path` and writes the header, with an audio track when `audio`
  // is given. Null with `error` set on failure; `diskFull` tells whether the
  // disk had no room.
  static std::unique_ptr<SegmentWriter> Create(const std::string& path, const StreamParams& params,
                                               int64_t startMicros, Layout layout,
                                               std::string& error, bool& diskFull,
                                               const AudioParams* audio = nullptr);
  ~SegmentWriter(); // an unfinished file is closed as it is
  SegmentWriter(const SegmentWriter&) = delete;
  SegmentWriter& operator=(const SegmentWriter&) = delete;

  // One access unit captured at `micros` (times before the previous frame's
  // are moved just after it). False on failure: see error() and diskFull().
  bool Write(const uint8_t* data, size_t length, int64_t micros, bool key);
  // One audio sample (raw AAC or an Opus packet) of `samples` duration,
  // captured at `micros` with the record's `pts` (the sample rate's clock).
  // The samples follow the pts, anchored at a capture time so that audio and
  // video line up; where the two clocks part by more than half a second the
  // capture time wins. False on failure, as Write.
  bool WriteAudio(const uint8_t* data, size_t length, int64_t micros, int64_t pts, int64_t samples);
  // Writes the last fragment and the trailer, closes the file and, with
  // `sync`, makes it durable. False on failure.
  bool Finish(bool sync);

  uint64_t frames() const { return frames_; } // video
  uint64_t audioFrames() const { return audioFrames_; }
  bool hasAudio() const { return audioStream_ >= 0; }
  int64_t startMicros() const { return startMicros_; }
  int64_t lastMicros() const { return lastMicros_; } // of the last video frame
  // Of the last frame of either track: audio that arrived before the next
  // segment's key frame may end a segment.
  int64_t endMicros() const { return std::max(lastMicros_, lastAudioMicros_); }
  uint64_t bytes() const { return bytes_; } // the file's size once finished
  const std::string& error() const { return error_; }
  bool diskFull() const { return diskFull_; }
  const std::string& path() const { return path_; }

private:
  SegmentWriter() = default;
  bool Check(int result, const char* what);
  bool Send(int stream, int64_t when, int64_t duration, const uint8_t* data, size_t length,
            bool key);

  std::string path_;
  AVFormatContext* format_ = nullptr;
  int64_t startMicros_ = 0;
  int64_t lastMicros_ = 0;
  int64_t lastInterval_ = 40000; // a guess at the frame interval until two frames are seen
  uint64_t frames_ = 0;
  int audioStream_ = -1;
  int audioRate_ = 0;
  bool audioAnchored_ = false;
  int64_t audioAnchorPts_ = 0, audioAnchorTicks_ = 0; // a record pts and its place in the file
  int64_t lastAudioPts_ = 0, lastAudioTicks_ = 0;
  int64_t lastAudioMicros_ = 0; // as a reader will find it
  uint64_t audioFrames_ = 0;
  uint64_t bytes_ = 0;
  std::string error_;
  bool diskFull_ = false;
  bool failed_ = false;
};

} // namespace recorder
