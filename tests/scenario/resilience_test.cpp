// What the core survives from outside: a status file it may not write, a
// kill in the middle of rewriting it, a parent that sends garbage, dies or
// stops reading the console, and plug-ins that misbehave.
#include <csignal>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <rapidxml/rapidxml.hpp>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "core_harness.h"

namespace {

// A stored document the next start can use: the "<?xml" prefix and a parse.
bool UsableXml(const CoreLayout& layout, const std::string& file) {
  std::string text = layout.ReadFile(file);
  if (text.rfind("<?xml", 0) != 0) return false;
  try {
    rapidxml::xml_document<char> document;
    document.parse<0>(text.data());
    return document.first_node("Varn") != nullptr;
  } catch (const std::exception&) {
    return false;
  }
}

bool Gone(pid_t pid) {
  const auto fields = StatFields(pid);
  return fields.empty() || fields[0] == "Z";
}

} // namespace

// A file size limit cuts the status write short: the core names the real
// reason, keeps running, and the next write once the limit is lifted lands.
TEST(Resilience, StatusWriteOverTheSizeLimitFailsThenTheNextSucceeds) {
  CoreLayout layout;
  layout.AddProbe("alpha.so", "id 0x20000\ncontrol 1\n");
  layout.AddProbe("beta.so", "id 0x50000\n");
  CoreProcess::Options options;
  options.beforeExec = [] {
    const rlimit limit{300, RLIM_INFINITY};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  };
  CoreProcess core(layout, options);
  core.Start();
  ASSERT_TRUE(core.WaitForStdout("Failed to write core.xml.pending - File too large", 20s))
      << core.Stdout();
  EXPECT_FALSE(layout.Exists("core.xml"));
  {
    // The probes' own call files are cut short by the same limit: the core
    // shows it is alive over the socket instead.
    ProbeControl alpha(layout, "alpha.so");
    const auto packet = Packet(0x55, Address(2), "still running");
    EXPECT_EQ(alpha.Command("post type=8192 hex=" + HexOf(packet)), "ret=0");
    EXPECT_EQ(core.Receive(10s), packet);

    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(::prlimit(core.pid(), RLIMIT_FSIZE, &unlimited, nullptr), 0);
    EXPECT_EQ(alpha.Command(DeltaPost("327680", 25)), "ret=0");
    EXPECT_TRUE(WaitUntil([&] {
      return layout.Exists("core.xml") && LevelOf(layout.ReadFile("core.xml"), "327680") == "25";
    }));
  }
  EXPECT_FALSE(layout.Exists("core.xml.pending"));
  EXPECT_TRUE(UsableXml(layout, "core.xml"));
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);
}

