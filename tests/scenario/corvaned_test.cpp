// corvaned, the parent daemon, driving the real core: start-up with one
// descriptor, its identity packet, relayed packets, stopping and escalation.
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core_harness.h"

namespace {

// corvaned beside the core, so that its default core path is used.
CoreProcess::Options Corvaned(CoreLayout& layout, std::vector<std::string> extra = {}) {
  const fs::path binary = layout.bin / "corvaned";
  if (!fs::exists(binary)) {
    fs::copy_file(CORVANED_BINARY, binary);
    fs::permissions(binary, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
  }
  CoreProcess::Options options({"--workdir", layout.work.string()}, false);
  options.args.insert(options.args.end(), extra.begin(), extra.end());
  options.program = binary.string();
  return options;
}

bool HasCall(const CoreLayout& layout, const std::string& file, const std::string& entry) {
  return WaitUntil([&] { return !CallsOf(layout.Calls(file), entry).empty(); }, 20s);
}

// A plug-in packet through the core to corvaned, which summarises it.
void RoundTrip(ProbeControl& probe, CoreProcess& daemon, const std::string& payload) {
  const auto packet = Packet(0x55, Address(1), payload);
  EXPECT_EQ(probe.Command("post type=8192 hex=" + HexOf(packet)), "ret=0");
  EXPECT_TRUE(daemon.WaitForStdout("corvaned: packet from plug-in 01: kind 85, " +
                                   std::to_string(packet.size()) + " bytes"));
}

} // namespace

TEST(Corvaned, RunsTheCoreWithOneDescriptorAndStopsIt) {
  CoreLayout layout;
  layout.AddProbe("a.so", "id 0x10000\ncontrol 1\nlist_fds 1\n");
  // An inheritable descriptor corvaned gets from us: the core must not.
  int marker[2];
  ASSERT_EQ(::pipe(marker), 0);
  struct stat info {};
  ASSERT_EQ(::fstat(marker[1], &info), 0);
  const std::string markerName = "pipe:[" + std::to_string(info.st_ino) + "]";

  CoreProcess daemon(layout, Corvaned(layout));
  daemon.Start();
  ::close(marker[0]);
  ::close(marker[1]);
  ASSERT_TRUE(HasCall(layout, "a.so", "Open"));
  const auto fds = CallsOf(layout.Calls("a.so"), "Fds");
  ASSERT_EQ(fds.size(), 1u);
  EXPECT_EQ(fds[0].find(markerName), std::string::npos) << fds[0];
  EXPECT_NE(fds[0].find("socket:["), std::string::npos) << fds[0];

  ProbeControl probe(layout, "a.so");
  RoundTrip(probe, daemon, "hello parent");
  // Not in the background: console lines show.
  EXPECT_EQ(probe.Command("post type=64 flags=0x1000002 level=50 text=visible-line"), "ret=0");
  EXPECT_TRUE(daemon.WaitForStdout("visible-line"));

  daemon.Signal(SIGTERM);
  const ExitStatus status = daemon.Wait();
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  const auto calls = layout.Calls("a.so");
  EXPECT_EQ(CallsOf(calls, "Close").size(), 1u);
  EXPECT_EQ(calls.back().rfind("Unload", 0), 0u);
  EXPECT_NE(daemon.Stdout().find("corvaned: core exited with status 0"), std::string::npos);
  // Stopped by its request, not by losing the parent.
  EXPECT_EQ(daemon.CountStdout("corvaned ipc pipe disconnected"), 0u);
}

TEST(Corvaned, BackgroundSilencesTheCoreConsole) {
  CoreLayout layout;
  layout.AddProbe("a.so", "id 0x10000\ncontrol 1\n");
  CoreProcess daemon(layout, Corvaned(layout, {"--background"}));
  daemon.Start();
  ASSERT_TRUE(HasCall(layout, "a.so", "Open"));
  ProbeControl probe(layout, "a.so");
  // The identity went first on the same channel the round trip uses.
  RoundTrip(probe, daemon, "sync");
  EXPECT_EQ(probe.Command("post type=64 flags=0x1000002 level=50 text=hidden-line"), "ret=0");
  daemon.Signal(SIGINT);
  const ExitStatus status = daemon.Wait();
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(daemon.CountStdout("hidden-line"), 0u);
}

TEST(Corvaned, FurtherSignalsEscalateToSigtermThenSigkill) {
  CoreLayout layout;
  // The probe never lets its Close return: the stop request alone cannot end the core.
  layout.AddProbe("a.so", "id 0x10000\nclose_wait_file never\n");
  CoreProcess daemon(layout, Corvaned(layout));
  daemon.Start();
  ASSERT_TRUE(HasCall(layout, "a.so", "Open"));
  daemon.Signal(SIGINT);
  ASSERT_TRUE(HasCall(layout, "a.so", "Close"));
  daemon.Signal(SIGINT);
  ASSERT_TRUE(daemon.WaitForStdout("corvaned: sending SIGTERM to the core"));
  daemon.Signal(SIGINT);
  ASSERT_TRUE(daemon.WaitForStdout("corvaned: sending SIGKILL to the core"));
  const ExitStatus status = daemon.Wait();
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 128 + SIGKILL);
  EXPECT_TRUE(CallsOf(layout.Calls("a.so"), "Unload").empty());
}

TEST(Corvaned, CommandLineErrors) {
  CoreLayout layout;
  CoreProcess wrong(layout, Corvaned(layout, {"--bogus"}));
  wrong.Start();
  EXPECT_EQ(wrong.Wait().code, 2);
  EXPECT_NE(wrong.Stderr().find("Usage: "), std::string::npos);

  CoreProcess missing(layout, Corvaned(layout, {"--core", (layout.root / "nothing").string()}));
  missing.Start();
  EXPECT_EQ(missing.Wait().code, 127);
}
