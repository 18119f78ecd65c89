#pragma once
// The recorded frames of one camera over a time range, read from its
// segments in order: from the key frame at or before `fromMicros` (so the
// first frame decodes), up to the last frame at or before `toMicros`. Shared
// by the recorder's searches and by corvane-export. The audio track reads
// the same way; every audio frame decodes alone, so its range starts at the
// first audio frame at or after `fromMicros`.
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "catalogue.h"
#include "segment_reader.h"

namespace recorder {

class RecordedRange {
public:
  // `segments`: one camera's rows, oldest first (Catalogue::Segments).
  RecordedRange(std::string root, std::vector<SegmentRow> segments, int64_t fromMicros,
                int64_t toMicros, Track track = Track::Video);

  // The next frame; false when the range is over.
  bool Next(StoredFrame& frame);

  // Segments that could not be read, one line each.
  const std::vector<std::string>& errors() const { return errors_; }

private:
  bool NextStored(StoredFrame& frame); // across segment boundaries

  const std::string root_;
  const std::vector<SegmentRow> segments_;
  const int64_t from_, to_;
  const Track track_;
  size_t next_ = 0;                       // index of the next segment to open
  std::unique_ptr<SegmentReader> reader_; // the segment being read
  std::deque<StoredFrame> ready_;         // the first GOP, held until `from` is passed
  bool started_ = false;
  bool over_ = false;
  std::vector<std::string> errors_;
};

} // namespace recorder
