// Plug-in discovery, load codes, duplicate ids and the lifecycle order.
#include <csignal>
#include <gtest/gtest.h>
#include <sstream>

#include "core_harness.h"

namespace {

// Lines of standard output that contain `marker`, each cut to the text after it.
std::vector<std::string> LinesWith(const std::string& out, const std::string& marker) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find(marker);
    if (at != std::string::npos) lines.push_back(line.substr(at));
  }
  return lines;
}

// Runs the core until it opens plug-ins (its signal handling is in place by
// then), then stops it with SIGTERM.
ExitStatus RunToOpenAndStop(CoreProcess& core) {
  core.Start();
  EXPECT_TRUE(core.WaitForStdout("Opening", 15s)) << core.Stdout();
  core.Signal(SIGTERM);
  return core.Wait(30s);
}

} // namespace

TEST(PluginHost, DiscoveryFilterAndOrder) {
  CoreLayout layout;
  layout.AddProbe("b.so", "id 0x20000\n");
  layout.AddProbe("A.so", "id 0x10000\n");
  layout.AddProbe("xvIDUviy.so", "id 0x30000\n");
  layout.AddProbe("x.so.1", "id 0x40000\n");
  layout.AddProbe("x.SO", "id 0x50000\n");
  layout.AddProbe("RuzUZ.so", "id 0x60000\n", "probe", "protected-plugins");
  // Same name in both directories: the protected one wins (it has Open).
  layout.AddProbe("dup.so", "id 0x70000\n", "probe", "protected-plugins");
  layout.AddProbe("dup.so", "id 0x70000\n", "probe_noopen", "plugins");
  // Exact names: "Case.so" and "case.so" are two files and both load.
  layout.AddProbe("case.so", "id 0x90000\n", "probe", "protected-plugins");
  layout.AddProbe("Case.so", "id 0xa0000\n", "probe", "plugins");

  CoreProcess core(layout);
  const ExitStatus status = RunToOpenAndStop(core);
  EXPECT_EQ(status.code, 0);
  const auto loaded = LinesWith(core.Stdout(), "Loaded plugin");
  ASSERT_EQ(loaded.size(), 6u) << core.Stdout();
  EXPECT_EQ(loaded[0], "Loaded plugin 03:xvIDUviy");
  EXPECT_EQ(loaded[1], "Loaded plugin 01:A");
  EXPECT_EQ(loaded[2], "Loaded plugin 02:b");
  // case.so and Case.so compare equal without case: their order is not fixed.
  EXPECT_EQ(loaded[5], "Loaded plugin 07:dup");
  EXPECT_FALSE(layout.Exists("x.so.1.calls"));
  EXPECT_FALSE(layout.Exists("x.SO.calls"));
  EXPECT_FALSE(layout.Exists("RuzUZ.so.calls"));
  EXPECT_EQ(CallsOf(layout.Calls("dup.so"), "Open").size(), 1u);
  EXPECT_EQ(CallsOf(layout.Calls("Case.so"), "Open").size(), 1u);
  EXPECT_EQ(CallsOf(layout.Calls("case.so"), "Open").size(), 1u);
}

TEST(PluginHost, IdSixOpensFirstAndLogsInDiscoveryOrder) {
  CoreLayout layout;
  layout.AddProbe("a.so", "id 0x10000\n");
  layout.AddProbe("z.so", "id 0x60000\n");
  CoreProcess core(layout);
  EXPECT_EQ(RunToOpenAndStop(core).code, 0);
  const std::string out = core.Stdout();
  const auto loaded = LinesWith(out, "Loaded plugin");
  ASSERT_EQ(loaded.size(), 2u);
  EXPECT_EQ(loaded[0], "Loaded plugin 01:a");
  EXPECT_EQ(loaded[1], "Loaded plugin 06:z");
  const auto opening = LinesWith(out, "Opening");
  ASSERT_EQ(opening.size(), 2u);
  EXPECT_EQ(opening[0], "Opening 06:z");
  EXPECT_EQ(opening[1], "Opening 01:a");
}

