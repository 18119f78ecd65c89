// Routing by accept words, payload references, the stop drain and the log path.
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "core_harness.h"

namespace {

// OnEvent lines of a probe whose payload is `text`.
std::vector<std::string> Got(const CoreLayout& layout, const std::string& probe,
                             const std::string& text) {
  std::vector<std::string> lines;
  for (const auto& line : CallsOf(layout.Calls(probe), "OnEvent"))
    if (CallField(line, "data") == HexOf(text)) lines.push_back(line);
  return lines;
}

constexpr const char* kAcceptAll =
    "accept.video 0x2000000\naccept.audio 0x2000000\naccept.alarm 0x2000000\n"
    "accept.ptz 0x2000000\naccept.serial 0x2000000\naccept.log 0x2000000\n"
    "accept.pos 0x2000000\naccept.analytic 0x2000000\n";

} // namespace

// Every row of the accept filter, seen by real plug-ins.
TEST(EventBus, AcceptFilterRoutesEveryKind) {
  CoreLayout layout;
  layout.AddProbe("s3.so", std::string("id 0x30000\ncontrol 1\n") + kAcceptAll);
  layout.AddProbe("r5.so", std::string("id 0x50000\n") + kAcceptAll);
  layout.AddProbe("r0.so", "id 0x0\naccept.video 0x2000000\naccept.audio 0x2000000\n");
  layout.AddProbe("deaf.so", "id 0x70000\n");
  CoreProcess core(layout);
  core.Start();
  {
    ProbeControl s3(layout, "s3.so");
    ASSERT_TRUE(core.WaitForStdout("Opening 07:deaf", 15s));
    const std::vector<std::string> posts = {
        "post type=1 text=video-own",
        "post type=1 mflags=0x20 text=video-out",
        "post type=0x4001 text=video-mod",
        "post type=2 text=audio-own",
        "post type=2 mflags=0x20 text=audio-out",
        "post type=0x4002 mflags=0x20 text=audio-mod",
        "post type=4 text=alarm",
        "post type=8 text=ptz",
        "post type=16 text=serial",
        "post type=1024 text=pos",
        "post type=64 level=50 text=log-own",
        "post type=256 text=config-noecho",
        "post type=256 level=1 text=config-echo",
        "post type=65536 text=analytic-noecho",
        "post type=65536 level=1 text=analytic-echo",
        "post type=32 text=watchdog-own",
        "post type=32 source=0x50000 text=watchdog-r5",
        "post type=0 text=unspecified",
        "post type=128 text=unknown",
        "post type=2048 text=unknown2048",
    };
    for (const auto& post : posts)
      EXPECT_EQ(ProbeControl::Field(s3.Command(post), "ret"), "0") << post;
    // The last record reached the deaf plug-in (config goes to everyone).
    ASSERT_TRUE(WaitUntil([&] { return !Got(layout, "deaf.so", "config-noecho").empty(); }));
    EXPECT_EQ(ProbeControl::Field(s3.Command("post type=256 text=marker"), "ret"), "0");
  }
  ASSERT_TRUE(WaitUntil([&] { return !Got(layout, "r5.so", "marker").empty(); }));
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);

  struct Row {
    const char* text;
    bool s3, r5, r0, deaf;
  };
  const Row rows[] = {
      {"video-own", false, true, true, false},     {"video-out", true, true, true, false},
      {"video-mod", true, true, false, false},     {"audio-own", false, true, true, false},
      {"audio-out", true, true, true, false},      {"audio-mod", true, true, false, false},
      {"alarm", true, true, false, false},         {"ptz", true, true, false, false},
      {"serial", true, true, false, false},        {"pos", true, true, false, false},
      {"log-own", false, true, false, false},      {"config-noecho", false, true, true, true},
      {"config-echo", true, true, true, true},     {"analytic-noecho", false, true, false, false},
      {"analytic-echo", true, true, false, false}, {"watchdog-own", true, false, false, false},
      {"watchdog-r5", false, true, false, false},  {"unspecified", false, false, false, false},
      {"unknown", false, false, false, false},     {"unknown2048", false, false, false, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Got(layout, "s3.so", row.text).size(), row.s3 ? 1u : 0u) << row.text << " s3";
    EXPECT_EQ(Got(layout, "r5.so", row.text).size(), row.r5 ? 1u : 0u) << row.text << " r5";
    EXPECT_EQ(Got(layout, "r0.so", row.text).size(), row.r0 ? 1u : 0u) << row.text << " r0";
    EXPECT_EQ(Got(layout, "deaf.so", row.text).size(), row.deaf ? 1u : 0u) << row.text << " deaf";
  }
}

