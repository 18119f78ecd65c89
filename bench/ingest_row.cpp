// Row 10: ingest and record. The real core binary with ipcam.so playing N
// file cameras at real time from one 1080p clip, and the recorder writing
// them: CPU seconds the whole core process uses per camera-second of video,
// against a plain libavformat read loop over the same clip in this process
// (what demultiplexing alone costs). 10b: frames posted against the frames
// real time calls for (does the machine keep up). 10c: frames the recorder's
// catalogue holds after Close against the frames posted (nothing lost).
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "bench_rows.h"

extern "C" {
#include <libavformat/avformat.h>
}
#include <sqlite3.h>

extern char** environ;

namespace {

constexpr int kCameras = 16;
constexpr int kClipSeconds = 10;
constexpr int kFramesPerSecond = 25;
constexpr auto kWarmUp = std::chrono::seconds(3);

void Copy(const fs::path& from, const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_all);
}

// 1080p at 25 frames/s, 4 Mbit/s, a key frame every second.
fs::path MakeClip(const fs::path& directory) {
  const fs::path clip = directory / "clip-1080p.mp4";
  const std::string command =
      "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -t " +
      std::to_string(kClipSeconds) +
      " -c:v libx264 -preset ultrafast -b:v 4M -maxrate 4M -bufsize 8M -g 25 -keyint_min 25 "
      "-sc_threshold 0 -bf 0 -pix_fmt yuv420p '" +
      clip.string() + "'";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("ffmpeg failed: " + command);
  return clip;
}

long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) {
      stime = std::stol(field);
      break;
    }
  }
  return utime + stime;
}

struct IngestRun {
  double cpuPerCameraSecond = NAN; // CPU seconds per camera-second of video
  double postedShare = NAN;        // frames posted / frames real time calls for
  double posted = 0;               // video frames ipcam posted, by its Close lines
  double recorded = -1;            // frames in the catalogue's segments; -1: unreadable
};

// Frames the catalogue's segment rows hold, or -1.
double CatalogueFrames(const fs::path& database) {
  sqlite3* db = nullptr;
  double frames = -1;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT COALESCE(SUM(frames), 0) FROM segments", -1, &statement,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
      frames = static_cast<double>(sqlite3_column_int64(statement, 0));
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return frames;
}

IngestRun RunCore(const fs::path& root, const fs::path& clip, std::chrono::seconds measured) {
  const fs::path bin = root / "bin", work = root / "work";
  Copy(CORVANE_CORE_BINARY, bin / "corvane-core");
  Copy(CORVANE_IPCAM_PLUGIN, bin / "plugins" / "ipcam.so");
  Copy(CORVANE_RECORDER_PLUGIN, bin / "plugins" / "recorder.so");
  fs::remove_all(work / "recordings");
  fs::create_directories(work / "scripts");
  {
    std::ofstream script(work / "scripts" / "get_id.sh");
    script << "#!/bin/sh\necho bench-host-id\n";
  }
  fs::permissions(work / "scripts" / "get_id.sh", fs::perms::owner_all);
  {
    std::ofstream cameras(work / "ipcam.xml");
    cameras << "<Cameras>";
    for (int i = 1; i <= kCameras; ++i)
      cameras << "<Camera Number=\"" << i << "\" Name=\"bench" << i << "\" Url=\"" << clip.string()
              << "\" Loop=\"1\"/>";
    cameras << "</Cameras>\n";
  }
  {
    std::ofstream recorder(work / "recorder.xml");
    recorder << "<Recorder Root=\"recordings\" SegmentSeconds=\"10\"/>\n";
  }
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) throw std::runtime_error("socketpair");
  ::fcntl(pair[0], F_SETFD, FD_CLOEXEC);
  const fs::path out = root / "core.out";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, work.c_str());
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const std::string program = (bin / "corvane-core").string();
  std::string descriptor = std::to_string(pair[1]);
  char* argv[] = {const_cast<char*>(program.c_str()), descriptor.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ) != 0)
    throw std::runtime_error("cannot start the core");
  posix_spawn_file_actions_destroy(&actions);
  ::close(pair[1]);

  std::this_thread::sleep_for(kWarmUp);
  const long before = CpuTicks(pid);
  std::this_thread::sleep_for(measured);
  const long used = CpuTicks(pid) - before;
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(pair[0]);

  IngestRun run;
  run.recorded = CatalogueFrames(work / "recordings" / "catalogue.db");
  run.cpuPerCameraSecond = static_cast<double>(used) / static_cast<double>(sysconf(_SC_CLK_TCK)) /
                           (kCameras * static_cast<double>(measured.count()));
  // Console lines start with the time of day: each camera's "online" line and
  // the closing line bound its streaming time; at Close every camera says how
  // many frames it posted.
  std::ifstream in(out);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  static const std::regex online(
      R"(([0-9]{2}):([0-9]{2}):([0-9]{2})\.([0-9]{3})[^\n]*ipcam: camera [0-9]+ [^\n]* online:)");
  static const std::regex closing(
      R"(([0-9]{2}):([0-9]{2}):([0-9]{2})\.([0-9]{3})[^\n]*Closing 0c:ipcam)");
  static const std::regex posted(": ([0-9]+) video and [0-9]+ audio frames posted");
  const auto seconds = [](const std::smatch& m) {
    return std::stod(m[1]) * 3600 + std::stod(m[2]) * 60 + std::stod(m[3]) + std::stod(m[4]) / 1000;
  };
  std::smatch end;
  if (!std::regex_search(text, end, closing)) return run;
  double expected = 0, frames = 0;
  for (std::sregex_iterator it(text.begin(), text.end(), online), last; it != last; ++it)
    expected += 1 + kFramesPerSecond * (seconds(end) - seconds(*it));
  for (std::sregex_iterator it(text.begin(), text.end(), posted), last; it != last; ++it)
    frames += std::stod((*it)[1]);
  if (expected > 0) run.postedShare = frames / expected;
  run.posted = frames;
  return run;
}

