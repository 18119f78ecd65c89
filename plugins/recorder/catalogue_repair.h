#pragma once
// Start-up repair: brings the catalogue and the files below the root back in
// line after a crash or a hand that moved files. Each change is logged once.
//   - a segment left open (complete = 0) is cut back to its last complete
//     fragment, measured, and its row completed (a file left with no frame
//     at all is removed with its row);
//   - a segment file with no row is measured and adopted;
//   - a row whose file is gone is dropped.
#include <cstdint>
#include <string>

#include "catalogue.h"
#include "recorder_log.h"

namespace recorder {

struct SegmentMeasure {
  uint64_t bytes = 0;  // after cutting a damaged tail off
  uint64_t frames = 0; // readable video frames
  uint64_t audioFrames = 0;
  int64_t firstMicros = 0;
  int64_t lastMicros = 0; // of the last frame of either track
  bool cut = false;       // a damaged tail was cut off
};

// Cuts `path` back to its last complete box (a fragment whose media data is
// incomplete goes entirely), then counts its video and audio frames; times from
// `startMicros` (< 0: the start the file records).
SegmentMeasure MeasureSegment(const std::string& path, int64_t startMicros);

void RepairCatalogue(Catalogue& catalogue, const std::string& root, const LogFn& log);

} // namespace recorder