// One payload copy shared by every receiver; kept references come back by decref.
TEST(EventBus, KeptPayloadsAndNullData) {
  CoreLayout layout;
  layout.AddProbe("s3.so", "id 0x30000\ncontrol 1\n");
  layout.AddProbe("k5.so", "id 0x50000\ncontrol 1\nkeep 1\nkeep_type 8\naccept.ptz 0x2000000\n");
  layout.AddProbe("k6.so", "id 0x60000\ncontrol 1\nkeep 1\nkeep_type 8\naccept.ptz 0x2000000\n");
  CoreProcess core(layout);
  core.Start();
  ProbeControl s3(layout, "s3.so");
  ProbeControl k5(layout, "k5.so");
  ProbeControl k6(layout, "k6.so");
  ASSERT_TRUE(core.WaitForStdout("Opening 03:s3", 15s));
  EXPECT_EQ(ProbeControl::Field(s3.Command("post type=8 text=shared"), "ret"), "0");
  ASSERT_TRUE(WaitUntil([&] {
    return !Got(layout, "k5.so", "shared").empty() && !Got(layout, "k6.so", "shared").empty();
  }));
  // Both see the same copy, which is not the sender's buffer.
  const std::string p5 = CallField(Got(layout, "k5.so", "shared")[0], "ptr");
  EXPECT_EQ(p5, CallField(Got(layout, "k6.so", "shared")[0], "ptr"));
  EXPECT_EQ(ProbeControl::Field(k5.Command("kept"), "kept"), "1");
  EXPECT_EQ(ProbeControl::Field(k5.Command("release"), "released"), "1");
  EXPECT_EQ(ProbeControl::Field(k6.Command("release"), "released"), "1");
  // A decref with null data changes nothing and is accepted.
  EXPECT_EQ(ProbeControl::Field(s3.Command("post type=512 nulldata"), "ret"), "0");
  // Null data with a length: queued without payload.
  EXPECT_EQ(ProbeControl::Field(s3.Command("post type=8 len=100 nulldata"), "ret"), "0");
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& line : CallsOf(layout.Calls("k5.so"), "OnEvent"))
      if (CallField(line, "len") == "0" && CallField(line, "type") == "0x8") return true;
    return false;
  }));
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);
}

// A stop drains what was queued; later posts are refused.
TEST(EventBus, StopDeliversEverythingAcceptedBefore) {
  CoreLayout layout;
  layout.AddProbe("s3.so", "id 0x30000\ncontrol 1\n");
  layout.AddProbe("slow.so", "id 0x50000\naccept.alarm 0x2000000\nevent_ms 20\n");
  CoreProcess core(layout);
  core.Start();
  ProbeControl s3(layout, "s3.so");
  ASSERT_TRUE(core.WaitForStdout("Opening 05:slow", 15s));
  int accepted = 0;
  bool refused = false;
  for (int i = 0; i < 2000 && !refused; ++i) {
    const std::string ret = ProbeControl::Field(s3.Command("post type=4 text=x"), "ret");
    if (ret == "0")
      ++accepted;
    else
      refused = ret == "1";
    if (i == 20) core.Signal(SIGTERM);
  }
  EXPECT_TRUE(refused);
  EXPECT_GT(accepted, 20);
  // The control socket stays up until Unload, so the answers above are real.
  EXPECT_EQ(core.Wait(60s).code, 0);
  EXPECT_EQ(static_cast<int>(Got(layout, "slow.so", "x").size()), accepted);
}

