// The SDK's C++ base class in the real core: records filled as the core wants
// them, payloads kept and released by their handles, an exception caught at
// the entry point, and a worker that ends with the stop.
#include <csignal>
#include <gtest/gtest.h>

#include "core_harness.h"

TEST(PluginBase, RunsInTheRealCore) {
  CoreLayout layout;
  layout.AddPlugin(fs::path(CORVANE_TEST_PLUGIN_DIR) / "cpp_base.so");
  // Debug, so that references still held at the end would be reported.
  layout.WriteFile("core.xml", "<?xml version=\"1.0\"?>\n<Varn><Modules><Module><Plugin "
                               "ID=\"-2147483648\" LogLevel=\"0\"/></Module></Modules></Varn>\n");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(core.WaitForStdout("Opening 74:cpp_base")) << core.Stdout();
  // Packets that come before the core routes them are dropped: send until one lands.
  ASSERT_TRUE(WaitUntil([&] {
    core.Send(Packet(100, Address(0x74), "boom"));
    return core.WaitForStdout("cpp_base: exception: packet of 20 bytes refused", 200ms);
  })) << core.Stdout();
  std::this_thread::sleep_for(300ms); // some video, the alarm back
  core.Signal(SIGTERM);
  const ExitStatus status = core.Wait(20s);
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  const std::string out = core.Stdout();
  EXPECT_NE(out.find("cpp_base: kept <?xml version=\"1.0\"?><Varn><Camera "
                     "Number=\"2\" Name=\"yard &amp; gate\" State=\"offline\" "
                     "Reason=\"connection &quot;refused&quot;\"/></Varn>"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("unloaded holding"), std::string::npos) << out;
}
