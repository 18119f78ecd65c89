#include "catalogue_repair.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "segment_path.h"
#include "segment_reader.h"

namespace fs = std::filesystem;

namespace recorder {

namespace {

uint64_t BigEndian(const uint8_t* p, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | p[i];
  return value;
}

// The end of the last complete top-level box, not counting a moof whose mdat
// is not complete.
uint64_t CompleteLength(int fd, uint64_t size) {
  uint64_t at = 0, good = 0;
  while (at + 8 <= size) {
    uint8_t head[16];
    if (::pread(fd, head, sizeof head, static_cast<off_t>(at)) < 8) break;
    uint64_t length = BigEndian(head, 4);
    const std::string type(reinterpret_cast<const char*>(head + 4), 4);
    if (length == 1) {
      if (at + 16 > size) break;
      length = BigEndian(head + 8, 8);
    } else if (length == 0) {
      length = size - at; // to the end of the file
    }
    if (length < 8 || at + length > size) break;
    at += length;
    if (type != "moof") good = at; // a fragment counts once its mdat is whole
  }
  return good;
}

std::string AudioCount(const SegmentMeasure& m) {
  return m.audioFrames > 0 ? std::to_string(m.audioFrames) + " audio frames, " : "";
}

} // namespace

SegmentMeasure MeasureSegment(const std::string& path, int64_t startMicros) {
  SegmentMeasure measure;
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return measure;
  struct stat info {};
  if (::fstat(fd, &info) == 0) {
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    const uint64_t good = CompleteLength(fd, size);
    measure.bytes = size;
    if (good < size && ::ftruncate(fd, static_cast<off_t>(good)) == 0) {
      measure.bytes = good;
      measure.cut = true;
    }
  }
  ::close(fd);
  std::string error;
  auto reader = SegmentReader::Open(path, startMicros, error);
  if (reader == nullptr) return measure;
  StoredFrame frame;
  while (reader->Next(frame)) {
    if (measure.frames++ == 0) measure.firstMicros = frame.micros;
    measure.lastMicros = frame.micros;
  }
  auto audio = SegmentReader::Open(path, startMicros, error, Track::Audio);
  while (audio != nullptr && audio->Next(frame)) {
    ++measure.audioFrames;
    measure.lastMicros = std::max(measure.lastMicros, frame.micros);
  }
  return measure;
}

void RepairCatalogue(Catalogue& catalogue, const std::string& root, const LogFn& log) {
  std::set<std::string> known;
  for (const SegmentRow& row : catalogue.AllSegments()) {
    known.insert(row.path);
    const std::string full = root + "/" + row.path;
    std::error_code failure;
    if (!fs::exists(full, failure)) {
      if (catalogue.RemoveSegment(row.id))
        log(kWarning, "recorder: " + row.path + " is gone: its catalogue row is dropped");
      continue;
    }
    if (row.complete) continue;
    const SegmentMeasure m = MeasureSegment(full, row.startMicros);
    if (m.frames == 0) {
      fs::remove(full, failure);
      if (catalogue.RemoveSegment(row.id))
        log(kWarning, "recorder: " + row.path +
                          " was left open by an interrupted run with no complete frame: removed");
      continue;
    }
    if (catalogue.CompleteSegment(row.id, m.lastMicros, m.bytes, m.frames, m.audioFrames))
      log(kInfo, "recorder: " + row.path + " was left open by an interrupted run: completed with " +
                     std::to_string(m.frames) + " frames, " + AudioCount(m) +
                     std::to_string(m.bytes) + " bytes" +
                     (m.cut ? " (an incomplete fragment cut off)" : ""));
  }

  // Files below the root that the catalogue does not know.
  std::error_code failure;
  for (const auto& directory : fs::directory_iterator(root, failure)) {
    if (!directory.is_directory(failure)) continue;
    for (const auto& file : fs::directory_iterator(directory.path(), failure)) {
      const std::string relative =
          directory.path().filename().string() + "/" + file.path().filename().string();
      if (known.count(relative) != 0 || !file.is_regular_file(failure)) continue;
      const auto parts = ParseSegmentPath(relative);
      if (!parts) continue; // not a segment of ours
      const SegmentMeasure m = MeasureSegment(file.path().string(), -1);
      if (m.frames == 0) {
        log(kWarning, "recorder: " + relative +
                          " has no catalogue row and no readable frame: "
                          "left alone");
        continue;
      }
      SegmentRow row;
      row.camera = parts->camera;
      row.name = parts->name;
      // The file records its start to the microsecond; its name, to the second.
      row.startMicros = m.firstMicros > 0 ? m.firstMicros : parts->startMicros;
      row.endMicros = m.firstMicros > 0 ? m.lastMicros : parts->startMicros;
      row.path = relative;
      row.bytes = m.bytes;
      row.frames = m.frames;
      row.audioFrames = m.audioFrames;
      row.complete = true;
      if (catalogue.AddSegment(row) != 0)
        log(kInfo,
            "recorder: " + relative + " had no catalogue row: adopted with " +
                std::to_string(m.frames) + " frames" +
                (m.audioFrames > 0 ? ", " + std::to_string(m.audioFrames) + " audio frames" : ""));
    }
  }
}

} // namespace recorder