// The core killed at random moments while deltas make it rewrite "core.xml"
// again and again: every next start finds a document it can read.
TEST(Resilience, KilledWhileRewritingTheStatusFileEveryStartReadsIt) {
  CoreLayout layout;
  layout.AddProbe("alpha.so", "id 0x20000\ncontrol 1\n");
  layout.AddProbe("beta.so", "id 0x50000\n");
  layout.WriteFile("core.xml", "<?xml version=\"1.0\"?>\n<Varn/>\n");

  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayMs(5, 250);
  constexpr int kKills = 12;
  int withPending = 0;
  for (int round = 0; round < kKills; ++round) {
    CoreProcess core(layout);
    core.Start();
    ASSERT_TRUE(Opened(layout, "alpha.so", static_cast<size_t>(round) + 1)) << "round " << round;
    // The previous round's document was read as it stands.
    EXPECT_EQ(core.Stdout().find("Config defaulted"), std::string::npos)
        << "seed " << seed << " round " << round << "\n"
        << core.Stdout();
    std::atomic<bool> killed{false};
    ProbeControl alpha(layout, "alpha.so");
    std::thread flood([&] {
      for (int i = 0; !killed; ++i)
        if (alpha.Command(DeltaPost("327680", i % 2 ? 25 : 50)).empty()) break;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
    core.Signal(SIGKILL);
    core.Wait(30s);
    killed = true;
    flood.join();

    const bool pending = layout.Exists("core.xml.pending");
    withPending += pending ? 1 : 0;
    EXPECT_TRUE(UsableXml(layout, "core.xml") || (pending && UsableXml(layout, "core.xml.pending")))
        << "seed " << seed << " round " << round;
  }
  // The last kill's document, read by one more start.
  CoreProcess last(layout);
  last.Start();
  ASSERT_TRUE(Opened(layout, "alpha.so", kKills + 1));
  last.Signal(SIGTERM);
  EXPECT_EQ(last.Wait(30s).code, 0);
  EXPECT_EQ(last.Stdout().find("Config defaulted"), std::string::npos) << last.Stdout();
  const std::string level = LevelOf(layout.ReadFile("core.xml"), "327680");
  EXPECT_TRUE(level == "25" || level == "50" || level == "-1") << level;
  EXPECT_FALSE(layout.Exists("core.xml.pending"));
  std::cout << "[ figures  ] " << kKills << " kills, " << withPending
            << " left a pending file, seed " << seed << "\n";
}

// Garbage from the parent is discarded and the channel goes on; the core
// does not spin on it. Every byte of the garbage has its high bit set
// outside the length words, so no stop or identity packet can form in it.
TEST(Resilience, ParentGarbageIsDiscardedWithoutSpinning) {
  CoreLayout layout;
  layout.AddProbe("a.so", "id 0x10000\n");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(Opened(layout, "a.so"));

  std::mt19937 random(7);
  auto high = [&] { return static_cast<uint8_t>(0x80 | (random() & 0x7F)); };
  auto word = [](std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  };
  for (int i = 0; i < 400; ++i) {
    std::vector<uint8_t> message;
    const size_t size = 1 + random() % 300;
    if (i % 3 == 0) {
      // A header with a usable length, often longer than the message.
      word(message, 16 + random() % 2000);
      for (int k = 0; k < 12; ++k) message.push_back(high());
    }
    while (message.size() < size) message.push_back(high());
    ASSERT_TRUE(core.Send(message)) << i;
  }
  // Completes any packet still waiting for bytes; what is left is a bad
  // length and is thrown away.
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(core.Send(std::vector<uint8_t>(1000, 0xFF)));

  const auto marker = Packet(0x5, Address(1), "after the garbage");
  ASSERT_TRUE(core.Send(marker));
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& line : CallsOf(layout.Calls("a.so"), "OnIpcResult"))
      if (CallField(line, "data") == HexOf(marker)) return true;
    return false;
  })) << core.Stdout();
  EXPECT_NE(core.Stdout().find("bad ipc packet length"), std::string::npos);

  // Idle again: well under half a core over two seconds.
  const long before = CpuTicks(core.pid());
  std::this_thread::sleep_for(2s);
  const long used = CpuTicks(core.pid()) - before;
  EXPECT_LT(used, ::sysconf(_SC_CLK_TCK)) << "ticks used while idle: " << used;
  EXPECT_TRUE(core.Running());
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);
}