// CPU seconds per second of video for demultiplexing the clip `times` times.
double ReadLoop(const fs::path& clip, int times) {
  timespec t0{}, t1{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
  AVPacket* packet = av_packet_alloc();
  for (int i = 0; i < times; ++i) {
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, clip.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(input, nullptr) < 0)
      throw std::runtime_error("cannot read the clip");
    while (av_read_frame(input, packet) >= 0) av_packet_unref(packet);
    avformat_close_input(&input);
  }
  av_packet_free(&packet);
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
  const double cpu = static_cast<double>(t1.tv_sec - t0.tv_sec) +
                     static_cast<double>(t1.tv_nsec - t0.tv_nsec) / 1e9;
  return cpu / (times * static_cast<double>(kClipSeconds));
}

} // namespace

std::vector<BenchRow> IngestRows(const BenchInstall& install, const BenchConfig& config) {
  const fs::path root = install.root / "ingest";
  fs::create_directories(root);
  const fs::path clip = MakeClip(root);
  const auto measured = std::chrono::seconds(config.scale < 1.0 ? 5 : 20);
  // One long core run (real time cannot be hurried); floor medians around it.
  std::vector<double> floor;
  for (int round = 0; round < config.rounds; ++round) floor.push_back(ReadLoop(clip, kCameras));
  const IngestRun core = RunCore(root, clip, measured);

  BenchRow cpu;
  cpu.id = "10a";
  cpu.what = "ingest+record " + std::to_string(kCameras) + " cams 1080p 4 Mbit/s: CPU per cam-s";
  cpu.core = Fixed(core.cpuPerCameraSecond * 1000.0, 2) + " ms";
  cpu.floor = Fixed(Median(floor) * 1000.0, 2) + " ms read loop";
  cpu.ratio = core.cpuPerCameraSecond / Median(floor);
  cpu.summary = "10a " + Fixed(core.cpuPerCameraSecond * 1000.0, 2) + " ms/cam-s";
  BenchRow pace;
  pace.id = "10b";
  pace.what = "ingest: frames posted / frames of real time";
  pace.core = Fixed(core.postedShare, 3);
  pace.floor = "1.0";
  pace.ratio = core.postedShare;
  pace.target = ">= 0.98";
  pace.met = core.postedShare >= 0.98;
  pace.summary = "10b " + Fixed(core.postedShare, 3) + "x";
  BenchRow kept;
  kept.id = "10c";
  kept.what = "ingest: frames recorded / frames posted";
  const double share = core.posted > 0 && core.recorded >= 0 ? core.recorded / core.posted : NAN;
  kept.core =
      Fixed(share, 3) + " (" + Fixed(core.recorded, 0) + " of " + Fixed(core.posted, 0) + ")";
  kept.floor = "1.0";
  kept.ratio = share;
  kept.target = "= 1.0";
  kept.met = core.posted > 0 && core.recorded == core.posted;
  kept.summary = "10c " + Fixed(share, 3) + "x";
  return {cpu, pace, kept};
}
