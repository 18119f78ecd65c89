#pragma once
// The catalogue of recordings: <root>/catalogue.db, SQLite in WAL mode.
//
//   segments(id, camera, name, start_us, end_us, path, bytes, frames, complete,
//            audio_frames)
//     one row per segment file; path relative to the root; start_us and end_us
//     are the capture times of its first frame (always video) and its last
//     frame of either track (microseconds since the epoch, UTC); frames counts
//     video frames, audio_frames those of
//     its audio track; complete = 0 while it is written (or after a crash,
//     until the next start-up repairs it). Catalogues from before audio was
//     recorded gain audio_frames (0) when opened.
//   alarms(id, time_us, source, camera, text)
//     one row per alarm received; source is the sender's id word, camera the
//     Number its XML names (0 when none), text the payload.
//
// One Catalogue is one connection, used by one thread at a time; the writer
// and each search open their own, WAL lets them read while the writer writes.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

namespace recorder {

struct SegmentRow {
  int64_t id = 0;
  uint32_t camera = 0;
  std::string name; // the camera's name when the segment began
  int64_t startMicros = 0;
  int64_t endMicros = 0;
  std::string path; // relative to the root
  uint64_t bytes = 0;
  uint64_t frames = 0; // video
  bool complete = false;
  uint64_t audioFrames = 0;
};

struct AlarmRow {
  int64_t id = 0;
  int64_t timeMicros = 0;
  uint64_t source = 0;
  uint32_t camera = 0;
  std::string text;
};

class Catalogue {
public:
  // Opens (creating when `create`) <root>/catalogue.db; null with `error` set
  // when that fails.
  static std::unique_ptr<Catalogue> Open(const std::string& root, bool create, std::string& error);
  ~Catalogue();
  Catalogue(const Catalogue&) = delete;
  Catalogue& operator=(const Catalogue&) = delete;

  // The new row's id, or 0 on failure.
  int64_t AddSegment(const SegmentRow& row);
  bool CompleteSegment(int64_t id, int64_t endMicros, uint64_t bytes, uint64_t frames,
                       uint64_t audioFrames);
  bool RemoveSegment(int64_t id);
  bool AddAlarm(const AlarmRow& row);

  // Every segment, oldest start first.
  std::vector<SegmentRow> AllSegments();
  // The `limit` oldest complete segments starting after row `afterId`'s
  // (start 0 and id 0: from the oldest), oldest first.
  std::vector<SegmentRow> OldestComplete(int64_t afterStart, int64_t afterId, size_t limit);
  // Segments of `camera` (0: every camera) that may hold frames in
  // [fromMicros, toMicros], incomplete ones included; by camera, then start.
  std::vector<SegmentRow> Segments(uint32_t camera, int64_t fromMicros, int64_t toMicros);
  // Alarms in [fromMicros, toMicros] of `camera` or of no camera (camera 0:
  // all), oldest first.
  std::vector<AlarmRow> Alarms(uint32_t camera, int64_t fromMicros, int64_t toMicros);
  uint64_t TotalBytes();

  // The last failure's text, and whether it was a full disk.
  const std::string& error() const { return error_; }
  bool diskFull() const { return diskFull_; }

private:
  explicit Catalogue(sqlite3* db) : db_(db) {}
  bool Exec(const char* sql);
  bool HasAudioColumn();
  bool Migrate();
  bool Fail(const char* what);
  // Runs a segment query with three numbered parameters.
  std::vector<SegmentRow> SelectSegments(const char* sql, int64_t first, int64_t second,
                                         int64_t third);

  sqlite3* db_;
  std::string error_;
  bool diskFull_ = false;
};

} // namespace recorder
