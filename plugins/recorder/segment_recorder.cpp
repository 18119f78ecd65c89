#include "segment_recorder.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sys/statvfs.h>

#include "annexb.h"
#include "camera_state.h"
#include "catalogue_repair.h"
#include "retention.h"
#include "rk/core/media.h"
#include "rk/core/xml_attribute.hpp"
#include "segment_path.h"

namespace fs = std::filesystem;

namespace recorder {

namespace {

constexpr int64_t kRetryMicros = 2'000'000;
constexpr int64_t kRetentionMicros = 60'000'000;
// Free space that ends a disk-full stop: 64 MiB, or a twentieth of a smaller disk.
constexpr uint64_t kResumeBytes = 64ull << 20;

int64_t NowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string RecorderAlarm(const std::string& state, const std::string& root,
                          const std::string& reason) {
  return "<?xml version=\"1.0\"?><Varn><Recorder State=\"" + state + "\" Root=\"" +
         rk::core::XmlAttribute(root) + "\"" +
         (reason.empty() ? "" : " Reason=\"" + rk::core::XmlAttribute(reason) + "\"") + "/></Varn>";
}

} // namespace

SegmentRecorder::SegmentRecorder(RecorderConfig config, LogFn log, AlarmFn alarm)
    : config_(std::move(config)), log_(std::move(log)), alarm_(std::move(alarm)) {}

SegmentRecorder::~SegmentRecorder() {
  Stop();
}

bool SegmentRecorder::Start(std::string& error) {
  std::error_code failure;
  fs::create_directories(config_.root, failure);
  if (failure) {
    error = config_.root + ": " + failure.message();
    return false;
  }
  catalogue_ = Catalogue::Open(config_.root, true, error);
  if (catalogue_ == nullptr) return false;
  RepairCatalogue(*catalogue_, config_.root, log_);
  Retention(NowMicros());
  return true;
}

void SegmentRecorder::Retention(int64_t nowMicros) {
  retentionAt_ = nowMicros + kRetentionMicros;
  ApplyRetention(*catalogue_, config_.root, config_, nowMicros, log_);
}

bool SegmentRecorder::Open(Track& track, const LiveFrame& frame) {
  StreamParams params;
  params.codec = frame.codec;
  params.width = frame.width;
  params.height = frame.height;
  params.parameterSets = ParameterSets(frame.data, frame.length, frame.codec);
  auto named = names_.find(frame.camera);
  const std::string name = named != names_.end() ? SafeCameraName(frame.camera, named->second)
                                                 : DefaultCameraName(frame.camera);
  std::string relative;
  std::error_code failure;
  for (int attempt = 0;; ++attempt) {
    relative = SegmentRelativePath(frame.camera, name, frame.micros, attempt);
    if (!fs::exists(config_.root + "/" + relative, failure)) break;
  }
  fs::create_directories(fs::path(config_.root + "/" + relative).parent_path(), failure);
  std::string error;
  bool full = false;
  auto segment = SegmentWriter::Create(config_.root + "/" + relative, params, frame.micros,
                                       SegmentWriter::Layout::Fragmented, error, full,
                                       track.audio.has_value() ? &*track.audio : nullptr);
  if (segment == nullptr) {
    if (full) {
      EnterDiskFull(error);
    } else if (!track.failing) {
      track.failing = true;
      log_(kError, "recorder: camera " + std::to_string(frame.camera) + ": " + error);
    }
    std::error_code ignored;
    fs::remove(config_.root + "/" + relative, ignored);
    return false;
  }
  SegmentRow row;
  row.camera = frame.camera;
  row.name = name;
  row.startMicros = row.endMicros = frame.micros;
  row.path = relative;
  track.rowId = catalogue_->AddSegment(row);
  if (track.rowId == 0) {
    if (catalogue_->diskFull()) {
      segment.reset();
      fs::remove(config_.root + "/" + relative, failure);
      EnterDiskFull("catalogue: " + catalogue_->error());
      return false;
    }
    // Recorded all the same; the next start adopts the file.
    log_(kError, "recorder: " + relative + ": " + catalogue_->error());
  }
  track.segment = std::move(segment);
  track.relativePath = relative;
  track.codec = frame.codec;
  track.width = frame.width;
  track.height = frame.height;
  track.audioChanged = false;
  return true;
}

void SegmentRecorder::Close(Track& track, bool sync) {
  if (track.segment == nullptr) return;
  SegmentWriter& segment = *track.segment;
  uint64_t frames = segment.frames(), audioFrames = segment.audioFrames(), bytes = 0;
  int64_t last = segment.endMicros();
  std::string full; // why the disk is full, when it is
  if (segment.Finish(sync)) {
    bytes = segment.bytes();
  } else {
    if (segment.diskFull()) full = track.relativePath + ": " + segment.error();
    // Cut short (a full disk, a write error): keep what plays.
    const SegmentMeasure m = MeasureSegment(segment.path(), segment.startMicros());
    frames = m.frames;
    audioFrames = m.audioFrames;
    bytes = m.bytes;
    last = m.frames > 0 ? m.lastMicros : segment.startMicros();
  }
  if (frames == 0) {
    std::error_code ignored;
    fs::remove(segment.path(), ignored);
    if (track.rowId != 0) catalogue_->RemoveSegment(track.rowId);
  } else if (track.rowId != 0 &&
             !catalogue_->CompleteSegment(track.rowId, last, bytes, frames, audioFrames)) {
    // Left open in the catalogue: the next start completes it.
    if (catalogue_->diskFull()) {
      full = "catalogue: " + catalogue_->error();
    } else if (!diskFull_) {
      log_(kError, "recorder: " + track.relativePath + ": " + catalogue_->error());
    }
  }
  track.segment.reset();
  track.rowId = 0;
  if (!full.empty()) EnterDiskFull(full);
  if (!diskFull_) Retention(NowMicros());
}

bool SegmentRecorder::Write(const LiveFrame& frame) {
  if (catalogue_ == nullptr || diskFull_) return false;
  Track& track = tracks_[frame.camera];
  if (frame.audio) return WriteAudio(track, frame);
  if (track.segment != nullptr && frame.key) {
    const SegmentWriter& s = *track.segment;
    const bool due =
        frame.micros - s.startMicros() >= static_cast<int64_t>(config_.segmentSeconds) * 1000000;
    const bool changed = frame.codec != track.codec || frame.width != track.width ||
                         frame.height != track.height || track.audioChanged;
    if (due || changed || frame.micros < s.startMicros()) Close(track, true);
  }
  if (track.segment == nullptr) {
    if (!frame.key || !Open(track, frame)) return false;
  }
  if (!track.segment->Write(frame.data, frame.length, frame.micros, frame.key)) {
    WriteFailed(track);
    return false;
  }
  track.failing = false;
  return true;
}

bool SegmentRecorder::WriteAudio(Track& track, const LiveFrame& frame) {
  std::string why;
  auto params = AudioParamsOf(frame.codec, frame.data, frame.length, why);
  if (!params) {
    const bool recordable = frame.codec == RK_CODEC_AAC || frame.codec == RK_CODEC_OPUS;
    if (!track.audioWarned)
      log_(kWarning, "recorder: camera " + std::to_string(frame.camera) + ": " + why +
                         (recordable ? ": such frames are not recorded"
                                     : ": its video is recorded without sound"));
    track.audioWarned = true;
    return false;
  }
  if (!track.audio || !track.audio->Takes(*params)) {
    // The open segment's header has no track for it: it ends at the next key
    // frame, and the audio starts with the segment that opens there.
    track.audio = std::move(params);
    track.audioChanged = true;
  }
  if (track.segment == nullptr || track.audioChanged) return false;
  SegmentWriter& segment = *track.segment;
  if (frame.micros < segment.startMicros()) return false; // the previous segment's
  if (!AudioSamples(frame.codec, frame.data, frame.length, samples_)) return false;
  int64_t offset = 0; // samples into the record
  for (const AudioSample& sample : samples_) {
    const int64_t micros = frame.micros + offset * 1000000 / track.audio->sampleRate;
    if (!segment.WriteAudio(sample.data, sample.length, micros, frame.pts + offset,
                            sample.samples)) {
      WriteFailed(track);
      return false;
    }
    offset += sample.samples;
  }
  track.failing = false;
  return true;
}

void SegmentRecorder::WriteFailed(Track& track) {
  if (track.segment->diskFull()) {
    EnterDiskFull(track.relativePath + ": " + track.segment->error());
    return;
  }
  if (!track.failing)
    log_(kError, "recorder: " + track.relativePath + ": " + track.segment->error());
  track.failing = true;
  Close(track, false);
}

void SegmentRecorder::EnterDiskFull(const std::string& reason) {
  if (diskFull_) return;
  diskFull_ = true;
  retryAt_ = NowMicros() + kRetryMicros;
  log_(kError, "recorder: the disk is full (" + reason + "): recording stops until there is room");
  for (auto& [camera, track] : tracks_) Close(track, false);
  alarm_(RecorderAlarm("disk-full", config_.root, reason));
}

void SegmentRecorder::Alarm(uint64_t source, int64_t micros, const std::string& text) {
  const CameraState state = ReadCameraState(text);
  if (state.camera != 0 && !state.name.empty()) names_[state.camera] = state.name;
  if (catalogue_ == nullptr || diskFull_) return;
  if (!catalogue_->AddAlarm({0, micros, source, state.camera, text}) && catalogue_->diskFull())
    EnterDiskFull("catalogue: " + catalogue_->error());
}

void SegmentRecorder::Tick(int64_t nowMicros) {
  if (catalogue_ == nullptr) return;
  if (diskFull_ && nowMicros >= retryAt_) {
    retryAt_ = nowMicros + kRetryMicros;
    struct statvfs space {};
    const bool known = ::statvfs(config_.root.c_str(), &space) == 0;
    const uint64_t size = static_cast<uint64_t>(space.f_blocks) * space.f_frsize;
    const uint64_t free = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
    if (known && free >= std::min(kResumeBytes, size / 20)) {
      diskFull_ = false;
      log_(kInfo, "recorder: the disk has room again: recording resumes");
      alarm_(RecorderAlarm("recording", config_.root, ""));
    }
  }
  if (config_.maxDays != 0 && nowMicros >= retentionAt_) Retention(nowMicros);
}

void SegmentRecorder::Stop() {
  for (auto& [camera, track] : tracks_) Close(track, true);
}

} // namespace recorder
