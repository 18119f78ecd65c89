// The recorder with the real core: a clip camera posts real H.264 (a test
// pattern, 10 frames a second, a key frame every second), the recorder writes
// fragmented MP4 segments and a SQLite catalogue, answers media searches from
// them, survives kill -9, removes the oldest segments past MaxBytes; and
// corvane-export cuts a range into one MP4. ffprobe judges every file. A
// camera with sound (ipcam.so pulling H.264 and AAC from a real RTSP server)
// gets its audio recorded, searched and exported along.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sched.h>
#include <sqlite3.h>
#include <string>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

#include "core_harness.h"
#include "media_tools.h"

namespace {

// Standard output and error together.
CommandOutcome Shell(const std::string& line) {
  return RunCommand(line + " 2>&1");
}

// Frames ffprobe decodes, -1 when it reports any error.
long PlayableFrames(const fs::path& file, double* duration = nullptr) {
  const CommandOutcome probe =
      Shell("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
            "stream=nb_read_frames:format=duration -of default=nw=1 '" +
            file.string() + "'");
  std::smatch match;
  if (probe.status != 0 || probe.out.find("rror") != std::string::npos ||
      !std::regex_search(probe.out, match, std::regex("nb_read_frames=([0-9]+)"))) {
    ADD_FAILURE() << file << ": " << probe.out;
    return -1;
  }
  std::smatch seconds;
  if (duration != nullptr &&
      std::regex_search(probe.out, seconds, std::regex("duration=([0-9.]+)")))
    *duration = std::stod(seconds[1]);
  return std::stol(match[1]);
}

// Rows of a query on the catalogue, columns joined by '|'.
std::vector<std::string> Query(const fs::path& db, const std::string& sql) {
  std::vector<std::string> rows;
  sqlite3* handle = nullptr;
  if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(handle);
    ADD_FAILURE() << "cannot open " << db;
    return rows;
  }
  sqlite3_exec(
      handle, sql.c_str(),
      [](void* into, int columns, char** values, char**) {
        std::string row;
        for (int i = 0; i < columns; ++i)
          row += (i ? "|" : "") + std::string(values[i] ? values[i] : "");
        static_cast<std::vector<std::string>*>(into)->push_back(row);
        return 0;
      },
      &rows, nullptr);
  sqlite3_close(handle);
  return rows;
}