// Log records: level query, thresholds, console colours and names, syslog.
TEST(EventBus, LogRecordsQueryConsoleAndNames) {
  CoreLayout layout;
  layout.AddProbe("s3.so", "id 0x30000\ncontrol 1\n");
  layout.AddProbe("logs.so", "id 0x50000\naccept.log 0x2000000\n");
  CoreProcess core(layout);
  core.Start();
  ProbeControl s3(layout, "s3.so");
  ASSERT_TRUE(core.WaitForStdout("Opening 05:logs", 15s));
  EXPECT_EQ(ProbeControl::Field(s3.Command("post type=64 flags=0x1"), "ret"), "25");
  // Below the default threshold: dropped, not delivered, not printed.
  s3.Command("post type=64 flags=0x1000002 level=10 text=too-low");
  s3.Command("post type=64 flags=0x1000002 level=30 text=info-band");
  s3.Command("post type=64 flags=0x1000002 level=60 text=warning-band");
  s3.Command("post type=64 flags=0x1000000 level=60 text=no-console");
  s3.Command("post type=64 flags=0x1000002 level=50 source=0x70000 text=unnamed");
  s3.Command("post type=64 flags=0x1000002 level=50 hex=0d0a");
  s3.Command("post type=64 flags=0x1000002 level=50 text=last");
  ASSERT_TRUE(WaitUntil([&] { return !Got(layout, "logs.so", "last").empty(); }));
  // The console line is written before the record is queued, but our reader
  // of the core's output may still be behind the delivery.
  ASSERT_TRUE(core.WaitForStdout("last\n"));
  const std::string out = core.Stdout();
  EXPECT_EQ(out.find("too-low"), std::string::npos);
  EXPECT_TRUE(Got(layout, "logs.so", "too-low").empty());
  EXPECT_NE(out.find("\x1b[36m s3\x1b[0m info-band\n"), std::string::npos) << out;
  const size_t info = out.find("info-band");
  EXPECT_EQ(out.rfind("\x1b[32m", info), out.rfind('\n', info) + 1);
  const size_t warning = out.find("warning-band");
  EXPECT_EQ(out.rfind("\x1b[38;5;227m", warning), out.rfind('\n', warning) + 1);
  EXPECT_EQ(out.find("no-console"), std::string::npos);
  EXPECT_EQ(Got(layout, "logs.so", "no-console").size(), 1u);
  EXPECT_NE(out.find("\x1b[36m PI07\x1b[0m unnamed\n"), std::string::npos);
  // A text of only CR LF is delivered but prints nothing.
  EXPECT_EQ(Got(layout, "logs.so", "\r\n").size(), 1u);
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);
}

// Level 100 and above is copied to syslog; checked with our own /dev/log
// when the machine has none and we may create it.
TEST(EventBus, CriticalRecordsReachSyslog) {
  if (geteuid() != 0 || access("/dev/log", F_OK) == 0) GTEST_SKIP() << "no private /dev/log";
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, "/dev/log");
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  struct Cleanup {
    int fd;
    ~Cleanup() {
      ::close(fd);
      ::unlink("/dev/log");
    }
  } cleanup{fd};

  CoreLayout layout;
  layout.AddProbe("s3.so", "id 0x30000\ncontrol 1\n");
  CoreProcess core(layout);
  core.Start();
  ProbeControl s3(layout, "s3.so");
  ASSERT_TRUE(core.WaitForStdout("Opening 03:s3", 15s));
  s3.Command("post type=64 flags=0x1000002 level=130 text=grave-news");
  s3.Command("post type=64 flags=0x1000000 level=130 text=quiet-news");
  ASSERT_TRUE(core.WaitForStdout("grave-news", 10s));
  const std::string out = core.Stdout();
  const size_t grave = out.find("grave-news");
  EXPECT_EQ(out.rfind("\x1b[38;5;37m\x1b[38;5;1m", grave), out.rfind('\n', grave) + 1);
  timeval timeout{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  // Other cores running at the same time may log to the same socket.
  std::string message, seen;
  for (;;) {
    char buffer[1024] = {};
    const ssize_t n = ::recv(fd, buffer, sizeof buffer - 1, 0);
    if (n <= 0) break;
    message.assign(buffer, static_cast<size_t>(n));
    seen += message + "\n";
    EXPECT_EQ(message.find("quiet-news"), std::string::npos);
    if (message.find("grave-news") != std::string::npos) break;
  }
  ASSERT_NE(message.find("grave-news"), std::string::npos) << seen;
  EXPECT_EQ(message.substr(0, 4), "<10>"); // LOG_USER | LOG_CRIT = 8 + 2
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);
}

