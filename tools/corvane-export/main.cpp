// corvane-export: cuts one camera's recordings over a time range into one
// MP4 file, straight from the catalogue and the segment files (no core
// needed, no re-encoding). The clip starts at the key frame at or before
// --from, so it plays from its first frame.
//
//   corvane-export --root recordings --camera 1 --from 2026-12-08T10:00:00Z
//                  --to 2026-12-08T10:05:00Z -o clip.mp4
//
// Exit status: 0 written, 1 nothing recorded in the range or a failure,
// 2 bad arguments.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "annexb.h"
#include "catalogue.h"
#include "recorded_range.h"
#include "segment_writer.h"
#include "utc_time.h"

namespace {

constexpr const char* kUsage =
    "usage: corvane-export [--root DIR] --camera N --from YYYY-MM-DDTHH:MM:SSZ "
    "--to YYYY-MM-DDTHH:MM:SSZ -o FILE.mp4\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "corvane-export: %s\n", message.c_str());
  return 1;
}

} // namespace

int main(int argc, char** argv) {
  std::string root = "recordings", output, from, to;
  unsigned long camera = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    const std::string value = argv[++i];
    if (arg == "--root") {
      root = value;
    } else if (arg == "--camera") {
      camera = std::strtoul(value.c_str(), nullptr, 10);
    } else if (arg == "--from") {
      from = value;
    } else if (arg == "--to") {
      to = value;
    } else if (arg == "-o" || arg == "--output") {
      output = value;
    } else {
      std::fprintf(stderr, "corvane-export: unknown option %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  const auto fromMicros = recorder::ParseIsoUtc(from);
  const auto toMicros = recorder::ParseIsoUtc(to);
  if (camera == 0 || camera > 65535 || !fromMicros || !toMicros || output.empty() ||
      *fromMicros > *toMicros) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  av_log_set_level(AV_LOG_ERROR);

  std::string error;
  auto catalogue = recorder::Catalogue::Open(root, false, error);
  if (catalogue == nullptr) return Fail("cannot read the catalogue: " + error);
  auto rows = catalogue->Segments(static_cast<uint32_t>(camera), *fromMicros, *toMicros);
  recorder::RecordedRange range(root, std::move(rows), *fromMicros, *toMicros);

  // Written beside the target and renamed when complete: no half a clip.
  const std::string partial = output + ".part";
  std::unique_ptr<recorder::SegmentWriter> writer;
  recorder::StoredFrame frame;
  uint32_t codec = 0;
  uint16_t width = 0, height = 0;
  int64_t first = 0, last = 0;
  while (range.Next(frame)) {
    if (writer == nullptr) {
      recorder::StreamParams params;
      params.codec = codec = frame.codec;
      params.width = width = frame.width;
      params.height = height = frame.height;
      params.parameterSets =
          recorder::ParameterSets(frame.data.data(), frame.data.size(), frame.codec);
      bool full = false;
      writer = recorder::SegmentWriter::Create(partial, params, frame.micros,
                                               recorder::SegmentWriter::Layout::Whole, error, full);
      if (writer == nullptr) return Fail(error);
      first = frame.micros;
    } else if (frame.codec != codec || frame.width != width || frame.height != height) {
      std::fprintf(stderr, "corvane-export: the stream changes at %s: the clip ends there\n",
                   recorder::IsoUtc(frame.micros).c_str());
      break;
    }
    if (!writer->Write(frame.data.data(), frame.data.size(), frame.micros, frame.key)) {
      const std::string reason = writer->error();
      writer.reset();
      std::filesystem::remove(partial);
      return Fail(output + ": " + reason);
    }
    last = frame.micros;
  }
  for (const std::string& e : range.errors())
    std::fprintf(stderr, "corvane-export: %s\n", e.c_str());
  if (writer == nullptr)
    return Fail("nothing recorded for camera " + std::to_string(camera) + " between " + from +
                " and " + to + " in " + root);
  const uint64_t frames = writer->frames();
  if (!writer->Finish(true)) {
    const std::string reason = writer->error();
    std::filesystem::remove(partial);
    return Fail(output + ": " + reason);
  }
  std::error_code failure;
  std::filesystem::rename(partial, output, failure);
  if (failure) return Fail(output + ": " + failure.message());
  std::printf("corvane-export: %llu frames of camera %lu, %s to %s, written to %s\n",
              static_cast<unsigned long long>(frames), camera, recorder::IsoUtc(first).c_str(),
              recorder::IsoUtc(last).c_str(), output.c_str());
  return 0;
}
