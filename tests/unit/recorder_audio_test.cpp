// The recorder's audio track: Opus packets go into the segment next to the
// video and come back byte for byte at their capture times; G.711, which MP4
// cannot hold, is refused with one Warning and the video recorded alone; a
// catalogue from before audio gains its column and keeps its rows.
#include <sqlite3.h>

#include "recording_fixture.h"
#include "segment_reader.h"
#include "segment_recorder.h"

namespace {

constexpr int64_t kStart = 1796731200000000; // 2026-12-08T10:00:00Z

class RecorderAudio : public RecordingRoot {};

} // namespace

TEST_F(RecorderAudio, OpusIsRecordedNextToTheVideoAndG711IsRefusedOnce) {
  recorder::RecorderConfig config;
  config.root = root.string();
  std::vector<std::string> warnings;
  recorder::SegmentRecorder segments(
      config,
      [&](int32_t level, const std::string& line) {
        if (level == recorder::kWarning) warnings.push_back(line);
      },
      [](const std::string&) {});
  std::string error;
  ASSERT_TRUE(segments.Start(error)) << error;

  // Two cameras for 3 s: video at 10 frames a second, a key frame every
  // second; after each video frame five 20 ms audio frames, the first 7 ms
  // after it. Camera 1 sends G.711, camera 2 Opus (CELT, 20 ms, stereo).
  std::vector<std::pair<int64_t, std::vector<uint8_t>>> opus; // what should come back
  for (int i = 0; i < 30; ++i) {
    const std::string& unit = units[static_cast<size_t>(i) % units.size()];
    const int64_t micros = kStart + i * 100000;
    for (uint32_t camera : {1u, 2u}) {
      recorder::LiveFrame video;
      video.camera = camera;
      video.codec = RK_CODEC_H264;
      video.width = 160;
      video.height = 120;
      video.micros = micros;
      video.key = i % 10 == 0;
      video.data = reinterpret_cast<const uint8_t*>(unit.data());
      video.length = unit.size();
      EXPECT_TRUE(segments.Write(video));
      for (int a = 0; a < 5; ++a) {
        const int64_t at = micros + 7000 + a * 20000;
        std::vector<uint8_t> payload(camera == 1 ? 160 : 40, static_cast<uint8_t>(i * 5 + a));
        if (camera == 2) payload[0] = 0xFC; // config 31, stereo, one frame
        recorder::LiveFrame audio;
        audio.camera = camera;
        audio.codec = camera == 1 ? RK_CODEC_G711U : RK_CODEC_OPUS;
        audio.audio = audio.key = true;
        audio.micros = at;
        audio.pts = (at - kStart) * 48 / 1000;
        audio.data = payload.data();
        audio.length = payload.size();
        const bool written = segments.Write(audio);
        // The first segment opened before the audio's first frame: none in it.
        EXPECT_EQ(written, camera == 2 && i >= 10) << i << " " << a;
        if (written) opus.emplace_back(at, payload);
      }
    }
  }
  segments.Stop();

  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0], "recorder: camera 1: G.711 audio cannot go into an MP4 segment: its "
                         "video is recorded without sound");
  uint64_t audioFrames[3] = {};
  std::string second; // camera 2's segment from 1 s on
  for (const recorder::SegmentRow& row : catalogue->AllSegments()) {
    audioFrames[row.camera] += row.audioFrames;
    if (row.camera == 2 && row.startMicros == kStart + 1000000) second = row.path;
  }
  EXPECT_EQ(audioFrames[1], 0u);
  EXPECT_EQ(audioFrames[2], opus.size());
  ASSERT_FALSE(second.empty());

  auto reader = recorder::SegmentReader::Open((root / second).string(), kStart + 1000000, error,
                                              recorder::Track::Audio);
  ASSERT_NE(reader, nullptr) << error;
  recorder::StoredFrame frame;
  size_t n = 0;
  while (reader->Next(frame) && n < opus.size()) {
    EXPECT_TRUE(frame.audio);
    EXPECT_EQ(frame.codec, static_cast<uint32_t>(RK_CODEC_OPUS));
    EXPECT_NEAR(frame.micros, opus[n].first, 100) << n;
    EXPECT_EQ(frame.data, opus[n].second) << n;
    ++n;
  }
  EXPECT_EQ(n, 100u); // 1 s to 3 s, at 50 a second
}

TEST_F(RecorderAudio, ACatalogueFromBeforeAudioGainsItsColumn) {
  catalogue.reset();
  fs::remove(root / "catalogue.db");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((root / "catalogue.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(db,
                   "CREATE TABLE segments(id INTEGER PRIMARY KEY, camera INTEGER NOT NULL, "
                   "name TEXT NOT NULL, start_us INTEGER NOT NULL, end_us INTEGER NOT NULL, "
                   "path TEXT NOT NULL UNIQUE, bytes INTEGER NOT NULL DEFAULT 0, frames "
                   "INTEGER NOT NULL DEFAULT 0, complete INTEGER NOT NULL DEFAULT 0);"
                   "INSERT INTO segments VALUES(7, 1, 'gate', 1, 2, '1-gate/a.mp4', 3, 4, 1);",
                   nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(db);

  std::string error;
  catalogue = recorder::Catalogue::Open(root.string(), true, error);
  ASSERT_NE(catalogue, nullptr) << error;
  auto rows = catalogue->AllSegments();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].path, "1-gate/a.mp4");
  EXPECT_EQ(rows[0].frames, 4u);
  EXPECT_EQ(rows[0].audioFrames, 0u);
  EXPECT_TRUE(catalogue->CompleteSegment(7, 2, 3, 4, 5));
  EXPECT_EQ(catalogue->AllSegments()[0].audioFrames, 5u);
  // A second opening finds the column there.
  EXPECT_NE(recorder::Catalogue::Open(root.string(), false, error), nullptr) << error;
}
