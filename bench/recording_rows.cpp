// Row 9: the recorder's disk paths against plain file loops over the same
// bytes, in this process. Frames: the test clip's parameter sets with
// synthetic slices, 25 a second, a 60 KB key frame each second and 20 KB
// frames between (about 4 Mbit/s).
//   11a writing: SegmentRecorder (fragmented MP4 through libavformat and the
//      catalogue) as fast as it goes, against write() of each frame's bytes
//      into one file per segment, each fsync'ed when it ends (the recorder's
//      sync policy: fragments reach the kernel as they close, a segment is
//      made durable when it ends).
//   11b search read-back: RecordedRange reading every frame back in Annex B
//      (what a search posts), against read() of the same files in 64 KB
//      chunks. The core's pacing of search results is row 5.
//   11c export: ExportClip of the whole range into one MP4, against copying
//      the same files with read()/write() and one fsync.
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}

#include "annexb.h"
#include "bench_rows.h"
#include "catalogue.h"
#include "clip_export.h"
#include "recorded_range.h"
#include "rk/core/media.h"
#include "segment_recorder.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFps = 25;
constexpr int kSegmentSeconds = 4;
constexpr int64_t kStart = 1796731200000000; // 2026-12-08T10:00:00Z

struct Frame {
  std::vector<uint8_t> bytes;
  bool key;
};

// One second of video: the clip's parameter sets and synthetic slices with
// no start code inside.
std::vector<Frame> SecondOfVideo() {
  std::ifstream in(CORVANE_BENCH_CLIP, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  const std::string clip = text.str();
  const auto sets = recorder::ParameterSets(reinterpret_cast<const uint8_t*>(clip.data()),
                                            clip.size(), RK_CODEC_H264);
  if (sets.empty()) throw std::runtime_error("no parameter sets in " CORVANE_BENCH_CLIP);
  std::mt19937 random(7);
  auto slice = [&](uint8_t header, size_t bytes) {
    std::vector<uint8_t> nal = {0, 0, 0, 1, header};
    for (size_t i = 0; i < bytes; ++i) nal.push_back(static_cast<uint8_t>(1 + random() % 255));
    return nal;
  };
  std::vector<Frame> frames;
  for (int i = 0; i < kFps; ++i) {
    Frame f{{0, 0, 0, 1, 0x09, 0xF0}, i == 0};
    if (f.key) f.bytes.insert(f.bytes.end(), sets.begin(), sets.end());
    const auto body = slice(f.key ? 0x65 : 0x41, f.key ? 60000 : 20000);
    f.bytes.insert(f.bytes.end(), body.begin(), body.end());
    frames.push_back(std::move(f));
  }
  return frames;
}

struct Scratch {
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "corvane-bench-rec-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  fs::path path;
};

double Seconds(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Bytes written per second by the recorder.
double RecorderWrite(const fs::path& root, const std::vector<Frame>& second, int seconds,
                     uint64_t& bytes) {
  recorder::RecorderConfig config;
  config.root = root.string();
  config.segmentSeconds = kSegmentSeconds;
  recorder::SegmentRecorder segments(
      config, [](int32_t, const std::string&) {}, [](const std::string&) {});
  std::string error;
  if (!segments.Start(error)) throw std::runtime_error(error);
  bytes = 0;
  const auto t0 = Clock::now();
  for (int s = 0; s < seconds; ++s) {
    for (int i = 0; i < kFps; ++i) {
      const Frame& f = second[static_cast<size_t>(i)];
      recorder::LiveFrame frame{1,
                                1,
                                RK_CODEC_H264,
                                1920,
                                1080,
                                kStart + (s * kFps + i) * 1000000LL / kFps,
                                f.key,
                                f.bytes.data(),
                                f.bytes.size()};
      if (!segments.Write(frame)) throw std::runtime_error("the recorder did not write");
      bytes += f.bytes.size();
    }
  }
  segments.Stop();
  return static_cast<double>(bytes) / Seconds(t0);
}

void WriteAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n <= 0) throw std::runtime_error(std::string("write: ") + std::strerror(errno));
    data += n;
    length -= static_cast<size_t>(n);
  }
}

// The same frames with write(), one file per segment, fsync at its end.
double RawWrite(const fs::path& root, const std::vector<Frame>& second, int seconds) {
  uint64_t bytes = 0;
  const auto t0 = Clock::now();
  int fd = -1;
  for (int s = 0; s < seconds; ++s) {
    if (s % kSegmentSeconds == 0) {
      if (fd >= 0 && (::fsync(fd) != 0 || ::close(fd) != 0)) throw std::runtime_error("fsync");
      fd = ::open((root / ("raw-" + std::to_string(s) + ".bin")).c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0) throw std::runtime_error("open");
    }
    for (const Frame& f : second) {
      WriteAll(fd, f.bytes.data(), f.bytes.size());
      bytes += f.bytes.size();
    }
  }
  if (fd >= 0 && (::fsync(fd) != 0 || ::close(fd) != 0)) throw std::runtime_error("fsync");
  return static_cast<double>(bytes) / Seconds(t0);
}

