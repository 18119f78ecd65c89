#include "recorded_range.h"

namespace recorder {

RecordedRange::RecordedRange(std::string root, std::vector<SegmentRow> segments, int64_t fromMicros,
                             int64_t toMicros, Track track)
    : root_(std::move(root)), segments_(std::move(segments)), from_(fromMicros), to_(toMicros),
      track_(track) {}

bool RecordedRange::NextStored(StoredFrame& frame) {
  for (;;) {
    if (reader_ != nullptr && reader_->Next(frame)) return true;
    reader_.reset();
    if (next_ == segments_.size()) return false;
    const SegmentRow& row = segments_[next_++];
    // A finished segment without audio need not be opened for it.
    if (track_ == Track::Audio && row.complete && row.audioFrames == 0) continue;
    std::string error;
    reader_ = SegmentReader::Open(root_ + "/" + row.path, row.startMicros, error, track_);
    if (reader_ == nullptr && !error.empty()) errors_.push_back(error);
  }
}

bool RecordedRange::Next(StoredFrame& frame) {
  if (!ready_.empty()) {
    frame = std::move(ready_.front());
    ready_.pop_front();
    return true;
  }
  while (!over_ && NextStored(frame)) {
    if (frame.micros > to_) break;
    if (started_) return true;
    if (frame.key) ready_.clear();
    // Before a first key frame nothing decodes: skip.
    if (!frame.key && ready_.empty()) continue;
    ready_.push_back(std::move(frame));
    if (ready_.back().micros < from_) continue;
    started_ = true;
    frame = std::move(ready_.front());
    ready_.pop_front();
    return true;
  }
  // No frame in [from, to]: what was held lies before the range.
  over_ = true;
  ready_.clear();
  return false;
}

} // namespace recorder
