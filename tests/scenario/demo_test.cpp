// The demo of `make run`: the real core with ipcam.so playing two file
// cameras, the recorder and the viewer. Both cameras come online, the viewer
// searches with the media criteria and its packet reaches the parent, and the
// core stops in order without a payload reference left behind.
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <string>

#include "core_harness.h"
#include "media_tools.h"

namespace {

// Core at Debug, so that references still held at the end would be reported.
constexpr const char* kDebugCore =
    "<?xml version=\"1.0\"?>\n<Varn><Modules><Module><Plugin ID=\"-2147483648\" "
    "LogLevel=\"0\"/></Module></Modules></Varn>\n";

// The largest count of the "N stored frames came back" lines, -1 when none yet.
long StoredFramesBack(const std::string& out) {
  static const std::regex line(
      R"(viewer: search [0-9a-f]{4} \(last 3 s\): ([0-9]+) stored frames came back)");
  long most = -1;
  for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it)
    most = std::max(most, std::stol((*it)[1]));
  return most;
}

size_t Position(const std::string& out, const std::string& text) {
  const size_t at = out.find(text);
  EXPECT_NE(at, std::string::npos) << "missing: " << text;
  return at;
}

} // namespace

TEST(Demo, CamerasRecorderAndViewerOnTheRealCore) {
  CoreLayout layout;
  for (const char* name : {"ipcam.so", "recorder.so", "viewer.so"})
    layout.AddPlugin(fs::path(CORVANE_SAMPLE_PLUGIN_DIR) / name);
  layout.WriteFile("core.xml", kDebugCore);
  const std::string clip = TestClip(10).string();
  layout.WriteFile("ipcam.xml", "<Cameras><Camera Number=\"1\" Name=\"gate\" Url=\"" + clip +
                                    "\" Loop=\"1\"/><Camera Number=\"2\" Name=\"yard\" Url=\"" +
                                    clip + "\" Loop=\"1\"/></Cameras>");
  CoreProcess core(layout);
  core.Start();

  // The viewer greets the parent right after Open: one whole packet, relayed
  // unchanged.
  const auto packet = core.Receive(20s);
  ASSERT_TRUE(packet.has_value()) << core.Stdout();
  ASSERT_GE(packet->size(), rk::core::kIpcHeaderSize);
  const auto header = rk::core::ReadIpcHeader(packet->data());
  EXPECT_EQ(header.length, packet->size());
  EXPECT_EQ(header.kind, 100u);
  EXPECT_EQ(std::string(packet->begin() + rk::core::kIpcHeaderSize, packet->end()),
            "hello from the viewer sample");

  // Both cameras stream, the recorder answers the viewer's media searches
  // from its segments, and the viewer pictures each camera.
  ASSERT_TRUE(WaitUntil([&] { return StoredFramesBack(core.Stdout()) > 0; }, 40s)) << core.Stdout();
  ASSERT_TRUE(WaitUntil([&] { return layout.Exists("snapshots/1.jpg"); }, 20s)) << core.Stdout();
  const std::string running = core.Stdout();
  for (const char* camera : {R"(camera 1 \(gate\) .* online: h264 320x180)",
                             R"(camera 2 \(yard\) .* online: h264 320x180)"})
    EXPECT_TRUE(std::regex_search(running, std::regex(camera))) << running;

  core.Signal(SIGTERM);
  const ExitStatus status = core.Wait(30s);
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);

  const std::string out = core.Stdout();
  // Closing order (by file name), then unloading in the same order.
  const size_t camera = Position(out, "Closing 0c:ipcam");
  const size_t recorder = Position(out, "Closing 02:recorder");
  const size_t viewer = Position(out, "Closing 00:viewer");
  const size_t unload = Position(out, "Unloading 0c:ipcam");
  EXPECT_LT(camera, recorder);
  EXPECT_LT(recorder, viewer);
  EXPECT_LT(viewer, unload);
  // Every kept frame was handed back: no block left, nobody holding one.
  EXPECT_EQ(out.find("refblks: "), std::string::npos) << out;
  EXPECT_EQ(out.find("unloaded holding"), std::string::npos) << out;

  // What the logging plug-in wrote, and the status document.
  EXPECT_NE(layout.ReadFile("logs/core.log").find("stored frames came back"), std::string::npos);
  const std::string status_document = layout.ReadFile("core.xml");
  for (const char* file : {"ipcam.so", "recorder.so", "viewer.so"})
    EXPECT_NE(status_document.find(std::string("Filename=\"") + file + "\""), std::string::npos)
        << status_document;
}
