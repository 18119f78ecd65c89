// The core's command line, exit codes and orderly stop.
#include <csignal>
#include <gtest/gtest.h>

#include "core_harness.h"

TEST(Lifecycle, HelpInEveryForm) {
  CoreLayout layout;
  for (const auto& args : std::vector<std::vector<std::string>>{{"-h"}, {"-help"}, {"-h", "5"}}) {
    CoreProcess core(layout, {args, false});
    core.Start();
    const ExitStatus status = core.Wait(10s);
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 0);
    const std::string binary = (layout.bin / "corvane-core").string();
    EXPECT_EQ(core.Stderr(), "core version 26.1.3.0\nUsage: " + binary + " <pipe>\n");
    EXPECT_EQ(core.Stdout(), "");
  }
}

TEST(Lifecycle, WithoutDescriptorStartsFullyThenStops) {
  CoreLayout layout;
  layout.AddProbe("p1.so", "id 0x10000\n");
  CoreProcess core(layout, {{}, false});
  core.Start();
  const ExitStatus status = core.Wait(20s);
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  EXPECT_NE(core.Stdout().find("corvaned ipc pipe disconnected"), std::string::npos);
  const auto calls = layout.Calls("p1.so");
  EXPECT_EQ(CallsOf(calls, "Open").size(), 1u);
  EXPECT_EQ(CallsOf(calls, "Unload").size(), 1u);
}

TEST(Lifecycle, DescriptorArgumentRules) {
  CoreLayout layout;
  // "-x" is ignored, the next argument is the descriptor; 5 then -h never prints help.
  for (const auto& args : std::vector<std::vector<std::string>>{{"-x", "99"}, {"99", "-h"}}) {
    CoreProcess core(layout, {args, false});
    core.Start();
    const ExitStatus status = core.Wait(10s);
    EXPECT_EQ(status.code, 2) << args[0];
    EXPECT_EQ(core.Stderr(), "failed to initialize core\n");
  }
  // A word parses as descriptor 0, here /dev/null: adopted, its first
  // receive fails, and the core stops as when its parent goes away.
  layout.AddProbe("p1.so", "id 0x10000\n");
  CoreProcess word(layout, {{"word"}, false});
  word.Start();
  EXPECT_EQ(word.Wait(20s).code, 0);
  EXPECT_NE(word.Stdout().find("corvaned ipc pipe disconnected"), std::string::npos)
      << word.Stdout();
  EXPECT_EQ(word.Stdout().find("failed to open ipc pipe"), std::string::npos);
  EXPECT_EQ(CallsOf(layout.Calls("p1.so"), "Unload").size(), 1u);
}

class StopSignal : public ::testing::TestWithParam<int> {};

TEST_P(StopSignal, StopsInOrderWithStatusZero) {
  CoreLayout layout;
  layout.AddProbe("p1.so", "id 0x10000\n");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(WaitUntil([&] { return !CallsOf(layout.Calls("p1.so"), "Open").empty(); }));
  core.Signal(GetParam());
  core.Signal(GetParam()); // a second signal changes nothing
  const ExitStatus status = core.Wait(20s);
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  const auto calls = layout.Calls("p1.so");
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(calls.front().rfind("Load", 0), 0u);
  EXPECT_EQ(CallsOf(calls, "Close").size(), 1u);
  EXPECT_EQ(calls.back().rfind("Unload", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, ::testing::Values(SIGINT, SIGTERM, SIGQUIT));

// A worker that returns 7 s after Close: at 5 s the stop names the plug-in and
// the call it waits for, once, and the stop then completes as usual.
TEST(Lifecycle, StopWarnsAboutAWorkerThatDoesNotReturn) {
  CoreLayout layout;
  layout.AddPlugin(fs::path(CORVANE_TEST_PLUGIN_DIR) / "broken_slow_worker.so");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(core.WaitForStdout("Opening 42:broken_slow_worker")) << core.Stdout();
  core.Signal(SIGTERM);
  const ExitStatus status = core.Wait(30s);
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  const std::string out = core.Stdout();
  EXPECT_EQ(core.CountStdout("Stopping: still waiting after "), 1u) << out;
  const size_t warning = out.find("Stopping: still waiting after 5 s for 42:broken_slow_worker to "
                                  "return from its worker call (IOCTL 1)");
  EXPECT_NE(warning, std::string::npos) << out;
  EXPECT_LT(out.find("Unloading 42:broken_slow_worker"), warning) << out;
}