// The parent daemon killed outright: the core stops in order on its own.
// A console nobody reads any more costs lines, not the process.
TEST(Resilience, ParentDeathAndADeadConsoleEndTheCoreInOrder) {
  CoreLayout layout;
  layout.AddProbe("a.so", "id 0x10000\n");
  const fs::path daemonBinary = layout.bin / "corvaned";
  fs::copy_file(CORVANED_BINARY, daemonBinary);
  CoreProcess::Options viaDaemon({"--workdir", layout.work.string()}, false);
  viaDaemon.program = daemonBinary.string();
  CoreProcess daemon(layout, viaDaemon);
  daemon.Start();
  ASSERT_TRUE(Opened(layout, "a.so"));
  // The probe is loaded on the core's main thread: its thread id is the pid.
  const pid_t core = std::stoi(CallField(CallsOf(layout.Calls("a.so"), "Load").front(), "tid"));
  daemon.Signal(SIGKILL);
  daemon.Wait(30s); // the pumps end when the core, holding the same pipes, is gone
  EXPECT_TRUE(WaitUntil([&] { return Gone(core); }, 30s));
  EXPECT_NE(daemon.Stdout().find("corvaned ipc pipe disconnected"), std::string::npos)
      << daemon.Stdout();
  EXPECT_EQ(CallsOf(layout.Calls("a.so"), "Close").size(), 1u);
  EXPECT_EQ(CallsOf(layout.Calls("a.so"), "Unload").size(), 1u);

  CoreProcess::Options deadConsole;
  deadConsole.beforeExec = [] {
    int pipe[2];
    if (::pipe(pipe) != 0) return;
    ::dup2(pipe[1], STDOUT_FILENO);
    ::close(pipe[0]);
    ::close(pipe[1]);
  };
  CoreProcess mute(layout, deadConsole);
  mute.Start();
  ASSERT_TRUE(Opened(layout, "a.so", 2));
  mute.Signal(SIGTERM);
  const ExitStatus status = mute.Wait(30s);
  EXPECT_TRUE(status.exited) << "signal " << status.code;
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(CallsOf(layout.Calls("a.so"), "Unload").size(), 2u);
}

// A plug-in that hoards every payload, one that posts from inside every entry
// point, and one that goes on posting through and after its Close: the core
// serves them all, refuses what comes too late and stops in order.
TEST(Resilience, MisbehavingPluginsNeitherStallNorCrashTheCore) {
  CoreLayout layout;
  layout.AddProbe("req.so", "id 0x0\ncontrol 1\n");
  layout.AddProbe("hoard.so", "id 0x20000\naccept.alarm 0x2000000\nkeep 1\ncontrol 1\n");
  layout.AddProbe("busy.so", "id 0x30000\npost_everywhere 1\nworker 1\nreader 1\n"
                             "accept.config 0x2000000\nsearch_results 2\nsearch_len 16\n");
  layout.AddProbe("late.so", "id 0x40000\nspam 1\n");
  CoreProcess core(layout);
  core.Start();
  for (const char* file : {"req.so", "hoard.so", "busy.so", "late.so"})
    ASSERT_TRUE(Opened(layout, file)) << file;
  {
    ProbeControl req(layout, "req.so");
    EXPECT_EQ(req.Command("post type=1 flags=0x1000000 request=0x5 text=criteria"), "ret=0");
  }
  ASSERT_TRUE(core.Send(Packet(0x5, Address(3), "to busy")));
  auto posted = [&](const std::string& entry) {
    for (const auto& line : CallsOf(layout.Calls("busy.so"), "EntryPost"))
      if (CallField(line, "entry") == entry) return CallField(line, "ret");
    return std::string();
  };
  for (const char* entry : {"load", "open", "ioctl", "read", "onevent", "onsearch", "onipcresult"})
    EXPECT_TRUE(WaitUntil([&] { return !posted(entry).empty(); })) << entry;
  {
    ProbeControl hoard(layout, "hoard.so");
    EXPECT_TRUE(WaitUntil([&] { return hoard.Command("kept") != "kept=0"; }));
  }
  core.Signal(SIGTERM);
  const ExitStatus status = core.Wait(30s);
  EXPECT_FALSE(status.timedOut);
  EXPECT_EQ(status.code, 0) << core.Stderr();

  // Posted before the stop: accepted; from Close and Unload: refused.
  for (const char* entry : {"load", "open", "onevent", "onsearch", "onipcresult"})
    EXPECT_EQ(posted(entry), "0") << entry;
  EXPECT_EQ(posted("close"), "1");
  EXPECT_EQ(posted("unload"), "1");
  const auto spam = CallsOf(layout.Calls("late.so"), "Spam");
  ASSERT_EQ(spam.size(), 1u);
  EXPECT_EQ(CallField(spam[0], "after_close_accepted"), "0");
  EXPECT_NE(CallField(spam[0], "after_close_refused"), "0");
}
