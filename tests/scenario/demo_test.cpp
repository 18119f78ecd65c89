// The demo of `make run`: the real core with the camera, recorder and viewer
// samples. The viewer's packet reaches the parent, its searches are answered,
// and the core stops in order without a payload reference left behind. The
// synthetic camera's invented frames are not H.264, so the recorder leaves
// them alone, and the viewer's text criteria are not a media search, so no
// stored frame comes back: recording and searching real video are proven by
// the recorder's own scenarios.
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <string>

#include "core_harness.h"

namespace {

// Core at Debug, so that references still held at the end would be reported.
constexpr const char* kDebugCore =
    "<?xml version=\"1.0\"?>\n<Varn><Modules><Module><Plugin ID=\"-2147483648\" "
    "LogLevel=\"0\"/></Module></Modules></Varn>\n";

// The count in the first "N stored frames came back" line, -1 when none yet.
long StoredFramesBack(const std::string& out) {
  static const std::regex line(
      R"(viewer: search [0-9a-f]{4} \(last 3 s\): ([0-9]+) stored frames came back)");
  std::smatch match;
  return std::regex_search(out, match, line) ? std::stol(match[1]) : -1;
}

uint32_t WordAt(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t word = 0;
  if (bytes.size() >= offset + 4) std::memcpy(&word, bytes.data() + offset, 4);
  return word;
}

size_t Position(const std::string& out, const std::string& text) {
  const size_t at = out.find(text);
  EXPECT_NE(at, std::string::npos) << "missing: " << text;
  return at;
}

} // namespace

TEST(Demo, CameraRecorderAndViewerOnTheRealCore) {
  CoreLayout layout;
  for (const char* name : {"camera.so", "recorder.so", "viewer.so"})
    layout.AddPlugin(fs::path(CORVANE_SAMPLE_PLUGIN_DIR) / name);
  layout.WriteFile("core.xml", kDebugCore);
  CoreProcess core(layout);
  core.Start();

  // The viewer greets the parent right after Open: one whole packet, relayed
  // unchanged.
  const auto packet = core.Receive(20s);
  ASSERT_TRUE(packet.has_value()) << core.Stdout();
  ASSERT_GE(packet->size(), 16u);
  EXPECT_EQ(WordAt(*packet, 0), packet->size());
  EXPECT_EQ(WordAt(*packet, 8), 100u);
  EXPECT_EQ(std::string(packet->begin() + 16, packet->end()), "hello from the viewer sample");

  // The viewer's search runs to its end; the recorder ignores what is not a
  // media search and records nothing of frames that are not H.264.
  ASSERT_TRUE(WaitUntil([&] { return StoredFramesBack(core.Stdout()) >= 0; }, 25s))
      << core.Stdout();
  const std::string running = core.Stdout();
  EXPECT_EQ(StoredFramesBack(running), 0) << running;
  EXPECT_EQ(running.find("recorder: search"), std::string::npos) << running;
  EXPECT_TRUE(fs::exists(layout.work / "recordings" / "catalogue.db"));

  core.Signal(SIGTERM);
  const ExitStatus status = core.Wait(30s);
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);

  const std::string out = core.Stdout();
  // Closing order (by file name), then unloading in the same order.
  const size_t camera = Position(out, "Closing 03:camera");
  const size_t recorder = Position(out, "Closing 02:recorder");
  const size_t viewer = Position(out, "Closing 00:viewer");
  const size_t unload = Position(out, "Unloading 03:camera");
  EXPECT_LT(camera, recorder);
  EXPECT_LT(recorder, viewer);
  EXPECT_LT(viewer, unload);
  EXPECT_NE(out.find("recorder: 0 frames recorded, 0 not recorded"), std::string::npos) << out;
  // Every kept frame was handed back: no block left, nobody holding one.
  EXPECT_EQ(out.find("refblks: "), std::string::npos) << out;
  EXPECT_EQ(out.find("unloaded holding"), std::string::npos) << out;

  // What the logging plug-in wrote, and the status document.
  EXPECT_NE(layout.ReadFile("logs/core.log").find("stored frames came back"), std::string::npos);
  const std::string status_document = layout.ReadFile("core.xml");
  for (const char* file : {"camera.so", "recorder.so", "viewer.so"})
    EXPECT_NE(status_document.find(std::string("Filename=\"") + file + "\""), std::string::npos)
        << status_document;
}
