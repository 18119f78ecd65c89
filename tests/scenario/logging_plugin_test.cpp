// The logging plug-in (RuzUZ.so): what reaches logs/ after a real run, its
// rotation, and concurrent writers while the core stops.
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <dlfcn.h>
#include <fmt/format.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "core_harness.h"
#include "rk/core/sdk.h"

using namespace rk::core;

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// "2026-01-03 14:03:07.042 Warning  01 hello"
const std::regex kLine(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (\S+) +([0-9a-f]{2}) (.*))");

void UseSmallLoggingPlugin(CoreLayout& layout) {
  fs::copy_file(fs::path(CORVANE_TEST_PLUGIN_DIR) / "ruzuz_small.so",
                layout.bin / "plugins" / "RuzUZ.so", fs::copy_options::overwrite_existing);
}

} // namespace

TEST(LoggingPlugin, CoreLinesAndPluginRecordsReachTheLogFile) {
  CoreLayout layout;
  layout.AddProbe("p1.so", "id 0x20000\ncontrol 1\n");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(WaitUntil([&] { return !CallsOf(layout.Calls("p1.so"), "Open").empty(); }));
  ASSERT_TRUE(WaitUntil([&] { return layout.Exists("logs/core.log"); }));
  {
    ProbeControl probe(layout, "p1.so");
    EXPECT_EQ(probe.Command("post type=64 flags=0x1000000 level=50 text=hello"), "ret=0");
    // Embedded line breaks, a stray control byte, trailing CR LF NUL.
    const std::string multi = std::string("first\r\nsecond\x01\nthird\r\n") + '\0';
    EXPECT_EQ(probe.Command("post type=64 flags=0x1000000 level=30 hex=" + HexOf(multi)), "ret=0");
    // Printed by the core once; the plug-in only writes the file.
    EXPECT_EQ(probe.Command("post type=64 flags=0x1000002 level=75 text=shown-once"), "ret=0");
    // Below the default threshold: filtered by the core, never written.
    EXPECT_EQ(probe.Command("post type=64 flags=0x1000000 level=0 text=too-quiet"), "ret=0");
    EXPECT_EQ(probe.Command("post type=64 flags=0x1000000 level=25 hex=0d0a"), "ret=0");
  }
  ASSERT_TRUE(core.WaitForStdout("shown-once"));
  core.Signal(SIGTERM);
  const ExitStatus status = core.Wait(30s);
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(core.CountStdout("shown-once"), 1u);

  const std::string log = layout.ReadFile("logs/core.log");
  const auto lines = Lines(log);
  auto find = [&](const std::string& text) {
    for (size_t i = 0; i < lines.size(); ++i) {
      std::smatch m;
      if (std::regex_match(lines[i], m, kLine) && m[3] == text) return static_cast<int>(i);
    }
    return -1;
  };
  // The core's own lines: queued while it runs, handed over directly while
  // it stops.
  EXPECT_GE(find("Loaded plugin 02:p1"), 0) << log;
  EXPECT_GE(find("Opening 02:p1"), 0) << log;
  const int closing = find("Closing 02:p1");
  ASSERT_GE(closing, 0) << log;
  EXPECT_GT(find("Closing 01:RuzUZ"), closing) << log;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[closing], m, kLine));
  EXPECT_EQ(m[1], "Info");
  EXPECT_EQ(m[2], "00");

  const int hello = find("hello");
  ASSERT_GE(hello, 0) << log;
  ASSERT_TRUE(std::regex_match(lines[hello], m, kLine));
  EXPECT_EQ(m[1], "Warning");
  EXPECT_EQ(m[2], "02");

  const int first = find("first");
  ASSERT_GE(first, 0) << log;
  ASSERT_TRUE(std::regex_match(lines[first], m, kLine));
  EXPECT_EQ(m[1], "Info/30");
  const size_t textColumn = lines[first].size() - std::string("first").size();
  ASSERT_LT(static_cast<size_t>(first) + 2, lines.size());
  EXPECT_EQ(lines[first + 1], std::string(textColumn, ' ') + "second\\x01");
  EXPECT_EQ(lines[first + 2], std::string(textColumn, ' ') + "third");

  EXPECT_GE(find("shown-once"), 0);
  EXPECT_EQ(log.find("too-quiet"), std::string::npos);
  // A record of only CR LF leaves no empty line behind.
  for (const auto& line : lines) EXPECT_FALSE(line.empty());
  // Never a second file at this size.
  EXPECT_FALSE(layout.Exists("logs/core.log.1"));
}