// "key=value" fields of the clip camera's output lines starting with `kind`.
std::vector<std::map<std::string, std::string>> Lines(const CoreLayout& layout,
                                                      const std::string& kind) {
  std::vector<std::map<std::string, std::string>> lines;
  std::istringstream in(layout.ReadFile("clipcam.out"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(kind + " ", 0) != 0) continue;
    std::map<std::string, std::string> fields;
    std::istringstream words(line.substr(kind.size() + 1));
    for (std::string word; words >> word;) {
      const size_t eq = word.find('=');
      if (eq != std::string::npos) fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    lines.push_back(fields);
  }
  return lines;
}

// Decoded frames per codec ("h264", "aac") of every stream of a file; empty,
// with a failure, when ffprobe reports any error.
std::map<std::string, long> StreamFrames(const fs::path& file) {
  const CommandOutcome probe = Shell("ffprobe -v error -count_frames -show_entries "
                                     "stream=codec_name,nb_read_frames -of csv=p=0 '" +
                                     file.string() + "'");
  std::map<std::string, long> frames;
  std::smatch match;
  static const std::regex line("([a-z0-9]+),([0-9]+)");
  for (auto at = probe.out.cbegin(); std::regex_search(at, probe.out.cend(), match, line);
       at = match.suffix().first)
    frames[match[1]] += std::stol(match[2]);
  if (probe.status != 0 || probe.out.find("rror") != std::string::npos || frames.empty()) {
    ADD_FAILURE() << file << ": " << probe.out;
    frames.clear();
  }
  return frames;
}

std::vector<std::map<std::string, std::string>> Results(const CoreLayout& layout, int search) {
  auto all = Lines(layout, "result");
  std::erase_if(all, [&](auto& r) { return r["search"] != std::to_string(search); });
  return all;
}

std::vector<fs::path> Segments(const fs::path& directory) {
  std::vector<fs::path> files;
  if (fs::exists(directory))
    for (const auto& entry : fs::directory_iterator(directory)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::string IsoUtc(int64_t micros) {
  const time_t seconds = static_cast<time_t>(micros / 1000000);
  std::tm t{};
  gmtime_r(&seconds, &t);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                static_cast<long long>(micros % 1000000));
  return text;
}

class RecorderTest : public ::testing::Test {
protected:
  void Install(const std::string& camera, const std::string& recorder) {
    layout_.AddPlugin(fs::path(CORVANE_SAMPLE_PLUGIN_DIR) / "recorder.so");
    layout_.AddPlugin(fs::path(CORVANE_TEST_PLUGIN_DIR) / "clipcam.so");
    layout_.WriteFile("clipcam.cfg", "clip " + std::string(CORVANE_TEST_CLIP) + "\n" + camera);
    layout_.WriteFile("recorder.xml", recorder);
  }
  int64_t FirstMicros() {
    const auto frames = Lines(layout_, "frame");
    return frames.empty() ? 0 : std::stoll(frames.front().at("micros"));
  }
  size_t Posted(const std::string& camera) {
    const auto frames = Lines(layout_, "frame");
    return std::count_if(frames.begin(), frames.end(),
                         [&](const auto& f) { return f.at("camera") == camera; });
  }
  fs::path Root() const { return layout_.work / "recordings"; }
  // Runs the core until clipcam has posted its frames and its searches are
  // done, then stops it; `out` is the core's standard output.
  void RunUntilCamerasDone(std::chrono::seconds limit, std::string& out) {
    CoreProcess core(layout_);
    core.Start();
    ASSERT_TRUE(WaitUntil(
        [&] { return layout_.ReadFile("clipcam.out").find("done") != std::string::npos; }, limit))
        << core.Stdout() << layout_.ReadFile("clipcam.out");
    core.Signal(SIGTERM);
    ASSERT_EQ(core.Wait(20s).code, 0);
    out = core.Stdout();
  }

  CoreLayout layout_;
};

} // namespace

TEST_F(RecorderTest, RecordsPlayableSegmentsAnswersSearchesAndExports) {
  Install("cameras 2\nnames gate,yard\nfps 10\nseconds 3.2\n"
          "search1 1 5 1250 2050\n"  // video and alarms of camera 1
          "search2 0 4 -1000 5000\n" // every camera's alarms
          "search3 0 1 0 3000 3\n",  // cancelled after 3 results
          "<Recorder SegmentSeconds=\"1\"/>");
  std::string out;
  ASSERT_NO_FATAL_FAILURE(RunUntilCamerasDone(20s, out));
  const int64_t first = FirstMicros();

  // Every frame posted is in a segment that plays, named after its camera.
  for (const auto& [number, name] :
       {std::pair<std::string, std::string>{"1", "1-gate"}, {"2", "2-yard"}}) {
    const auto files = Segments(Root() / name);
    EXPECT_GE(files.size(), 3u) << name;
    long frames = 0;
    for (const fs::path& file : files) {
      const long playable = PlayableFrames(file);
      const auto row = Query(Root() / "catalogue.db",
                             "SELECT frames, complete, bytes FROM segments WHERE path = '" + name +
                                 "/" + file.filename().string() + "'");
      ASSERT_EQ(row.size(), 1u) << file;
      EXPECT_EQ(row[0], std::to_string(playable) + "|1|" + std::to_string(fs::file_size(file)));
      frames += playable;
    }
    EXPECT_EQ(frames, static_cast<long>(Posted(number))) << name;
  }
  EXPECT_EQ(Query(Root() / "catalogue.db", "SELECT COUNT(*) FROM alarms WHERE text LIKE "
                                           "'%State=\"online\"%'"),
            std::vector<std::string>{"2"});

  // Search 1: camera 1 from the key frame at or before 1.25 s up to 2.05 s, in order, then the end.
  const auto one = Results(layout_, 1);
  ASSERT_GE(one.size(), 2u) << layout_.ReadFile("clipcam.out");
  EXPECT_EQ(one.front().at("key"), "1");
  EXPECT_EQ(std::stoll(one.front().at("micros")), first + 1000000);
  for (size_t i = 0; i + 1 < one.size(); ++i) {
    EXPECT_EQ(one[i].at("type"), "1");
    EXPECT_EQ(one[i].at("camera"), "1");
    EXPECT_EQ(one[i].at("end"), "0");
    if (i > 0) {
      EXPECT_GT(std::stoll(one[i].at("micros")), std::stoll(one[i - 1].at("micros")));
    }
  }
  EXPECT_EQ(one.size(), 11u + 1u); // 1.0 s to 2.0 s, and the end record
  EXPECT_EQ(one.back().at("end"), "1");
  EXPECT_EQ(one.back().at("len"), "0");

  // Search 2: every stored alarm (the two camera-state ones among them), in
  // order, then an end record of type alarm.
  const auto two = Results(layout_, 2);
  ASSERT_GE(two.size(), 3u) << layout_.ReadFile("clipcam.out");
  std::string cameras;
  for (size_t i = 0; i + 1 < two.size(); ++i) {
    EXPECT_EQ(two[i].at("type"), "4");
    EXPECT_EQ(two[i].at("end"), "0");
    if (two[i].at("camera") != "0") cameras += two[i].at("camera");
    if (i > 0) {
      EXPECT_GE(std::stoll(two[i].at("micros")), std::stoll(two[i - 1].at("micros")));
    }
  }
  EXPECT_EQ(cameras, "12");
  EXPECT_EQ(two.back().at("end"), "1");
  EXPECT_EQ(two.back().at("type"), "4");

  // Search 3: cancelled at its third result. The one result already waiting
  // for the third's release still arrives; nothing after it, no end record.
  const auto three = Results(layout_, 3);
  EXPECT_GE(three.size(), 3u);
  EXPECT_LE(three.size(), 4u);
  for (const auto& r : three) EXPECT_EQ(r.at("end"), "0");
  EXPECT_TRUE(std::regex_search(
      out,
      std::regex("recorder: search 0003: sent [34] frames \\(0 audio\\) and 0 alarms, cancelled")))
      << out;

  // corvane-export, with no core: from the key frame at or before --from.
  const std::string exportTool =
      std::string(CORVANE_EXPORT_BINARY) + " --root '" + Root().string() + "' --camera 1 ";
  const fs::path clip = layout_.work / "clip.mp4";
  const CommandOutcome cut = Shell(exportTool + "--from " + IsoUtc(first + 1250000) + " --to " +
                                   IsoUtc(first + 2550000) + " -o '" + clip.string() + "'");
  ASSERT_EQ(cut.status, 0) << cut.out;
  double seconds = 0;
  EXPECT_EQ(PlayableFrames(clip, &seconds), 16); // 1.0 s to 2.5 s
  EXPECT_NEAR(seconds, 1.3, 0.35);               // the range, within one GOP

  const CommandOutcome nothing =
      Shell(exportTool + "--from " + IsoUtc(first + 86400000000) + " --to " +
            IsoUtc(first + 86460000000) + " -o '" + (layout_.work / "none.mp4").string() + "'");
  EXPECT_EQ(nothing.status, 1) << nothing.out;
  EXPECT_NE(nothing.out.find("nothing recorded"), std::string::npos) << nothing.out;
  EXPECT_FALSE(fs::exists(layout_.work / "none.mp4"));
}

TEST_F(RecorderTest, KillDuringASegmentLosesAtMostOneGopAndTheNextStartCompletesIt) {
  Install("cameras 1\nnames gate\nfps 10\nseconds 30\n", "<Recorder SegmentSeconds=\"60\"/>");
  {
    CoreProcess core(layout_);
    core.Start();
    ASSERT_TRUE(WaitUntil([&] { return Posted("1") >= 35; }, 20s)) << core.Stdout();
    core.Signal(SIGKILL);
    core.Wait(10s);
  }
  const size_t posted = Posted("1");
  const auto files = Segments(Root() / "1-gate");
  ASSERT_EQ(files.size(), 1u);
  const long playable = PlayableFrames(files[0]);
  EXPECT_GE(playable, static_cast<long>(posted) - 10); // one GOP
  EXPECT_LE(playable, static_cast<long>(posted));
  EXPECT_EQ(Query(Root() / "catalogue.db", "SELECT complete FROM segments"),
            std::vector<std::string>{"0"});

  // The next start, without the camera: the row is completed from the file.
  fs::remove(layout_.bin / "plugins" / "clipcam.so");
  CoreProcess again(layout_);
  again.Start();
  EXPECT_TRUE(again.WaitForStdout("was left open by an interrupted run: completed with", 20s))
      << again.Stdout();
  again.Signal(SIGTERM);
  EXPECT_EQ(again.Wait(20s).code, 0);
  EXPECT_EQ(Query(Root() / "catalogue.db", "SELECT frames, complete FROM segments"),
            std::vector<std::string>{std::to_string(PlayableFrames(files[0])) + "|1"});
}

TEST_F(RecorderTest, PastMaxBytesTheOldestSegmentsGoFirst) {
  constexpr uint64_t kMaxBytes = 30000;
  Install("cameras 1\nnames gate\nfps 10\nseconds 6\n",
          "<Recorder SegmentSeconds=\"1\" MaxBytes=\"" + std::to_string(kMaxBytes) + "\"/>");
  CoreProcess core(layout_);
  core.Start();
  ASSERT_TRUE(WaitUntil([&] { return Posted("1") >= 60; }, 20s)) << core.Stdout();
  core.Signal(SIGTERM);
  ASSERT_EQ(core.Wait(20s).code, 0);

  const auto files = Segments(Root() / "1-gate");
  uint64_t total = 0, largest = 0;
  for (const fs::path& file : files) {
    total += fs::file_size(file);
    largest = std::max<uint64_t>(largest, fs::file_size(file));
  }
  EXPECT_LE(total, kMaxBytes + largest);
  EXPECT_LT(files.size(), 6u);
  EXPECT_GE(core.CountStdout("over MaxBytes)"), 1u) << core.Stdout();
  // What is left is the newest, and the catalogue knows exactly that.
  const auto rows = Query(Root() / "catalogue.db", "SELECT path FROM segments ORDER BY start_us");
  ASSERT_EQ(rows.size(), files.size());
  for (size_t i = 0; i < files.size(); ++i)
    EXPECT_EQ(rows[i], "1-gate/" + files[i].filename().string());
  const auto frames = Lines(layout_, "frame");
  const int64_t lastKey = [&] {
    int64_t last = 0;
    for (const auto& f : frames)
      if (f.at("key") == "1") last = std::stoll(f.at("micros"));
    return last;
  }();
  EXPECT_EQ(Query(Root() / "catalogue.db", "SELECT MAX(start_us) FROM segments"),
            std::vector<std::string>{std::to_string(lastKey)});
}

TEST_F(RecorderTest, AFullDiskStopsRecordingOnceAndRoomAgainResumesIt) {
  Install("cameras 2\nnames gate,yard\nfps 20\nseconds 30\n", "<Recorder SegmentSeconds=\"1\"/>");
  fs::create_directories(Root());
  // The core gets a user and mount namespace of its own, with the recordings
  // on a 160 KiB tmpfs.
  const std::string uidMap = std::to_string(::getuid()) + " " + std::to_string(::getuid()) + " 1";
  const std::string gidMap = std::to_string(::getgid()) + " " + std::to_string(::getgid()) + " 1";
  const std::string target = Root().string();
  CoreProcess::Options options;
  options.beforeExec = [uidMap, gidMap, target] {
    auto put = [](const char* path, const std::string& text) {
      const int fd = ::open(path, O_WRONLY);
      const bool ok =
          fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
      if (fd >= 0) ::close(fd);
      return ok;
    };
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 || !put("/proc/self/setgroups", "deny") ||
        !put("/proc/self/uid_map", uidMap) || !put("/proc/self/gid_map", gidMap) ||
        ::mount("tmpfs", target.c_str(), "tmpfs", 0, "size=160k") != 0)
      _exit(77);
  };
  CoreProcess core(layout_, options);
  core.Start();
  if (!core.WaitForStdout("the disk is full", 20s)) {
    const ExitStatus status = core.Wait(1s);
    if (status.exited && status.code == 77) GTEST_SKIP() << "no user namespaces to mount a tmpfs";
    FAIL() << core.Stdout();
  }
  ASSERT_TRUE(WaitUntil([&] {
    return layout_.ReadFile("clipcam.out")
               .find("alarm <?xml version=\"1.0\"?><Varn><Recorder "
                     "State=\"disk-full\"") != std::string::npos;
  }));

  // Room again: the segments go (as a person would delete them), and the
  // recorder notices by itself.
  const fs::path inside =
      fs::path("/proc") / std::to_string(core.pid()) / "root" / Root().relative_path();
  for (const char* camera : {"1-gate", "2-yard"})
    for (const fs::path& file : Segments(inside / camera)) fs::remove(file);
  ASSERT_TRUE(core.WaitForStdout("recording resumes", 10s)) << core.Stdout();
  ASSERT_TRUE(WaitUntil([&] {
    return layout_.ReadFile("clipcam.out").find("State=\"recording\"") != std::string::npos;
  }));
  const std::string out = core.Stdout();
  const std::string before = out.substr(0, out.find("recording resumes"));
  // One line for the whole stop: nothing else from the recorder between where
  // it records and "the disk has room again".
  size_t lines = 0;
  for (size_t at = before.find("recorder: "); at != std::string::npos;
       at = before.find("recorder: ", at + 1))
    ++lines;
  EXPECT_EQ(lines, 3u) << out;
  EXPECT_NE(before.find("recorder: the disk is full ("), std::string::npos) << out;
  // New segments again, and the core and the camera ran on all along. The two
  // cameras share 160 KiB, so the disk may fill again at once, and a segment
  // cut short before its first fragment is dropped: one camera's, at least.
  EXPECT_TRUE(WaitUntil([&] {
    return !Segments(inside / "1-gate").empty() || !Segments(inside / "2-yard").empty();
  }));
  for (const auto& frame : Lines(layout_, "frame")) EXPECT_EQ(frame.at("posted"), "0");
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(20s).code, 0);
}

