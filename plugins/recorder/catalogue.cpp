#include "catalogue.h"

#include <sqlite3.h>

namespace recorder {

namespace {

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS segments(
  id INTEGER PRIMARY KEY, camera INTEGER NOT NULL, name TEXT NOT NULL,
  start_us INTEGER NOT NULL, end_us INTEGER NOT NULL, path TEXT NOT NULL UNIQUE,
  bytes INTEGER NOT NULL DEFAULT 0, frames INTEGER NOT NULL DEFAULT 0,
  complete INTEGER NOT NULL DEFAULT 0, audio_frames INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS segments_by_camera ON segments(camera, start_us);
CREATE TABLE IF NOT EXISTS alarms(
  id INTEGER PRIMARY KEY, time_us INTEGER NOT NULL, source INTEGER NOT NULL,
  camera INTEGER NOT NULL, text TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS alarms_by_time ON alarms(time_us);
)";

constexpr const char* kSegmentColumns =
    "SELECT id, camera, name, start_us, end_us, path, bytes, frames, complete, audio_frames FROM "
    "segments ";

// A prepared statement, finalized on scope exit.
class Statement {
public:
  Statement(sqlite3* db, const char* sql) { ::sqlite3_prepare_v2(db, sql, -1, &s_, nullptr); }
  ~Statement() { ::sqlite3_finalize(s_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  explicit operator bool() const { return s_ != nullptr; }
  Statement& Bind(int i, int64_t v) {
    ::sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  Statement& Bind(int i, const std::string& v) {
    ::sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  int Step() { return ::sqlite3_step(s_); }
  int64_t Int(int column) { return ::sqlite3_column_int64(s_, column); }
  std::string Text(int column) {
    const auto* text = ::sqlite3_column_text(s_, column);
    return text == nullptr ? std::string()
                           : std::string(reinterpret_cast<const char*>(text),
                                         static_cast<size_t>(::sqlite3_column_bytes(s_, column)));
  }

private:
  sqlite3_stmt* s_ = nullptr;
};

} // namespace

std::unique_ptr<Catalogue> Catalogue::Open(const std::string& root, bool create,
                                           std::string& error) {
  const std::string path = root + "/catalogue.db";
  sqlite3* db = nullptr;
  const int flags = (create ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READWRITE) |
                    SQLITE_OPEN_NOMUTEX;
  if (::sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    error = path + ": " + (db != nullptr ? ::sqlite3_errmsg(db) : "cannot open");
    ::sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<Catalogue> catalogue(new Catalogue(db));
  // Searches read while the writer writes; a reader waits briefly for a lock.
  ::sqlite3_busy_timeout(db, 5000);
  if (!catalogue->Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") ||
      !catalogue->Exec(kSchema) || !catalogue->Migrate()) {
    error = path + ": " + catalogue->error();
    return nullptr;
  }
  return catalogue;
}

Catalogue::~Catalogue() {
  ::sqlite3_close(db_);
}

bool Catalogue::Fail(const char* what) {
  const int code = ::sqlite3_extended_errcode(db_);
  diskFull_ = (code & 0xFF) == SQLITE_FULL;
  error_ = std::string(what) + ": " + ::sqlite3_errmsg(db_);
  return false;
}

bool Catalogue::Exec(const char* sql) {
  char* message = nullptr;
  if (::sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error_ = message != nullptr ? message : "failed";
  diskFull_ = (::sqlite3_extended_errcode(db_) & 0xFF) == SQLITE_FULL;
  ::sqlite3_free(message);
  return false;
}

bool Catalogue::HasAudioColumn() {
  Statement s(db_, "SELECT 1 FROM pragma_table_info('segments') WHERE name = 'audio_frames'");
  return s && s.Step() == SQLITE_ROW;
}

bool Catalogue::Migrate() {
  if (HasAudioColumn()) return true;
  // A search opening the catalogue at the same moment may have added it first.
  return Exec("ALTER TABLE segments ADD COLUMN audio_frames INTEGER NOT NULL DEFAULT 0") ||
         HasAudioColumn();
}

int64_t Catalogue::AddSegment(const SegmentRow& row) {
  Statement s(db_, "INSERT INTO segments(camera, name, start_us, end_us, path, bytes, frames, "
                   "complete, audio_frames) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
  if (!s) return Fail("adding a segment"), 0;
  s.Bind(1, row.camera).Bind(2, row.name).Bind(3, row.startMicros).Bind(4, row.endMicros);
  s.Bind(5, row.path).Bind(6, static_cast<int64_t>(row.bytes));
  s.Bind(7, static_cast<int64_t>(row.frames)).Bind(8, row.complete ? 1 : 0);
  s.Bind(9, static_cast<int64_t>(row.audioFrames));
  if (s.Step() != SQLITE_DONE) return Fail("adding a segment"), 0;
  return ::sqlite3_last_insert_rowid(db_);
}

bool Catalogue::CompleteSegment(int64_t id, int64_t endMicros, uint64_t bytes, uint64_t frames,
                                uint64_t audioFrames) {
  Statement s(db_, "UPDATE segments SET end_us = ?2, bytes = ?3, frames = ?4, audio_frames = ?5, "
                   "complete = 1 WHERE id = ?1");
  if (!s) return Fail("completing a segment");
  s.Bind(1, id).Bind(2, endMicros).Bind(3, static_cast<int64_t>(bytes));
  s.Bind(4, static_cast<int64_t>(frames)).Bind(5, static_cast<int64_t>(audioFrames));
  return s.Step() == SQLITE_DONE || Fail("completing a segment");
}

bool Catalogue::RemoveSegment(int64_t id) {
  Statement s(db_, "DELETE FROM segments WHERE id = ?1");
  if (!s) return Fail("removing a segment");
  s.Bind(1, id);
  return s.Step() == SQLITE_DONE || Fail("removing a segment");
}

bool Catalogue::AddAlarm(const AlarmRow& row) {
  Statement s(db_, "INSERT INTO alarms(time_us, source, camera, text) VALUES(?1, ?2, ?3, ?4)");
  if (!s) return Fail("adding an alarm");
  s.Bind(1, row.timeMicros).Bind(2, static_cast<int64_t>(row.source)).Bind(3, row.camera);
  s.Bind(4, row.text);
  return s.Step() == SQLITE_DONE || Fail("adding an alarm");
}

std::vector<SegmentRow> Catalogue::SelectSegments(const char* sql, int64_t first, int64_t second,
                                                  int64_t third) {
  std::vector<SegmentRow> rows;
  Statement s(db_, sql);
  if (!s) return Fail("reading segments"), rows;
  s.Bind(1, first).Bind(2, second).Bind(3, third);
  int step;
  while ((step = s.Step()) == SQLITE_ROW) {
    SegmentRow row;
    row.id = s.Int(0);
    row.camera = static_cast<uint32_t>(s.Int(1));
    row.name = s.Text(2);
    row.startMicros = s.Int(3);
    row.endMicros = s.Int(4);
    row.path = s.Text(5);
    row.bytes = static_cast<uint64_t>(s.Int(6));
    row.frames = static_cast<uint64_t>(s.Int(7));
    row.complete = s.Int(8) != 0;
    row.audioFrames = static_cast<uint64_t>(s.Int(9));
    rows.push_back(std::move(row));
  }
  if (step != SQLITE_DONE) Fail("reading segments");
  return rows;
}

std::vector<SegmentRow> Catalogue::AllSegments() {
  return SelectSegments(
      (std::string(kSegmentColumns) + "WHERE ?1 = ?1 AND ?2 = ?2 AND ?3 = ?3 ORDER BY start_us, id")
          .c_str(),
      0, 0, 0);
}

std::vector<SegmentRow> Catalogue::OldestComplete(int64_t afterStart, int64_t afterId,
                                                  size_t limit) {
  return SelectSegments((std::string(kSegmentColumns) +
                         "WHERE complete = 1 AND (start_us > ?1 OR (start_us = ?1 AND id > ?2)) "
                         "ORDER BY start_us, id LIMIT ?3")
                            .c_str(),
                        afterStart, afterId, static_cast<int64_t>(limit));
}

std::vector<SegmentRow> Catalogue::Segments(uint32_t camera, int64_t from, int64_t to) {
  return SelectSegments((std::string(kSegmentColumns) +
                         "WHERE (?1 = 0 OR camera = ?1) AND start_us <= ?3 AND "
                         "(complete = 0 OR end_us >= ?2) ORDER BY camera, start_us, id")
                            .c_str(),
                        camera, from, to);
}

std::vector<AlarmRow> Catalogue::Alarms(uint32_t camera, int64_t from, int64_t to) {
  std::vector<AlarmRow> rows;
  Statement s(db_, "SELECT id, time_us, source, camera, text FROM alarms WHERE time_us BETWEEN ?2 "
                   "AND ?3 AND (?1 = 0 OR camera = ?1 OR camera = 0) ORDER BY time_us, id");
  if (!s) return Fail("reading alarms"), rows;
  s.Bind(1, camera).Bind(2, from).Bind(3, to);
  int step;
  while ((step = s.Step()) == SQLITE_ROW) {
    rows.push_back({s.Int(0), s.Int(1), static_cast<uint64_t>(s.Int(2)),
                    static_cast<uint32_t>(s.Int(3)), s.Text(4)});
  }
  if (step != SQLITE_DONE) Fail("reading alarms");
  return rows;
}

uint64_t Catalogue::TotalBytes() {
  Statement s(db_, "SELECT COALESCE(SUM(bytes), 0) FROM segments");
  if (!s || s.Step() != SQLITE_ROW) return Fail("summing segments"), 0;
  return static_cast<uint64_t>(s.Int(0));
}

} // namespace recorder
