// corvane-export: cuts one camera's recordings over a time range into one
// MP4 file, straight from the catalogue and the segment files (no core
// needed, no re-encoding). The clip starts at the key frame at or before
// --from, so it plays from its first frame; the camera's audio comes along
// when the range has any.
//
//   corvane-export --root recordings --camera 1 --from 2026-12-08T10:00:00Z
//                  --to 2026-12-08T10:05:00Z -o clip.mp4
//
// Exit status: 0 written, 1 nothing recorded in the range or a failure,
// 2 bad arguments.
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "clip_export.h"
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

  const recorder::ExportResult result =
      recorder::ExportClip(root, static_cast<uint32_t>(camera), *fromMicros, *toMicros, output);
  if (result.status == recorder::ExportResult::kNothingRecorded)
    return Fail("nothing recorded for camera " + std::to_string(camera) + " between " + from +
                " and " + to + " in " + root +
                (result.message.empty() ? "" : " (" + result.message + ")"));
  if (result.status == recorder::ExportResult::kFailed) return Fail(result.message);
  if (!result.message.empty()) std::fprintf(stderr, "corvane-export: %s\n", result.message.c_str());
  std::printf("corvane-export: %llu frames and %llu audio frames of camera %lu, %s to %s, "
              "written to %s\n",
              static_cast<unsigned long long>(result.frames),
              static_cast<unsigned long long>(result.audioFrames), camera,
              recorder::IsoUtc(result.firstMicros).c_str(),
              recorder::IsoUtc(result.lastMicros).c_str(), output.c_str());
  return 0;
}
