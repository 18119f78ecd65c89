#include "frame_ring.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/uio.h>
#include <system_error>
#include <unistd.h>

namespace recorder {

namespace {

// Each frame in a segment file: this header, then the frame bytes. The index
// lives in memory; the header makes the files readable on their own.
struct FrameHeader {
  char magic[4]; // "CVRF"
  uint32_t length;
  uint64_t timeMs;
  uint8_t frameType;
  uint8_t reserved[7];
};
static_assert(sizeof(FrameHeader) == 24);

bool WriteAll(int fd, const FrameHeader& header, const void* data, uint32_t length,
              uint64_t offset) {
  iovec parts[2] = {{const_cast<FrameHeader*>(&header), sizeof header},
                    {const_cast<void*>(data), length}};
  const size_t total = sizeof header + length;
  size_t done = 0;
  while (done < total) {
    // Skip what earlier partial writes already put down.
    iovec rest[2];
    int count = 0;
    size_t skip = done;
    for (const iovec& part : parts) {
      if (skip >= part.iov_len) {
        skip -= part.iov_len;
        continue;
      }
      rest[count++] = {static_cast<char*>(part.iov_base) + skip, part.iov_len - skip};
      skip = 0;
    }
    const ssize_t n = ::pwritev(fd, rest, count, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, unsigned char* into, size_t length, uint64_t offset) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, into + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

} // namespace

FrameRing::FrameRing(std::string directory, unsigned segments, uint64_t segmentMs)
    : directory_(std::move(directory)), segmentMs_(segmentMs), segments_(segments) {}

FrameRing::~FrameRing() {
  for (Segment& s : segments_) {
    if (s.fd >= 0) ::close(s.fd);
  }
}

bool FrameRing::Open(std::string& error) {
  std::error_code failure;
  std::filesystem::create_directories(directory_, failure);
  if (failure) {
    error = directory_ + ": " + failure.message();
    return false;
  }
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < segments_.size(); ++i) {
    const std::string path = directory_ + "/segment-" + std::to_string(i) + ".frames";
    segments_[i].fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (segments_[i].fd < 0) {
      error = path + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

bool FrameRing::Rotate(uint64_t timeMs) {
  // The oldest segment is the one with the smallest sequence; 0 = never used.
  unsigned oldest = 0;
  for (unsigned i = 1; i < segments_.size(); ++i) {
    if (segments_[i].sequence < segments_[oldest].sequence) oldest = i;
  }
  Segment& s = segments_[oldest];
  // A new sequence first: readers holding locations in it see that it changed.
  s.sequence = nextSequence_++;
  s.frames.clear();
  s.bytes = 0;
  current_ = oldest;
  currentStartMs_ = timeMs;
  return s.fd >= 0 && ::ftruncate(s.fd, 0) == 0;
}

bool FrameRing::Append(uint64_t timeMs, uint8_t frameType, const void* data, uint32_t length) {
  unsigned segment;
  int fd;
  uint64_t offset;
  {
    std::lock_guard lock(mutex_);
    if (segments_.empty()) return false;
    const Segment& now = segments_[current_];
    // A full segment, or a clock that went back: move on to the next file.
    if (now.sequence == 0 || timeMs >= currentStartMs_ + segmentMs_ || timeMs < currentStartMs_) {
      if (!Rotate(timeMs)) return false;
    }
    segment = current_;
    fd = segments_[segment].fd;
    offset = segments_[segment].bytes;
  }
  // Only this thread writes, and only past the indexed end: readers never see
  // these bytes until the index below says they are there.
  FrameHeader header{};
  std::memcpy(header.magic, "CVRF", 4);
  header.length = length;
  header.timeMs = timeMs;
  header.frameType = frameType;
  if (!WriteAll(fd, header, data, length, offset)) return false;

  std::lock_guard lock(mutex_);
  Segment& s = segments_[segment];
  s.bytes = offset + sizeof header + length;
  s.frames.push_back({offset + sizeof header, length, timeMs, frameType});
  return true;
}

std::vector<FrameLocation> FrameRing::Find(uint64_t fromMs, uint64_t toMs, size_t limit) const {
  std::lock_guard lock(mutex_);
  std::vector<unsigned> order;
  for (unsigned i = 0; i < segments_.size(); ++i) {
    if (segments_[i].sequence != 0) order.push_back(i);
  }
  std::sort(order.begin(), order.end(), [this](unsigned a, unsigned b) {
    return segments_[a].sequence < segments_[b].sequence;
  });
  std::vector<FrameLocation> found;
  for (unsigned i : order) {
    const Segment& s = segments_[i];
    for (const Entry& e : s.frames) {
      if (e.timeMs < fromMs || e.timeMs > toMs) continue;
      if (found.size() == limit) return found;
      found.push_back({i, s.sequence, e.offset, e.length, e.timeMs, e.frameType});
    }
  }
  return found;
}

bool FrameRing::Read(const FrameLocation& where, std::vector<unsigned char>& bytes) const {
  int fd;
  {
    std::lock_guard lock(mutex_);
    if (where.segment >= segments_.size()) return false;
    const Segment& s = segments_[where.segment];
    if (s.sequence != where.sequence) return false;
    fd = s.fd;
  }
  bytes.resize(where.length);
  if (!ReadAll(fd, bytes.data(), where.length, where.offset)) return false;
  // Reused while we read: the bytes may belong to another frame.
  std::lock_guard lock(mutex_);
  return segments_[where.segment].sequence == where.sequence;
}

} // namespace recorder