TEST(LoggingPlugin, RotatesBySizeKeepingTheNewestFiles) {
  CoreLayout layout;
  UseSmallLoggingPlugin(layout); // 3 files of 4096 bytes
  layout.AddProbe("p1.so", "id 0x20000\ncontrol 1\n");
  // A log that survived an earlier run is appended to, then rotated away.
  layout.WriteFile("logs/core.log", "earlier run\n");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(WaitUntil([&] { return !CallsOf(layout.Calls("p1.so"), "Open").empty(); }));
  constexpr int kRecords = 300;
  {
    ProbeControl probe(layout, "p1.so");
    for (int i = 0; i < kRecords; ++i) {
      char text[64];
      std::snprintf(text, sizeof text, "rec-%04d-%s", i, "abcdefghijklmnopqrstuvwxyz");
      ASSERT_EQ(probe.Command(std::string("post type=64 flags=0x1000000 level=25 text=") + text),
                "ret=0");
    }
  }
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);

  ASSERT_TRUE(layout.Exists("logs/core.log"));
  ASSERT_TRUE(layout.Exists("logs/core.log.1"));
  ASSERT_TRUE(layout.Exists("logs/core.log.2"));
  EXPECT_FALSE(layout.Exists("logs/core.log.3"));
  std::vector<std::string> all;
  for (const char* name : {"logs/core.log.2", "logs/core.log.1", "logs/core.log"}) {
    const std::string text = layout.ReadFile(name);
    EXPECT_LE(text.size(), 4096u) << name;
    EXPECT_FALSE(text.empty()) << name;
    EXPECT_EQ(text.back(), '\n') << name; // files end on whole lines
    for (auto& line : Lines(text)) all.push_back(line);
  }
  EXPECT_EQ(std::find(all.begin(), all.end(), "earlier run"), all.end());
  // Oldest to newest, the kept records are one unbroken run ending with the last.
  std::vector<int> numbers;
  for (const auto& line : all) {
    // The statistics report's second and third lines carry no prefix, only
    // the indent of continuation lines: the report is made at the first record
    // the dispatch loop takes, which on a slow start comes after all of the
    // test's records.
    const size_t body = line.find_first_not_of(' ');
    if (body != std::string::npos &&
        (line.compare(body, 4, "ltm:") == 0 || line.compare(body, 7, "memory[") == 0))
      continue;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
    const std::string text = m[3];
    if (text.rfind("rec-", 0) == 0) numbers.push_back(std::stoi(text.substr(4, 4)));
  }
  ASSERT_GT(numbers.size(), 20u);
  EXPECT_EQ(numbers.back(), kRecords - 1);
  for (size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], numbers[i - 1] + 1);
}

TEST(LoggingPlugin, AnUnusableLogDirectoryIsReportedAndHarmless) {
  CoreLayout layout;
  layout.WriteFile("logs", "a file where the directory should be\n");
  layout.AddProbe("p1.so", "id 0x10000\n");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(WaitUntil([&] { return !CallsOf(layout.Calls("p1.so"), "Open").empty(); }));
  EXPECT_TRUE(core.WaitForStdout("RuzUZ: cannot open " + (layout.work / "logs").string() +
                                 "/core.log: Not a directory"))
      << core.Stdout();
  core.Signal(SIGTERM);
  const ExitStatus status = core.Wait(30s);
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
}

// Stop-time hand-over calls OnEvent from every logging thread at once: lines
// never interleave and none is lost, also across rotations.
class LoggingPluginThreads : public ::testing::TestWithParam<std::string> {};