namespace {
constexpr const char* kCoreAtDebug =
    "<?xml version=\"1.0\"?>\n<Varn><Modules><Module ID=\"-2147483648\">"
    "<Plugin ID=\"-2147483648\" LogLevel=\"0\"/><Plugin ID=\"196608\" LogLevel=\"0\"/>"
    "</Module></Modules></Varn>\n";
}

// With the core at Debug: slow deliveries and references held at the end.
TEST(EventBus, DebugLinesForSlowDeliveryAndLeakedReferences) {
  CoreLayout layout;
  layout.WriteFile("core.xml", kCoreAtDebug);
  layout.AddProbe("s3.so", "id 0x30000\ncontrol 1\n");
  layout.AddProbe("slow.so",
                  "id 0x50000\naccept.video 0x2000000\naccept.log 0x2000000\nevent_ms 7\n"
                  "keep 1\nkeep_type 1\n");
  CoreProcess core(layout);
  core.Start();
  {
    ProbeControl s3(layout, "s3.so");
    ASSERT_TRUE(core.WaitForStdout("Opening 05:slow", 15s));
    EXPECT_EQ(ProbeControl::Field(s3.Command("post type=1 len=1234 fill=9"), "ret"), "0");
    EXPECT_EQ(ProbeControl::Field(s3.Command("post type=64 level=50 text=slowlog"), "ret"), "0");
    EXPECT_EQ(ProbeControl::Field(s3.Command("post type=0x4040 text=modlog"), "ret"), "0");
  }
  ASSERT_TRUE(core.WaitForStdout(" event from s3 [1,234]", 15s)) << core.Stdout();
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);
  const std::string out = core.Stdout();
  // At least the 7 ms the plug-in sleeps; a loaded machine may add more.
  EXPECT_TRUE(std::regex_search(out, std::regex("slow took ([7-9]|[1-9][0-9]+)ms for video event "
                                                "from s3 \\[1,234\\]")))
      << out;
  // Plain log records are never reported; one with the modifier bit is.
  EXPECT_EQ(out.find("for log event from s3 [7]"), std::string::npos);
  EXPECT_NE(out.find("for log event from s3 [6]"), std::string::npos);
  // The kept video payload is still held when the core goes.
  EXPECT_NE(out.find("refblks: 1(1,250)"), std::string::npos);
  EXPECT_NE(out.find("Plugin 05:slow unloaded holding 1 event reference(s)."), std::string::npos);
}

TEST(EventBus, NoDebugLinesAtTheDefaultThreshold) {
  CoreLayout layout;
  layout.AddProbe("s3.so", "id 0x30000\ncontrol 1\n");
  layout.AddProbe("slow.so", "id 0x50000\naccept.video 0x2000000\nevent_ms 7\nkeep 1\n");
  CoreProcess core(layout);
  core.Start();
  {
    ProbeControl s3(layout, "s3.so");
    ASSERT_TRUE(core.WaitForStdout("Opening 05:slow", 15s));
    EXPECT_EQ(ProbeControl::Field(s3.Command("post type=1 len=1234 fill=9"), "ret"), "0");
  }
  ASSERT_TRUE(WaitUntil([&] { return !CallsOf(layout.Calls("slow.so"), "OnEvent").empty(); }));
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);
  const std::string out = core.Stdout();
  EXPECT_EQ(out.find("ms for video event"), std::string::npos) << out;
  EXPECT_EQ(out.find("refblks: "), std::string::npos); // the statistics line has "refblks:"
  EXPECT_EQ(out.find("unloaded holding"), std::string::npos);
}