TEST(PluginHost, DuplicateIdsAreDroppedWithUnload) {
  CoreLayout layout;
  layout.AddProbe("a.so", "id 0x30001\n");
  layout.AddProbe("b.so", "id 0x3ffff\n"); // same plug-in id 03, other low bits
  layout.AddProbe("c.so", "id 0x80000000\n");
  layout.AddProbe("d.so", "id 0x80000000\n");
  CoreProcess core(layout);
  EXPECT_EQ(RunToOpenAndStop(core).code, 0);
  const std::string out = core.Stdout();
  EXPECT_NE(out.find("pluginId 03 already loaded from a.so trying to load b.so"), std::string::npos)
      << out;
  EXPECT_NE(out.find("pluginId 00 already loaded from c.so trying to load d.so"),
            std::string::npos);
  for (const char* dropped : {"b.so", "d.so"}) {
    const auto calls = layout.Calls(dropped);
    ASSERT_EQ(calls.size(), 2u) << dropped;
    EXPECT_EQ(calls[0].rfind("Load", 0), 0u);
    EXPECT_EQ(calls[1].rfind("Unload", 0), 0u);
  }
  EXPECT_EQ(LinesWith(out, "Loaded plugin").size(), 2u);
}

TEST(PluginHost, FailedLoadsKeepTheirCodesAndNeverUnload) {
  CoreLayout layout;
  layout.WriteFile("../bin/plugins/text.so", "not a library");
  layout.AddProbe("noload.so", "id 0x10000\n", "probe_noload");
  layout.AddProbe("five.so", "id 0x20000\nload_result 5\n");
  layout.AddProbe("good.so", "id 0x30000\n");
  CoreProcess core(layout);
  EXPECT_EQ(RunToOpenAndStop(core).code, 0);
  const std::string out = core.Stdout();
  EXPECT_NE(out.find("Failed to load plugin text.so: "), std::string::npos) << out;
  EXPECT_NE(out.find("Failed to load plugin noload.so: missing Load()/Unload()"),
            std::string::npos);
  EXPECT_NE(out.find("Failed to load plugin five.so: load code 5"), std::string::npos);
  const auto five = layout.Calls("five.so");
  ASSERT_EQ(five.size(), 1u);
  EXPECT_EQ(five[0].rfind("Load", 0), 0u);
}

TEST(PluginHost, MissingOpenStaysLoadedWithWorkerAndConfigEvents) {
  CoreLayout layout;
  layout.AddProbe("noopen.so", "id 0x10000\nworker 1\nworker_wait_ms 200\n", "probe_noopen");
  layout.AddProbe("noclose.so", "id 0x20000\naccept.alarm 0x2000000\n", "probe_noclose");
  layout.AddProbe("sender.so", "id 0x30000\ncontrol 1\n");
  CoreProcess core(layout);
  core.Start();
  {
    ProbeControl sender(layout, "sender.so");
    ASSERT_TRUE(core.WaitForStdout("Opening 03:sender", 15s));
    EXPECT_EQ(ProbeControl::Field(sender.Command("post type=256 text=cfg"), "ret"), "0");
    EXPECT_EQ(ProbeControl::Field(sender.Command("post type=4 text=alarm"), "ret"), "0");
  }
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& line : CallsOf(layout.Calls("noopen.so"), "IOCTL"))
      if (CallField(line, "code") == "2") return true;
    return false;
  }));
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);

  const auto noopen = layout.Calls("noopen.so");
  EXPECT_TRUE(CallsOf(noopen, "Open").empty());
  bool worker = false;
  for (const auto& line : CallsOf(noopen, "IOCTL")) worker |= CallField(line, "code") == "1";
  EXPECT_TRUE(worker);
  EXPECT_EQ(noopen.back().rfind("Unload", 0), 0u);
  // Open without Close: never opened, so no OnEvent even for an accepted kind.
  const auto noclose = layout.Calls("noclose.so");
  EXPECT_TRUE(CallsOf(noclose, "Open").empty());
  EXPECT_TRUE(CallsOf(noclose, "OnEvent").empty());
}

