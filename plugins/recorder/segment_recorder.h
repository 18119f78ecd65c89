#pragma once
// The recorder's writing side: turns live frames into segments and alarms
// into catalogue rows. Every method runs on the recorder's writer thread, so
// nothing here is shared or locked; the plug-in feeds it from its queue.
//
// Per camera: a segment opens at a key frame (its parameter sets and the
// media description's size give the stream parameters), takes every frame
// after it, and closes at the first key frame once SegmentSeconds have
// passed, or when the codec or size changes. A write error closes the
// segment and the camera waits for its next key frame.
//
// Audio (AAC, Opus) goes into the same segment as a second track. An MP4
// file's tracks are fixed by its header, so a camera's audio track is set up
// by its first audio frame: a segment already open without audio (or with
// another audio format) ends at the next key frame and the audio starts with
// the new segment. Audio from before a segment's first video frame is not
// written: a segment starts with video. G.711 and other formats MP4 cannot
// hold: one Warning per camera, its video is recorded without sound.
//
// A full disk (ENOSPC, or the catalogue finding no room) stops all writing:
// one Error line, a Recorder alarm with State="disk-full", open segments cut
// back to their last fragment and completed. Every two seconds the free space
// is checked; with room again (64 MiB, or a twentieth of a smaller disk), one Info line, a Recorder
// alarm with State="recording", and each camera starts a new segment at its next key frame.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio_format.h"
#include "catalogue.h"
#include "recorder_config.h"
#include "recorder_log.h"
#include "segment_writer.h"

namespace recorder {

// One live access unit, as the media description gives it.
struct LiveFrame {
  uint64_t source = 0; // sender's id word
  uint32_t camera = 0;
  uint32_t codec = 0;
  uint16_t width = 0, height = 0;
  int64_t micros = 0; // capture time
  bool key = false;
  const uint8_t* data = nullptr; // owned by the caller for the call
  size_t length = 0;
  bool audio = false;
  int64_t pts = 0; // audio: the record's, at the sample rate
};

class SegmentRecorder {
public:
  using AlarmFn = std::function<void(const std::string& xml)>;

  // `config.root` must be absolute.
  SegmentRecorder(RecorderConfig config, LogFn log, AlarmFn alarm);
  ~SegmentRecorder(); // Stop()

  // Creates the root, opens the catalogue, repairs it and applies retention.
  bool Start(std::string& error);
  // True when the frame (video or audio) went into a segment.
  bool Write(const LiveFrame& frame);
  void Alarm(uint64_t source, int64_t micros, const std::string& text);
  // Periodic work (about once a second): retention by age, the disk-full retry.
  void Tick(int64_t nowMicros);
  // Finishes every open segment.
  void Stop();

  bool diskFull() const { return diskFull_; }

private:
  struct Track {
    std::unique_ptr<SegmentWriter> segment;
    int64_t rowId = 0;
    std::string relativePath;
    uint32_t codec = 0; // of the open segment
    uint16_t width = 0, height = 0;
    bool failing = false;             // a write error was logged; quiet until a segment works again
    std::optional<AudioParams> audio; // the camera's audio as its latest frame described it
    bool audioChanged = false;        // ... which the open segment does not carry
    bool audioWarned = false;         // its audio cannot be recorded, and the log said so
  };

  bool Open(Track& track, const LiveFrame& frame);
  bool WriteAudio(Track& track, const LiveFrame& frame);
  void WriteFailed(Track& track);
  void Close(Track& track, bool sync);
  void EnterDiskFull(const std::string& reason);
  void Retention(int64_t nowMicros);

  const RecorderConfig config_;
  const LogFn log_;
  const AlarmFn alarm_;
  std::unique_ptr<Catalogue> catalogue_;
  std::map<uint32_t, Track> tracks_;      // by camera number
  std::map<uint32_t, std::string> names_; // from camera-state alarms
  std::vector<AudioSample> samples_;      // of the audio record being written
  bool diskFull_ = false;
  int64_t retryAt_ = 0;     // next free-space check while the disk is full
  int64_t retentionAt_ = 0; // next age check
};

} // namespace recorder
