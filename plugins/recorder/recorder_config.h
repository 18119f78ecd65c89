#pragma once
// recorder.xml: <Recorder Root="recordings" SegmentSeconds="60" MaxBytes="0" MaxDays="0"/>
// in the core's working directory. 0 means no limit.
#include <cstdint>
#include <string>

namespace recorder {

struct RecorderConfig {
  std::string root = "recordings"; // relative paths are taken from the working directory
  uint32_t segmentSeconds = 60;    // a new segment at the first key frame after this
  uint64_t maxBytes = 0;           // all segments together; 0 = no limit
  uint32_t maxDays = 0;            // age of a segment's end; 0 = no limit
};

// Reads `path`. A missing file gives the defaults and no warning; a file that
// cannot be parsed, or a bad attribute, gives the defaults for what is wrong
// and `warning` saying so.
RecorderConfig ReadRecorderConfig(const std::string& path, std::string& warning);

} // namespace recorder