TEST(PluginHost, CloseOrderIdEightWorkerAndReader) {
  CoreLayout layout;
  layout.AddProbe("c.so", "id 0x10000\n");
  layout.AddProbe("b.so", "id 0x20000\naccept.watchdog 0x2000000\nworker 1\nreader 1\n");
  layout.AddProbe("a.so", "id 0x30000\n");
  // Watchdog words order the close as unsigned words: the top bit goes first.
  layout.AddProbe("d.so", "id 0x50000\naccept.watchdog 0x8000000002000000\n");
  layout.AddProbe("eight.so", "id 0x80000\n");
  layout.AddProbe("noread.so", "id 0x40000\nreader 1\n", "probe_noread");
  CoreProcess core(layout);
  EXPECT_EQ(RunToOpenAndStop(core).code, 0);
  const std::string out = core.Stdout();

  std::vector<std::string> closing, unloading;
  for (const auto& line : LinesWith(out, "Closing ")) closing.push_back(line.substr(8));
  for (const auto& line : LinesWith(out, "Unloading ")) unloading.push_back(line.substr(10));
  const std::vector<std::string> expected = {"05:d", "02:b",      "03:a",
                                             "01:c", "04:noread", "01:RuzUZ"};
  EXPECT_EQ(closing, expected) << out;
  EXPECT_EQ(unloading, expected);

  // Id 8: closed and unloaded, without a line.
  const auto eight = layout.Calls("eight.so");
  EXPECT_EQ(CallsOf(eight, "Close").size(), 1u);
  EXPECT_EQ(CallsOf(eight, "Unload").size(), 1u);
  EXPECT_EQ(out.find("Closing 08"), std::string::npos);
  EXPECT_EQ(out.find("Unloading 08"), std::string::npos);

  // Worker and reader run on their own threads and end before Unload.
  const auto b = layout.Calls("b.so");
  const std::string loadTid = CallField(b.front(), "tid");
  size_t workerAt = 0, readerAt = 0, workerDone = 0, readerDone = 0, unloadAt = 0;
  for (size_t i = 0; i < b.size(); ++i) {
    if (b[i].rfind("IOCTL", 0) == 0 && CallField(b[i], "code") == "1") workerAt = i;
    if (b[i].rfind("Read ", 0) == 0) readerAt = i;
    if (b[i].rfind("WorkerDone", 0) == 0) workerDone = i;
    if (b[i].rfind("ReadDone", 0) == 0) readerDone = i;
    if (b[i].rfind("Unload", 0) == 0) unloadAt = i;
  }
  ASSERT_TRUE(workerAt && readerAt && unloadAt);
  EXPECT_NE(CallField(b[workerAt], "tid"), loadTid);
  EXPECT_NE(CallField(b[readerAt], "tid"), loadTid);
  EXPECT_NE(CallField(b[readerAt], "tid"), CallField(b[workerAt], "tid"));
  EXPECT_EQ(CallField(b[readerAt], "mode"), "1");
  EXPECT_EQ(CallField(b[readerAt], "len"), "0");
  EXPECT_LT(workerDone, unloadAt);
  EXPECT_LT(readerDone, unloadAt);
  // Reader flag without Read: no reader thread.
  EXPECT_TRUE(CallsOf(layout.Calls("noread.so"), "Read").empty());
}

TEST(PluginHost, LoggingPluginOpenedFirstAndMissingOneIsHarmless) {
  {
    CoreLayout layout;
    layout.AddProbe("p1.so", "id 0x10000\n");
    layout.AddProbe("p2.so", "id 0x20000\n");
    CoreProcess core(layout);
    EXPECT_EQ(RunToOpenAndStop(core).code, 0);
    const std::string out = core.Stdout();
    const auto opening = LinesWith(out, "Opening");
    ASSERT_EQ(opening.size(), 2u);
    EXPECT_EQ(opening[0], "Opening 01:p1");
    EXPECT_EQ(opening[1], "Opening 02:p2");
    EXPECT_NE(out.find("Closing 01:RuzUZ"), std::string::npos);
  }
  {
    CoreLayout layout(false);
    layout.AddProbe("p1.so", "id 0x10000\n");
    CoreProcess core(layout);
    EXPECT_EQ(RunToOpenAndStop(core).code, 0);
    EXPECT_NE(core.Stdout().find("Closing 00:RuzUZ"), std::string::npos);
    EXPECT_EQ(CallsOf(layout.Calls("p1.so"), "Close").size(), 1u);
  }
}