// A camera with sound: every AAC frame after the first GOP is in a segment
// next to the video; a search for both kinds gets them in time order, one for
// audio alone its range; the stored audio records are ADTS again (ffprobe
// decodes them), and an export carries the sound.
TEST_F(RecorderTest, AudioOfAnRtspCameraIsRecordedSearchedAndExported) {
  RtspServer server({}, {{"door", TestClipWithAudio(30)}});
  server.Start();
  layout_.AddPlugin(fs::path(CORVANE_SAMPLE_PLUGIN_DIR) / "ipcam.so");
  layout_.WriteFile("ipcam.xml", "<Cameras><Camera Number=\"1\" Name=\"door\" Url=\"" +
                                     server.Url("door") + "\" Audio=\"1\"/></Cameras>");
  Install("cameras 0\nseconds 6\n"
          "search1 1 3 -10000 60000\n" // video and audio of camera 1
          "search2 1 2 3000 4000\n",   // its audio alone, one second
          "<Recorder SegmentSeconds=\"2\"/>");
  std::string out;
  ASSERT_NO_FATAL_FAILURE(RunUntilCamerasDone(30s, out));
  const auto start = Lines(layout_, "start");
  ASSERT_EQ(start.size(), 1u);
  const int64_t first = std::stoll(start[0].at("micros"));

  // Segments with an AAC track whose frames the catalogue counts; together
  // they hold what the camera posted but the first GOP's sound (the first
  // segment opened before any audio had arrived).
  long recorded = 0;
  for (const fs::path& file : Segments(Root() / "1-door")) {
    const auto frames = StreamFrames(file);
    EXPECT_GT(frames.count("h264"), 0u) << file;
    const auto row =
        Query(Root() / "catalogue.db", "SELECT audio_frames FROM segments WHERE path = '1-door/" +
                                           file.filename().string() + "'");
    ASSERT_EQ(row.size(), 1u) << file;
    EXPECT_EQ(row[0], std::to_string(frames.count("aac") ? frames.at("aac") : 0)) << file;
    recorded += frames.count("aac") ? frames.at("aac") : 0;
  }
  std::smatch match;
  ASSERT_TRUE(std::regex_search(out, match, std::regex("([0-9]+) audio frames posted"))) << out;
  const long posted = std::stol(match[1]);
  EXPECT_GT(recorded, 150); // about 5 s of 46.875 frames a second
  EXPECT_LE(recorded, posted);
  EXPECT_GE(recorded, posted - 47 - 2) << out; // one GOP (47 frames), a frame either side
  EXPECT_TRUE(
      std::regex_search(out, std::regex("recorder: [0-9]+ video and " + std::to_string(recorded) +
                                        " audio frames recorded")))
      << out;

  // Search 1: both kinds of camera 1, in capture order, from a key frame, then the end.
  const auto one = Results(layout_, 1);
  ASSERT_GE(one.size(), 3u) << layout_.ReadFile("clipcam.out");
  EXPECT_EQ(one.front().at("type"), "1");
  EXPECT_EQ(one.front().at("key"), "1");
  long audio = 0;
  for (size_t i = 0; i + 1 < one.size(); ++i) {
    EXPECT_EQ(one[i].at("end"), "0");
    if (i > 0) {
      EXPECT_GE(std::stoll(one[i].at("micros")), std::stoll(one[i - 1].at("micros")));
    }
    if (one[i].at("type") == "2") {
      ++audio;
      EXPECT_EQ(one[i].at("codec"), "16");
      EXPECT_EQ(one[i].at("key"), "1");
      const int64_t micros = std::stoll(one[i].at("micros"));
      EXPECT_EQ(std::stoll(one[i].at("pts")),
                micros / 1000000 * 48000 + micros % 1000000 * 48 / 1000);
    } else {
      EXPECT_EQ(one[i].at("type"), "1");
      EXPECT_EQ(one[i].at("codec"), "1");
    }
  }
  EXPECT_GT(audio, 100);
  EXPECT_EQ(one.back().at("end"), "1");
  EXPECT_EQ(one.back().at("type"), "1");
  // The audio records are ADTS: a decoder takes them one after the other.
  EXPECT_EQ(StreamFrames(layout_.work / "clipcam-1.audio")["aac"], audio);

  // Search 2: audio alone, from the first frame at or after 3 s up to 4 s.
  const auto two = Results(layout_, 2);
  ASSERT_GE(two.size(), 40u) << layout_.ReadFile("clipcam.out");
  for (size_t i = 0; i + 1 < two.size(); ++i) {
    EXPECT_EQ(two[i].at("type"), "2");
    EXPECT_GE(std::stoll(two[i].at("micros")), first + 3000000);
    EXPECT_LE(std::stoll(two[i].at("micros")), first + 4000000);
  }
  EXPECT_LT(std::stoll(two.front().at("micros")), first + 3000000 + 25000); // one AAC frame
  EXPECT_LE(two.size() - 1, 48u);
  EXPECT_EQ(two.back().at("end"), "1");
  EXPECT_EQ(two.back().at("type"), "2");

  // The export of a range has both streams, and they play.
  const fs::path clip = layout_.work / "door.mp4";
  const CommandOutcome cut = Shell(
      std::string(CORVANE_EXPORT_BINARY) + " --root '" + Root().string() + "' --camera 1 --from " +
      IsoUtc(first + 2500000) + " --to " + IsoUtc(first + 5000000) + " -o '" + clip.string() + "'");
  ASSERT_EQ(cut.status, 0) << cut.out;
  const auto exported = StreamFrames(clip);
  EXPECT_GE(exported.count("h264") ? exported.at("h264") : 0, 50); // 2.5 s at 25 frames a second
  EXPECT_GE(exported.count("aac") ? exported.at("aac") : 0, 100);  // and its sound
}
