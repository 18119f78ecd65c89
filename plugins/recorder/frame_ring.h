#pragma once
// A bounded ring of recordings on disk: a fixed number of segment files, each
// holding a few seconds of frames. When the newest segment is full the oldest
// one is emptied and written again, so disk use never grows past
// segments x seconds per segment.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace recorder {

// Where one stored frame lies, as found by Find; valid until its segment is
// reused, which Read detects.
struct FrameLocation {
  unsigned segment = 0;
  uint64_t sequence = 0; // the segment's fill number when found
  uint64_t offset = 0;   // of the frame bytes in the file
  uint32_t length = 0;
  uint64_t timeMs = 0; // time stamp, milliseconds since the epoch
  uint8_t frameType = 0;
};

class FrameRing {
public:
  FrameRing(std::string directory, unsigned segments, uint64_t segmentMs);
  ~FrameRing();
  FrameRing(const FrameRing&) = delete;
  FrameRing& operator=(const FrameRing&) = delete;

  // Creates the directory and empty segment files (older recordings there are
  // discarded). False with `error` set when that fails.
  bool Open(std::string& error);
  // Appends one frame; called from one writer thread only. False on a write
  // error (the frame is then not indexed).
  bool Append(uint64_t timeMs, uint8_t frameType, const void* data, uint32_t length);
  // Frames stamped within [fromMs, toMs], oldest first, at most `limit`.
  std::vector<FrameLocation> Find(uint64_t fromMs, uint64_t toMs, size_t limit) const;
  // Reads a frame's bytes; false when its segment was reused meanwhile.
  bool Read(const FrameLocation& where, std::vector<unsigned char>& bytes) const;

  const std::string& directory() const { return directory_; }

private:
  struct Entry {
    uint64_t offset;
    uint32_t length;
    uint64_t timeMs;
    uint8_t frameType;
  };
  struct Segment {
    int fd = -1;
    uint64_t sequence = 0; // 0: never filled
    uint64_t bytes = 0;    // file size written so far
    std::vector<Entry> frames;
  };

  // Starts filling the oldest segment; called by Append with mutex_ held.
  bool Rotate(uint64_t timeMs);

  const std::string directory_;
  const uint64_t segmentMs_;
  mutable std::mutex mutex_; // guards every Segment's sequence, bytes and frames, and current_
  std::vector<Segment> segments_;
  unsigned current_ = 0;
  uint64_t nextSequence_ = 1;
  uint64_t currentStartMs_ = 0;
};

} // namespace recorder