std::vector<fs::path> SegmentFiles(const fs::path& root) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.path().extension() == ".mp4") files.push_back(entry.path());
  return files;
}

// Bytes read per second through plain read() of every segment file.
double PlainRead(const std::vector<fs::path>& files) {
  std::vector<char> buffer(64 * 1024);
  uint64_t bytes = 0;
  const auto t0 = Clock::now();
  for (const fs::path& file : files) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t n;
    while ((n = ::read(fd, buffer.data(), buffer.size())) > 0) bytes += static_cast<uint64_t>(n);
    ::close(fd);
  }
  return static_cast<double>(bytes) / Seconds(t0);
}

// Frame bytes per second (and frames per second) read back by RecordedRange.
double RangeRead(const fs::path& root, double& framesPerSecond) {
  std::string error;
  auto catalogue = recorder::Catalogue::Open(root.string(), false, error);
  if (catalogue == nullptr) throw std::runtime_error(error);
  const auto t0 = Clock::now();
  recorder::RecordedRange range(root.string(), catalogue->Segments(1, 0, INT64_MAX), 0, INT64_MAX);
  recorder::StoredFrame frame;
  uint64_t bytes = 0, frames = 0;
  while (range.Next(frame)) {
    bytes += frame.data.size();
    ++frames;
  }
  const double seconds = Seconds(t0);
  framesPerSecond = static_cast<double>(frames) / seconds;
  return static_cast<double>(bytes) / seconds;
}

double Export(const fs::path& root, const fs::path& output) {
  const auto t0 = Clock::now();
  const auto result = recorder::ExportClip(root.string(), 1, 0, INT64_MAX, output.string());
  if (result.status != recorder::ExportResult::kWritten) throw std::runtime_error(result.message);
  return static_cast<double>(result.bytes) / Seconds(t0);
}

double PlainCopy(const std::vector<fs::path>& files, const fs::path& output) {
  std::vector<char> buffer(64 * 1024);
  uint64_t bytes = 0;
  const auto t0 = Clock::now();
  const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  for (const fs::path& file : files) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t n;
    while ((n = ::read(fd, buffer.data(), buffer.size())) > 0) {
      WriteAll(out, reinterpret_cast<const uint8_t*>(buffer.data()), static_cast<size_t>(n));
      bytes += static_cast<uint64_t>(n);
    }
    ::close(fd);
  }
  ::fsync(out);
  ::close(out);
  return static_cast<double>(bytes) / Seconds(t0);
}

std::string MBps(double bytesPerSecond) {
  return Fixed(bytesPerSecond / 1e6, 0) + " MB/s";
}

} // namespace

std::vector<BenchRow> RecordingRows(const BenchInstall&, const BenchConfig& config) {
  av_log_set_level(AV_LOG_QUIET); // the synthetic slices do not parse, by design
  const auto second = SecondOfVideo();
  const int seconds = std::max(kSegmentSeconds * 2, static_cast<int>(120 * config.scale));
  std::vector<double> written, raw, read, plain, frameRates, exported, copied;
  for (int round = 0; round < config.rounds; ++round) {
    Scratch scratch;
    const fs::path root = scratch.path / "recordings";
    uint64_t bytes = 0;
    // Alternate which runs first, so neither always finds a colder cache.
    if (round % 2 == 0) {
      written.push_back(RecorderWrite(root, second, seconds, bytes));
      raw.push_back(RawWrite(scratch.path, second, seconds));
    } else {
      raw.push_back(RawWrite(scratch.path, second, seconds));
      written.push_back(RecorderWrite(root, second, seconds, bytes));
    }
    const auto files = SegmentFiles(root);
    double fps = 0;
    read.push_back(RangeRead(root, fps));
    frameRates.push_back(fps);
    plain.push_back(PlainRead(files));
    exported.push_back(Export(root, scratch.path / "clip.mp4"));
    copied.push_back(PlainCopy(files, scratch.path / "copy.bin"));
  }
  // Byte rates, core against floor.
  auto row = [](const char* id, std::string what, double core, double floor,
                const std::string& floorKind, std::string summary) {
    BenchRow r;
    r.id = id;
    r.what = std::move(what);
    r.core = MBps(core);
    r.floor = MBps(floor) + " " + floorKind;
    r.ratio = core / floor;
    r.summary = std::move(summary);
    return r;
  };
  const double ratio = Median(written) / Median(raw);
  BenchRow write = row("11a", "recorder: write 4 Mbit/s H.264 as fast as it goes", Median(written),
                       Median(raw), "write()", "11a " + Fixed(ratio, 2) + "x");
  write.target = ">= 0.8";
  write.met = ratio >= 0.8;
  const BenchRow search =
      row("11b", "recorder: search read-back (" + Rate(Median(frameRates)) + " frames)",
          Median(read), Median(plain), "read()", "11b " + Rate(Median(frameRates)) + " frames");
  const BenchRow cut = row("11c", "corvane-export: one MP4 of the whole range", Median(exported),
                           Median(copied), "copy", "11c " + MBps(Median(exported)));
  return {write, search, cut};
}