TEST_P(LoggingPluginThreads, ConcurrentRecordsStayWhole) {
  CoreLayout layout(false);
  const fs::path library = GetParam() == "full"
                               ? fs::path(CORVANE_LOGGING_PLUGIN)
                               : fs::path(CORVANE_TEST_PLUGIN_DIR) / "ruzuz_small.so";
  const fs::path previous = fs::current_path();
  fs::current_path(layout.work);
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  auto load = reinterpret_cast<LoadFn>(dlsym(handle, "Load"));
  auto open = reinterpret_cast<OpenFn>(dlsym(handle, "Open"));
  auto close = reinterpret_cast<CloseFn>(dlsym(handle, "Close"));
  auto unload = reinterpret_cast<UnloadFn>(dlsym(handle, "Unload"));
  auto onEvent = reinterpret_cast<OnEventFn>(dlsym(handle, "OnEvent"));
  ASSERT_TRUE(load && open && close && unload && onEvent);
  EXPECT_EQ(dlsym(handle, "IOCTL"), nullptr); // no worker thread asked for

  LoadParams lp{};
  lp.size = sizeof lp;
  lp.version = 4;
  PluginInfo info{};
  info.size = sizeof info;
  info.version = 3;
  ASSERT_EQ(load(&lp, &info), 0);
  EXPECT_EQ(info.pluginId, RK_ID_WORD(0x01));
  EXPECT_EQ(info.acceptLog, RK_ACCEPT_LIVE);
  EXPECT_EQ(info.acceptVideo | info.acceptAudio | info.acceptAlarm | info.acceptPos |
                info.acceptAnalytic,
            0u); // provides no stored data, takes nothing else
  EXPECT_EQ(info.workerFlag | info.readerFlag | info.writeFlag, 0);
  OpenParams op{};
  OpenResult orr{};
  open(&op, &orr);
  fs::current_path(previous); // the file stays where Open found it

  constexpr int kThreads = 4, kEach = 400;
  std::vector<std::thread> threads;
  std::atomic<int> kept{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::string text = "t" + std::to_string(t) + "-" + std::to_string(i) + "\nmore";
        LogEvt e;
        e.source = t == 0 ? kIdNone : RK_ID_WORD(t);
        e.level = 25;
        e.data = text.data();
        e.length = static_cast<uint32_t>(text.size());
        kept += onEvent(&e, &e);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(kept.load(), 0);
  // Stored log records are not this plug-in's business.
  StoredLogEvt stored;
  stored.data = "stored";
  stored.length = 6;
  onEvent(&stored, &stored);
  CloseParams cp{};
  CloseResult cr{};
  close(&cp, &cr);
  UnloadParams up{};
  UnloadResult ur{};
  unload(&up, &ur);
  dlclose(handle);

  std::vector<std::string> lines;
  for (const char* name : {"logs/core.log.2", "logs/core.log.1", "logs/core.log"}) {
    for (auto& line : Lines(layout.ReadFile(name))) lines.push_back(line);
  }
  std::map<int, int> lastOfThread;
  std::set<std::string> seen;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, kLine)) << lines[i];
    const std::string text = m[3];
    ASSERT_EQ(text[0], 't') << text;
    const int t = std::stoi(text.substr(1));
    const int n = std::stoi(text.substr(text.find('-') + 1));
    EXPECT_EQ(m[2], fmt::format("{:02x}", t));
    ASSERT_LT(i + 1, lines.size());
    EXPECT_EQ(lines[i + 1].find_first_not_of(' '), lines[i].size() - text.size());
    EXPECT_EQ(lines[i + 1].substr(lines[i + 1].find_first_not_of(' ')), "more");
    ++i;
    if (lastOfThread.count(t)) {
      EXPECT_GT(n, lastOfThread[t]);
    }
    lastOfThread[t] = n;
    EXPECT_TRUE(seen.insert(text).second);
  }
  EXPECT_EQ(seen.count("stored"), 0u);
  if (GetParam() == "full") {
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_FALSE(layout.Exists("logs/core.log.1"));
  } else {
    EXPECT_TRUE(layout.Exists("logs/core.log.2"));
    EXPECT_FALSE(layout.Exists("logs/core.log.3"));
    // The newest file ends with some thread's last record.
    ASSERT_GE(lines.size(), 2u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[lines.size() - 2], m, kLine));
    const std::string last = m[3];
    EXPECT_EQ(last.substr(last.find('-') + 1), std::to_string(kEach - 1));
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, LoggingPluginThreads, ::testing::Values("full", "small"));

// Once the core is stopping, live log records that pass the filter go straight
// to the logging plug-in, on the poster's thread; stored ones go nowhere.
TEST(LoggingPlugin, WhileStoppingOnlyLiveRecordsAreHandedOver) {
  CoreLayout layout(false);
  layout.AddProbe("RuzUZ.so", "id 0x10000\naccept.log 0x2000000\n");
  // a.so closes before the logging plug-in and holds the stop in its Close.
  layout.AddProbe("a.so", "id 0x20000\ncontrol 1\nclose_wait_file go\n");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(Opened(layout, "a.so"));
  {
    ProbeControl a(layout, "a.so");
    core.Signal(SIGTERM);
    ASSERT_TRUE(WaitUntil([&] { return !CallsOf(layout.Calls("a.so"), "Close").empty(); }, 20s));
    EXPECT_EQ(a.Command("post type=64 flags=0x1000000 level=100 text=live-at-stop"), "ret=1");
    EXPECT_EQ(a.Command("post type=64 flags=0x4000000 level=100 text=stored-at-stop"), "ret=1");
    // Below the threshold: filtered out, not handed over.
    EXPECT_EQ(a.Command("post type=64 flags=0x1000000 level=0 text=quiet-at-stop"), "ret=1");
  }
  layout.WriteFile("go", "");
  EXPECT_EQ(core.Wait(30s).code, 0);
  std::string seen;
  for (const auto& line : CallsOf(layout.Calls("RuzUZ.so"), "OnEvent"))
    seen += CallField(line, "data") + "\n";
  EXPECT_NE(seen.find(HexOf(std::string("live-at-stop"))), std::string::npos) << seen;
  EXPECT_EQ(seen.find(HexOf(std::string("stored-at-stop"))), std::string::npos);
  EXPECT_EQ(seen.find(HexOf(std::string("quiet-at-stop"))), std::string::npos);
}
